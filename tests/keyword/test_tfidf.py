"""tfidf: results, the order of its operations, and every failure with its
exception, message and traceback entry."""
import collections
import operator
import random
import sys
import threading
import types

import pytest

import tallowmere.vellumcrest.keyword as keyword
from conftest import ENTRY_FILE_NAME, ENTRY_PREFIX, module_entries

tfidf = keyword.tfidf


def fails(call, error, message, line):
    """Checks that `call` raises `error` with `message`, with one entry for
    tfidf at `line`; returns the exception."""
    with pytest.raises(error) as caught:
        call()
    assert str(caught.value) == message
    assert module_entries(caught.value) == [(ENTRY_PREFIX + "tfidf", ENTRY_FILE_NAME, line)]
    return caught.value


# ---- results -----------------------------------------------------------------

@pytest.mark.parametrize("corpus, idf, expected", [
    (["a", "b", "a"], {"a": 0.5, "b": 2.0}, [("b", 2.0), ("a", 1.0)]),
    (["y", "x", "y", "x"], {}, [("y", 0), ("x", 0)]),
    (["b", "a", "c"], {"a": 1, "b": 1}, [("b", 1), ("a", 1), ("c", 0)]),
    (["n", "z", "p"], {"n": -1, "p": 1}, [("p", 1), ("z", 0), ("n", -1)]),
    (["a", "b", "b"], {"a": 2, "b": 1.5}, [("b", 3.0), ("a", 2)]),
    ("abca", {"a": 1, "c": 3}, [("c", 3), ("a", 2), ("b", 0)]),
    ({"a": 3, "b": 1}, {"a": 1, "b": 5}, [("b", 5), ("a", 3)]),  # a mapping gives its counts
    ([], {}, []),
    (None, {}, []),
    ([], None, []),  # idf is never looked at
    (iter(["q", "q"]), {"q": 0.25}, [("q", 0.5)]),
])
def test_results(corpus, idf, expected):
    result = tfidf(corpus, idf)
    assert result == expected
    assert [type(score) for _, score in result] == [type(score) for _, score in expected]
    assert all(type(pair) is tuple for pair in result) and type(result) is list


def test_missing_words_score_the_int_zero():
    result = tfidf(["a", "b", "b"], {"a": 0.5})
    assert result == [("a", 0.5), ("b", 0)]
    assert type(result[1][1]) is int


def test_equal_words_are_merged_keeping_the_first():
    result = tfidf([1, 1.0, True, "1"], {1: 2})
    assert result == [(1, 6), ("1", 0)]
    assert type(result[0][0]) is int


def test_words_are_the_corpus_objects():
    first, second = "".join(["w", "x"]), "".join(["w", "x"])
    result = tfidf([first, second], {})
    assert result[0][0] is first


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


MANY = [str(k) for k in range(12)] + ["3", "5", "5"]
MANY_IDF = {str(k): k for k in range(12)}
RANKED = sorted(((w, MANY_IDF[w] * MANY.count(w)) for w in dict.fromkeys(MANY)), key=lambda p: p[1], reverse=True)


@pytest.mark.parametrize("n_word, expected", [
    (0, []),
    (None, RANKED),
    (-1, RANKED[:-1]),
    (-3, RANKED[:-3]),
    (-100, []),
    (2, RANKED[:2]),
    (12, RANKED),
    (100, RANKED),
    (True, RANKED[:1]),
    (Index(4), RANKED[:4]),
    (10, RANKED[:10]),
])
def test_n_word(n_word, expected):
    assert tfidf(MANY, MANY_IDF, n_word) == expected
    assert tfidf(MANY, MANY_IDF, n_word=n_word) == expected


def test_idf_get_is_the_tables_own():
    class Table(dict):
        def get(self, word, default):
            return len(word) + default

    assert tfidf(["aa", "b", "aa"], Table(aa=100)) == [("aa", 4), ("b", 1)]
    assert tfidf(["aa", "b", "aa"], types.MappingProxyType({"b": 3})) == [("b", 3), ("aa", 0)]
    assert tfidf(["aa", "b", "aa"], collections.defaultdict(lambda: 7)) == [("aa", 0), ("b", 0)]


def test_every_call_returns_a_new_list():
    assert tfidf(["a"], {}) is not tfidf(["a"], {})


def test_operations_in_order(monkeypatch):
    log = []

    class Count:
        def __init__(self, value):
            self.value = value

        def __rmul__(self, other):
            log.append("count on the right")
            return NotImplemented

    class Weight:
        def __init__(self, value):
            self.value = value

        def __mul__(self, count):
            log.append(("multiply", self.value, count.value))
            return self.value * count.value

    class Element:
        """An element that is not a tuple, so it is iterated."""

        def __init__(self, word, count):
            self.items = iter([word, Count(count)])

        def __iter__(self):
            return self

        def __next__(self):
            log.append("next")
            return next(self.items)

    class Idf:
        def __getattribute__(self, name):
            log.append("get " + name)

            def get(*args, **kwargs):
                log.append(("call get", args, kwargs))
                return Weight(len(args[0]))

            return get

    class Counted:
        def __init__(self, *args, **kwargs):
            log.append(("Counter", args, kwargs))

        def __getattr__(self, name):
            log.append("get " + name)

            def items(*args, **kwargs):
                log.append(("call items", args, kwargs))
                return [Element("a", 2), Element("bb", 3)]

            return items

    corpus = ["unused"]
    monkeypatch.setattr(keyword, "collections", types.SimpleNamespace(Counter=Counted))
    assert tfidf(corpus, Idf()) == [("bb", 6), ("a", 2)]
    assert log == [
        ("Counter", (corpus,), {}), "get items", ("call items", (), {}),
        "next", "next", "next", "get get", ("call get", ("a", 0), {}), ("multiply", 1, 2),
        "next", "next", "next", "get get", ("call get", ("bb", 0), {}), ("multiply", 2, 3),
    ]
    assert keyword.collections.Counter is Counted


# ---- failures ----------------------------------------------------------------

class NoGet:
    pass


class Failing:
    def get(self, word, default):
        raise LookupError("no weight for " + word)


class Scores:
    """Weights that raise when compared."""

    def __init__(self, value):
        self.value = value

    def __mul__(self, count):
        return self

    def __lt__(self, other):
        raise ArithmeticError("not comparable")


def python_sort_error(pairs):
    try:
        sorted(pairs, key=operator.itemgetter(1), reverse=True)
    except TypeError as error:
        return str(error)


@pytest.mark.parametrize("call, error, message, line", [
    (lambda: tfidf(5, {}), TypeError, "'int' object is not iterable", 11),
    (lambda: tfidf([[1]], {}), TypeError, "unhashable type: 'list'", 11),
    (lambda: tfidf(["a"], []), AttributeError, "'list' object has no attribute 'get'", 12),
    (lambda: tfidf(["a"], NoGet()), AttributeError, "'NoGet' object has no attribute 'get'", 12),
    (lambda: tfidf(["a"], None), AttributeError, "'NoneType' object has no attribute 'get'", 12),
    (lambda: tfidf(["a"], {"a": None}), TypeError, "unsupported operand type(s) for *: 'NoneType' and 'int'", 12),
    (lambda: tfidf(["b", "a"], {"a": None}), TypeError, "unsupported operand type(s) for *: 'NoneType' and 'int'",
     12),
    (lambda: tfidf(["a"], Failing()), LookupError, "no weight for a", 12),
    (lambda: tfidf(["a", "b"], {"a": "x"}), TypeError, python_sort_error([("a", "x"), ("b", 0)]), 13),
    (lambda: tfidf(["a", "b"], {"a": Scores(1), "b": Scores(2)}), ArithmeticError, "not comparable", 13),
    (lambda: tfidf(["a"], {}, 2.5), TypeError, "slice indices must be integers or None or have an __index__ method",
     14),
    (lambda: tfidf(["a"], {}, "3"), TypeError, "slice indices must be integers or None or have an __index__ method",
     14),
    (lambda: tfidf([], NoGet(), 2.5), TypeError, "slice indices must be integers or None or have an __index__ method",
     14),
    (lambda: tfidf(None, None, []), TypeError, "slice indices must be integers or None or have an __index__ method",
     14),
])
def test_failures(call, error, message, line):
    fails(call, error, message, line)


def test_counter_failures_on_line_11(monkeypatch):
    monkeypatch.delattr(keyword, "collections")
    fails(lambda: tfidf(["a"], {}), NameError, "name 'collections' is not defined", 11)
    monkeypatch.setattr(keyword, "collections", types.SimpleNamespace(), raising=False)
    fails(lambda: tfidf(["a"], {}), AttributeError, "'types.SimpleNamespace' object has no attribute 'Counter'", 11)
    monkeypatch.setattr(keyword, "collections", types.SimpleNamespace(Counter=lambda corpus: object()))
    fails(lambda: tfidf(["a"], {}), AttributeError, "'object' object has no attribute 'items'", 11)

    def failing_items():
        raise OSError("no items")

    monkeypatch.setattr(keyword, "collections",
                        types.SimpleNamespace(Counter=lambda corpus: types.SimpleNamespace(items=failing_items)))
    fails(lambda: tfidf(["a"], {}), OSError, "no items", 11)


def counting_to(monkeypatch, elements):
    """Makes the module's `collections.Counter(corpus).items()` give `elements`."""
    fake = types.SimpleNamespace(Counter=lambda corpus: types.SimpleNamespace(items=lambda: elements))
    monkeypatch.setattr(keyword, "collections", fake)


def test_iterating_the_counted_words_fails_on_line_12(monkeypatch):
    def broken():
        yield ("a", 1)
        raise RuntimeError("iteration broke")

    counting_to(monkeypatch, broken())
    fails(lambda: tfidf(["a"], {}), RuntimeError, "iteration broke", 12)
    counting_to(monkeypatch, 5)
    fails(lambda: tfidf(["a"], {}), TypeError, "'int' object is not iterable", 12)


class Items:
    """An iterable element that is neither a tuple nor a list: its items, then
    `end` (an exception to raise, or StopIteration); counts the requests."""

    def __init__(self, *items, end=StopIteration):
        self.items = list(items)
        self.end = end
        self.requests = 0

    def __iter__(self):
        return self

    def __next__(self):
        self.requests += 1
        if self.items:
            return self.items.pop(0)
        raise self.end


class Pair(tuple):
    pass


class Listed(list):
    pass


NEED_0 = "need more than 0 values to unpack"
NEED_1 = "need more than 1 value to unpack"
TOO_MANY = "too many values to unpack (expected 2)"


@pytest.mark.parametrize("element, error, message", [
    (("a",), ValueError, NEED_1),
    ((), ValueError, NEED_0),
    (("a", 1, 2), ValueError, TOO_MANY),
    (["a"], ValueError, NEED_1),
    ([], ValueError, NEED_0),
    (["a", 1, 2], ValueError, TOO_MANY),
    (Pair(("a",)), ValueError, NEED_1),
    (Pair(("a", 1, 2)), ValueError, TOO_MANY),
    (Listed(), ValueError, NEED_0),
    (Items(), ValueError, NEED_0),
    (Items("a"), ValueError, NEED_1),
    (Items("a", 1, 2), ValueError, TOO_MANY),
    ("abc", ValueError, TOO_MANY),
    (Items(end=KeyError("first")), KeyError, "'first'"),
    (Items("a", end=KeyError("second")), KeyError, "'second'"),
    (Items("a", 1, end=KeyError("third")), KeyError, "'third'"),
    (5, TypeError, "'int' object is not iterable"),
    (None, TypeError, "'NoneType' object is not iterable"),
])
def test_unpacking_failures(monkeypatch, element, error, message):
    counting_to(monkeypatch, [("ok", 1), element])
    fails(lambda: tfidf(["a"], {}), error, message, 12)


@pytest.mark.parametrize("element", [
    ("a", 1), ["a", 1], Pair(("a", 1)), Listed(["a", 1]), iter(["a", 1]), (w for w in ("a", 1)), "a\x01",
])
def test_pairs_that_unpack(monkeypatch, element):
    counting_to(monkeypatch, [element])
    word, count = tfidf(["unused"], {"a": 2})[0]
    assert word == "a" and count in (2, "\x01\x01")


def test_stop_after_the_second_item_is_accepted(monkeypatch):
    element = Items("a", 3)
    counting_to(monkeypatch, [element, Items("b", 1)])
    assert tfidf(["unused"], {"a": 1, "b": 5}) == [("b", 5), ("a", 3)]
    assert element.requests == 3


# ---- threads -------------------------------------------------------------------

def model_tfidf(corpus, idf, n_word=10):
    pairs = [(w, idf.get(w, 0) * f) for w, f in collections.Counter(corpus).items()]
    return sorted(pairs, key=lambda pair: pair[1], reverse=True)[:n_word]


def test_calls_from_several_threads(monkeypatch):
    rng = random.Random(5)
    cases = [([rng.choice("abcdefgh") for _ in range(rng.randrange(30))],
              {w: rng.choice([1, 2.5, -1]) for w in rng.sample("abcdefgh", 4)}, rng.choice([None, 3]))
             for _ in range(50)]
    expected = [model_tfidf(*case) for case in cases]
    # The module global is rebound (to equivalent objects) while the calls run.
    delegate = types.SimpleNamespace(Counter=collections.Counter)
    stop = threading.Event()
    wrong = []

    def rebind():
        while not stop.is_set():
            keyword.collections = delegate
            keyword.collections = collections

    def rank():
        for _ in range(20):
            for case, result in zip(cases, expected):
                if tfidf(*case) != result:
                    wrong.append(case)

    monkeypatch.setattr(keyword, "collections", collections)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        workers = [threading.Thread(target=rank) for _ in range(4)]
        rebinder = threading.Thread(target=rebind)
        rebinder.start()
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
    finally:
        stop.set()
        rebinder.join()
        sys.setswitchinterval(interval)
    assert wrong == []


def test_real_counter_is_used_by_default():
    assert keyword.collections is collections
    counter = collections.Counter(["b", "a", "b"])
    assert tfidf(["b", "a", "b"], counter) == [("b", 4), ("a", 1)]
