"""Hostile input: words, corpora, tables and parameters whose methods mutate
what is being walked, raise, return the wrong types or call back into the
module, and stage functions called directly with hostile neighbour maps.

Every call must end with a correct result or with a Python exception that
carries the module's traceback entries; never with a crash, an error that is
lost (an unraisable error, or an error with a result), or an object used after
it was freed.

The checks run in a child interpreter in development mode (the debug memory
allocator fills freed memory, so a use after free shows).  A check that
crashes the child fails on its own and the remaining checks go on in a new
child.  Each check is a plain function registered with `@check`; the
parametrised test at the end reports each one.
"""
import gc
import json
import subprocess
import sys
import weakref

import numpy
import pytest

import model
import tallowmere.vellumcrest.keyword as keyword
from conftest import entry_lines as entries_of, run_in_test_module

MODULE = "tallowmere.vellumcrest.keyword"
TFIDF = MODULE + ".tfidf"
TFIDF_KEY = TFIDF + ".lambda"
TEXTRANK = MODULE + ".textrank"
CREATE_NODES = TEXTRANK + ".create_nodes"
CREATE_MATRIX = TEXTRANK + ".create_matrix"
CALCULATE_PR = TEXTRANK + ".calculate_pr"
TEXTRANK_KEY = TEXTRANK + ".lambda1"

FUNCTION_TYPE = type(keyword.textrank)
STAGE_NAMES = ("create_nodes", "create_matrix", "calculate_pr")
NAMESPACE = vars(keyword)
REAL_NUMPY = NAMESPACE["numpy"]
REAL_COLLECTIONS = NAMESPACE["collections"]

CHECKS = {}


def check(function):
    """Registers `function` as a check run in the child interpreter."""
    CHECKS[function.__name__] = function
    return function


def check_each(prefix, table):
    """Registers one check per row of `table` (name, arguments...), running
    `function(*arguments)`."""
    def register(function):
        for name, *arguments in table:
            def run(function=function, arguments=arguments):
                function(*arguments)
            CHECKS[prefix + name] = run
        return function
    return register


# ---- observing outcomes -------------------------------------------------------



def interpreter_message(operation):
    """The message of the TypeError that `operation()` raises on this CPython."""
    try:
        operation()
    except TypeError as error:
        return str(error)
    raise AssertionError("no TypeError")


# Adding a list to a set: "unhashable type: 'list'", which CPython 3.14
# words "cannot use 'list' as a set element (unhashable type: 'list')".
UNHASHABLE_SET_ELEMENT = interpreter_message(lambda: set().add([]))


def raises(call, error, message, entries):
    """Checks that `call()` raises exactly `error` (with `message` unless that
    is None) and that the module added exactly `entries`."""
    try:
        result = call()
    except BaseException as caught:  # noqa: B902 - anything else is a failure
        assert type(caught) is error, f"{type(caught).__name__}: {caught} (expected {error.__name__})"
        if message is not None:
            assert str(caught) == message
        assert entries_of(caught) == entries
        return caught
    raise AssertionError(f"returned {result!r} instead of raising {error.__name__}")


def label(word):
    return word.label if isinstance(word, Word) else word


def score_text(score):
    return repr(float(score)) if isinstance(score, (float, numpy.floating)) else repr(score)


def normalised(value):
    """A comparable picture of a ranker or stage result: words by label,
    scores and matrix entries as text (so that NaN equals NaN)."""
    if isinstance(value, list):
        return [(label(word), score_text(score)) for word, score in value]
    if isinstance(value, dict):
        return {label(key): sorted(map(label, neighbours), key=repr) for key, neighbours in value.items()}
    if isinstance(value, tuple):
        index_dict, matrix = value
        return ({number: label(word) for number, word in index_dict.items()},
                [[score_text(entry) for entry in row] for row in numpy.asarray(matrix)])
    return value


def outcome(call):
    try:
        result = call()
    except Exception as caught:
        return ("raised", type(caught).__name__, str(caught)), caught
    return ("returned", normalised(result)), None


def same_as_model(make):
    """Runs the scenario `make(ranker_module)` once against the module and once,
    with fresh objects, against the plain-Python model; the outcomes (result,
    or exception type and message) must be the same.  Returns the module's
    outcome and exception."""
    ours, caught = outcome(make(keyword))
    theirs, _ = outcome(make(model))
    assert ours == theirs
    return ours, caught


# ---- hostile objects ----------------------------------------------------------

class Word:
    """A word equal to its label (and to other Words of that label), hashing as
    the label does; `on_hash(word)` runs inside __hash__ and `on_eq(word, other)`
    inside __eq__."""

    def __init__(self, label, on_hash=None, on_eq=None):
        self.label = label
        self.on_hash = on_hash
        self.on_eq = on_eq

    def __hash__(self):
        if self.on_hash is not None:
            self.on_hash(self)
        return hash(self.label)

    def __eq__(self, other):
        if self.on_eq is not None:
            self.on_eq(self, other)
        return label(other) == self.label

    def __repr__(self):
        return f"Word({self.label!r})"


def on_call(number, action):
    """A hook that runs `action(*args)` on its `number`-th call only."""
    calls = [0]

    def hook(*args):
        calls[0] += 1
        if calls[0] == number:
            action(*args)
    return hook


def fail(*args):
    raise ZeroDivisionError("hostile")


class BoolFails:
    def __bool__(self):
        raise ZeroDivisionError("truth")


def globals_of(ranker_module):
    return vars(ranker_module)


def stage_functions():
    """The stage function objects of one textrank call, caught from inside it."""
    found = {}

    def grab(word):
        for candidate in gc.get_objects():
            if type(candidate) is FUNCTION_TYPE and candidate.__name__ in STAGE_NAMES:
                found.setdefault(candidate.__name__, candidate)
    keyword.textrank([Word("grab", on_hash=on_call(1, grab))])
    assert sorted(found) == sorted(STAGE_NAMES)
    return found


# ---- create_nodes: the corpus changes while it is walked ----------------------------

@check
def clearing_the_corpus_while_a_neighbour_is_hashed():
    def make(ranker):
        corpus = []
        corpus += ["a", "b", Word("w", on_hash=on_call(1, lambda word: corpus.clear())), "c"]
        return lambda: ranker.textrank(corpus, 3)
    # 'a' (index 0) takes its neighbours 'b' and the Word, whose hashing
    # empties the corpus: the walk ends and create_matrix numbers no word.
    ours, caught = same_as_model(make)
    assert ours == ("raised", "KeyError", "'a'")
    assert entries_of(caught) == [(TEXTRANK, 91), (CREATE_MATRIX, 67)]


@check
def clearing_the_corpus_before_a_window_position_is_read():
    def make(ranker):
        corpus = []
        corpus += ["a", Word("w", on_hash=on_call(2, lambda word: corpus.clear())), "b", "c"]
        return lambda: ranker.textrank(corpus, 3)
    # The Word's second hash is its own membership test on line 41; its window
    # then reads positions of a corpus that is empty by now.
    ours, caught = same_as_model(make)
    assert ours == ("raised", "IndexError", "list index out of range")
    assert entries_of(caught) == [(TEXTRANK, 90), (CREATE_NODES, 51)]


@check
def clearing_the_corpus_from_a_comparison():
    def make(ranker):
        corpus = []
        # Hashes like 'a', so meeting 'a' in a set calls its __eq__.
        corpus += ["a", "b", Word("a", on_eq=on_call(1, lambda word, other: corpus.clear())), "c", "d"]
        return lambda: ranker.textrank(corpus, 3)
    # 'b' (index 1) meets 'a' and then the Word in its neighbour set; the
    # comparison empties the corpus before position 3 is read.
    ours, caught = same_as_model(make)
    assert ours == ("raised", "IndexError", "list index out of range")
    assert entries_of(caught) == [(TEXTRANK, 90), (CREATE_NODES, 51)]


@check
def extending_the_corpus_while_it_is_walked():
    def make(ranker):
        corpus = []
        corpus += ["a", Word("w", on_hash=on_call(1, lambda word: corpus.extend(["x", "y", "a"]))), "c"]
        return lambda: ranker.textrank(corpus, 3, n_word=None)
    ours, _ = same_as_model(make)
    assert ours[0] == "returned"
    assert sorted(word for word, _ in ours[1]) == sorted(["a", "w", "c", "x", "y"], key=repr)


@check
def replacing_every_item_of_the_corpus_while_it_is_walked():
    def make(ranker):
        corpus = []

        def replace(word):
            corpus[:] = [Word(k) for k in range(len(corpus))]
        corpus += ["a", "b", Word("w", on_hash=on_call(1, replace)), "c", "d"]
        return lambda: ranker.textrank(corpus, 2, n_word=None)
    # The walk goes on over the new items; create_matrix then finds 'a', a
    # key of the neighbour map, missing from the corpus.
    ours, caught = same_as_model(make)
    assert ours == ("raised", "KeyError", "'a'")
    assert entries_of(caught) == [(TEXTRANK, 91), (CREATE_MATRIX, 67)]


class SelfClearingList(list):
    """A list that empties itself when its third position is read."""

    def __getitem__(self, position):
        if position == 2:
            self.clear()
        return list.__getitem__(self, position)


@check
def a_list_subclass_that_empties_itself_when_read():
    def make(ranker):
        return lambda: ranker.textrank(SelfClearingList(["a", "b", "c", "d"]), 3)
    ours, caught = same_as_model(make)
    assert ours == ("raised", "IndexError", "list index out of range")
    assert entries_of(caught) == [(TEXTRANK, 90), (CREATE_NODES, 51)]


class Corpus:
    """A sequence whose __len__, __iter__ and __getitem__ can be made hostile."""

    def __init__(self, words, length=None, iterate=None, item=None):
        self.words = words
        self.length = length
        self.iterate = iterate
        self.item = item

    def __len__(self):
        return len(self.words) if self.length is None else self.length()

    def __iter__(self):
        return iter(self.words) if self.iterate is None else self.iterate(self.words)

    def __getitem__(self, position):
        if self.item is not None:
            return self.item(self.words, position)
        return self.words[position]


def failing_after(count):
    def iterate(words):
        for k, word in enumerate(words):
            if k == count:
                raise ZeroDivisionError("hostile")
            yield word
    return iterate


@check_each("corpus_", [
    ("len_raises", dict(length=fail), ZeroDivisionError, "hostile", 39),
    ("len_returns_str", dict(length=lambda: "3"), TypeError, "'str' object cannot be interpreted as an integer", 39),
    ("len_returns_float", dict(length=lambda: 3.0), TypeError,
     "'float' object cannot be interpreted as an integer", 39),
    ("len_negative", dict(length=lambda: -1), ValueError, "__len__() should return >= 0", 39),
    ("len_huge", dict(length=lambda: 2 ** 70), OverflowError, "cannot fit 'int' into an index-sized integer", 39),
    ("iter_raises", dict(iterate=fail), ZeroDivisionError, "hostile", 40),
    ("iter_returns_non_iterator", dict(iterate=lambda words: 5), TypeError,
     "iter() returned non-iterator of type 'int'", 40),
    ("next_raises_midway", dict(iterate=failing_after(2)), ZeroDivisionError, "hostile", 40),
    ("getitem_raises", dict(item=fail), ZeroDivisionError, "hostile", 51),
    ("getitem_returns_unhashable", dict(item=lambda words, position: []), TypeError, UNHASHABLE_SET_ELEMENT, 51),
])
def hostile_corpus_fails_in_create_nodes(options, error, message, line):
    corpus = Corpus(["a", "b", "c", "a"], **options)
    raises(lambda: keyword.textrank(corpus, 2), error, message, [(TEXTRANK, 90), (CREATE_NODES, line)])


class Window:
    """A window whose arithmetic and comparisons are hostile.  `index - window`
    gives `difference`, `difference + 1` gives `left`, `index + window` gives
    `right` (each a value or a callable raising)."""

    def __init__(self, left=0, right=1, difference=None):
        self.left = left
        self.right = right
        self.difference = difference

    def __rsub__(self, index):
        return self.difference(self.left) if callable(self.difference) else _Bound(self.left)

    def __radd__(self, index):
        return self.right() if callable(self.right) else self.right


class _Bound:
    def __init__(self, value):
        self.value = value

    def __add__(self, one):
        return self.value() if callable(self.value) else self.value


class Compares:
    """A bound whose comparisons give `outcome` (a value, or a callable)."""

    def __init__(self, outcome):
        self.outcome = outcome

    def _compare(self, other):
        return self.outcome() if callable(self.outcome) else self.outcome

    __lt__ = __ge__ = _compare


@check_each("window_", [
    ("rsub_raises", Window(difference=fail), ZeroDivisionError, "hostile", 44),
    ("add_one_raises", Window(left=fail), ZeroDivisionError, "hostile", 44),
    ("radd_raises", Window(right=fail), ZeroDivisionError, "hostile", 45),
    ("left_comparison_raises", Window(left=Compares(fail)), ZeroDivisionError, "hostile", 46),
    ("left_comparison_truth_raises", Window(left=Compares(BoolFails())), ZeroDivisionError, "truth", 46),
    ("right_comparison_raises", Window(right=Compares(fail)), ZeroDivisionError, "hostile", 47),
    ("right_comparison_truth_raises", Window(right=Compares(BoolFails())), ZeroDivisionError, "truth", 47),
    ("float_bound_reaches_range", Window(left=0, right=1.5), TypeError,
     "'float' object cannot be interpreted as an integer", 48),
    ("float_window", 2.0, TypeError, "'float' object cannot be interpreted as an integer", 48),
])
def hostile_window_fails_in_create_nodes(window, error, message, line):
    raises(lambda: keyword.textrank(["a", "b", "c"], window), error, message, [(TEXTRANK, 90), (CREATE_NODES, line)])


@check_each("extreme_window_", [
    (f"{name}", window) for name, window in [
        ("2_62", 2 ** 62), ("minus_2_62", -2 ** 62), ("ssize_max", 2 ** 63 - 1), ("minus_ssize_max", -(2 ** 63 - 1)),
        ("ssize_min", -2 ** 63), ("2_63", 2 ** 63), ("2_64", 2 ** 64), ("minus_2_70", -2 ** 70),
    ]
])
def extreme_windows_rank_as_the_model_does(window):
    # Bounds near the machine-integer limits take the same clamps as Python ints.
    def make(ranker):
        return lambda: ranker.textrank([1, 2, 3, 1, 4, 2], window, n_word=None)
    ours, _ = same_as_model(make)
    assert ours[0] == "returned"


@check
def window_arithmetic_that_empties_the_corpus():
    corpus = ["a", "b", "c"]

    def clear(left):
        corpus.clear()
        return _Bound(-1)
    raises(lambda: keyword.textrank(corpus, Window(difference=clear, right=2)), IndexError,
           "list index out of range", [(TEXTRANK, 90), (CREATE_NODES, 51)])


@check_each("word_", [
    ("hash_raises_on_membership_test", Word("a", on_hash=fail), 41),
    ("hash_raises_on_the_store", Word("a", on_hash=on_call(2, fail)), 52),
    ("eq_raises_on_membership_test", Word("b", on_eq=fail), 41),
])
def hostile_word_fails_in_create_nodes(word, line):
    # window 1: a word has no neighbours, so only lines 41 and 52 hash it.
    raises(lambda: keyword.textrank(["b", word], 1), ZeroDivisionError, "hostile",
           [(TEXTRANK, 90), (CREATE_NODES, line)])


@check
def unhashable_neighbour_fails_on_line_51():
    raises(lambda: keyword.textrank(["a", ["unhashable"]], 2), TypeError, UNHASHABLE_SET_ELEMENT,
           [(TEXTRANK, 90), (CREATE_NODES, 51)])


@check
def create_nodes_called_directly_reports_one_entry():
    create_nodes = stage_functions()["create_nodes"]
    corpus = []
    corpus += ["a", Word("w", on_hash=on_call(2, lambda word: corpus.clear())), "b"]
    raises(lambda: create_nodes(corpus, 3), IndexError, "list index out of range", [(CREATE_NODES, 51)])


# ---- module globals deleted mid-call ----------------------------------------------

def deleting(name, ranker=keyword):
    def action(*args):
        globals_of(ranker).pop(name, None)
    return action


def restore_globals():
    NAMESPACE["numpy"] = REAL_NUMPY
    NAMESPACE["collections"] = REAL_COLLECTIONS
    vars(model)["numpy"] = REAL_NUMPY
    vars(model)["collections"] = REAL_COLLECTIONS


@check
def numpy_deleted_while_create_nodes_runs():
    try:
        def make(ranker):
            return lambda: ranker.textrank(["a", Word("w", on_hash=on_call(1, deleting("numpy", ranker))), "b"])
        ours, caught = same_as_model(make)
        assert ours == ("raised", "NameError", "name 'numpy' is not defined")
        assert entries_of(caught) == [(TEXTRANK, 91), (CREATE_MATRIX, 59)]
    finally:
        restore_globals()


@check
def numpy_deleted_while_create_matrix_numbers_the_words():
    try:
        # window 1: create_nodes hashes the word twice (lines 41 and 52); the
        # third hash is create_matrix's, after it has looked numpy up.
        def make(ranker):
            return lambda: ranker.textrank([Word("w", on_hash=on_call(3, deleting("numpy", ranker)))], 1)
        ours, caught = same_as_model(make)
        assert ours == ("raised", "NameError", "name 'numpy' is not defined")
        assert entries_of(caught) == [(TEXTRANK, 92), (CALCULATE_PR, 84)]
    finally:
        restore_globals()


class Alpha(float):
    """A damping factor whose reflected subtraction runs `action` first."""

    def __new__(cls, value, action):
        self = float.__new__(cls, value)
        self.action = action
        return self

    def __rsub__(self, other):
        self.action()
        return float(other) - float(self)


@check
def numpy_deleted_while_calculate_pr_iterates():
    try:
        raises(lambda: keyword.textrank(["a", "b"], alpha=Alpha(0.8, deleting("numpy"))), NameError,
               "name 'numpy' is not defined", [(TEXTRANK, 92), (CALCULATE_PR, 86)])
    finally:
        restore_globals()


@check
def collections_deleted_while_tfidf_weighs_words():
    try:
        class Table:
            def get(self, word, default):
                NAMESPACE.pop("collections", None)
                return 2
        assert keyword.tfidf(["a", "b", "a"], Table()) == [("a", 4), ("b", 2)]
        raises(lambda: keyword.tfidf(["a"], {}), NameError, "name 'collections' is not defined", [(TFIDF, 11)])
    finally:
        restore_globals()


class CollidingKey:
    """A namespace key that hashes like `name`; once armed, the first
    comparison runs `action` (which may raise); it never equals anything else."""

    def __init__(self, name, action):
        self.name, self.action, self.armed = name, action, False

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if self.armed:
            self.armed = False
            self.action()
        return other is self


def plant(key):
    """Puts `key` in front of its name in the module's namespace: the name is
    taken out and stored again after the key, so that a lookup of the name
    meets the key first."""
    value = NAMESPACE.pop(key.name)
    NAMESPACE[key] = None
    NAMESPACE[key.name] = value
    key.armed = True


def uproot(key):
    key.armed = False
    NAMESPACE.pop(key, None)
    restore_globals()


@check_each("namespace_key_", [
    ("raises_on_numpy", "numpy", fail, lambda: keyword.textrank(["a", "b"]), ZeroDivisionError,
     [(TEXTRANK, 91), (CREATE_MATRIX, 59)]),
    ("raises_on_collections", "collections", fail, lambda: keyword.tfidf(["a"], {}), ZeroDivisionError,
     [(TFIDF, 11)]),
    ("deletes_numpy", "numpy", lambda: NAMESPACE.pop("numpy", None), lambda: keyword.textrank(["a", "b"]),
     NameError, [(TEXTRANK, 91), (CREATE_MATRIX, 59)]),
])
def hostile_key_in_the_namespace(name, action, call, error, entries):
    key = CollidingKey(name, action)
    try:
        plant(key)
        raises(call, error, None, entries)
    finally:
        uproot(key)
    assert keyword.tfidf(["a", "a"], {"a": 1}) == [("a", 2)]


@check_each("builtins_getattr_", [
    ("raises", fail, ZeroDivisionError, "hostile"),
    ("returns_numpy", lambda name: REAL_NUMPY if name == "numpy" else fail(), None, None),
])
def numpy_found_through_a_module_getattr_of_builtins(getattr_hook, error, message):
    import builtins
    try:
        NAMESPACE.pop("numpy")
        builtins.__getattr__ = getattr_hook
        if error is None:
            assert normalised(keyword.textrank([1, 2, 3, 1, 4], 2)) == normalised(model.textrank([1, 2, 3, 1, 4], 2))
        else:
            raises(lambda: keyword.textrank(["a", "b"]), error, message, [(TEXTRANK, 91), (CREATE_MATRIX, 59)])
    finally:
        del builtins.__getattr__
        restore_globals()


# ---- create_matrix called directly with hostile neighbour maps ------------------------

@check
def neighbour_hash_deletes_a_key_of_the_neighbour_map():
    create_matrix = stage_functions()["create_matrix"]
    # Equal to 'b': the stores on lines 67 and 68 hash it, deleting 'b'.
    neighbour = Word("b")
    edge_dict = {"a": {neighbour}, "b": {"a"}}
    neighbour.on_hash = lambda word: edge_dict.pop("b", None)
    raises(lambda: create_matrix(["a", "b"], edge_dict), RuntimeError, "dictionary changed size during iteration",
           [(CREATE_MATRIX, 65)])


@check
def neighbour_hash_adds_a_key_to_the_neighbour_map():
    create_matrix = stage_functions()["create_matrix"]
    neighbour = Word("b")
    edge_dict = {"a": {neighbour}, "b": set()}
    neighbour.on_hash = on_call(1, lambda word: edge_dict.setdefault("c", set()))
    raises(lambda: create_matrix(["a", "b", "c"], edge_dict), RuntimeError,
           "dictionary changed size during iteration", [(CREATE_MATRIX, 65)])


class DictSubclass(dict):
    pass


@check
def neighbour_hash_deletes_a_key_of_a_dict_subclass():
    create_matrix = stage_functions()["create_matrix"]
    neighbour = Word("b")
    edge_dict = DictSubclass({"a": {neighbour}, "b": {"a"}})
    neighbour.on_hash = lambda word: edge_dict.pop("b", None)
    raises(lambda: create_matrix(["a", "b"], edge_dict), RuntimeError, "dictionary changed size during iteration",
           [(CREATE_MATRIX, 65)])


@check
def neighbour_hash_grows_the_set_being_walked():
    create_matrix = stage_functions()["create_matrix"]
    neighbour = Word("b")
    neighbours = {neighbour}
    neighbour.on_hash = on_call(1, lambda word: neighbours.update(["c", "d"]))
    raises(lambda: create_matrix(["a", "b", "c", "d"], {"a": neighbours}), RuntimeError,
           "Set changed size during iteration", [(CREATE_MATRIX, 66)])


@check
def neighbour_hash_empties_the_set_being_walked():
    create_matrix = stage_functions()["create_matrix"]
    # Int words keep the set's order fixed: the Word (1) comes first.
    neighbour = Word(1)
    neighbours = {neighbour, 2, 3}
    assert next(iter(neighbours)) is neighbour
    neighbour.on_hash = on_call(1, lambda word: neighbours.clear())
    raises(lambda: create_matrix([0, 1, 2, 3], {0: neighbours}), RuntimeError,
           "Set changed size during iteration", [(CREATE_MATRIX, 66)])


class Mapping:
    """A neighbour map that is not a dict: `keys()` gives `key_list`."""

    def __init__(self, neighbours, key_list=None, item=None):
        self.neighbours = neighbours
        self.key_list = list(neighbours) if key_list is None else key_list
        self.item = item

    def keys(self):
        return self.key_list

    def __getitem__(self, key):
        return self.neighbours[key] if self.item is None else self.item(key)


@check
def neighbour_hash_empties_the_key_list_being_walked():
    def make(ranker):
        keys = ["a", "b", "c"]
        neighbour = Word("b", on_hash=lambda word: keys.clear())
        edge_dict = Mapping({"a": [neighbour], "b": ["c"], "c": ["a"]}, key_list=keys)
        stage = stage_functions()["create_matrix"] if ranker is keyword else model.create_matrix
        return lambda: stage(["a", "b", "c"], edge_dict)
    ours, _ = same_as_model(make)
    assert ours[0] == "returned"


@check
def neighbour_hash_extends_the_neighbour_list_being_walked():
    def make(ranker):
        neighbours = []
        neighbours += [Word("b", on_hash=on_call(1, lambda word: neighbours.extend(["c", "d"])))]
        stage = stage_functions()["create_matrix"] if ranker is keyword else model.create_matrix
        return lambda: stage(["a", "b", "c", "d"], {"a": neighbours, "d": ("b",)})
    ours, _ = same_as_model(make)
    assert ours[0] == "returned"
    numbering, matrix = ours[1]
    assert len(numbering) == 4 and len(matrix) == 4


@check
def word_hash_changes_the_set_that_numbers_the_words():
    create_matrix = stage_functions()["create_matrix"]

    def grow(word):
        # The numbering set is the only set holding this Word once the two
        # sizing sets are gone; it is found and grown behind the walk.
        for candidate in gc.get_objects():
            if type(candidate) is set and any(item is word for item in candidate):
                candidate.add("intruder")
    word = Word("w")
    corpus = ("a", word, "b")
    # Hashes: three sets are built from the corpus (lines 59 and 62); the
    # fourth hash is the store on line 63.
    word.on_hash = on_call(4, grow)
    raises(lambda: create_matrix(corpus, {}), RuntimeError, "set changed size during iteration",
           [(CREATE_MATRIX, 62)])


@check_each("neighbour_map_", [
    ("none", None, AttributeError, "'NoneType' object has no attribute 'keys'", 65),
    ("without_keys", 5, AttributeError, "'int' object has no attribute 'keys'", 65),
    ("keys_raises", type("M", (), {"keys": fail})(), ZeroDivisionError, "hostile", 65),
    ("keys_not_iterable", Mapping({}, key_list=7), TypeError, "'int' object is not iterable", 65),
    ("getitem_raises", Mapping({"a": ["b"]}, item=fail), ZeroDivisionError, "hostile", 66),
    ("value_not_iterable", {"a": 3}, TypeError, "'int' object is not iterable", 66),
    ("unknown_key", {"z": ["a"]}, KeyError, "'z'", 67),
    ("unknown_neighbour", {"a": ["z"]}, KeyError, "'z'", 67),
    ("neighbour_hash_raises", {"a": [Word("b", on_hash=fail)]}, ZeroDivisionError, "hostile", 67),
    ("neighbour_hash_raises_second_time", {"a": [Word("b", on_hash=on_call(2, fail))]}, ZeroDivisionError,
     "hostile", 68),
])
def hostile_neighbour_map_fails_in_create_matrix(edge_dict, error, message, line):
    create_matrix = stage_functions()["create_matrix"]
    raises(lambda: create_matrix(["a", "b"], edge_dict), error, message, [(CREATE_MATRIX, line)])


@check
def corpus_that_yields_other_words_each_time():
    def make(ranker):
        # Two words size the matrix; three are numbered (int words keep the
        # set order fixed: 5, 6, 7 get the numbers 0, 1, 2).
        rounds = iter([[0, 1], [0, 1], [5, 6, 7]])
        corpus = Corpus([], iterate=lambda words: iter(next(rounds, [0])))
        stage = stage_functions()["create_matrix"] if ranker is keyword else model.create_matrix
        return lambda: stage(corpus, {5: [7]})
    ours, caught = same_as_model(make)
    assert ours == ("raised", "IndexError", "index 2 is out of bounds for axis 0 with size 2")
    assert entries_of(caught) == [(CREATE_MATRIX, 67)]


# ---- calculate_pr called directly ---------------------------------------------------

class Matrix(list):
    def __len__(self):
        raise ZeroDivisionError("hostile")


class Count:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value() if callable(self.value) else self.value


class Damping(float):
    def __mul__(self, other):
        raise ZeroDivisionError("hostile")


@check_each("calculate_pr_", [
    ("len_raises", Matrix([[1.0]]), 0.8, 1, ZeroDivisionError, "hostile", 84),
    ("n_iter_index_raises", [[1.0]], 0.8, Count(fail), ZeroDivisionError, "hostile", 85),
    ("n_iter_index_returns_str", [[1.0]], 0.8, Count("3"), TypeError, "__index__ returned non-int (type str)", 85),
    ("alpha_str", [[1.0]], "0.8", 1, TypeError, "unsupported operand type(s) for -: 'int' and 'str'", 86),
    ("alpha_multiplication_raises", [[1.0]], Damping(0.8), 1, ZeroDivisionError, "hostile", 86),
    ("shapes_do_not_align", [[1.0, 0.0]], 0.8, 1, ValueError, None, 86),
])
def hostile_calculate_pr_arguments(matrix, alpha, n_iter, error, message, line):
    calculate_pr = stage_functions()["calculate_pr"]
    raises(lambda: calculate_pr(matrix, alpha, n_iter), error, message, [(CALCULATE_PR, line)])


@check
def numpy_deleted_by_alpha_in_a_direct_calculate_pr_call():
    calculate_pr = stage_functions()["calculate_pr"]
    try:
        raises(lambda: calculate_pr([[1.0]], Alpha(0.8, deleting("numpy")), 2), NameError,
               "name 'numpy' is not defined", [(CALCULATE_PR, 86)])
    finally:
        restore_globals()


# ---- textrank's last lines ---------------------------------------------------------

@check_each("n_word_", [
    ("index_raises_tfidf", "tfidf", Count(fail), ZeroDivisionError, "hostile", [(TFIDF, 14)]),
    ("index_returns_str_tfidf", "tfidf", Count("x"), TypeError, "__index__ returned non-int (type str)",
     [(TFIDF, 14)]),
    ("index_raises_textrank", "textrank", Count(fail), ZeroDivisionError, "hostile", [(TEXTRANK, 98)]),
    ("float_textrank", "textrank", 2.5, TypeError,
     "slice indices must be integers or None or have an __index__ method", [(TEXTRANK, 98)]),
])
def hostile_n_word(ranker, n_word, error, message, entries):
    call = (lambda: keyword.tfidf(["a", "b"], {}, n_word)) if ranker == "tfidf" else (
        lambda: keyword.textrank(["a", "b"], n_word=n_word))
    raises(call, error, message, entries)


# ---- tfidf ------------------------------------------------------------------

@check
def clearing_the_corpus_while_counting():
    def make(ranker):
        corpus = []
        corpus += ["a", Word("w", on_hash=on_call(1, lambda word: corpus.clear())), "b"]
        return lambda: ranker.tfidf(corpus, {"a": 1})
    ours, _ = same_as_model(make)
    assert ours == ("returned", [("a", "1"), ("w", "0")])


@check
def extending_the_corpus_while_counting():
    def make(ranker):
        corpus = []
        corpus += ["a", Word("w", on_hash=on_call(1, lambda word: corpus.extend(["b", "a"])))]
        return lambda: ranker.tfidf(corpus, {"a": 1.5, "b": 1})
    ours, _ = same_as_model(make)
    assert ours == ("returned", [("a", "3.0"), ("b", "1"), ("w", "0")])


@check
def idf_get_changes_the_counter_being_walked():
    class Table:
        def get(self, word, default):
            for candidate in gc.get_objects():
                if type(candidate) is REAL_COLLECTIONS.Counter and "a" in candidate:
                    candidate["new"] = 1
            return 1
    raises(lambda: keyword.tfidf(["a", "b"], Table()), RuntimeError, "dictionary changed size during iteration",
           [(TFIDF, 12)])


class Score:
    """A score whose ordering comparison gives `outcome`."""

    def __init__(self, outcome):
        self.outcome = outcome

    def __lt__(self, other):
        return self.outcome() if callable(self.outcome) else self.outcome

    __gt__ = __lt__


class Weight:
    def __init__(self, score):
        self.score = score

    def __mul__(self, count):
        return self.score


@check_each("tfidf_", [
    ("word_eq_raises_while_counting", [Word("a", on_eq=fail), Word("a")], {}, ZeroDivisionError, "hostile", 11),
    ("word_hash_raises_while_counting", [Word("a", on_hash=fail)], {}, ZeroDivisionError, "hostile", 11),
    ("get_raises", ["a"], type("T", (), {"get": fail})(), ZeroDivisionError, "hostile", 12),
    ("get_missing", ["a"], [], AttributeError, "'list' object has no attribute 'get'", 12),
    ("get_returns_none", ["a"], type("T", (), {"get": lambda self, w, d: None})(), TypeError,
     "unsupported operand type(s) for *: 'NoneType' and 'int'", 12),
    ("multiplication_raises", ["a"], {"a": type("W", (), {"__mul__": fail})()}, ZeroDivisionError, "hostile", 12),
    ("dict_lookup_eq_raises", [Word("a")], {Word("a", on_eq=fail): 1}, ZeroDivisionError, "hostile", 12),
    ("score_comparison_raises", ["a", "b"], {"a": Weight(Score(fail)), "b": Weight(Score(fail))},
     ZeroDivisionError, "hostile", 13),
    ("score_comparison_truth_raises", ["a", "b"], {"a": Weight(Score(BoolFails())), "b": Weight(Score(False))},
     ZeroDivisionError, "truth", 13),
])
def hostile_tfidf_input(corpus, idf, error, message, line):
    raises(lambda: keyword.tfidf(corpus, idf), error, message, [(TFIDF, line)])


@check
def tfidf_sort_key_called_with_hostile_pairs():
    found = {}

    def grab():
        for candidate in gc.get_objects():
            if type(candidate) is FUNCTION_TYPE and candidate.__name__ == "lambda":
                found["key"] = candidate
        return False
    keyword.tfidf(["a", "b"], {"a": Weight(Score(grab)), "b": Weight(Score(grab))})
    key = found["key"]

    class Pair:
        def __getitem__(self, position):
            raise ZeroDivisionError("hostile")
    raises(lambda: key(Pair()), ZeroDivisionError, "hostile", [(TFIDF_KEY, 13)])
    raises(lambda: key(), TypeError, "lambda() takes exactly 1 positional argument (0 given)", [(TFIDF_KEY, 13)])
    assert key(("w", 5)) == 5


# ---- binding with hostile keyword names ---------------------------------------------

class KeywordName(str):
    """A str subclass keyword name: binding compares it with Python ==."""

    def __new__(cls, text, outcome):
        self = str.__new__(cls, text)
        self.outcome = outcome
        return self

    def __eq__(self, other):
        return self.outcome() if callable(self.outcome) else self.outcome

    __hash__ = str.__hash__


@check_each("keyword_name_", [
    ("eq_raises_tfidf", "tfidf", "idf", fail, ZeroDivisionError, "hostile", [(TFIDF, 10)]),
    ("eq_truth_raises_tfidf", "tfidf", "idf", BoolFails(), ZeroDivisionError, "truth", [(TFIDF, 10)]),
    ("eq_raises_textrank", "textrank", "corpus", fail, ZeroDivisionError, "hostile", [(TEXTRANK, 32)]),
    ("eq_truth_raises_textrank", "textrank", "window", BoolFails(), ZeroDivisionError, "truth", [(TEXTRANK, 32)]),
])
def hostile_keyword_name(ranker, parameter, outcome_, error, message, entries):
    keywords = {KeywordName(parameter, outcome_): 1}
    if ranker == "tfidf":
        call = lambda: keyword.tfidf(["a"], **keywords)  # noqa: E731
    elif parameter == "corpus":
        call = lambda: keyword.textrank(**keywords)  # noqa: E731
    else:
        call = lambda: keyword.textrank(["a"], **keywords)  # noqa: E731
    raises(call, error, message, entries)


@check
def keyword_name_that_equals_its_parameter_binds():
    assert keyword.tfidf(["a", "a"], **{KeywordName("idf", True): {"a": 2}}) == [("a", 4)]


# ---- re-entrant calls ----------------------------------------------------------

@check
def word_hash_calls_textrank_on_the_same_corpus():
    depth = [0]
    results = []

    def reenter(word):
        if depth[0] < 2:
            depth[0] += 1
            results.append(normalised(keyword.textrank(corpus, 2, n_word=None)))
            depth[0] -= 1
    corpus = ["a", Word("w", on_hash=reenter), "b", "a", "c"]
    outer = normalised(keyword.textrank(corpus, 2, n_word=None))
    plain = normalised(keyword.textrank(["a", Word("w"), "b", "a", "c"], 2, n_word=None))
    assert outer == plain
    assert results and all(result == plain for result in results)


@check
def word_hash_calls_a_failing_tfidf():
    def reenter(word):
        try:
            keyword.tfidf(["x"], [])
        except AttributeError as caught:
            assert entries_of(caught) == [(TFIDF, 12)]
    assert normalised(keyword.textrank(["a", Word("w", on_hash=reenter)], 2)) == normalised(
        keyword.textrank(["a", Word("w")], 2))
    raises(lambda: keyword.tfidf([Word("w", on_hash=reenter)], None), AttributeError,
           "'NoneType' object has no attribute 'get'", [(TFIDF, 12)])


@check
def unbounded_recursion_through_word_hashes():
    def reenter(word):
        keyword.textrank(["a", word])
    caught = None
    try:
        keyword.textrank(["a", Word("w", on_hash=reenter)], 2)
    except RecursionError as error:
        caught = error
    assert caught is not None
    found = entries_of(caught)
    assert found[:2] == [(TEXTRANK, 90), (CREATE_NODES, 51)]
    assert {name for name, _ in found} <= {TEXTRANK, CREATE_NODES}


@check
def score_comparison_calls_tfidf_recursively():
    depth = [0]

    def compare():
        if depth[0] < 3:
            depth[0] += 1
            assert keyword.tfidf(["a", "b", "b"], {"a": 1, "b": 1}) == [("b", 2), ("a", 1)]
            depth[0] -= 1
        return False
    result = keyword.tfidf(["a", "b"], {"a": Weight(Score(compare)), "b": Weight(Score(compare))})
    assert [word for word, _ in result] == ["a", "b"]


# ---- a function object cleared by the garbage collector and brought back ------------------

@check
def stage_function_resurrected_after_the_collector_cleared_it():
    stage = stage_functions()["create_nodes"]
    box = {}

    class LateFinaliser:
        __slots__ = ("ref",)

        def __del__(self):
            # Runs after the function was cleared: takes it back.
            box["function"] = self.ref()

    class Cycle(tuple):
        __slots__ = ()

        def __del__(self):
            # A weak reference made now is not cleared by the collector.
            self[1].ref = weakref.ref(self[0])
            box.pop("finaliser")

    box["finaliser"] = LateFinaliser()
    cycle = tuple.__new__(Cycle, (stage, box["finaliser"]))
    stage.cycle = cycle
    del stage, cycle
    gc.collect()
    revived = box.pop("function", None)
    if revived is None:  # the collector took another order; nothing to look at
        return
    assert type(revived.__name__) is str and type(revived.__qualname__) is str
    assert repr(revived).startswith("<function ")
    assert revived.__reduce__() == revived.__qualname__
    revived.__name__ = "again"
    assert revived.__name__ == "again"
    assert revived(["a", "b"], 2) == {"a": {"b"}, "b": {"a"}}


# ---- the traceback switch -------------------------------------------------------

def support_module():
    try:
        keyword.tfidf(["a"], [])
    except AttributeError:
        pass
    found = [module for module in list(sys.modules.values()) if hasattr(module, "cline_in_traceback")]
    assert len(found) == 1
    return found[0]


@check
def switch_whose_truth_raises_counts_as_off():
    support = support_module()
    try:
        support.cline_in_traceback = BoolFails()
        raises(lambda: keyword.tfidf(["a"], []), AttributeError, "'list' object has no attribute 'get'",
               [(TFIDF, 12)])
    finally:
        support.cline_in_traceback = False


@check
def switch_whose_truth_makes_a_failing_call():
    support = support_module()

    class Reentrant:
        # Re-enters once: the nested failure reads the switch again.
        depth = 0

        def __bool__(self):
            if Reentrant.depth == 0:
                Reentrant.depth += 1
                try:
                    raises(lambda: keyword.textrank(None), TypeError, "object of type 'NoneType' has no len()",
                           [(TEXTRANK, 90), (CREATE_NODES, 39)])
                finally:
                    Reentrant.depth -= 1
            return False
    try:
        support.cline_in_traceback = Reentrant()
        raises(lambda: keyword.tfidf(["a"], []), AttributeError, "'list' object has no attribute 'get'",
               [(TFIDF, 12)])
    finally:
        support.cline_in_traceback = False


@check
def switch_whose_truth_deletes_itself():
    support = support_module()

    class Vanishing:
        def __bool__(self):
            del support.cline_in_traceback
            gc.collect()
            return False
    try:
        support.cline_in_traceback = Vanishing()
        raises(lambda: keyword.tfidf(["a"], []), AttributeError, None, [(TFIDF, 12)])
        raises(lambda: keyword.tfidf(["a"], []), AttributeError, None, [(TFIDF, 12)])
        assert support.cline_in_traceback is False
    finally:
        support.cline_in_traceback = False


@check
def switch_that_cannot_be_read():
    support = support_module()

    class Colliding:
        # Hashes like the switch's name; its first armed comparison raises.
        armed = False

        def __hash__(self):
            return hash("cline_in_traceback")

        def __eq__(self, other):
            if Colliding.armed:
                Colliding.armed = False
                raise ZeroDivisionError("unreadable")
            return other is self
    namespace = vars(support)
    key = Colliding()
    try:
        del namespace["cline_in_traceback"]
        namespace[key] = None
        Colliding.armed = True
        # The failed read counts as an absent switch: the entry is plain, the
        # read's error is dropped, and the switch is then False.
        raises(lambda: keyword.tfidf(["a"], []), AttributeError, "'list' object has no attribute 'get'",
               [(TFIDF, 12)])
        assert namespace["cline_in_traceback"] is False
    finally:
        Colliding.armed = False
        namespace.pop(key, None)
        support.cline_in_traceback = False


# ---- the child process --------------------------------------------------------

MARK = "@@hostile@@ "


def child_main(names):
    """Runs the named checks and prints one start and one report line for each."""
    import traceback
    import warnings

    warnings.simplefilter("ignore", RuntimeWarning)
    unraisable = []
    sys.unraisablehook = lambda report: unraisable.append(f"{report.exc_type.__name__}: {report.exc_value}")
    for name in names:
        print(MARK + json.dumps({"start": name}), flush=True)
        unraisable.clear()
        try:
            CHECKS[name]()
            gc.collect()
            status, detail = "passed", ""
            if unraisable:
                status, detail = "failed", "unraisable errors: " + "; ".join(unraisable)
        except BaseException:  # noqa: B902 - reported to the parent
            status, detail = "failed", traceback.format_exc()
        finally:
            restore_globals()
        print(MARK + json.dumps({"name": name, "status": status, "detail": detail}), flush=True)




def run_children(names):
    """Runs `names` in child interpreters; a check that kills its child is
    reported as crashed and the rest run in a new child."""
    reports = {}
    pending = list(names)
    while pending:
        try:
            child = run_in_test_module(__file__, "child_main(sys.argv[2:])", *pending, dev=True, timeout=600)
            stdout, stderr, returncode = child.stdout, child.stderr, child.returncode
        except subprocess.TimeoutExpired as expired:
            decode = lambda data: data.decode() if isinstance(data, bytes) else (data or "")  # noqa: E731
            stdout, stderr, returncode = decode(expired.stdout), decode(expired.stderr), "timeout"
        started = None
        for line in stdout.splitlines():
            if line.startswith(MARK):
                record = json.loads(line[len(MARK):])
                if "start" in record:
                    started = record["start"]
                else:
                    reports[record["name"]] = record
                    started = None
        if started is not None:
            reports[started] = {"status": "crashed",
                                "detail": f"child ended ({returncode}) during the check:\n{stderr[-4000:]}"}
        remaining = [name for name in pending if name not in reports]
        if len(remaining) == len(pending):  # no progress: give up on the rest
            for name in remaining:
                reports[name] = {"status": "crashed", "detail": f"child ended ({returncode}):\n{stderr[-4000:]}"}
            remaining = []
        pending = remaining
    return reports


@pytest.fixture(scope="module")
def reports():
    return run_children(list(CHECKS))


@pytest.mark.parametrize("name", list(CHECKS))
def test_hostile(reports, name):
    report = reports[name]
    assert report["status"] == "passed", report["detail"]
