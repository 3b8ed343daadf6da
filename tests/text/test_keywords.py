"""keywords(): raw text in, (keyword, score) pairs out; and the command line over it."""

import json
import math
import statistics
import sys
from importlib import resources
from pathlib import Path

import pytest

import tallowmere.vellumcrest as package
from conftest import run_command, run_python
from tallowmere.vellumcrest import extract, keywords
from tallowmere.vellumcrest.data import stop_words_for
from tallowmere.vellumcrest.text import CutSettings, cut_words
from tallowmere.vellumcrest.idf import build_idf
from tallowmere.vellumcrest.keyword import textrank, tfidf

DATA = Path(__file__).parent / "data"
LICENSES = Path("/usr/share/common-licenses")
SAMPLE = resources.files("tallowmere.vellumcrest.data").joinpath("sample.txt").read_text("utf-8")
ZH_TEXT = (DATA / "zh_tea.txt").read_text("utf-8")


def license_text(name):
    path = LICENSES / name
    if not path.is_file():
        pytest.skip(f"{path} is not on this machine")
    return path.read_text("utf-8")


def cli_json(*args, stdin=b""):
    status, out, err = run_command("--json", *args, stdin=stdin)
    assert status == 0, err
    return [[(k["word"], k["score"]) for k in d["keywords"]] for d in json.loads(out)["documents"]]


def nan_as_none(ranked):
    return [(word, None if math.isnan(score) else score) for word, score in ranked]


# --- the text and the options ---------------------------------------------------


@pytest.mark.parametrize("text", [["the", "bees"], b"the bees", None, ("bees",)])
def test_text_must_be_str_and_the_error_points_to_the_token_rankers(text):
    with pytest.raises(TypeError, match=r"not (list|bytes|NoneType|tuple); .*textrank\(\) or tfidf\(\)"):
        keywords(text)


@pytest.mark.parametrize(
    "options, error, fragment",
    [
        ({"method": "pagerank"}, ValueError, "method must be"),
        ({"top": -1}, ValueError, "top must be at least 0"),
        ({"top": 2.5}, TypeError, "top must be an int"),
        ({"language": "fr"}, ValueError, "language must be"),
        ({"window": 1}, ValueError, "window must be at least 2"),
        ({"alpha": 1.5}, ValueError, "alpha must be between 0 and 1"),
        ({"alpha": math.nan}, ValueError, "alpha must be a finite number"),
        ({"iterations": 0}, ValueError, "iterations must be at least 1"),
        ({"iterations": 1_000_001}, ValueError, "iterations must be at most 1000000"),
        ({"iterations": 2**64}, ValueError, "iterations must be at most 1000000"),
        ({"alpha": 10**400}, ValueError, "alpha must be a finite number"),
        ({"method": "tfidf", "unknown_idf": 10**400}, ValueError, "unknown_idf must be a finite number"),
        ({"method": "tfidf", "unknown_idf": -(10**400)}, ValueError, "unknown_idf must be a finite number"),
        ({"engine": "dense"}, ValueError, "engine must be"),
        ({"unknown_idf": "mean"}, ValueError, "unknown_idf must be"),
        ({"unknown_idf": math.inf}, ValueError, "unknown_idf must be a finite number"),
        ({"windw": 3}, TypeError, "keywords\\(\\) got an unexpected keyword argument 'windw'"),
        ({"stop_words": "the"}, TypeError, "stop_words must be a collection of str"),
        ({"stop_words": [1]}, TypeError, "stop_words must hold str"),
        ({"pos": ["n"]}, ValueError, "pos applies only to language='zh'"),
        ({"pos": "n", "language": "zh"}, ValueError, "pos must be 'auto', None or a collection"),
        ({"pos": [], "language": "zh"}, ValueError, "pos is empty"),
        ({"idf": {"bee": 1.0}}, ValueError, "idf applies only to method='tfidf', not 'keyphrases'"),
        ({"method": "tfidf", "idf": {"a": 1.0}, "idf_corpus": ["a"]}, ValueError, "not both"),
        ({"method": "tfidf", "idf": [("a", 1.0)]}, TypeError, "idf must be a mapping"),
        ({"method": "tfidf", "idf_corpus": "one text"}, TypeError, "not one str"),
        ({"method": "tfidf", "idf": {}}, ValueError, "idf table is empty"),
    ],
)
def test_bad_options_are_named(options, error, fragment):
    with pytest.raises(error, match=fragment):
        keywords("the bees left the hive", **options)


@pytest.mark.parametrize("engine", ["keyword", "sparse"])
def test_textrank_options_default_to_the_rankers_own(engine):
    # keywords(method="textrank") with no window, alpha or iterations ranks
    # as the engine does with its own defaults.
    import importlib
    import inspect

    ranker = importlib.import_module(f"tallowmere.vellumcrest.{engine}").textrank
    defaults = {name: p.default for name, p in inspect.signature(ranker).parameters.items()}
    options = extract.make_options(method="textrank", engine="exact" if engine == "keyword" else "sparse")
    assert (options.window, options.alpha, options.iterations) == (
        defaults["window"], defaults["alpha"], defaults["n_iter"])
    assert keywords(SAMPLE, method="textrank", engine=options.engine) == keywords(
        SAMPLE, method="textrank", engine=options.engine, window=defaults["window"], alpha=defaults["alpha"],
        iterations=defaults["n_iter"])


def test_top_none_returns_every_word():
    words = set(cut_words(SAMPLE, CutSettings(stop_words=stop_words_for("en"))))
    assert len(keywords(SAMPLE, method="textrank", top=None)) == len(words)
    assert keywords(SAMPLE, method="textrank", top=3) == keywords(SAMPLE, method="textrank", top=None)[:3]


def test_the_package_exports_and_still_imports_nothing_on_load():
    assert package.keywords is extract.keywords
    assert (package.textrank, package.tfidf) == (textrank, tfidf)
    assert set(package.__all__) <= set(dir(package))
    result = run_python("""
        import sys
        before = set(sys.modules)
        import tallowmere.vellumcrest
        print(sorted(set(sys.modules) - before))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "['tallowmere', 'tallowmere.vellumcrest']"


# --- languages ---------------------------------------------------------------------


def test_english_text_gives_content_words():
    stop = stop_words_for("en")
    sample = [word for word, _ in keywords(SAMPLE, method="textrank")]
    assert {"hive", "bees", "queen"} <= set(sample) and not stop & set(sample)
    gpl = [word for word, _ in keywords(license_text("GPL-3"), method="textrank")]
    assert {"license", "program", "work", "copyright"} <= set(gpl)
    assert not stop & set(gpl)


def test_extra_stop_words_add_to_the_language_list_whatever_their_case_and_form():
    plain = [word for word, _ in keywords(SAMPLE, method="textrank", top=None)]
    fewer = [word for word, _ in keywords(SAMPLE, method="textrank", top=None, stop_words=["HIVE", "Keeper"])]
    assert set(plain) - set(fewer) == {"hive", "keeper"}
    # a decomposed accent in the list matches the composed one in the text
    assert [word for word, _ in keywords("café crème café", method="textrank", stop_words=["cafe\u0301"])] == ["crème"]


def test_chinese_top_words_are_content_words():
    pytest.importorskip("jieba")
    assert len(ZH_TEXT) >= 300
    stop = stop_words_for("zh")
    for options in ({"method": "textrank"}, {"method": "tfidf"}, {"method": "textrank", "pos": None}):
        top = [word for word, _ in keywords(ZH_TEXT, language="zh", **options)]
        assert len(top) == 10
        assert not stop & set(top), options
        assert all(any(c.isalpha() for c in word) for word in top), options
        assert {"茶叶", "茶园"} <= set(top), options


def test_chinese_textrank_keeps_the_default_parts_of_speech():
    pytest.importorskip("jieba")
    import jieba.posseg

    tags = {pair.word: pair.flag for pair in jieba.posseg.lcut(ZH_TEXT)}
    default = keywords(ZH_TEXT, method="textrank", language="zh", top=None)
    assert {tags[word] for word, _ in default} <= set(extract.DEFAULT_POS)
    nouns = keywords(ZH_TEXT, method="textrank", language="zh", top=None, pos=["n"])
    assert {tags[word] for word, _ in nouns} == {"n"}
    # pos=None keeps verbs such as 炒 ("stir-fry"), which is tagged "v" but
    # also other parts of speech that the default leaves out
    every = keywords(ZH_TEXT, method="textrank", language="zh", top=None, pos=None)
    assert len(every) > len(default) > len(nouns)
    assert {tags.get(word) for word, _ in every} - set(extract.DEFAULT_POS)


def test_missing_jieba_names_the_extra(tmp_path):
    (tmp_path / "jieba.py").write_text("raise ImportError(\"No module named 'jieba'\")\n")
    result = run_python(f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        from tallowmere.vellumcrest import keywords
        from tallowmere.vellumcrest.extract import MissingJiebaError
        try:
            keywords("养蜂是一种古老的手艺", language="zh")
        except MissingJiebaError as error:
            print(isinstance(error, ImportError), error)
    """)
    assert result.stdout.strip() == (
        "True language='zh' needs the jieba package: pip install 'tallowmere-vellumcrest[chinese]'")


# --- tfidf and words the table lacks -------------------------------------------


@pytest.fixture(scope="module")
def license_idf():
    """An idf table from another domain than the bee sample: paragraphs of licenses."""
    paragraphs = []
    for name in ("GPL-3", "Apache-2.0", "MPL-2.0", "LGPL-3", "Artistic"):
        paragraphs += [p for p in license_text(name).split("\n\n") if p.strip()]
    options = extract.make_options(method="tfidf")
    return build_idf(extract.words_of(extract.cut(p, options)[1]) for p in paragraphs)


def test_unknown_words_weigh_the_median_of_the_table(license_idf):
    median = statistics.median(license_idf.values())
    words = extract.words_of(extract.cut(SAMPLE, extract.make_options())[1])
    unknown = set(words) - set(license_idf)
    assert len(unknown) > len(set(words)) / 2  # the table really is from elsewhere

    zero = dict(keywords(SAMPLE, method="tfidf", idf=license_idf, unknown_idf="zero", top=None))
    assert {word for word, score in zero.items() if score == 0} == unknown
    got = dict(keywords(SAMPLE, method="tfidf", idf=license_idf, top=None))
    for word in unknown:
        assert got[word] == median * words.count(word)
    for word in set(words) - unknown:
        assert got[word] == zero[word]
    best = [word for word, _ in keywords(SAMPLE, method="tfidf", idf=license_idf)]
    assert {"hive", "bees", "colony"} <= set(best)
    fixed = dict(keywords(SAMPLE, method="tfidf", idf=license_idf, unknown_idf=7, top=None))
    assert fixed["hive"] == 7.0 * words.count("hive")


def test_idf_corpus_is_cut_like_the_text():
    corpus = ["The bees left the hive.", "The hive was empty.", "Bees make honey."]
    got = keywords("The bees left the hive", method="tfidf", idf_corpus=corpus, top=None)
    table = build_idf([cut_words(text, CutSettings(stop_words=stop_words_for("en"))) for text in corpus])
    assert got == [(word, float(score)) for word, score in tfidf(["bees", "left", "hive"], table, None)]


# --- phrases -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, expected",
    [("Apache-2.0", {"derivative works"}), ("GPL-3", {"source code", "corresponding source"})],
)
@pytest.mark.parametrize("method", ["textrank", "tfidf"])
def test_phrases_of_real_licenses(name, expected, method):
    ranked = keywords(license_text(name), method=method, phrases=True, top=30)
    phrases = {word for word, _ in ranked if " " in word}
    assert expected & phrases, ranked


def test_phrase_rule():
    text = "Honey bees. Honey bees, the queen. The queen bees; queen bees. Worker bees and bees. Big honey bees."
    words = dict(keywords(text, method="textrank", top=None))
    ranked = keywords(text, method="textrank", top=None, phrases=True)
    phrases = dict(pair for pair in ranked if " " in pair[0])
    # "worker bees" and the maximal run "big honey bees" occur once each
    assert set(phrases) == {"honey bees", "queen bees"}
    assert phrases["honey bees"] == math.fsum([words["honey"], words["bees"]])
    assert phrases["queen bees"] == math.fsum([words["queen"], words["bees"]])
    assert [score for _, score in ranked] == sorted((score for _, score in ranked), reverse=True)
    assert [pair for pair in ranked if " " not in pair[0]] == list(words.items())  # words stay


@pytest.mark.parametrize(
    "text",
    [
        "green honey. green honey. green honey.",  # ok: found three times
        "green, honey. green, honey. green, honey.",  # punctuation between
        "green the honey. green the honey.",  # a stop word between
        "green\n\nhoney. green\n\nhoney.",  # a blank line between
        "bees bees. bees bees.",  # one word repeated is no phrase
    ],
)
def test_what_breaks_a_phrase(text):
    phrases = [word for word, _ in keywords(text, method="textrank", top=None, phrases=True) if " " in word]
    assert phrases == (["green honey"] if text.startswith("green honey") else [])


def test_chinese_phrases_join_without_spaces():
    pytest.importorskip("jieba")
    text = "自然语言处理很有用。我们学习自然语言处理。自然语言处理的方法很多。"
    ranked = keywords(text, method="textrank", language="zh", top=None, phrases=True, pos=None)
    words = dict(keywords(text, method="textrank", language="zh", top=None, pos=None))
    phrases = [word for word, _ in ranked if word not in words]
    assert phrases and all(" " not in phrase for phrase in phrases)
    assert any(phrase.startswith("自然语言") for phrase in phrases)


# --- the same in every run and from the command line ----------------------------


def test_the_result_does_not_depend_on_the_hash_seed():
    code = ("import sys; from tallowmere.vellumcrest import keywords; text = sys.stdin.read();"
            " print(repr(keywords(text, method='textrank', top=None, phrases=True)), repr(keywords(text, top=None)))")
    outputs = set()
    for seed in ("0", "1", "2", "3"):
        result = run_python(code, input=SAMPLE, env={"PYTHONHASHSEED": seed}, timeout=300)
        assert result.returncode == 0, result.stderr
        outputs.add(result.stdout)
    assert len(outputs) == 1


@pytest.mark.parametrize(
    "options, kwargs",
    [
        ([], {}),
        (["--method", "textrank"], {"method": "textrank"}),
        (["--method", "textrank", "--language", "none", "--window", "3", "--alpha", "0.6", "--iterations", "20"],
         {"method": "textrank", "language": None, "window": 3, "alpha": 0.6, "iterations": 20}),
        (["--method", "textrank", "--phrases", "--top", "25"], {"method": "textrank", "phrases": True, "top": 25}),
        (["--method", "tfidf", "--keep-case", "--top", "all"], {"method": "tfidf", "keep_case": True, "top": None}),
        (["--method", "textrank", "--engine", "exact"], {"method": "textrank", "engine": "exact"}),
        (["--method", "textrank", "--engine", "sparse", "--phrases"],
         {"method": "textrank", "engine": "sparse", "phrases": True}),
        (["--keep-case", "--top", "all"], {"keep_case": True, "top": None}),
    ],
)
def test_command_line_gives_what_keywords_gives(tmp_path, options, kwargs):
    path = tmp_path / "gpl.txt"
    path.write_text(license_text("GPL-3"), encoding="utf-8")
    assert cli_json(*options, path) == [nan_as_none(keywords(license_text("GPL-3"), **kwargs))]


def test_command_line_tfidf_with_a_table_gives_what_keywords_gives(tmp_path, license_idf):
    from tallowmere.vellumcrest import save_idf

    table = tmp_path / "licenses.idf"
    save_idf(license_idf, table)
    for unknown in ("median", "zero", "2.5"):
        value = float(unknown) if unknown[0].isdigit() else unknown
        expected = keywords(SAMPLE, method="tfidf", idf=license_idf, unknown_idf=value, phrases=True)
        assert cli_json("--method", "tfidf", "--idf", table, "--unknown-idf", unknown, "--phrases") == [expected]


def test_command_line_chinese_gives_what_keywords_gives(tmp_path):
    pytest.importorskip("jieba")
    path = tmp_path / "tea.txt"
    path.write_text(ZH_TEXT, encoding="utf-8")
    assert cli_json("--language", "zh", path) == [keywords(ZH_TEXT, language="zh")]
    assert cli_json("--method", "textrank", "--language", "zh", path) == [
        keywords(ZH_TEXT, method="textrank", language="zh")
    ]
    assert cli_json("--method", "textrank", "--language", "zh", "--pos", "n,vn", path) == [
        keywords(ZH_TEXT, method="textrank", language="zh", pos=["n", "vn"])
    ]
    assert cli_json("--method", "textrank", "--cut", "jieba", "--pos", "none", path) == [
        keywords(ZH_TEXT, method="textrank", language="zh", pos=None)
    ]
    idf_from = tmp_path / "corpus"
    idf_from.mkdir()
    (idf_from / "one.txt").write_text(ZH_TEXT[:150], encoding="utf-8")
    (idf_from / "two.txt").write_text(ZH_TEXT[150:], encoding="utf-8")
    expected = keywords(ZH_TEXT, language="zh", method="tfidf", idf_corpus=[ZH_TEXT[:150], ZH_TEXT[150:]])
    assert cli_json("--language", "zh", "--method", "tfidf", "--idf-from", idf_from, path) == [expected]


# --- textrank's engines ---------------------------------------------------------------


def test_the_sparse_engine_agrees_with_the_exact_one():
    from sparse_agreement import disagreement

    text = license_text("GPL-3")
    exact = keywords(text, method="textrank", engine="exact", top=None, phrases=True)
    assert disagreement(exact, keywords(text, method="textrank", engine="sparse", top=None, phrases=True)) is None
    assert keywords(text, method="textrank") == keywords(text, method="textrank", engine="exact")  # auto: a small text


def test_numpy_refusing_a_too_big_array_is_running_out_of_memory(monkeypatch):
    import tallowmere.vellumcrest.keyword as keyword

    def refuse(*args, **kwargs):
        raise ValueError(message)

    monkeypatch.setattr(keyword, "textrank", refuse)
    message = "array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size."
    with pytest.raises(extract.RankMemoryError, match="3 distinct words with the exact engine"):
        keywords("bees hive queen bees", method="textrank", engine="exact")
    message = "some other fault"
    with pytest.raises(ValueError, match="some other fault"):
        keywords("bees hive queen bees", method="textrank", engine="exact")


# --- paragraphs ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "gap, joins",
    [
        (" ", True),
        ("\n", True),
        ("\r\n", True),
        ("\r", True),
        ("\u2028", True),
        ("\n\n", False),
        ("\n  \t\n", False),
        ("\r\n\r\n", False),
        ("\r\r", False),
        ("\u2028\u2028", False),
        ("\x85\x85", False),
        ("\u2029", False),
        ("\f", False),
        (" \f ", False),
    ],
    ids=repr,
)
def test_every_paragraph_break_ends_a_phrase(gap, joins):
    text = f"strong{gap}colony, and a strong{gap}colony, and again strong{gap}colony."
    words = [word for word, _ in keywords(text, method="textrank", phrases=True, top=None)]
    assert ("strong colony" in words) is joins, words


def test_the_signature_names_every_option_with_the_default_it_takes():
    import inspect

    from tallowmere.vellumcrest import keywords

    parameters = inspect.signature(keywords).parameters
    options = {name: p.default for name, p in parameters.items() if p.kind is p.KEYWORD_ONLY}
    assert {"window", "alpha", "iterations", "method", "top", "phrases"} <= set(options)
    text = "Honey bees keep the hive warm. The beekeeper opens the hive in spring."
    for method in ("keyphrases", "textrank", "tfidf"):
        shown = {**options, "method": method}
        if method != "keyphrases":
            shown["idf"] = {"hive": 1.0} if method == "tfidf" else None
        assert keywords(text, **shown) == keywords(text, method=method, idf=shown.get("idf"))
