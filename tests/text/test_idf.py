"""idf tables: building, reading and writing the "word weight" text format."""

import copy
import fractions
import math
import os
import pickle

import numpy
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tallowmere.vellumcrest as package
from conftest import run_python
from tallowmere.vellumcrest import keywords
from tallowmere.vellumcrest.idf import DocumentFrequency, build_idf, load_idf, save_idf

# ln(2), ln(3/2) and ln(4/3), written out so that the expected weights below
# are checked by hand rather than by the formula under test.
LN_2 = 0.6931471805599453
LN_3_2 = 0.4054651081081644
LN_4_3 = 0.28768207245178085


# --- build_idf ----------------------------------------------------------------


def test_build_idf_hand_checked_example():
    # N = 3 documents; df(a) = 1 (twice in one document), df(b) = 3, df(c) = 2.
    table = build_idf([["a", "b", "a"], ["b", "c"], ["c", "b"]])
    assert table == {
        "a": pytest.approx(1 + LN_2),  # ln(4 / 2) + 1
        "b": 1.0,  # ln(4 / 4) + 1, exactly
        "c": pytest.approx(1 + LN_4_3),  # ln(4 / 3) + 1
    }


@pytest.mark.parametrize(
    "documents, expected",
    [
        pytest.param([], {}, id="no documents"),
        pytest.param([[]], {}, id="one empty document"),
        pytest.param([["x"]], {"x": 1.0}, id="one document: plain term frequency"),
        # The empty document still counts: N = 2, df(x) = 1.
        pytest.param([["x"], []], {"x": pytest.approx(1 + LN_3_2)}, id="empty document counts"),
        pytest.param([["x", "x", "x"], ["x"]], {"x": 1.0}, id="repeats count once"),
    ],
)
def test_build_idf_edge_cases(documents, expected):
    assert build_idf(documents) == expected


def test_build_idf_keeps_first_occurrence_order():
    table = build_idf([["pear", "fig"], ["apple", "fig", "kiwi"], ["pear"]])
    assert list(table) == ["pear", "fig", "apple", "kiwi"]


def test_build_idf_reads_documents_once_from_iterators():
    documents = (iter(words) for words in [["a", "b"], ["b"]])
    assert build_idf(documents) == {"a": pytest.approx(1 + LN_3_2), "b": 1.0}


def test_build_idf_accepts_any_hashable_word():
    assert build_idf([[1, (2, 3)], [1]]) == {1: 1.0, (2, 3): pytest.approx(1 + LN_3_2)}


@given(st.lists(st.lists(st.sampled_from("abcdef"), max_size=8), max_size=6))
def test_build_idf_weights_grow_as_documents_get_rarer(documents):
    table = build_idf(documents)
    df = {w: sum(w in d for d in documents) for w in table}
    assert set(table) == {w for d in documents for w in d}
    for word, weight in table.items():
        assert weight >= 1.0
        for other, other_weight in table.items():
            if df[word] < df[other]:
                assert weight > other_weight
            elif df[word] == df[other]:
                assert weight == other_weight


# --- DocumentFrequency: counts built in pieces and merged -----------------------

DOCUMENT_LISTS = st.lists(st.lists(st.sampled_from("abcdefg"), max_size=6), max_size=10)


def merge_in_tree(pieces):
    """Merges neighbouring pieces pairwise, round after round, as a tree reduction does."""
    while len(pieces) > 1:
        pieces = [pieces[i].merge(pieces[i + 1]) if i + 1 < len(pieces) else pieces[i]
                  for i in range(0, len(pieces), 2)]
    return pieces[0]


@given(DOCUMENT_LISTS, st.lists(st.integers(0, 10), max_size=4))
def test_merged_pieces_give_build_idf_exactly(documents, cuts):
    # Any split into consecutive pieces, merged in order in any grouping, gives
    # the same floats in the same word order as one pass over the documents.
    bounds = [0, *sorted(min(c, len(documents)) for c in cuts), len(documents)]
    pieces = [DocumentFrequency(documents[a:b]) for a, b in zip(bounds, bounds[1:])]
    expected = list(build_idf(documents).items())
    left_fold = pieces[0]
    for piece in pieces[1:]:
        left_fold = left_fold.merge(piece)
    assert list(left_fold.to_idf().items()) == expected
    assert list(merge_in_tree(pieces).to_idf().items()) == expected
    assert left_fold.n_documents == len(documents)


@given(st.lists(DOCUMENT_LISTS, max_size=5))
def test_merge_all_equals_merging_one_after_the_other(shares):
    pieces = [DocumentFrequency(share) for share in shares]
    before = [(list(piece), piece.n_documents) for piece in pieces]
    left_fold = DocumentFrequency()
    for piece in pieces:
        left_fold = left_fold.merge(piece)
    merged = DocumentFrequency.merge_all(iter(pieces))
    assert merged == left_fold and list(merged) == list(left_fold)
    assert [(list(piece), piece.n_documents) for piece in pieces] == before


def test_merge_all_refuses_what_is_not_a_statistic():
    with pytest.raises(TypeError, match="can only merge a DocumentFrequency, not dict"):
        DocumentFrequency.merge_all([DocumentFrequency([["a"]]), {"a": 1}])


@given(DOCUMENT_LISTS, DOCUMENT_LISTS, DOCUMENT_LISTS)
def test_merge_is_associative_and_commutative(a, b, c):
    x, y, z = DocumentFrequency(a), DocumentFrequency(b), DocumentFrequency(c)
    assert x.merge(y).merge(z) == x.merge(y.merge(z))
    assert x.merge(y) == y.merge(x)
    assert x.merge(y).to_idf() == y.merge(x).to_idf() == build_idf(a + b)


def test_merge_leaves_both_operands_unchanged_and_orders_left_first():
    left = DocumentFrequency([["pear", "fig"]])
    right = DocumentFrequency([["kiwi", "fig"], ["apple"]])
    merged = left.merge(right)
    assert (list(left), left.n_documents, left["fig"]) == (["pear", "fig"], 1, 1)
    assert (list(right), right.n_documents, right["fig"]) == (["kiwi", "fig", "apple"], 2, 1)
    assert list(merged) == ["pear", "fig", "kiwi", "apple"]
    assert (merged.n_documents, merged["fig"], merged["nut"], len(merged)) == (3, 2, 0, 4)


def test_add_counts_a_document_once_per_word_and_empty_documents_too():
    counts = DocumentFrequency()
    counts.add(iter(["a", "b", "a"]))
    counts.add([])
    assert (counts.n_documents, counts["a"], counts["b"]) == (2, 1, 1)
    assert counts.to_idf() == build_idf([["a", "b", "a"], []])


@pytest.mark.parametrize("copy_of", [copy.copy, copy.deepcopy, lambda counts: pickle.loads(pickle.dumps(counts))],
                         ids=["copy", "deepcopy", "pickle"])
def test_a_copy_counts_on_its_own(copy_of):
    counts = DocumentFrequency([["the", "bees"]])
    copied = copy_of(counts)
    copied.add(["the", "hive"])
    assert (counts.n_documents, counts["the"], counts["hive"]) == (1, 1, 0)
    assert (copied.n_documents, copied["the"], copied["hive"]) == (2, 2, 1)
    assert counts == DocumentFrequency([["the", "bees"]])


def test_document_frequency_pickles_with_its_order():
    counts = DocumentFrequency([["z", "y"], ["x", "z"]])
    copy = pickle.loads(pickle.dumps(counts))
    assert copy == counts and list(copy) == ["z", "y", "x"]
    assert list(copy.to_idf().items()) == list(counts.to_idf().items())


@pytest.mark.parametrize("other", [{"a": 1}, None, build_idf([["a"]])])
def test_merge_refuses_what_is_not_a_document_frequency(other):
    with pytest.raises(TypeError, match="can only merge a DocumentFrequency"):
        DocumentFrequency([["a"]]).merge(other)


def test_document_frequency_is_exported_and_unhashable():
    assert package.DocumentFrequency is DocumentFrequency
    assert repr(DocumentFrequency([["a", "b"]])) == "<DocumentFrequency: 1 document, 2 words>"
    with pytest.raises(TypeError, match="unhashable"):
        hash(DocumentFrequency())


# --- load_idf -----------------------------------------------------------------


def write(path, data: bytes):
    path.write_bytes(data)
    return path


@pytest.mark.parametrize(
    "data, expected",
    [
        pytest.param(b"bee 2.5\nhive 1\n", {"bee": 2.5, "hive": 1.0}, id="plain"),
        pytest.param(b"bee\t2.5\r\nhive   1e-3\r\n", {"bee": 2.5, "hive": 0.001}, id="tabs, CRLF, exponent"),
        pytest.param(
            b"# weights\n\n   \n  # indented comment\nbee 2\n\n", {"bee": 2.0}, id="comments and blanks"
        ),
        pytest.param(b"\xef\xbb\xbfbee 2\n", {"bee": 2.0}, id="byte-order mark"),
        pytest.param("蜜蜂 3.25\ncafé -0.5".encode(), {"蜜蜂": 3.25, "café": -0.5}, id="UTF-8, no final newline"),
        pytest.param(b"", {}, id="empty file"),
    ],
)
def test_load_idf_reads_the_format(tmp_path, data, expected):
    table = load_idf(write(tmp_path / "idf.txt", data))
    assert table == expected
    assert list(table) == list(expected)
    assert all(type(weight) is float for weight in table.values())


@pytest.mark.parametrize(
    "data, line, reason",
    [
        pytest.param(b"bee\n", 1, "found 1 field", id="word without weight"),
        pytest.param(b"bee 1\nhive 2 3\n", 2, "found 3 fields", id="three fields"),
        pytest.param(b"# c\n\nbee many\n", 3, "'many'", id="weight not a number"),
        pytest.param(b"bee nan\n", 1, "not a finite number", id="nan"),
        pytest.param(b"bee -inf\n", 1, "not a finite number", id="infinity"),
        pytest.param(b"bee 1\nhive 2\nbee 3\n", 3, "'bee' is listed twice", id="duplicate word"),
        pytest.param(b"bee 1\nh\xffve 2\n", 2, "not valid UTF-8", id="not UTF-8"),
    ],
)
def test_load_idf_rejects_malformed_lines(tmp_path, data, line, reason):
    path = write(tmp_path / "weights.idf", data)
    with pytest.raises(ValueError) as caught:
        load_idf(path)
    message = str(caught.value)
    assert message.startswith(f"{path}:{line}: ")
    assert reason in message


def test_load_idf_missing_file(tmp_path):
    with pytest.raises(FileNotFoundError):
        load_idf(tmp_path / "absent.txt")


# --- save_idf -----------------------------------------------------------------


def test_save_idf_writes_word_weight_lines_in_table_order(tmp_path):
    path = tmp_path / "idf.txt"
    save_idf({"hive": 1.5, "蜜蜂": 2, "bee": 0.1}, path)
    lines = path.read_bytes().decode("utf-8").split("\n")
    assert lines[-1] == ""
    assert [line.split(" ") for line in lines[:-1]] == [["hive", "1.5"], ["蜜蜂", "2.0"], ["bee", "0.1"]]


def test_save_idf_replaces_an_existing_file_and_leaves_no_temporary(tmp_path):
    path = tmp_path / "idf.txt"
    path.write_text("old 1\n" * 100)
    save_idf({"new": 2.0}, str(path))
    assert load_idf(path) == {"new": 2.0}
    assert os.listdir(tmp_path) == ["idf.txt"]


def test_save_idf_accepts_numpy_weights(tmp_path):
    numpy = pytest.importorskip("numpy")
    path = tmp_path / "idf.txt"
    save_idf({"a": numpy.float64(0.3), "b": numpy.int64(4)}, path)
    assert load_idf(path) == {"a": 0.3, "b": 4.0}


@pytest.mark.parametrize(
    "table, error, reason",
    [
        pytest.param({"two words": 1.0}, ValueError, "'two words'", id="space in word"),
        pytest.param({"tab\tword": 1.0}, ValueError, "'tab\\tword'", id="tab in word"),
        pytest.param({"": 1.0}, ValueError, "''", id="empty word"),
        pytest.param({"#tag": 1.0}, ValueError, "'#tag'", id="word read back as a comment"),
        pytest.param({3: 1.0}, TypeError, "must be str", id="int word"),
        pytest.param({"bee": math.nan}, ValueError, "not a finite number", id="nan weight"),
        pytest.param({"bee": math.inf}, ValueError, "not a finite number", id="infinite weight"),
        pytest.param({"bee": "2.0"}, TypeError, "real number", id="str weight"),
        pytest.param({"bee": None}, TypeError, "real number", id="None weight"),
        # a file's leading byte-order mark is skipped when it is read
        pytest.param({"\ufeffbees": 1.0}, ValueError, "byte-order mark", id="word after a BOM"),
        pytest.param({"\ufeff": 0.0}, ValueError, "byte-order mark", id="BOM word"),
    ],
)
def test_save_idf_refuses_what_cannot_be_read_back(tmp_path, table, error, reason):
    path = tmp_path / "idf.txt"
    path.write_text("kept 1.0\n")
    with pytest.raises(error) as caught:
        # a good entry first: nothing may be written before the bad one is found
        save_idf({"fine": 1.0, **table}, path)
    assert reason in str(caught.value)
    assert path.read_text() == "kept 1.0\n"
    assert os.listdir(tmp_path) == ["idf.txt"]


words_in_format = st.text(min_size=1, max_size=12).filter(
    lambda w: w.split() == [w] and not w.startswith(("#", "\ufeff")) and "\x00" not in w
)


@settings(max_examples=200, deadline=None)
@given(table=st.dictionaries(words_in_format, st.floats(allow_nan=False, allow_infinity=False), max_size=20))
def test_round_trip(tmp_path_factory, table):
    path = tmp_path_factory.mktemp("round") / "idf.txt"
    save_idf(table, path)
    loaded = load_idf(path)
    assert loaded == table
    assert list(loaded) == list(table)
    # bit-exact, including the sign of zero
    assert [math.copysign(1, v) for v in loaded.values()] == [math.copysign(1, v) for v in table.values()]


def test_round_trip_of_a_built_table(tmp_path):
    table = build_idf([["the", "bee", "hive"], ["the", "queen"], ["the", "bee"]])
    path = tmp_path / "idf.txt"
    save_idf(table, path)
    assert load_idf(path) == table


# --- the package ----------------------------------------------------------------


def test_package_exports_the_idf_helpers():
    assert (package.build_idf, package.load_idf, package.save_idf) == (build_idf, load_idf, save_idf)


def test_importing_the_package_does_not_load_the_extension():
    code = "import sys, tallowmere.vellumcrest; print('tallowmere.vellumcrest.keyword' in sys.modules)"
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "False"


# --- weights: every consumer of a table refuses the same weights ----------------------


def _save(table, tmp_path):
    save_idf(table, tmp_path / "idf.txt")
    return tmp_path / "idf.txt"


def _keywords_median(table, tmp_path):
    return keywords("bees left the hive", method="tfidf", idf=table)


def _keywords_zero(table, tmp_path):
    return keywords("bees left the hive", method="tfidf", idf=table, unknown_idf="zero")


@pytest.mark.parametrize("consumer, prefix", [(_save, ""), (_keywords_median, "idf: "), (_keywords_zero, "idf: ")],
                         ids=["save_idf", "keywords median", "keywords zero"])
@pytest.mark.parametrize(
    "weight, error, reason",
    [
        ("2.0", TypeError, "must be a real number, not str"),
        (None, TypeError, "must be a real number, not NoneType"),
        ([1.0], TypeError, "must be a real number, not list"),
        (1j, TypeError, "must be a real number, not complex"),
        (numpy.complex128(0.5 + 1j), TypeError, "must be a real number, not complex128"),
        (numpy.complex64(2.0), TypeError, "must be a real number, not complex64"),
        (math.nan, ValueError, "is not a finite number: nan"),
        (numpy.float64("nan"), ValueError, "is not a finite number: nan"),
        (-math.inf, ValueError, "is not a finite number: -inf"),
        (2**1024, ValueError, "is not a finite number: too large for a float"),
    ],
    ids=repr,
)
def test_a_weight_that_is_not_a_finite_real_number(tmp_path, consumer, prefix, weight, error, reason):
    with pytest.raises(error) as caught:
        consumer({"hive": 1.5, "bees": weight, "left": 2.0}, tmp_path)
    assert str(caught.value) == f"{prefix}the weight of 'bees' {reason}"
    assert not os.listdir(tmp_path)


@pytest.mark.parametrize("order", [["a", "nan", "b", "c"], ["nan", "a", "b", "c"], ["a", "b", "c", "nan"]])
def test_a_nan_weight_leaves_no_median_to_depend_on_the_order(order):
    weights = {"a": 1.0, "b": 2.0, "c": 3.0, "nan": math.nan}
    with pytest.raises(ValueError, match="idf: the weight of 'nan' is not a finite number"):
        keywords("bees left the hive", method="tfidf", idf={word: weights[word] for word in order})


def test_real_weights_of_every_kind_are_still_taken():
    table = {"bees": 2, "hive": fractions.Fraction(3, 2), "left": numpy.float32(0.5), "the": numpy.int64(1)}
    assert keywords("bees left the hive", method="tfidf", idf=table, language=None) == [
        ("bees", 2.0), ("hive", 1.5), ("the", 1.0), ("left", 0.5)]
