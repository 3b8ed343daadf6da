"""The vellumcrest-keywords command, run in child processes."""

import json
import math
import os
import platform
import shutil
import subprocess
import sys
import tempfile
from importlib import resources
from importlib.metadata import entry_points
from unittest import mock

import pytest
from hypothesis import example, given, settings, strategies as st

from conftest import COMMAND, run_command, run_interpreter, run_python, start_python
from tallowmere.vellumcrest import _package, inputs
from tallowmere.vellumcrest.cli import command, output
from tallowmere.vellumcrest.text import CutSettings, cut_words
from tallowmere.vellumcrest.idf import build_idf, load_idf
from tallowmere.vellumcrest.keyword import tfidf, textrank


BEES = """\
The bees left the hive at dawn. Bees visit clover, and the clover feeds the
hive. A strong hive needs a laying queen; the queen needs the workers, and the
workers need the flowers. Flowers, clover and bees: the garden hums.
"""
ORCHARD = """\
An orchard of apple trees and pear trees blossoms in spring. The trees need
bees to carry pollen from flower to flower, and the bees need the orchard.
"""
WEATHER = """\
Rain in the morning, wind in the afternoon, and a clear cold night: the
weather of early spring keeps the bees in the hive.
"""


def run(*args, stdin=b"", env=None, cwd=None):
    """Run the command; return (exit status, stdout, stderr), all decoded as UTF-8."""
    return run_command(*args, stdin=stdin, env=env, cwd=cwd)


def run_json(*args, **kwargs):
    status, out, err = run("--json", *args, **kwargs)
    assert (status, err) == (0, "")
    return json.loads(out)


def keywords(document):
    return [(k["word"], k["score"]) for k in document["keywords"]]


def as_scores(ranked):
    return {word: float(score) for word, score in ranked}


@pytest.fixture
def texts(tmp_path):
    paths = []
    for name, text in [("bees.txt", BEES), ("orchard.txt", ORCHARD), ("weather.txt", WEATHER)]:
        path = tmp_path / name
        path.write_text(text, encoding="utf-8")
        paths.append(path)
    return paths


# --- cutting text into words ----------------------------------------------------


@pytest.mark.parametrize(
    "text, keep_case, expected",
    [
        ("The Bees, the HIVE!", False, ["the", "bees", "the", "hive"]),
        ("The Bees, the HIVE!", True, ["The", "Bees", "the", "HIVE"]),
        ("don't bee's hives' 'quoted'", False, ["don't", "bee's", "hives", "quoted"]),
        ("don\u2019t", False, ["don\u2019t"]),
        ("in 1998 we had 3 hives, model mp3", False, ["in", "we", "had", "hives", "model", "mp3"]),
        ("snake_case and-dash", False, ["snake", "case", "and", "dash"]),
        ("cafe\u0301 CAFÉ", False, ["café", "café"]),  # decomposed accent, NFC, lower-case
        ("हिन्दी भाषा", False, ["हिन्दी", "भाषा"]),  # vowel signs are combining marks
        ("Straße ΟΔΟΣ", False, ["straße", "οδος"]),  # final sigma
        ("", False, []),
        ("... 42 ---", False, []),
    ],
)
def test_cut_words(text, keep_case, expected):
    assert cut_words(text, CutSettings(keep_case=keep_case)) == expected


def test_cut_words_drops_stop_words_whatever_their_case():
    # stop words are given case-folded: "straße" folds to "strasse"
    settings = CutSettings(keep_case=True, stop_words=frozenset({"the", "strasse"}))
    assert cut_words("The bees THE hive STRASSE Straße", settings) == ["bees", "hive"]


def test_cut_words_with_jieba():
    pytest.importorskip("jieba")
    words = cut_words("养蜂是一种古老的手艺。Bees!", CutSettings(cut="jieba"))
    assert "养蜂" in words and "bees" in words
    assert "。" not in words and "!" not in words


# --- ranking: the output matches the module's own functions --------------------


@pytest.mark.parametrize(
    "options, kwargs",
    [
        ([], {}),
        (["--window", "2"], {"window": 2}),
        (["--window", "9", "--alpha", "0.5"], {"window": 9, "alpha": 0.5}),
        (["--alpha", "1", "--iterations", "3"], {"alpha": 1.0, "n_iter": 3}),
        (["--alpha", "0"], {"alpha": 0.0}),
        (["--iterations", "50"], {"n_iter": 50}),
    ],
)
def test_textrank_options(texts, options, kwargs):
    document = run_json("--method", "textrank", "--language", "none", "--top", "all", *options, texts[0])["documents"][0]
    expected = textrank(cut_words(BEES), n_word=None, **kwargs)
    got = keywords(document)
    assert [w for w, _ in got] and len(got) == len(expected)
    assert as_scores(got) == pytest.approx(as_scores(expected), rel=1e-12)
    scores = [s for _, s in got]
    assert scores == sorted(scores, reverse=True)


@pytest.mark.parametrize("top", [1, 3, 10, 1000])
@pytest.mark.parametrize("method", ["textrank", "tfidf"])
def test_top(texts, method, top):
    every = keywords(run_json("--language", "none", "--method", method, "--top", "all", texts[0])["documents"][0])
    some = keywords(run_json("--language", "none", "--method", method, "--top", top, texts[0])["documents"][0])
    assert len(every) == len(set(cut_words(BEES)))
    assert some == every[:top]


def test_default_top_is_ten(texts):
    assert len(keywords(run_json(texts[0])["documents"][0])) == 10


def test_tfidf_builds_the_idf_from_the_inputs(texts):
    result = run_json("--language", "none", "--method", "tfidf", "--top", "all", *texts)
    words = [cut_words(path.read_text()) for path in texts]
    idf = build_idf(words)
    assert [keywords(d) for d in result["documents"]] == [tfidf(w, idf, None) for w in words]


def test_tfidf_of_a_single_input_is_term_frequency(texts):
    got = keywords(run_json("--language", "none", "--method", "tfidf", "--top", "5", texts[0])["documents"][0])
    expected = tfidf(cut_words(BEES), dict.fromkeys(cut_words(BEES), 1.0), 5)
    assert got == expected


def test_tfidf_with_idf_file(texts, tmp_path):
    idf_path = tmp_path / "weights.idf"
    idf_path.write_text("# weights\nbees 3.5\nhive 2\nclover 0.25\n", encoding="utf-8")
    options = ["--language", "none", "--method", "tfidf", "--idf", idf_path, "--top", "all"]
    got = keywords(run_json(*options, "--unknown-idf", "zero", texts[0])["documents"][0])
    expected = tfidf(cut_words(BEES), load_idf(idf_path), None)
    assert got == [(w, float(s)) for w, s in expected]
    assert got[0] == ("bees", 10.5)  # 3 occurrences x 3.5
    assert dict(got)["the"] == 0  # not in the table
    # by default a word the table lacks weighs the table's median weight, 2
    median = dict(keywords(run_json(*options, texts[0])["documents"][0]))
    assert median["bees"] == 10.5 and median["the"] == 2.0 * cut_words(BEES).count("the")


def test_tfidf_with_idf_from_directory(texts, tmp_path):
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    (corpus / "one.txt").write_text(ORCHARD, encoding="utf-8")
    (corpus / "two.txt").write_text(WEATHER, encoding="utf-8")
    (corpus / "ignored.md").write_text("bees bees bees", encoding="utf-8")
    (corpus / "nested.txt").mkdir()
    options = ["--language", "none", "--method", "tfidf", "--idf-from", corpus, "--unknown-idf", "zero", "--top", "all"]
    got = keywords(run_json(*options, texts[0])["documents"][0])
    idf = build_idf([cut_words(ORCHARD), cut_words(WEATHER)])
    assert got == [(w, float(s)) for w, s in tfidf(cut_words(BEES), idf, None)]


def test_keep_case(tmp_path):
    path = tmp_path / "case.txt"
    path.write_text("Bees bees BEES hive", encoding="utf-8")
    lower = keywords(run_json("--top", "all", "--method", "tfidf", path)["documents"][0])
    kept = keywords(run_json("--top", "all", "--method", "tfidf", "--keep-case", path)["documents"][0])
    assert lower == [("bees", 3.0), ("hive", 1.0)]
    assert kept == [("Bees", 1.0), ("bees", 1.0), ("BEES", 1.0), ("hive", 1.0)]


def test_stop_words(texts, tmp_path):
    stop = tmp_path / "stop.txt"
    stop.write_text("# common words\nthe\n\n  AND  \na\n", encoding="utf-8")
    got = keywords(
        run_json("--method", "textrank", "--language", "none", "--stop-words", stop, "--top", "all", texts[0])["documents"][0]
    )
    words = [w for w, _ in got]
    assert not {"the", "and", "a"} & set(words)
    stop_words = frozenset({"the", "and", "a"})
    expected = textrank(cut_words(BEES, CutSettings(stop_words=stop_words)), n_word=None)
    assert as_scores(got) == pytest.approx(as_scores(expected), rel=1e-12)


def test_english_leaves_out_the_shipped_function_words(tmp_path):
    path = tmp_path / "doc.txt"
    path.write_text("The bees and the hive; THE queen of the hive.", encoding="utf-8")
    got = keywords(run_json("--english", "--top", "all", "--method", "tfidf", path)["documents"][0])
    assert got == [("hive", 2.0), ("bees", 1.0), ("queen", 1.0)]
    # combined with a file of one's own
    stop = tmp_path / "stop.txt"
    stop.write_text("queen\n", encoding="utf-8")
    got = keywords(run_json("--english", "--stop-words", stop, "--top", "all", "--method", "tfidf", path)["documents"][0])
    assert got == [("hive", 2.0), ("bees", 1.0)]


def test_cut_jieba(tmp_path):
    pytest.importorskip("jieba")
    path = tmp_path / "zh.txt"
    path.write_text("养蜂是一种古老的手艺。养蜂的人叫养蜂人。", encoding="utf-8")
    status, out, err = run("--cut", "jieba", "--method", "tfidf", "--top", "1", path)
    assert (status, err) == (0, "")
    assert out.split("\t")[0] == "养蜂"


# --- inputs and output ----------------------------------------------------------


def test_sample_document_by_default():
    sample = resources.files("tallowmere.vellumcrest.data").joinpath("sample.txt").read_text("utf-8")
    assert len(sample.split()) > 200
    result = run_json("--method", "textrank", "--language", "none", "--top", "all")
    assert [d["source"] for d in result["documents"]] == ["<sample>"]
    expected = textrank(cut_words(sample), n_word=None)
    assert as_scores(keywords(result["documents"][0])) == pytest.approx(as_scores(expected), rel=1e-12)


def test_sample_document_as_text():
    status, out, err = run()
    assert (status, err) == (0, "")
    lines = out.splitlines()
    assert len(lines) == 10
    for line in lines:
        word, score = line.split("\t")
        assert word and float(score) > 0


def test_stdin(texts):
    from_file = run_json(texts[1])["documents"][0]
    from_stdin = run_json("-", stdin=ORCHARD)["documents"][0]
    assert from_stdin["source"] == "<stdin>"
    assert from_stdin["keywords"] == from_file["keywords"]


def test_text_output_with_several_inputs(texts):
    status, out, err = run("--top", "2", texts[0], "-", stdin=WEATHER)
    assert (status, err) == (0, "")
    blocks = out.split("\n\n")
    assert [block.splitlines()[0] for block in blocks] == [f"==> {texts[0]} <==", "==> <stdin> <=="]
    document = run_json("--top", "2", texts[0])["documents"][0]
    assert blocks[0].splitlines()[1:] == [f"{w}\t{s:.4f}" for w, s in keywords(document)]


def test_json_schema(texts, tmp_path):
    one_word = tmp_path / "one.txt"
    one_word.write_text("bees", encoding="utf-8")
    empty = tmp_path / "empty.txt"
    empty.write_text("", encoding="utf-8")
    status, out, err = run("--method", "textrank", "--json", texts[0], one_word, empty)
    assert (status, err) == (0, f"python -m tallowmere.vellumcrest: note: {empty}: no words to rank\n")
    result = json.loads(out)
    assert set(result) == {"method", "documents"}
    assert result["method"] == "textrank"
    assert [d["source"] for d in result["documents"]] == [str(texts[0]), str(one_word), str(empty)]
    for document in result["documents"]:
        assert set(document) == {"source", "keywords"}
        for keyword in document["keywords"]:
            assert set(keyword) == {"word", "score"}
            assert isinstance(keyword["word"], str)
            assert keyword["score"] is None or isinstance(keyword["score"], float)
    # A one-word document scores NaN under textrank, written as null.
    assert result["documents"][1]["keywords"] == [{"word": "bees", "score": None}]
    assert result["documents"][2]["keywords"] == []
    assert "NaN" not in out


def test_text_output_writes_nan(tmp_path):
    path = tmp_path / "one.txt"
    path.write_text("bees", encoding="utf-8")
    assert run("--method", "textrank", path) == (0, "bees\tnan\n", "")


@pytest.mark.parametrize("method", ["textrank", "tfidf"])
@pytest.mark.parametrize("as_json", [False, True])
def test_parallel_output_equals_serial_output(texts, method, as_json):
    inputs = [*texts, texts[0], "-", texts[2]]
    options = ["--method", method, "--top", "all"] + (["--json"] if as_json else [])
    serial = run(*options, *inputs, stdin=ORCHARD)
    parallel = run(*options, "-j", "2", *inputs, stdin=ORCHARD)
    assert serial[0] == 0 and serial[2] == ""
    assert parallel == serial


HARVEST = """\
We wait all summer for the honey harvest. In August the honey harvest is
over, and then the honey harvest is sold at the market.
"""


@pytest.mark.parametrize("jobs", ["1", "2"])
@pytest.mark.parametrize(
    "options, library_options",
    [
        ([], {}),
        (["--phrases"], {"phrases": True}),
        (["--keep-case", "--unknown-idf", "zero"], {"keep_case": True, "unknown_idf": "zero"}),
    ],
    ids=["plain", "phrases", "keep-case"],
)
@pytest.mark.parametrize("corpus", ["inputs", "idf-from"])
def test_tfidf_output_equals_keywords(texts, tmp_path, jobs, options, library_options, corpus):
    # The command keeps only what ranking needs of each input while the
    # table is built; what it ranks must be what keywords() ranks.
    from tallowmere.vellumcrest import keywords

    harvest = tmp_path / "harvest.txt"
    harvest.write_text(HARVEST, encoding="utf-8")
    reference = tmp_path / "reference"
    reference.mkdir()
    (reference / "a.txt").write_text(BEES + ORCHARD, encoding="utf-8")
    (reference / "b.txt").write_text(WEATHER, encoding="utf-8")
    inputs = [BEES, ORCHARD, WEATHER, HARVEST]
    idf_texts = [BEES + ORCHARD, WEATHER] if corpus == "idf-from" else inputs
    extra = ["--idf-from", reference] if corpus == "idf-from" else []
    result = run_json("--method", "tfidf", "--top", "all", "-j", jobs, *options, *extra, *texts, harvest)
    expected = [keywords(text, method="tfidf", top=None, idf_corpus=idf_texts, **library_options) for text in inputs]
    assert any(" " in word for word, _ in expected[-1]) == ("--phrases" in options)
    got = [[(pair["word"], pair["score"]) for pair in document["keywords"]] for document in result["documents"]]
    assert got == expected


def test_output_does_not_depend_on_the_hash_seed(texts):
    outputs = {run("--top", "all", *texts, env={"PYTHONHASHSEED": seed}) for seed in ("1", "2", "3")}
    assert len(outputs) == 1


def test_input_order_is_kept(texts):
    forward = run_json(*texts)["documents"]
    backward = run_json(*reversed(texts))["documents"]
    assert forward == backward[::-1]


def test_byte_order_mark_is_skipped(tmp_path):
    plain, marked = tmp_path / "plain.txt", tmp_path / "marked.txt"
    plain.write_bytes(BEES.encode())
    marked.write_bytes(b"\xef\xbb\xbf" + BEES.encode())
    assert keywords(run_json(plain)["documents"][0]) == keywords(run_json(marked)["documents"][0])


def test_version():
    status, out, err = run("--version")
    assert status == 0
    assert out.split()[-1] == _package.version()


def test_help_documents_exit_codes_and_the_default_idf():
    status, out, err = run("--help")
    assert status == 0
    assert "built from the input documents themselves" in out
    for code in (inputs.EXIT_FILE, inputs.EXIT_ENCODING, inputs.EXIT_NUMBER, inputs.EXIT_IDF, inputs.EXIT_MISSING_CUTTER):
        assert f"\n  {code}  " in out


def test_closed_output_pipe_fails_quietly(texts):
    process = start_python(*COMMAND, texts[0], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdout.close()
    err = process.stderr.read()
    process.stderr.close()
    assert process.wait(timeout=300) == inputs.EXIT_FAILURE
    assert b"Traceback" not in err


def test_console_script(texts):
    scripts = [e for e in entry_points(group="console_scripts") if e.name == "vellumcrest-keywords"]
    if not scripts:
        pytest.skip("the vellumcrest-keywords console script is not installed")
    assert scripts[0].value == "tallowmere.vellumcrest.cli:run"
    executable = shutil.which("vellumcrest-keywords", path=os.path.dirname(sys.executable))
    if executable is None:
        pytest.skip("the vellumcrest-keywords script is not beside this interpreter")
    result = run_interpreter("--json", texts[0], program=executable, timeout=300)
    assert result.returncode == 0
    assert json.loads(result.stdout) == run_json(texts[0])


# --- errors: a message on stderr, a distinct exit status, nothing on stdout -----


def check_error(result, status, *fragments):
    got_status, out, err = result
    assert got_status == status, err
    assert out == ""
    assert err.startswith("python -m tallowmere.vellumcrest: error: ") or err.startswith("usage: ")
    for fragment in fragments:
        assert fragment in err
    assert "Traceback" not in err


def test_missing_file_after_good_ones(texts, tmp_path):
    missing = tmp_path / "missing.txt"
    check_error(run(*texts, missing), inputs.EXIT_FILE, f"{missing}: cannot read: no such file or directory")


def test_directory_as_input(tmp_path):
    check_error(run(tmp_path), inputs.EXIT_FILE, f"{tmp_path}: cannot read: is a directory")


@pytest.mark.skipif(hasattr(os, "geteuid") and os.geteuid() == 0, reason="root reads any file")
def test_unreadable_file(tmp_path):
    path = tmp_path / "secret.txt"
    path.write_text("bees")
    path.chmod(0)
    check_error(run(path), inputs.EXIT_FILE, "permission denied")


@pytest.mark.parametrize(
    "data, where",
    [
        (b"bees\xff hive", "byte 0xff at line 1, column 5"),
        (b"bees\nhive\n  \xc3(", "byte 0xc3 at line 3, column 3"),
        (b"\xef\xbb\xbf\x80", "byte 0x80 at line 1, column 1"),
    ],
)
def test_undecodable_input(texts, tmp_path, data, where):
    path = tmp_path / "latin.txt"
    path.write_bytes(data)
    check_error(run(texts[0], path), inputs.EXIT_ENCODING, f"{path}: not valid UTF-8: {where}")


_BYTES = [b"a", b"\n", b"\r\n", b"\xc3", b"\xa9", b"\xc3\xa9", b"\xe2\x82\xac", b"\xf0\x9f\x90\x9d", b"\xff",
          b"\xef\xbb\xbf"]


@settings(max_examples=300, deadline=None)
@given(
    st.one_of(st.lists(st.sampled_from(_BYTES), max_size=14).map(b"".join),
              st.sampled_from([b"", b"\xef\xbb", b"\xff\xfeb\x00", b"\xfe\xff\x00b", b"\xff\xfe\x00\x00b\x00\x00\x00"])),
    st.integers(min_value=1, max_value=6),
    st.integers(min_value=0, max_value=8),
)
@example(b"ab\xe2\x82\xac\xff\n", 4, 0)  # a bad byte just after a character that two reads share
def test_a_file_read_a_piece_at_a_time_decodes_as_a_whole(data, read_size, sample):
    # The same text, or the same error at the same line and column, wherever
    # the reads end; the head holds the first *sample* characters at least.
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "doc.txt")
        with open(path, "wb") as stream:
            stream.write(data)
        try:
            expected = inputs.decode(path, data)
        except inputs.CommandError as error:
            expected = (str(error), error.status)
        try:
            with mock.patch.object(inputs, "SCRIPT_SAMPLE", sample):
                text = inputs.StreamedText(path, read_size)
            head = text.head
            got = "".join(text)
        except inputs.CommandError as error:
            got = (str(error), error.status)
        else:
            assert len(head) >= min(sample, len(got)) and got.startswith(head)
        assert got == expected


@pytest.mark.parametrize(
    "data, failing",
    # (the last one longer than the first read, which would reach its end)
    [(b"\xff\xfeb\x00", False), (b"bees\xff", False), (b"bees hum\n" * (inputs.READ_SIZE // 4), True)],
    ids=["refused at once", "bad byte", "ranking fails"],
)
def test_a_streamed_file_is_closed_however_its_work_ends(tmp_path, monkeypatch, data, failing):
    from tallowmere.vellumcrest.options import make_options

    path = tmp_path / "doc.txt"
    path.write_bytes(data)
    opened = []

    def recording_open(*args, **kwargs):
        opened.append(open(*args, **kwargs))
        return opened[-1]

    def failing_keyphrases(text, options):
        raise RuntimeError("stopped")

    monkeypatch.setattr(inputs, "open", recording_open, raising=False)
    monkeypatch.setattr(inputs, "SCRIPT_SAMPLE", 1)
    if failing:
        monkeypatch.setattr(inputs.extract, "keyphrases_of", failing_keyphrases)
    with pytest.raises(RuntimeError if failing else inputs.CommandError):
        inputs.keywords_of_document(make_options(), inputs.Document(str(path), None, str(path)))
    assert len(opened) == 1 and opened[0].closed


def test_undecodable_stdin():
    check_error(run("-", stdin=b"caf\xe9"), inputs.EXIT_ENCODING, "<stdin>: not valid UTF-8")


@pytest.mark.parametrize(
    "option, value, fragment",
    [
        ("--top", "ten", "--top: not a whole number: 'ten'"),
        ("--top", "-1", "--top: must be at least 0, got -1"),
        ("--top", "2.5", "--top: not a whole number"),
        ("--window", "1", "--window: must be at least 2, got 1"),
        ("--window", "", "--window: not a whole number"),
        ("--alpha", "1.5", "--alpha: must be between 0 and 1"),
        ("--alpha", "-0.1", "--alpha: must be between 0 and 1"),
        ("--alpha", "nan", "--alpha: must be between 0 and 1"),
        ("--alpha", "high", "--alpha: not a number: 'high'"),
        ("--iterations", "0", "--iterations: must be at least 1, got 0"),
        ("--iterations", "1e3", "--iterations: not a whole number"),
        ("--iterations", "18446744073709551616", "--iterations: must be at most 1000000, got 18446744073709551616"),
        ("--iterations", "1000001", "--iterations: must be at most 1000000"),
        ("--alpha", "1e400", "--alpha: must be between 0 and 1"),
        ("-j", "0", "-j/--jobs: must be at least 1, got 0"),
        ("--jobs", "two", "-j/--jobs: not a whole number"),
    ],
)
def test_bad_number(texts, option, value, fragment):
    check_error(run("--method", "textrank", option, value, texts[0]), inputs.EXIT_NUMBER, fragment)


@pytest.mark.parametrize(
    "data, fragment",
    [
        (b"bees 1\nhive\n", ":2: expected 'word weight', found 1 field"),
        (b"bees one\n", ":1: weight 'one' of 'bees' is not a finite number"),
        (b"bees 1\nbees 2\n", ":2: 'bees' is listed twice"),
        (b"# ok\nbe\xffes 1\n", ":2: not valid UTF-8"),
    ],
)
def test_malformed_idf_file(texts, tmp_path, data, fragment):
    path = tmp_path / "bad.idf"
    path.write_bytes(data)
    check_error(
        run("--method", "tfidf", "--idf", path, texts[0]),
        inputs.EXIT_IDF,
        f"error: {path}{fragment}",
    )


def test_missing_idf_file(texts, tmp_path):
    path = tmp_path / "none.idf"
    check_error(run("--method", "tfidf", "--idf", path, texts[0]), inputs.EXIT_FILE, f"{path}: cannot read")


def test_idf_directory_missing_or_empty(texts, tmp_path):
    missing = tmp_path / "nowhere"
    check_error(run("--method", "tfidf", "--idf-from", missing, texts[0]), inputs.EXIT_FILE, f"{missing}: cannot read")
    empty = tmp_path / "empty"
    empty.mkdir()
    (empty / "notes.md").write_text("bees")
    check_error(run("--method", "tfidf", "--idf-from", empty, texts[0]), inputs.EXIT_FILE, "no *.txt file")


def test_undecodable_file_in_idf_directory(texts, tmp_path):
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    (corpus / "bad.txt").write_bytes(b"\xfe")
    check_error(run("--method", "tfidf", "--idf-from", corpus, texts[0]), inputs.EXIT_ENCODING, "bad.txt: not valid UTF-8")


def test_stop_word_file_errors(texts, tmp_path):
    missing = tmp_path / "stop.txt"
    check_error(run("--stop-words", missing, texts[0]), inputs.EXIT_FILE, f"{missing}: cannot read")
    missing.write_bytes(b"the\n\xff\n")
    check_error(run("--stop-words", missing, texts[0]), inputs.EXIT_ENCODING, f"{missing}: not valid UTF-8")


@pytest.mark.parametrize(
    "args, fragment",
    [
        (["--method", "textrank", "--idf", "x.idf"], "--idf applies only to --method tfidf"),
        (["--method", "textrank", "--idf-from", "dir"], "--idf-from applies only to --method tfidf"),
        (["--idf", "x.idf"], "--idf applies only to --method tfidf, not keyphrases (the default)"),
        (["--window", "3"], "--window applies only to --method textrank, not keyphrases"),
        (["--pos", "n", "--language", "zh"], "--pos applies only to --method textrank or tfidf, not keyphrases"),
        (["--phrases"], "--phrases applies only to --method textrank or tfidf"),
        (["--method", "tfidf", "--window", "3"], "--window applies only to --method textrank"),
        (["--method", "tfidf", "--alpha", "0.5"], "--alpha applies only to --method textrank"),
        (["--method", "tfidf", "--iterations", "3"], "--iterations applies only to --method textrank"),
        (["--method", "tfidf", "--idf", "x", "--idf-from", "y"], "not allowed with argument"),
        (["--method", "pagerank"], "invalid choice: 'pagerank'"),
        (["--cut", "spaces"], "invalid choice: 'spaces'"),
        (["--colour"], "unrecognized arguments: --colour"),
        (["--top"], "expected one argument"),
    ],
)
def test_usage_errors(args, fragment):
    check_error(run(*args), inputs.EXIT_USAGE, fragment)


def test_jieba_not_installed(texts, tmp_path):
    # A module that fails to import stands in for a missing jieba.
    (tmp_path / "jieba.py").write_text("raise ImportError(\"No module named 'jieba'\")\n")
    result = run("--cut", "jieba", texts[0], env={"PYTHONPATH": str(tmp_path)})
    check_error(result, inputs.EXIT_MISSING_CUTTER, "needs the jieba package", "[chinese]")


def test_exit_codes_are_distinct():
    codes = [getattr(inputs, name) for name in inputs.__all__ if name.startswith("EXIT_") and name != "EXIT_STATUSES"]
    assert len(codes) == len(set(codes)) == 12
    assert math.prod(codes) == 0 and inputs.EXIT_OK == 0


# --- languages, phrases, unknown idf weights, inputs without words ---------------


def test_inputs_without_words_get_a_note(texts, tmp_path):
    empty = tmp_path / "empty.txt"
    empty.write_text("", encoding="utf-8")
    stop_only = tmp_path / "stop.txt"
    stop_only.write_text("The and of, to: a 1998!", encoding="utf-8")
    for method in ("textrank", "tfidf"):
        status, out, err = run("--method", method, empty, texts[0], stop_only)
        assert status == 0
        assert err == "".join(f"python -m tallowmere.vellumcrest: note: {path}: no words to rank\n"
                              for path in (empty, stop_only))
        blocks = out.split("\n\n")
        assert blocks[0] == f"==> {empty} <==" and blocks[2] == f"==> {stop_only} <==\n"
        assert len(blocks[1].splitlines()) == 11
    # stop words only count as words without the English list
    assert run("--language", "none", stop_only)[2] == ""


@pytest.mark.parametrize(
    "args, fragment",
    [
        (["--method", "textrank", "--unknown-idf", "zero"], "--unknown-idf applies only to --method tfidf"),
        (["--method", "tfidf", "--engine", "exact"], "--engine applies only to --method textrank"),
        (["--method", "textrank", "--pos", "n"], "--pos applies only to --language zh"),
        (["--method", "textrank", "--language", "none", "--pos", "n"], "--pos applies only to --language zh"),
        (["--cut", "jieba", "--language", "en"], "--cut jieba conflicts with --language en"),
        (["--cut", "regex", "--language", "zh"], "--cut regex conflicts with --language zh"),
        (["--language", "fr"], "invalid choice: 'fr'"),
        (["--engine", "fast"], "invalid choice: 'fast'"),
        (["--method", "textrank", "--language", "zh", "--pos", ", ,"], "--pos: no part-of-speech tag"),
    ],
)
def test_usage_errors_of_the_text_options(args, fragment):
    check_error(run(*args), inputs.EXIT_USAGE, fragment)


@pytest.mark.parametrize(
    "value, fragment",
    [("many", "--unknown-idf: not median, zero or a number: 'many'"), ("inf", "must be a finite number")],
)
def test_bad_unknown_idf(texts, value, fragment):
    check_error(run("--method", "tfidf", "--unknown-idf", value, texts[0]), inputs.EXIT_NUMBER, fragment)


def test_an_empty_idf_table_has_no_median(texts, tmp_path):
    table = tmp_path / "empty.idf"
    table.write_text("# nothing\n", encoding="utf-8")
    check_error(run("--method", "tfidf", "--idf", table, texts[0]), inputs.EXIT_IDF,
                f"error: {table}: no weights, so no median")
    status, out, err = run("--method", "tfidf", "--idf", table, "--unknown-idf", "zero", texts[0])
    assert (status, err) == (0, "") and all(line.endswith("\t0.0000") for line in out.splitlines())


def test_an_idf_directory_without_words(texts, tmp_path):
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    (corpus / "numbers.txt").write_text("1 2 3", encoding="utf-8")
    check_error(run("--method", "tfidf", "--idf-from", corpus, texts[0]), inputs.EXIT_FILE,
                f"error: {corpus}: no words to build the idf table from")


def test_chinese_in_parallel_equals_serial(tmp_path):
    pytest.importorskip("jieba")
    text = (os.path.dirname(__file__) + "/data/zh_tea.txt")
    for method in (["--method", "textrank", "--phrases"], []):
        serial = run(*method, "--language", "zh", "--top", "all", text, "-", stdin="养蜂是一种古老的手艺。养蜂的人叫养蜂人。")
        parallel = run(*method, "--language", "zh", "--top", "all", "-j", "2", text, "-",
                       stdin="养蜂是一种古老的手艺。养蜂的人叫养蜂人。")
        assert serial[0] == 0 and serial[2] == "" and serial[1].count("==>") == 2
        assert parallel == serial


# --- hostile surroundings: closed streams, memory limits, killed workers -------

PROGRAM = "from tallowmere.vellumcrest.cli import run; run('vellumcrest-keywords')"


def run_program(*args, shell="", code=PROGRAM, timeout=120):
    """The command as its console script starts it, under `sh -c '<shell>
    exec ...'`: `shell` may close streams or set limits.  (status, stdout,
    stderr)."""
    wrapper = ("sh", "-c", f'{shell.format(exec="exec")} "$@"', "sh") if shell else ()
    done = run_python(code, *args, wrapper=wrapper, timeout=timeout)
    return done.returncode, done.stdout, done.stderr


PROG_ERROR = "vellumcrest-keywords: error: "

# qemu's user-mode emulation takes the lowest free descriptor for the program
# it runs, so a closed standard input is open again, on the executable.
NATIVE_STDIN = pytest.mark.skipif(platform.machine() not in ("x86_64", "aarch64"),
                                  reason="under emulation a closed standard input is the emulator's own descriptor")


@pytest.mark.parametrize(
    "shell, args, status, out, err",
    [
        ('{exec} >&-', ["{bees}"], inputs.EXIT_FAILURE, None,
         PROG_ERROR + "cannot write the output: standard output is closed\n"),
        # stderr closed: the status tells, and stdout stays empty after an error
        ('{exec} 2>&-', ["{bees}", "{missing}"], inputs.EXIT_FILE, "", None),
        ('{exec} 2>&-', ["--top", "x", "{bees}"], inputs.EXIT_NUMBER, "", None),
        ('{exec} 2>&-', ["{empty}"], inputs.EXIT_OK, "", None),  # the note has nowhere to go
        pytest.param('{exec} <&-', ["-"], inputs.EXIT_FILE, "",
                     PROG_ERROR + "<stdin>: cannot read: standard input is closed\n", marks=NATIVE_STDIN),
        pytest.param('{exec} <&-', ["{bees}", "-"], inputs.EXIT_FILE, "",
                     PROG_ERROR + "<stdin>: cannot read: standard input is closed\n", marks=NATIVE_STDIN),
    ],
    ids=["stdout", "stderr error", "stderr usage", "stderr note", "stdin", "stdin second"],
)
def test_closed_standard_streams(texts, tmp_path, shell, args, status, out, err):
    (tmp_path / "empty.txt").write_text("42\n")
    places = {"bees": texts[0], "missing": tmp_path / "missing.txt", "empty": tmp_path / "empty.txt"}
    got = run_program(*(arg.format(**places) for arg in args), shell=shell)
    assert got[0] == status, got
    if out is not None:
        assert got[1] == out
    if err is not None:
        assert got[2] == err
    assert "Traceback" not in got[1] + got[2]


def test_a_closed_standard_descriptor_is_not_reused(texts):
    # Started with descriptor 2 closed, the next file opened would take it,
    # and whatever a library writes to standard error would land there.
    code = """
        import os, sys
        from tallowmere.vellumcrest import cli
        cli.hold_standard_descriptors()
        fd = os.open(sys.argv[1], os.O_RDONLY)
        print(sys.stderr is None, fd > 2, os.path.samefile(f"/proc/self/fd/2", os.devnull))
    """
    status, out, _ = run_program(texts[0], shell="{exec} 2>&-", code=code)
    assert (status, out) == (0, "True True True\n")


def zeros(tmp_path):
    return "/dev/zero"


def big_text(tmp_path):
    # 25 MB of words, a million of them distinct: cutting it into words, or
    # finding its keyphrases, takes far more than the limit.  (20 MB of the
    # same eight words, as this was, now has its keyphrases found within it.)
    path = tmp_path / "big.txt"
    path.write_text("".join(f"bees visit the clover{n} and the hive{n} hums\n" for n in range(500_000)))
    return path


# An address-space limit the interpreter, numpy and the package load within,
# far below what reading /dev/zero or ranking 25 MB of text needs.
LIMIT_KB = 460_800
MEMORY_LIMITED = "ulimit -v %d; {exec}" % LIMIT_KB


NO_ADDRESS_LIMIT = ("asan" in os.environ.get("LD_PRELOAD", "")
                    or platform.machine() not in ("x86_64", "aarch64"))
NO_ADDRESS_LIMIT_REASON = "the sanitizer runtime and emulators cannot live with an address-space limit"


@pytest.mark.skipif(NO_ADDRESS_LIMIT, reason=NO_ADDRESS_LIMIT_REASON)
@pytest.mark.parametrize(
    "args, failing, doing",
    [
        # the keyphrases of a file are found as it is read
        (["{input}"], zeros, "find its keyphrases"),
        (["--method", "textrank", "-j", "2", "{bees}", "{input}"], zeros, "read it"),
        (["{input}"], big_text, "find its keyphrases"),
        # both workers at the limit at once: the command still ends
        (["-j", "2", "{input}", "{input}"], big_text, "find its keyphrases"),
        (["--method", "textrank", "{input}"], big_text, "cut it into words"),
        (["--method", "tfidf", "-j", "2", "{bees}", "{input}"], big_text, "cut it into words"),
    ],
    ids=["zeros", "zeros textrank -j 2", "big", "big twice -j 2", "big textrank", "big tfidf -j 2"],
)
def test_running_out_of_memory_names_the_input_and_what_ran_out(texts, tmp_path, args, failing, doing):
    name = failing(tmp_path)
    arguments = [arg.format(input=name, bees=texts[0]) for arg in args]
    status, out, err = run_program(*arguments, shell=MEMORY_LIMITED, timeout=120)
    assert (status, out) == (inputs.EXIT_MEMORY, ""), err
    assert err == f"{PROG_ERROR}{name}: not enough memory to {doing}\n"


@pytest.mark.skipif(NO_ADDRESS_LIMIT, reason=NO_ADDRESS_LIMIT_REASON)
def test_running_out_of_memory_reading_standard_input():
    status, out, err = run_program("-", shell=MEMORY_LIMITED + " < /dev/zero")
    assert (status, out, err) == (inputs.EXIT_MEMORY, "", f"{PROG_ERROR}<stdin>: not enough memory to read it\n")


def test_out_of_memory_in_the_parent_is_one_line(texts, monkeypatch, capsys):
    def fail(*args):
        raise MemoryError()

    monkeypatch.setattr(output, "render", fail)
    assert command.main([str(texts[0])], prog="vellumcrest-keywords") == inputs.EXIT_MEMORY
    assert capsys.readouterr() == ("", f"{PROG_ERROR}not enough memory to build the output\n")


def test_a_killed_worker_is_one_line_naming_the_input(texts, tmp_path):
    # The first input is a FIFO that nobody writes: the worker that reads it
    # waits until a worker is killed, as the kernel's out-of-memory killer
    # kills (SIGKILL).
    fifo = tmp_path / "fifo.txt"
    os.mkfifo(fifo)
    code = """
        import multiprocessing, os, signal, sys, threading, time
        from tallowmere.vellumcrest.cli import command

        def kill_a_worker():
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                workers = multiprocessing.active_children()
                if len(workers) >= 2:
                    time.sleep(0.5)
                    os.kill(workers[0].pid, signal.SIGKILL)
                    return
                time.sleep(0.05)

        threading.Thread(target=kill_a_worker, daemon=True).start()
        sys.exit(command.main(["-j", "2", *sys.argv[1:]], prog="vellumcrest-keywords"))
    """
    try:
        status, out, err = run_program(fifo, texts[0], code=code, timeout=120)
    finally:
        try:  # lets a reader still waiting on the FIFO go
            os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
        except OSError:
            pass
    assert (status, out) == (inputs.EXIT_MEMORY, ""), err
    assert err == (f"{PROG_ERROR}{fifo}: a worker process was killed before this input was done"
                   " (as the system kills a process when memory runs out)\n")
