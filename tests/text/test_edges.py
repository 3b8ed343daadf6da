"""What a new user meets first: options a method does not use, top=0, the
idf directory's pattern, Chinese text under language "en", UTF-16 files and
the package's namespace."""

import json
import warnings

import pytest

import tallowmere.vellumcrest as package
from tallowmere.vellumcrest import ScriptWarning, build_idf, data, inputs, keywords
from tallowmere.vellumcrest.cli import command
from tallowmere.vellumcrest.keyword import tfidf
from tallowmere.vellumcrest.options import OptionUseError
from tallowmere.vellumcrest.text import CutSettings, cut_words

BEES = "The bees left the hive at dawn. Bees visit clover, and the clover feeds the hive."
CHINESE = "养蜂是一种古老的手艺。养蜂的人叫养蜂人，蜜蜂在春天采蜜。"


def main(capfd, *argv):
    status = command.main([*argv], prog="vk")
    out, err = capfd.readouterr()
    return status, out, err


# --- options that the method does not use ------------------------------------------


@pytest.mark.parametrize(
    "method, option, value, flag",
    [
        ("tfidf", "window", 3, ["--window", "3"]),
        ("tfidf", "engine", "sparse", ["--engine", "sparse"]),
        ("textrank", "unknown_idf", "zero", ["--unknown-idf", "zero"]),
        ("keyphrases", "alpha", 0.5, ["--alpha", "0.5"]),
        ("keyphrases", "iterations", 3, ["--iterations", "3"]),
        ("keyphrases", "phrases", True, ["--phrases"]),
    ],
)
def test_an_option_the_method_does_not_use_is_refused_alike_in_python_and_the_command(
    capfd, method, option, value, flag
):
    with pytest.raises(OptionUseError, match=f"^{option} applies only to method='") as raised:
        keywords(BEES, method=method, **{option: value})
    assert method not in raised.value.methods
    # Its default, given, is the same call as leaving it out.
    default = {"window": 5, "engine": "auto", "unknown_idf": "median", "alpha": 0.8, "iterations": 10, "phrases": False}
    assert keywords(BEES, method=method, **{option: default[option]}) == keywords(BEES, method=method)
    status, out, err = main(capfd, "--method", method, *flag)
    assert (status, out) == (inputs.EXIT_USAGE, "")
    assert f"{flag[0]} applies only to --method {' or '.join(raised.value.methods)}, not {method}" in err


def test_values_are_checked_before_their_use():
    with pytest.raises(ValueError, match="alpha must be between 0 and 1"):
        keywords(BEES, method="tfidf", alpha=5)


# --- top=0 -------------------------------------------------------------------------


@pytest.mark.parametrize("method", ["keyphrases", "textrank", "tfidf"])
def test_top_zero_keeps_none_as_the_rankers_do_and_all_keeps_every_one(capfd, method):
    assert keywords(BEES, method=method, top=0) == []
    assert len(keywords(BEES, method=method, top=None)) > 1
    status, out, err = main(capfd, "--method", method, "--top", "0")
    assert (status, out, err) == (0, "", "")  # no "no words" note: nothing was asked for
    status, out, err = main(capfd, "--method", method, "--top", "all", "--json")
    every = [(k["word"], k["score"]) for k in json.loads(out)["documents"][0]["keywords"]]
    sample = data.read_bytes("sample.txt").decode("utf-8")
    assert every == [(word, score) for word, score in keywords(sample, method=method, top=None)]
    assert tfidf(["bee"], {}, 0) == []


# --- --idf-from DIR with a pattern ---------------------------------------------------


@pytest.mark.parametrize(
    "pattern, read",
    [(None, ["a.txt"]), ("*", ["LICENSE", "a.txt", "b.md"]), ("*.md", ["b.md"]), ("[ab].*", ["a.txt", "b.md"])],
)
def test_idf_from_reads_the_regular_files_its_pattern_matches(capfd, tmp_path, pattern, read):
    corpus = tmp_path / "corpus"
    (corpus / "sub.txt").mkdir(parents=True)  # a directory is never read
    texts = {"a.txt": "bees hive", "b.md": "clover hive", "LICENSE": "honey"}
    for name, text in texts.items():
        (corpus / name).write_text(text, encoding="utf-8")
    document = tmp_path / "doc.txt"
    document.write_text(BEES, encoding="utf-8")
    option = [] if pattern is None else ["--idf-pattern", pattern]
    status, out, err = main(
        capfd, "--method", "tfidf", "--idf-from", str(corpus), *option, "--unknown-idf", "zero", "--top", "all", "--json", str(document)
    )
    assert (status, err) == (0, "")
    settings = CutSettings(stop_words=package.extract.make_options().stop_words)
    idf = build_idf([cut_words(texts[name], settings) for name in read])
    expected = tfidf(cut_words(BEES, settings), idf, None)
    got = [(k["word"], k["score"]) for k in json.loads(out)["documents"][0]["keywords"]]
    assert got == [(w, float(s)) for w, s in expected]


def test_idf_pattern_that_matches_nothing_and_without_a_directory(capfd, tmp_path):
    (tmp_path / "a.txt").write_text("bees", encoding="utf-8")
    status, out, err = main(capfd, "--method", "tfidf", "--idf-from", str(tmp_path), "--idf-pattern", "*.md")
    assert (status, out) == (inputs.EXIT_FILE, "") and f"{tmp_path}: no *.md file to build the idf table from" in err
    status, out, err = main(capfd, "--method", "tfidf", "--idf-pattern", "*.md")
    assert (status, out) == (inputs.EXIT_USAGE, "") and "--idf-pattern applies only with --idf-from" in err


# --- Chinese text under language "en" -----------------------------------------------


@pytest.mark.parametrize(
    "text, language, warned",
    [
        (CHINESE * 3, "en", True),
        (CHINESE, None, False),
        (BEES + CHINESE[:8], "en", False),  # mostly Latin letters
        ("2024 年", "en", True),  # digits are no letters
    ],
)
@pytest.mark.parametrize("method", ["keyphrases", "textrank"])
def test_mostly_han_text_under_english_warns_once_per_call(text, language, warned, method):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        keywords(text, method=method, language=language)
    assert [type(w.message) for w in caught] == ([ScriptWarning] if warned else [])
    assert issubclass(ScriptWarning, UserWarning)


def test_the_command_warns_once_on_stderr(capfd, tmp_path):
    paths = []
    for number in range(3):
        path = tmp_path / f"{number}.txt"
        path.write_text(CHINESE, encoding="utf-8")
        paths.append(str(path))
    status, out, err = main(capfd, *paths)
    assert status == 0 and out
    assert err.splitlines() == [
        "vk: warning: the text is mostly Chinese (Han) characters, but language 'en' cuts at spaces and"
        " punctuation and ranks whole clauses as words: use language 'zh' for Chinese"
    ]


# --- files in UTF-16 or UTF-32 ------------------------------------------------------------


@pytest.mark.parametrize("encoding, shown", [("utf-16", "UTF-16"), ("utf-32", "UTF-32"), ("utf-16-be", "UTF-16")])
def test_a_file_with_another_byte_order_mark_gets_a_hint(capfd, tmp_path, encoding, shown):
    path = tmp_path / "doc.txt"
    data = BEES.encode(encoding)
    path.write_bytes(data if encoding != "utf-16-be" else b"\xfe\xff" + data)
    status, out, err = main(capfd, str(path))
    assert (status, out) == (inputs.EXIT_ENCODING, "")
    assert err == (
        f"vk: error: {path}: not UTF-8: it looks like {shown} (it starts with a byte-order mark);"
        f" convert it to UTF-8, e.g. iconv -f {shown} -t UTF-8\n"
    )


# --- the namespace ------------------------------------------------------------------------


def test_the_package_lists_only_its_public_api():
    assert dir(package) == sorted([*package.__all__, "__version__"])  # the version is read on first use
    for name in package.__all__:
        assert getattr(package, name).__name__ == name


# --- progress ------------------------------------------------------------------------------


@pytest.fixture
def many_files(tmp_path):
    paths = []
    for number in range(60):
        path = tmp_path / f"{number:02}.txt"
        path.write_text(f"{BEES} Hive number {number}.", encoding="utf-8")
        paths.append(str(path))
    return paths


@pytest.mark.parametrize("quiet", [[], ["--quiet"]])
def test_progress_shows_on_a_terminal_unless_quiet(many_files, quiet):
    import os
    import pty
    import subprocess
    import sys

    from conftest import COMMAND

    master, slave = pty.openpty()
    try:
        child = subprocess.Popen(
            [sys.executable, *COMMAND, *quiet, *many_files],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=slave,
        )
        os.close(slave)
        shown = b""
        while True:
            try:
                data = os.read(master, 4096)
            except OSError:  # EIO: the child closed the terminal
                break
            if not data:
                break
            shown += data
        out, _ = child.communicate(timeout=120)
    finally:
        os.close(master)
    assert child.returncode == 0 and out.count(b"==> ") == 60
    if quiet:
        assert shown == b""
    else:
        assert b"0/60 inputs" in shown


def test_progress_is_silent_when_piped(many_files):
    from conftest import run_command

    status, out, err = run_command("-j", "2", *many_files)
    assert (status, err) == (0, "") and out.count("==> ") == 60
