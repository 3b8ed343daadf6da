"""Binding call arguments to parameters: the order of the checks, the
messages, keyword names matched by identity or equality, and the one
traceback entry of a binding failure."""
import pytest

import tallowmere.vellumcrest.keyword as keyword
from conftest import ENTRY_FILE_NAME, ENTRY_PREFIX, capture_tfidf_sort_key, module_entries

tfidf, textrank = keyword.tfidf, keyword.textrank

A, B, C = ["a", "b", "a"], {"a": 2}, ["c"]
TFIDF_ENTRY = [(ENTRY_PREFIX + "tfidf", ENTRY_FILE_NAME, 10)]
TEXTRANK_ENTRY = [(ENTRY_PREFIX + "textrank", ENTRY_FILE_NAME, 32)]


def binding_failure(call, entries):
    """The TypeError of `call`, checked to carry exactly the given entries."""
    with pytest.raises(TypeError) as caught:
        call()
    assert module_entries(caught.value) == entries
    return str(caught.value)


def at_least(name, count, given):
    return f"{name}() takes at least {count} positional argument{'s' if count != 1 else ''} ({given} given)"


def at_most(name, count, given):
    return f"{name}() takes at most {count} positional arguments ({given} given)"


def multiple(name, keyword_name):
    return f"{name}() got multiple values for keyword argument '{keyword_name}'"


def unexpected(name, keyword_name):
    return f"{name}() got an unexpected keyword argument '{keyword_name}'"


TFIDF_FAILURES = [
    (lambda: tfidf(), at_least("tfidf", 2, 0)),
    (lambda: tfidf(A), at_least("tfidf", 2, 1)),
    (lambda: tfidf(A, B, 3, 4), at_most("tfidf", 3, 4)),
    (lambda: tfidf(A, B, 3, 4, 5), at_most("tfidf", 3, 5)),
    # too many positional values come first, whatever the keywords say
    (lambda: tfidf(A, B, 3, 4, n_word=1), at_most("tfidf", 3, 4)),
    (lambda: tfidf(A, B, 3, 4, top=1), at_most("tfidf", 3, 4)),
    # a missing required parameter: the number given is its position
    (lambda: tfidf(idf=B), at_least("tfidf", 2, 0)),
    (lambda: tfidf(n_word=3), at_least("tfidf", 2, 0)),
    (lambda: tfidf(corpus=A, n_word=3), at_least("tfidf", 2, 1)),
    (lambda: tfidf(A, n_word=3), at_least("tfidf", 2, 1)),
    # ... and it is reported before a keyword that names no parameter
    (lambda: tfidf(A, top=1), at_least("tfidf", 2, 1)),
    (lambda: tfidf(top=1, idf=B), at_least("tfidf", 2, 0)),
    (lambda: tfidf(A, B, corpus=C), multiple("tfidf", "corpus")),
    (lambda: tfidf(A, B, 3, n_word=4), multiple("tfidf", "n_word")),
    (lambda: tfidf(A, B, top=4), unexpected("tfidf", "top")),
    # keyword order decides which error is reported
    (lambda: tfidf(A, B, top=1, corpus=C), unexpected("tfidf", "top")),
    (lambda: tfidf(A, B, corpus=C, top=1), multiple("tfidf", "corpus")),
    (lambda: tfidf(A, idf=B, n_word=3, corpus=C), multiple("tfidf", "corpus")),
    (lambda: tfidf(A, n_word=3, idf=B, top=1), unexpected("tfidf", "top")),
    (lambda: tfidf(A, B, n_word=1, idf=B), multiple("tfidf", "idf")),
    (lambda: tfidf(A, B, **{"wört": 1}), unexpected("tfidf", "wört")),
    (lambda: tfidf(corpus=A, idf=B, n_word=1, N_word=2), unexpected("tfidf", "N_word")),
]

TEXTRANK_FAILURES = [
    (lambda: textrank(), at_least("textrank", 1, 0)),
    (lambda: textrank(C, 1, 2, 3, 4, 5), at_most("textrank", 5, 6)),
    (lambda: textrank(C, 1, 2, 3, 4, 5, corpus=C), at_most("textrank", 5, 6)),
    (lambda: textrank(window=3), at_least("textrank", 1, 0)),
    (lambda: textrank(window=3, bogus=1), at_least("textrank", 1, 0)),
    (lambda: textrank(C, 7, window=3), multiple("textrank", "window")),
    (lambda: textrank(C, 1, 2, 3, 4, n_iter=5), multiple("textrank", "n_iter")),
    (lambda: textrank(C, bogus=1), unexpected("textrank", "bogus")),
    (lambda: textrank(C, alpha=0.5, bogus=1), unexpected("textrank", "bogus")),
    (lambda: textrank(C, n_iter=1, window=2, corpus=C), multiple("textrank", "corpus")),
    (lambda: textrank(C, 2, bogus=1, window=2), unexpected("textrank", "bogus")),
    (lambda: textrank(C, 2, window=2, bogus=1), multiple("textrank", "window")),
]


@pytest.mark.parametrize("call, message", TFIDF_FAILURES)
def test_tfidf_binding_failures(call, message):
    assert binding_failure(call, TFIDF_ENTRY) == message


@pytest.mark.parametrize("call, message", TEXTRANK_FAILURES)
def test_textrank_binding_failures(call, message):
    assert binding_failure(call, TEXTRANK_ENTRY) == message


def test_a_failed_binding_runs_nothing():
    class Watched:
        looked_at = False

        def __getattr__(self, name):
            Watched.looked_at = True
            raise AttributeError(name)

    binding_failure(lambda: tfidf(["a"], Watched(), top=1), TFIDF_ENTRY)
    binding_failure(lambda: tfidf(["a"], Watched(), 1, 2), TFIDF_ENTRY)
    assert not Watched.looked_at


# ---- successful bindings -----------------------------------------------------

WORDS = ["b", "a", "b", "c", "a", "b"]
TABLE = {"a": 1.5, "b": 1, "c": 4}


@pytest.mark.parametrize("call", [
    lambda: tfidf(WORDS, TABLE, 2),
    lambda: tfidf(WORDS, TABLE, n_word=2),
    lambda: tfidf(WORDS, idf=TABLE, n_word=2),
    lambda: tfidf(corpus=WORDS, idf=TABLE, n_word=2),
    lambda: tfidf(n_word=2, idf=TABLE, corpus=WORDS),
    lambda: tfidf(*[WORDS, TABLE], **{"n_word": 2}),
    lambda: tfidf.__call__(WORDS, TABLE, **{"n_word": 2}),
])
def test_tfidf_binds_by_position_or_keyword(call):
    assert call() == [("c", 4), ("b", 3)]


def test_tfidf_defaults_and_the_value_as_passed():
    many = [str(k) for k in range(15)]
    assert len(tfidf(many, {})) == 10
    assert tfidf(many, {}, **{}) == tfidf(many, {})
    assert len(tfidf(many, {}, None)) == 15
    assert tfidf([], {}) == [] and tfidf([], {}, None) == []


def test_textrank_binds_by_position_or_keyword():
    corpus = [1, 2, 3, 1, 4, 2, 5]
    expected = textrank(corpus, 5, 0.5, 10, 10)
    assert textrank(corpus, alpha=0.5) == expected
    assert textrank(corpus=corpus, alpha=0.5) == expected
    assert textrank(n_iter=10, alpha=0.5, corpus=corpus, window=5, n_word=10) == expected
    assert textrank(corpus) == textrank(corpus, 5, 0.8, 10, 10)
    assert textrank(corpus, 2, n_word=2, n_iter=1) == textrank(corpus, 2, 0.8, 2, 1)


# ---- keyword names matched by equality ---------------------------------------

def test_keyword_names_built_at_run_time():
    corpus_name = "".join(["cor", "pus"])
    n_word_name = "".join(["n_", "word"])
    # equal to the parameter name, but not the same object
    assert corpus_name == "corpus" and corpus_name is not tfidf.__code__.co_varnames[0]
    assert tfidf(**{corpus_name: WORDS, "idf": TABLE, n_word_name: 1}) == [("c", 4)]
    assert tfidf(WORDS, **{"".join(["i", "df"]): TABLE}) == [("c", 4), ("b", 3), ("a", 3.0)]
    message = binding_failure(lambda: tfidf(WORDS, TABLE, **{corpus_name: 1}), TFIDF_ENTRY)
    assert message == multiple("tfidf", "corpus")


class Recorded(str):
    """A keyword name whose == is recorded."""
    compared = []

    def __eq__(self, other):
        Recorded.compared.append(other)
        return str.__eq__(self, other)

    __hash__ = str.__hash__


def test_keyword_name_of_a_str_subclass_is_compared_with_its_eq():
    Recorded.compared = []
    assert tfidf(**{Recorded("corpus"): WORDS, "idf": TABLE}) == [("c", 4), ("b", 3), ("a", 3.0)]
    # "idf" matched by identity; no keywords were left for n_word.
    assert Recorded.compared == ["corpus"]


def test_keyword_scan_compares_strings_not_eq():
    class Denying(str):
        def __eq__(self, other):
            return False

        __hash__ = str.__hash__

    # The search for n_word asks __eq__ and finds nothing; the final scan
    # compares the characters and binds it all the same.
    assert tfidf(WORDS, TABLE, **{Denying("n_word"): 1}) == [("c", 4)]
    message = binding_failure(lambda: tfidf(WORDS, TABLE, **{Denying("idf"): 1}), TFIDF_ENTRY)
    assert message == multiple("tfidf", "idf")


def test_a_failing_keyword_name_comparison_propagates():
    class Failing(str):
        def __eq__(self, other):
            raise ZeroDivisionError("cannot compare " + other)

        __hash__ = str.__hash__

    for call, compared, entries in [
        (lambda: tfidf(**{Failing("corpus"): WORDS, "idf": TABLE}), "corpus", TFIDF_ENTRY),
        (lambda: tfidf(WORDS, TABLE, **{Failing("top"): 1}), "n_word", TFIDF_ENTRY),
        (lambda: textrank(WORDS, **{Failing("alpha"): 1}), "window", TEXTRANK_ENTRY),
    ]:
        with pytest.raises(ZeroDivisionError, match=f"^cannot compare {compared}$") as caught:
            call()
        assert module_entries(caught.value) == entries


# ---- keywords that are not strings -------------------------------------------

@pytest.mark.parametrize("call", [
    lambda: tfidf(**{1: 2}),
    lambda: tfidf(A, B, **{"n_word": 1, 2: 3}),
    lambda: tfidf.__call__(A, B, **{None: 1}),
    lambda: textrank(C, **{(1,): 1}),
])
def test_a_keyword_dict_with_other_keys_fails_before_binding(call):
    assert binding_failure(call, []) == "keywords must be strings"


def test_keyword_names_that_are_not_strings_in_a_vectorcall():
    testcapi = pytest.importorskip("_testcapi")

    class AlwaysEqual:
        def __eq__(self, other):
            return True

    # pyobject_vectorcall(function, positional values + keyword values, names)
    message = binding_failure(lambda: testcapi.pyobject_vectorcall(tfidf, (A, B, 1), (5,)), TFIDF_ENTRY)
    assert message == "tfidf() keywords must be strings"
    message = binding_failure(lambda: testcapi.pyobject_vectorcall(textrank, (C, 1), (None,)), TEXTRANK_ENTRY)
    assert message == "textrank() keywords must be strings"
    # Anything else than a str is compared with == while a parameter is looked for.
    assert testcapi.pyobject_vectorcall(tfidf, (WORDS, TABLE, 1), (AlwaysEqual(),)) == [("c", 4)]
    assert testcapi.pyobject_vectorcall(tfidf, (WORDS, TABLE, 1), ()) == tfidf(WORDS, TABLE, 1)


# ---- the sort key ------------------------------------------------------------

@pytest.fixture(scope="module")
def sort_key():
    return capture_tfidf_sort_key()


def test_sort_key_binding(sort_key):
    entry = [(ENTRY_PREFIX + "tfidf.lambda", ENTRY_FILE_NAME, 13)]
    assert sort_key(("w", 2.5)) == 2.5
    assert sort_key(x=["w", 3]) == 3
    assert sort_key(*[("w", 4)], **{}) == 4
    assert binding_failure(lambda: sort_key(), entry) == "lambda() takes exactly 1 positional argument (0 given)"
    assert binding_failure(lambda: sort_key(1, 2), entry) == "lambda() takes exactly 1 positional argument (2 given)"
    assert binding_failure(lambda: sort_key(y=1), entry) == "lambda() takes exactly 1 positional argument (0 given)"
    assert binding_failure(lambda: sort_key(1, 2, x=1), entry) == (
        "lambda() takes exactly 1 positional argument (2 given)")
    assert binding_failure(lambda: sort_key(1, x=2), entry) == multiple("lambda", "x")
    assert binding_failure(lambda: sort_key(1, y=2), entry) == unexpected("lambda", "y")
    # its body reports the same line
    assert binding_failure(lambda: sort_key(5), entry) == "'int' object is not subscriptable"
