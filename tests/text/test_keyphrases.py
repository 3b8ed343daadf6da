"""keywords(method="keyphrases"): words and phrases of raw text, and the
command line's --method keyphrases."""

import array
import json
import sys
import unicodedata
from collections import Counter
from pathlib import Path
from unittest import mock

import pytest

from conftest import run_command, run_interpreter, run_python
from tallowmere.vellumcrest import keywords
from tallowmere.vellumcrest.keyphrases import english_stop_words

ABSTRACT = """\
Neural networks for web-based image retrieval
We train convolutional neural networks on a large image collection and use the
trained neural network to rank images for a web-based image retrieval system.
The retrieval system answers a query in a few milliseconds; j. s. m.
initials and numbers such as 2004 never become keyphrases.
"""


def phrases(text, **options):
    return [phrase for phrase, _ in keywords(text, method="keyphrases", **options)]


def test_words_and_phrases_best_first_with_float_scores():
    ranked = keywords(ABSTRACT, method="keyphrases", top=None)
    scores = [score for _, score in ranked]
    assert all(type(score) is float for score in scores)
    assert scores == sorted(scores, reverse=True)
    found = [phrase for phrase, _ in ranked]
    assert any(" " in phrase for phrase in found[:10]) and any(" " not in phrase for phrase in found[:10])
    assert "web-based image retrieval" in found[:10]
    assert len(keywords(ABSTRACT, method="keyphrases", top=3)) == 3


def test_variants_merge_and_nothing_is_listed_twice():
    found = phrases(ABSTRACT, top=None)
    # "neural network" and "neural networks" stem alike: one entry, in the more frequent form.
    assert [phrase for phrase in found if phrase.startswith("neural network")][:1] == ["neural networks"]
    assert "neural network" not in found
    import snowballstemmer

    stem = snowballstemmer.stemmer("english").stemWord
    bags = [frozenset(stem(word) for word in phrase.split()) for phrase in found]
    assert len(bags) == len(set(bags))


def test_stop_words_numbers_and_initials_stay_out():
    stops = english_stop_words()
    for phrase in phrases(ABSTRACT, top=None):
        words = phrase.split()
        assert all(len(word) > 1 and any(c.isalpha() for c in word) for word in words), phrase
        assert not any(word in stops for word in words), phrase


@pytest.mark.parametrize("keep_parts, parts_follow", [(True, True), (True, False), (False, True)])
def test_a_part_found_only_inside_a_longer_candidate(keep_parts, parts_follow):
    # A part that never occurs apart from the whole is a candidate only with
    # keep_parts; it takes its place by its score only with parts_follow (as
    # in Chinese), and otherwise comes after every other candidate.
    from dataclasses import replace

    from tallowmere.vellumcrest import keyphrases

    text = "Sparse matrix factorization is faster than the dense methods. Graph kernels help too, and so does caching."
    weights = replace(keyphrases.ENGLISH, keep_parts=keep_parts, parts_follow=parts_follow)
    ranked = keyphrases.keyphrases(text, top=None, weights=weights)
    found = [phrase for phrase, _ in ranked]
    assert found[0] == "sparse matrix factorization"
    assert ("sparse matrix" in found and "matrix factorization" in found) is keep_parts
    if keep_parts:
        assert (found.index("caching") < found.index("matrix factorization")) is not parts_follow
    assert [score for _, score in ranked] == sorted((score for _, score in ranked), reverse=True)


def test_a_short_text_fills_the_list_with_the_parts_of_its_phrases():
    title = "Phish Phavors New York With 3-Day Phestival In Phinger Lakes"
    found = phrases(title)
    assert found[:3] == ["phish phavors", "3-day phestival", "phinger lakes"]
    assert len(found) == 10 and {"phish", "phestival", "lakes"} <= set(found[3:])
    assert phrases(title, top=None) == found


@pytest.mark.parametrize(
    "first_line, spans",
    [
        ("Actress expecting first child", False),  # a headline
        ("Actress expecting first child " + "and more words on a line that wraps first child", True),
        ("Actress is expecting. First child", True),  # a sentence ended: no heading
    ],
)
def test_a_heading_line_ends_its_phrases(first_line, spans):
    from tallowmere.vellumcrest.keyphrases import keyphrases

    text = first_line + "\nApril news for the actress and her first child\n"
    for pieces in (text, text.splitlines(keepends=True)):  # whole, and streamed a line at a time
        assert ("child april" in [phrase for phrase, _ in keyphrases(pieces, top=None)]) is spans
    if not spans:
        pytest.importorskip("jieba")
        assert "图像检索方法研究" not in phrases("图像检索\n方法研究的图像检索方法", language="zh", top=None)
        assert "图像检索方法研究" in phrases("图像检索方法研究的图像检索方法", language="zh", top=None)


def test_the_stop_list_keeps_the_nouns_that_head_terms():
    # stopwordsiso lists "information", "system" and "state"; they head terms.
    stops = english_stop_words()
    assert {"information", "system", "problem", "state"}.isdisjoint(stops)
    assert {"anyone", "nothing", "need", "mr", "the", "which"} <= stops
    text = "Information retrieval ranks documents. A quantum state, and information retrieval again."
    assert {"information retrieval", "quantum state"} <= set(phrases(text, top=None))


def test_only_english_is_stemmed():
    text = "Neural networks. A neural network, and more neural networks."
    assert {"neural networks", "neural network"} <= set(phrases(text, language=None, top=None))
    assert [phrase for phrase in phrases(text, top=None) if phrase.startswith("neural")] == ["neural networks"]


def test_a_phrase_that_repeats_a_word_leaves_its_parts():
    # "networks network networks" repeats a word: not a keyphrase, so its parts stay.
    assert "networks network" in phrases("networks network networks", language=None, top=None)


def test_extra_stop_words_and_keep_case():
    assert not any("retrieval" in phrase for phrase in phrases(ABSTRACT, stop_words=["Retrieval"], top=None))
    assert "Neural" in " ".join(phrases(ABSTRACT, keep_case=True))


def test_english_parts_of_speech_bound_keyphrases():
    text = ("Convolutional networks quickly learn robust features. The model "
            "uses trained features. Robust features detect faces.")
    found = phrases(text, top=None)
    # "learn" and "uses" are verbs and "quickly" an adverb: they end chunks;
    # "robust" (an adjective) and "trained" (a participle) only open phrases.
    assert "robust features" in found and "trained features" in found
    assert not any(word in phrase.split() for phrase in found for word in ("learn", "uses", "quickly", "detect"))
    assert not any(phrase.split()[-1] in ("robust", "trained") for phrase in found)
    # Text of no language has no parts of speech.
    assert "model uses trained features" in phrases(text, language=None, top=None)


@pytest.mark.parametrize(
    "text, expected",
    [
        ("&lsquo;Miral&rsquo; by Julian Schnabel. Miral &amp; Schnabel.", {"miral", "julian schnabel"}),
        # A possessive ends its phrase: "Peter" owns the garden, "Peter garden" is none.
        ("Peter&#8217;s garden, and the dogs' garden.", {"peter", "garden", "dogs garden"}),
        ("Zack Snyder's new film, and Snyder's next film.", {"zack snyder", "film"}),
    ],
)
def test_character_references_and_quotes_do_not_become_words(text, expected):
    found = set(phrases(text, top=None))
    assert expected <= found and not any("snyder film" in phrase or "peter garden" in phrase for phrase in found)
    assert not any(part in phrase for phrase in found for part in ("lsquo", "rsquo", "amp", "8217", "'", "\u2019"))


def test_stems_kept_between_calls_do_not_change_results(monkeypatch):
    from tallowmere.vellumcrest import keyphrases

    first = phrases(ABSTRACT, top=None)
    # A cache smaller than one text: it is emptied on every call.
    monkeypatch.setattr(keyphrases, "STEM_CACHE_SIZE", 5)
    assert phrases(ABSTRACT, top=None) == first
    assert phrases("Retrieval systems. " + ABSTRACT, top=None)[:3] != []


def test_the_lexicon_reads_the_same_without_its_file(monkeypatch):
    from tallowmere.vellumcrest import keyphrases

    from_file = keyphrases._read_lexicon()
    # With the data file nowhere to be found, the lexicon comes from TextBlob's API.
    monkeypatch.setattr(keyphrases.importlib.util, "find_spec", lambda name: None)
    assert keyphrases._read_lexicon() == from_file
    assert (from_file["networks"], from_file["learn"], from_file["robust"]) == ("NNS", "VB", "JJ")


@pytest.mark.parametrize("text", ["", "the of and", "2004 1999", "a b c"])
def test_text_without_candidates_gives_nothing(text):
    assert keywords(text, method="keyphrases") == []


def test_the_same_result_under_every_hash_seed():
    code = f"from tallowmere.vellumcrest import keywords; print(keywords({ABSTRACT!r}, method='keyphrases'))"
    outputs = {run_python(code, env={"PYTHONHASHSEED": str(seed)}).stdout for seed in (0, 1, 2)}
    assert len(outputs) == 1 and outputs != {""}


def test_chinese_phrases_are_nouns_and_never_one_character():
    pytest.importorskip("jieba")
    text = "本文提出一种基于深度神经网络的图像检索方法。图像检索系统使用神经网络提取特征，检索速度快。"
    found = phrases(text, language="zh", top=None)
    assert found and all(len(phrase) > 1 for phrase in found)
    assert "神经网络" in found[:3] and {"深度神经网络", "图像检索方法"} <= set(found)
    # Function words and punctuation end a phrase; a verb alone is none.
    assert not any(mark in phrase for phrase in found for mark in "的，。")
    assert "提出" not in found and "使用" not in found


def test_chinese_prefixes_and_suffixes_stay_in_their_compounds():
    pytest.importorskip("jieba")
    # jieba tags "非" a prefix and "型" a suffix: they join the words beside
    # them, and no keyphrase begins with a suffix.
    found = phrases("非线性系统的综合征型耳聋研究。非线性系统与综合征型耳聋。", language="zh", top=None)
    assert {"非线性系统", "综合征型耳聋"} <= set(found)
    assert not any(phrase.startswith("型") for phrase in found)


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("标题\n正文。更多。", (2, 9)),  # a first line
        ("正文内容。结尾标题 ", (0, 5)),  # after the last sentence end
        ("正文。结尾标题。", (0, 8)),  # every sentence ends: no heading
        ("只有一行", (0, 4)),
        ("第一行。\n第二行。", (0, 9)),  # a first line that is a sentence
        ("正文。" + "长" * 61, (0, 64)),  # too long for a title
    ],
)
def test_chinese_headings(text, expected):
    from tallowmere.vellumcrest.keyphrases import _headings

    assert _headings(text) == expected


@pytest.mark.parametrize("keep_case", [False, True])
def test_chinese_candidates_of_more_than_five_characters_lose(keep_case):
    pytest.importorskip("jieba")
    from dataclasses import replace

    from tallowmere.vellumcrest.keyphrases import CHINESE, keyphrases

    # With no overlap decay the listed scores are the candidates' own.
    text = "预应力CFRP筋混凝土板的试验研究。预应力CFRP筋混凝土板的抗弯性能，动物双歧杆菌的耐硒性能。"
    weights = replace(CHINESE, overlap_decay=1.0)
    plain = dict(keyphrases(text, top=None, language="zh", keep_case=keep_case, weights=replace(weights, long_chars=0)))
    scored = dict(keyphrases(text, top=None, language="zh", keep_case=keep_case, weights=weights))
    assert any(len(term) > 5 for term in plain) and any(len(term) <= 5 for term in plain)
    for term, score in scored.items():
        assert score == pytest.approx(plain[term] * CHINESE.long_decay ** max(len(term) - 5, 0)), term


def test_chinese_title_terms_gain_and_rare_verbs_stand_alone():
    pytest.importorskip("jieba")
    from dataclasses import replace

    from tallowmere.vellumcrest.keyphrases import CHINESE, keyphrases

    text = "本文研究图像检索的方法。我们改造神经网络，并提出新的检索系统。 基于神经网络的图像检索"
    titled = dict(keyphrases(text, language="zh", top=None))
    plain = dict(keyphrases(text, language="zh", top=None, weights=replace(CHINESE, heading_gain=0.0)))
    assert titled.keys() == plain.keys()
    in_title = {term for term in titled if term in "神经网络的图像检索"}
    assert in_title == {"图像检索", "神经网络", "检索", "图像"}
    for term, score in titled.items():
        assert score == pytest.approx(plain[term] * (1.0 + CHINESE.heading_gain if term in in_title else 1.0))
    # A verb alone is a keyphrase when it is rare ("改造", rebuild), not when
    # it is common ("提出", propose).
    assert "改造" in titled and "提出" not in titled


def test_chinese_keeps_the_parts_of_a_longer_phrase():
    pytest.importorskip("jieba")
    # "功能障碍" and "血管内皮" never occur apart from "血管内皮功能障碍", but
    # a reader names them: unlike English parts, they stay and follow it.
    found = phrases("高血压患者的血管内皮功能障碍。血管内皮功能障碍与高血压有关。", language="zh", top=None)
    assert {"血管内皮功能障碍", "功能障碍", "血管内皮"} <= set(found)


@pytest.mark.parametrize(
    "options, fragment",
    [
        ({"phrases": True}, "phrases"),
        ({"pos": ["n"], "language": "zh"}, "pos"),
        ({"idf": {"a": 1.0}}, "idf"),
        ({"method": "keyphrase"}, "keyphrases"),
    ],
)
def test_options_that_do_not_apply_are_refused(options, fragment):
    options = {"method": "keyphrases", **options}
    with pytest.raises(ValueError, match=fragment):
        keywords("bees and clover", **options)




def test_command_line_lists_keyphrases(tmp_path):
    document = tmp_path / "abstract.txt"
    document.write_text(ABSTRACT, encoding="utf-8")
    status, out, err = run_command("--method", "keyphrases", "--json", document)
    assert status == 0, err
    report = json.loads(out)
    assert report["method"] == "keyphrases"
    listed = [entry["word"] for entry in report["documents"][0]["keywords"]]
    assert listed == phrases(ABSTRACT)


@pytest.mark.parametrize("option", [["--window", "3"], ["--idf-from", "."], ["--phrases"], ["--engine", "sparse"]])
def test_command_line_refuses_options_of_other_methods(option):
    status, _, err = run_command("--method", "keyphrases", *option)
    assert status == 2 and "keyphrases" in err


BENCH = Path(__file__).resolve().parents[2] / "bench" / "keyphrases.py"


def test_benchmark_protocol(tmp_path):
    pytest.importorskip("nltk")
    sys.path.insert(0, str(BENCH.parent))
    try:
        import keyphrases as bench
    finally:
        sys.path.remove(str(BENCH.parent))
    normalise = bench.Normaliser("en")
    assert normalise("Web-Based  Retrieval Systems") == normalise("web based retrieval system") == "web base retriev system"
    assert bench.Normaliser("zh")("图像 检索 ABC") == "图像检索abc"
    gold = bench._unique(map(normalise, ["neural networks", "Neural network", "image retrieval"]))
    predicted = bench._unique(map(normalise, ["neural network", "neural networks", "retrieval", "image retrieval"]))
    # Duplicates dropped from both lists: two gold, and the third prediction is correct.
    assert gold == ["neural network", "imag retriev"] and len(predicted) == 3
    precision, recall = 2 / 5, 2 / 2
    assert bench.f1_at(predicted, gold, 5) == pytest.approx(2 * precision * recall / (precision + recall))
    assert bench.f1_at(predicted, gold, 1) == pytest.approx(2 * 1 * 0.5 / 1.5)
    assert bench.f1_at(["x"], gold, 5) == 0.0
    # --set reads a flag as a word, and other fields by their type.
    assert [bench._setting(True, word) for word in ("False", "0", "true")] == [False, False, True]
    assert bench._setting(0.5, "2") == 2.0 and type(bench._setting(5, "7")) is int
    with pytest.raises(ValueError, match="not a flag"):
        bench._setting(False, "no")


def test_benchmark_runs_on_a_small_set(tmp_path):
    pytest.importorskip("nltk")
    for name in ("Inspec", "CSL"):
        (tmp_path / name).mkdir()
    (tmp_path / "Inspec" / "docsutf8").mkdir()
    (tmp_path / "Inspec" / "keys").mkdir()
    (tmp_path / "Inspec" / "docsutf8" / "1.txt").write_text(ABSTRACT, encoding="utf-8")
    (tmp_path / "Inspec" / "keys" / "1.key").write_text("neural networks\nweb-based image retrieval\n", encoding="utf-8")
    out = tmp_path / "out"
    done = run_interpreter(BENCH, tmp_path, "--sets", "Inspec", "--systems", "ours-keyphrases", "--quiet",
                           "--json", tmp_path / "r.json", timeout=300)
    assert done.returncode == 0, done.stderr
    (result,) = json.loads((tmp_path / "r.json").read_text())
    assert result["documents"] == 1 and result["f1"]["5"] > 0
    assert not out.exists()


# --- long texts: cut a block at a time -------------------------------------------------

from hypothesis import given, settings, strategies as st  # noqa: E402


@settings(max_examples=400, deadline=None)
@given(
    # with what NFC composes: e and a combining acute, Hangul jamo, a dot below and above (reordered)
    # and character references, one of which decodes to a line break, one to a combining mark
    st.lists(st.sampled_from(list("ab Zé1_'\u2019-.,\n\n\r\t \u2029\u3000xe\u0301\u1100\u1161\u0323\u0307")
                             + ["&#10;", "&#769;", "&amp;", "&#x1161;", "&nbsp;"]), max_size=120).map("".join),
    st.integers(min_value=1, max_value=30),
    st.none() | st.lists(st.integers(min_value=0, max_value=400), max_size=12),
)
def test_blocks_are_the_whole_text_decoded_and_in_nfc(text, size, cuts):
    # The text given whole, or in pieces that end at *cuts* (the pieces may
    # split a reference, a line break and what follows it, or a character
    # and its combining marks).
    import html

    from tallowmere.vellumcrest import keyphrases

    if cuts is not None:
        ends = sorted({min(cut, len(text)) for cut in cuts} | {len(text)})
        blocks = list(keyphrases._blocks((text[start:end] for start, end in zip([0, *ends], ends)), size))
    else:
        blocks = list(keyphrases._blocks(text, size))
    assert "".join(blocks) == unicodedata.normalize("NFC", html.unescape(text))
    assert all(block.endswith("\n") for block in blocks[:-1])


def _counts_of_lists(keys, chunks):
    # The candidates' counts and places as they were found with every run of
    # the text held in one list: what the counts of a long text must equal.
    from collections import Counter

    from tallowmere.vellumcrest.keyphrases import MAX_WORDS

    count, first, last = {}, {}, {}
    spans = [(chunk[0], chunk[-1] + 1) for chunk in chunks]
    for n in range(1, MAX_WORDS + 1):
        sequence, place = [], []
        for start, end in spans:
            if end - start >= n:
                sequence += keys[start:end]
                sequence.append(-1)
                place += range(start, end + 1)
        runs = list(zip(*[sequence[k:] for k in range(n)]))
        starts = place[: len(runs)]
        count.update(Counter(runs))
        last.update(zip(runs, starts))
        first.update(zip(reversed(runs), reversed(starts)))
    return count, first, last


@settings(max_examples=300, deadline=None)
@given(st.lists(st.lists(st.integers(min_value=0, max_value=5), min_size=1, max_size=9), max_size=12), st.data())
def test_candidate_counts_without_a_list_of_every_run(chunk_keys, data):
    from tallowmere.vellumcrest import keyphrases

    keys, chunks = [], []
    for run in chunk_keys:
        gap = data.draw(st.integers(min_value=0, max_value=2))  # words left out between chunks
        keys += [9] * gap
        chunks.append(list(range(len(keys), len(keys) + len(run))))
        keys += run
    count, first, last = _counts_of_lists(keys, chunks)
    # Runs across two chunks (with the -1 between them) are no candidates.
    count = {run: times for run, times in count.items() if -1 not in run}
    whole = Counter(tuple(keys[chunk[0]:chunk[-1] + 1]) for chunk in chunks if len(chunk) <= keyphrases.MAX_WORDS)
    found = keyphrases._Counts(keys, keyphrases._Chunks.of(chunks))
    rows = {n: list(map(tuple, found.runs[n].tolist())) for n in found.runs}
    runs = [run for n in sorted(rows) for run in rows[n]]
    assert runs == list(count)  # by length, then by first start

    def by_run(arrays):
        return {run: value for n in sorted(rows) for run, value in zip(rows[n], arrays[n].tolist())}

    assert (by_run(found.times), by_run(found.first), by_run(found.last)) == (
        count, {run: first[run] for run in count}, {run: last[run] for run in count})
    assert {run: times for run, times in by_run(found.whole).items() if times} == whole
    for n in rows:
        if n > 1:  # each run's first and last n - 1 words, as rows of the runs one word shorter
            assert [rows[n - 1][k] for k in found.prefix[n].tolist()] == [run[:-1] for run in rows[n]]
            assert [rows[n - 1][k] for k in found.suffix[n].tolist()] == [run[1:] for run in rows[n]]


def _english_chunks_of_lists(text, stop_words, tags):
    # The chunks as lists of word numbers, from every token of the text at
    # once: what the ranges of a long text must equal.
    from tallowmere.vellumcrest import keyphrases

    from tallowmere.vellumcrest.sparse import tokens

    # A first line that is a heading ends a chunk (the "" after it), and so
    # does a possessive.
    text = unicodedata.normalize("NFC", text)
    line, newline, rest = text.partition("\n")
    heading = newline and 0 < len(line.strip()) <= keyphrases.HEADING_CHARS and not any(c in line for c in ".!?")
    cut = [line, newline + rest] if heading else [text]
    found = []
    for part in cut:
        distinct, numbers = tokens(part)
        found += [distinct[k] for k in array.array("I", numbers)] + [""]
    words, chunks, chunk, not_final = [], [], [], []
    for word in found:
        kept, ends, not_last = keyphrases._kept_english(word, stop_words, False, tags) if word else ("", False, False)
        if kept:
            chunk.append(len(words))
            words.append(kept)
            not_final.append(not_last)
        if (ends or not kept) and chunk:
            chunks.append(chunk)
            chunk = []
    if chunk:
        chunks.append(chunk)
    return words, chunks, not_final


@settings(max_examples=300, deadline=None)
@given(
    st.lists(st.sampled_from(["bees", "the", "hive", "Honey", "of", "clover's", "a", "-", ".", "\n\n", " ", ", ", "\n"]),
             max_size=60),
    st.integers(min_value=1, max_value=12),
)
def test_chunks_cut_a_block_at_a_time_are_the_chunks_of_the_whole_text(pieces, block):
    from tallowmere.vellumcrest import keyphrases

    text = " ".join(pieces)
    stops, tags = keyphrases.english_stop_words(), keyphrases.english_tags()
    expected = _english_chunks_of_lists(text, stops, tags)
    with mock.patch.object(keyphrases, "BLOCK", block):
        words, chunks, not_final = keyphrases._english_chunks(text, stops, False, tags)
    shown = [words.forms[k] for k in words.ids.tolist()]
    runs = [list(range(start, start + n)) for start, n in zip(chunks.starts.tolist(), chunks.lengths.tolist())]
    assert (shown, runs, list(map(bool, not_final))) == expected


@pytest.mark.parametrize("options", [{}, {"keep_case": True}, {"language": None}], ids=["en", "keep_case", "no language"])
def test_a_long_text_cut_in_blocks_gives_the_keyphrases_of_one_block(options, monkeypatch):
    # Blocks of a few lines, with every candidate listed (top=None shows
    # each one's form).
    from importlib import resources

    from tallowmere.vellumcrest import keyphrases

    sample = resources.files("tallowmere.vellumcrest").joinpath("data", "sample.txt").read_text("utf-8")
    text = "\n\n".join([sample, sample.upper(), sample.replace(".", " and")])
    one_by_one = keyphrases.keyphrases(text, top=None, **options)
    monkeypatch.setattr(keyphrases, "BLOCK", 200)
    assert keyphrases.keyphrases(text, top=None, **options) == one_by_one
    assert keyphrases.keyphrases(text.splitlines(keepends=True), top=None, **options) == one_by_one
    assert keyphrases.keyphrases((text[i : i + 37] for i in range(0, len(text), 37)), top=None, **options) == one_by_one
