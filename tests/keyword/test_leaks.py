"""Reference and memory leaks: every entry point, on success and on each
class of failure, called many times.

- Memory: after a warm-up, several rounds of calls; the number of allocated
  memory blocks (and, on a debug build of the interpreter, the total reference
  count) must not grow in every round.  One round growing is noise (a cache
  filling, a free list); growth in every round is a leak.
- References: the reference counts of the argument objects (and of the words
  and values inside them) are the same after the calls as before.
- Lifetime: weak references to the arguments die as soon as the caller drops
  them, without a garbage collection, and so do the function objects that a
  call makes for itself (stage functions and sort keys).
"""
import array
import gc
import sys
import weakref

import numpy
import pytest

import tallowmere.vellumcrest.keyword as keyword
from conftest import Alpha, Corpus, Number, Word

NAMESPACE = vars(keyword)
FUNCTION_TYPE = type(keyword.textrank)
PUBLIC = (keyword.tfidf, keyword.textrank)

WARM_UP = 3
ROUNDS = 5
CALLS_PER_ROUND = 20


class Table(dict):
    """A weakly referable idf table (its `get` is looked up as an attribute)."""


class Window:
    """A weakly referable window: `index - window` and `index + window`."""

    def __init__(self, value):
        self.value = value

    def __rsub__(self, index):
        return index - self.value

    def __radd__(self, index):
        return index + self.value


class GetFails:
    def get(self, word, default):
        raise ZeroDivisionError("get")


class OnceIterable:
    """Iterable once (by create_nodes); iterating again fails (in create_matrix)."""

    def __init__(self, words):
        self.words = list(words)
        self.used = False

    def __len__(self):
        return len(self.words)

    def __getitem__(self, position):
        return self.words[position]

    def __iter__(self):
        if self.used:
            raise ZeroDivisionError("iterated twice")
        self.used = True
        return iter(self.words)


def words(text):
    # New word objects each time: their reference counts are the call's alone.
    return [Word(label) for label in text.split()]


def stages():
    """The stage functions and the tfidf sort key, caught during a call."""
    found = {}

    class Catch(Word):
        def __hash__(self):
            for candidate in gc.get_objects():
                if type(candidate) is FUNCTION_TYPE and candidate not in PUBLIC:
                    found.setdefault(candidate.__name__, candidate)
            return 0

    class Score:
        def __lt__(self, other):
            Catch("x").__hash__()
            return False

    class Weight:
        def __mul__(self, count):
            return Score()

    keyword.textrank([Catch("a"), Catch("b")])
    keyword.tfidf(["a", "b"], {"a": Weight(), "b": Weight()})
    return found


STAGES = stages()


class FakeCollections:
    """A stand-in for `collections` whose counted words do not unpack."""

    class Counter:
        def __init__(self, corpus):
            self.corpus = corpus

        def items(self):
            return [(word, 1, 2) for word in self.corpus]


class Swap:
    """Rebinds (or with None, deletes) a module global for a case's duration."""

    def __init__(self, name, value):
        self.name, self.value = name, value

    def __enter__(self):
        self.saved = NAMESPACE[self.name]
        if self.value is None:
            del NAMESPACE[self.name]
        else:
            NAMESPACE[self.name] = self.value

    def __exit__(self, *exc_info):
        NAMESPACE[self.name] = self.saved


class NoSwap:
    def __enter__(self):
        pass

    def __exit__(self, *exc_info):
        pass


# (id, function, builder of fresh arguments -> (args, kwargs), expected error,
#  context manager factory)
C = "alpha beta gamma alpha delta beta epsilon alpha"
CASES = [
    # tfidf
    ("tfidf", keyword.tfidf, lambda: ((words(C), {Word("alpha"): 0.5}), {}), None),
    ("tfidf_table_and_n_word", keyword.tfidf,
     lambda: ((Corpus(words(C)), Table({Word("beta"): 2.0}), Number(2)), {}), None),
    ("tfidf_str_words", keyword.tfidf, lambda: ((C.split(), Table(alpha=0.5)), {"n_word": None}), None),
    ("tfidf_binding_count", keyword.tfidf, lambda: ((words(C),), {}), TypeError),
    ("tfidf_binding_keyword", keyword.tfidf, lambda: ((words(C), {}), {"top": Number(1)}), TypeError),
    ("tfidf_binding_multiple", keyword.tfidf, lambda: ((words(C), {}), {"corpus": words(C)}), TypeError),
    ("tfidf_line_11_not_iterable", keyword.tfidf, lambda: ((Number(5), {}), {}), TypeError),
    ("tfidf_line_11_unhashable", keyword.tfidf, lambda: (([Word("a"), [Word("b")]], {}), {}), TypeError),
    ("tfidf_line_11_name_error", keyword.tfidf, lambda: ((words(C), {}), {}), NameError,
     lambda: Swap("collections", None)),
    ("tfidf_line_12_no_get", keyword.tfidf, lambda: ((words(C), [Word("x")]), {}), AttributeError),
    ("tfidf_line_12_get_raises", keyword.tfidf, lambda: ((words(C), GetFails()), {}), ZeroDivisionError),
    ("tfidf_line_12_multiplication", keyword.tfidf, lambda: ((words(C), {Word("beta"): None}), {}), TypeError),
    ("tfidf_line_12_unpacking", keyword.tfidf, lambda: ((words(C), {}), {}), ValueError,
     lambda: Swap("collections", FakeCollections)),
    ("tfidf_line_13_incomparable", keyword.tfidf, lambda: ((words(C), {Word("beta"): "x"}), {}), TypeError),
    ("tfidf_line_14_n_word", keyword.tfidf, lambda: ((words(C), {}, Alpha(2.5)), {}), TypeError),
    # textrank
    ("textrank", keyword.textrank, lambda: ((words(C),), {}), None),
    ("textrank_every_argument", keyword.textrank,
     lambda: ((Corpus(words(C)), Window(3), Alpha(0.85), Number(3), Number(4)), {}), None),
    ("textrank_keywords", keyword.textrank,
     lambda: ((), {"corpus": tuple(words(C)), "n_iter": Number(2), "alpha": Alpha(0.5)}), None),
    ("textrank_nan_scores", keyword.textrank, lambda: ((words(C), 1), {}), None),
    ("textrank_str_words", keyword.textrank, lambda: ((C.split(), 2), {"n_word": Number(3)}), None),
    ("textrank_binding_missing", keyword.textrank, lambda: ((), {"window": Number(2)}), TypeError),
    ("textrank_binding_too_many", keyword.textrank,
     lambda: ((words(C), 1, Alpha(0.5), 2, 3, Number(4)), {}), TypeError),
    ("textrank_create_nodes_len", keyword.textrank, lambda: ((Number(3),), {}), TypeError),
    ("textrank_create_nodes_window", keyword.textrank, lambda: ((words(C), Word("w")), {}), TypeError),
    ("textrank_create_nodes_unhashable", keyword.textrank, lambda: (([Word("a"), [Word("b")]],), {}), TypeError),
    ("textrank_create_matrix_iteration", keyword.textrank, lambda: ((OnceIterable(words(C)),), {}),
     ZeroDivisionError),
    ("textrank_create_matrix_name_error", keyword.textrank, lambda: ((words(C),), {}), NameError,
     lambda: Swap("numpy", None)),
    ("textrank_calculate_pr_range", keyword.textrank, lambda: ((words(C),), {"n_iter": Alpha(1.0)}), TypeError),
    ("textrank_calculate_pr_alpha", keyword.textrank, lambda: ((words(C),), {"alpha": Word("a")}), TypeError),
    ("textrank_line_98_n_word", keyword.textrank, lambda: ((words(C),), {"n_word": Alpha(2.5)}), TypeError),
    # the stage functions and the sort key, called directly
    ("create_nodes", STAGES["create_nodes"], lambda: ((words(C), Window(2)), {}), None),
    ("create_nodes_binding", STAGES["create_nodes"], lambda: ((words(C),), {"size": 2}), TypeError),
    ("create_nodes_body", STAGES["create_nodes"], lambda: ((words(C), Alpha(2.5)), {}), TypeError),
    ("create_matrix", STAGES["create_matrix"],
     lambda: ((words("a b c"), {Word("a"): [Word("b")], Word("c"): (Word("a"),)}), {}), None),
    ("create_matrix_binding", STAGES["create_matrix"], lambda: ((words(C), {}, None), {}), TypeError),
    ("create_matrix_body", STAGES["create_matrix"], lambda: ((words("a b"), {Word("a"): [Word("z")]}), {}),
     KeyError),
    ("calculate_pr", STAGES["calculate_pr"],
     lambda: ((numpy.array([[0.0, 1.0], [1.0, 0.0]]), Alpha(0.8), Number(3)), {}), None),
    ("calculate_pr_binding", STAGES["calculate_pr"], lambda: ((numpy.zeros((2, 2)),), {"alpha": 0.8}), TypeError),
    ("calculate_pr_body", STAGES["calculate_pr"], lambda: ((numpy.zeros((2, 3)), Alpha(0.8), Number(2)), {}),
     ValueError),
    ("sort_key", STAGES["lambda"], lambda: (((Word("w"), Alpha(3.0)),), {}), None),
    ("sort_key_binding", STAGES["lambda"], lambda: ((), {"y": Word("w")}), TypeError),
    ("sort_key_body", STAGES["lambda"], lambda: ((Word("w"),), {}), TypeError),
]
CASES = [case if len(case) == 5 else (*case, NoSwap) for case in CASES]
IDS = [case[0] for case in CASES]


@pytest.fixture(autouse=True)
def quiet_numpy():
    with numpy.errstate(divide="ignore", invalid="ignore"):
        yield


def call_once(function, args, kwargs, error):
    """Calls and checks the outcome; keeps nothing of it."""
    if error is None:
        result = function(*args, **kwargs)
        assert result is not None
        del result
    else:
        with pytest.raises(error):
            function(*args, **kwargs)


def contents(objects):
    """The objects, and the items, keys and values inside containers among them
    (leaving out shared objects such as small ints, whose counts others move)."""
    found = []
    for obj in objects:
        if type(obj) not in (int, bool, type(None)):
            found.append(obj)
        if isinstance(obj, dict):
            found.extend(obj.keys())
            found.extend(obj.values())
        elif isinstance(obj, (list, tuple)):
            found.extend(contents(obj))
    return found


def counter_readings(run, rounds):
    """Runs `run` WARM_UP times, then `rounds` times, reading the allocated
    blocks (and the total reference count where the interpreter keeps one)
    after each run.  Returns the per-round growth of each."""
    total_refcount = getattr(sys, "gettotalrefcount", None)
    # Readings go into machine-integer arrays: keeping them allocates nothing.
    blocks = array.array("q", [0] * (rounds + 1))
    references = array.array("q", [0] * (rounds + 1))
    for _ in range(WARM_UP):
        run()
    for k in range(rounds + 1):
        if k:
            run()
        gc.collect()
        blocks[k] = sys.getallocatedblocks()
        if total_refcount is not None:
            references[k] = total_refcount()
    block_growth = [blocks[k + 1] - blocks[k] for k in range(rounds)]
    reference_growth = [references[k + 1] - references[k] for k in range(rounds)] if total_refcount else []
    return block_growth, reference_growth


def numpy_keeps_the_total():
    """Whether numpy's own reference operations are counted in the total
    reference count: only when numpy was built for this (debug) interpreter.
    A release-built numpy frees objects without counting, and the total then
    drifts with every array it makes."""
    if not hasattr(sys, "gettotalrefcount"):
        return False

    def arrays():
        for _ in range(CALLS_PER_ROUND):
            matrix = numpy.zeros([3, 3])
            matrix[0][1] = 1
            matrix /= matrix.sum(axis=0)
            0.2 + 0.8 * numpy.dot(matrix, numpy.ones([3, 1]))
    with numpy.errstate(divide="ignore", invalid="ignore"):
        return not steady_growth(counter_readings(arrays, ROUNDS)[1])


def steady_growth(deltas):
    # A leak grows the count in every round; noise does not.
    return bool(deltas) and all(delta >= 1 for delta in deltas)


NUMPY_KEEPS_THE_TOTAL = numpy_keeps_the_total()
# Without the interpreter's small-object allocator (PYTHONMALLOC=malloc, as in
# the sanitizer run) there are no blocks to count: those readings stay 0 and
# only the reference counts judge.
BLOCKS_COUNTED = sys.getallocatedblocks() > 0
NUMPY_CASES = ("textrank", "create_matrix", "calculate_pr")


@pytest.mark.parametrize("name, function, build, error, context", CASES, ids=IDS)
def test_no_growth_over_repeated_calls(name, function, build, error, context):
    args, kwargs = build()

    def run():
        for _ in range(CALLS_PER_ROUND):
            try:
                function(*args, **kwargs)
            except Exception:
                pass

    with context():
        call_once(function, args, kwargs, error)
        watched = contents(list(args) + list(kwargs.values()))
        before = [sys.getrefcount(obj) for obj in watched]
        block_growth, reference_growth = counter_readings(run, ROUNDS)
        after = [sys.getrefcount(obj) for obj in watched]
    assert not steady_growth(block_growth), f"allocated blocks grow every round: {block_growth}"
    if name.startswith(NUMPY_CASES) and reference_growth and not NUMPY_KEEPS_THE_TOTAL:
        reference_growth = []  # numpy's own drift would hide ours; blocks still count
    assert not steady_growth(reference_growth), f"total reference count grows every round: {reference_growth}"
    changed = [(obj, b, a) for obj, b, a in zip(watched, before, after) if a != b]
    assert not changed, f"reference counts changed (object, before, after): {changed}"


@pytest.mark.parametrize("name, function, build, error, context", CASES, ids=IDS)
def test_arguments_die_when_the_caller_drops_them(name, function, build, error, context):
    with context():
        args, kwargs = build()
        referable = [obj for obj in contents(list(args) + list(kwargs.values()))
                     if type(obj).__weakrefoffset__]
        assert referable, "the case has no weakly referable argument"
        references = [weakref.ref(obj) for obj in referable]
        call_once(function, args, kwargs, error)
        del args, kwargs, referable
        alive = [ref() for ref in references if ref() is not None]
        assert not alive, f"still alive after the call: {alive}"


def made_functions(run):
    """(name, weak reference) of the module's function objects made during
    `run` (other than the public two and those that existed before)."""
    before = {id(obj) for obj in gc.get_objects() if type(obj) is FUNCTION_TYPE}
    caught = []

    class Catch(Word):
        def __hash__(self):
            for candidate in gc.get_objects():
                if type(candidate) is FUNCTION_TYPE and id(candidate) not in before and \
                        all(ref() is not candidate for _, ref in caught):
                    caught.append((candidate.__name__, weakref.ref(candidate)))
            return hash(self.label)

    run(Catch)
    return caught


@pytest.mark.parametrize("run, names", [
    (lambda Catch: keyword.textrank([Catch("a"), Catch("b"), Catch("a")]),
     {"create_nodes", "create_matrix", "calculate_pr"}),
    (lambda Catch: pytest.raises(KeyError, STAGES["create_matrix"], [Catch("a")], {Catch("z"): [Catch("a")]}),
     set()),
    (lambda Catch: pytest.raises(TypeError, keyword.textrank, [Catch("a"), Catch("b")], n_word=Alpha(1.5)),
     {"create_nodes", "create_matrix", "calculate_pr"}),
    (lambda Catch: pytest.raises(NameError, keyword.textrank, [Catch("a"), Swapper("numpy")]),
     {"create_nodes", "create_matrix", "calculate_pr"}),
    (lambda Catch: keyword.tfidf(["a", "b"], {"a": Weight(Catch), "b": Weight(Catch)}), {"lambda"}),
    (lambda Catch: pytest.raises(ZeroDivisionError, keyword.tfidf, ["a", "b"],
                                 {"a": Weight(Catch, fail=True), "b": Weight(Catch, fail=True)}), {"lambda"}),
], ids=["textrank", "create_matrix_failure", "textrank_failure_after_sorting", "textrank_name_error",
        "tfidf_sort_key", "tfidf_sort_failure"])
def test_function_objects_made_by_a_call_die_with_it(run, names):
    try:
        caught = made_functions(run)
    finally:
        NAMESPACE["numpy"] = numpy
    assert names <= {name for name, _ in caught}
    # The call is over: every function object it made is gone.
    assert [name for name, ref in caught if ref() is not None] == []


class Swapper(Word):
    """A word whose hashing deletes a module global (the name is put back by
    the test)."""

    def __hash__(self):
        NAMESPACE.pop(self.label, None)
        return hash(self.label)


class Weight:
    """An idf weight whose product is a score that runs a catching hash while
    the scores are sorted."""

    def __init__(self, catch, fail=False):
        self.catch, self.fail = catch, fail

    def __mul__(self, count):
        return Score(self.catch, self.fail)


class Score:
    def __init__(self, catch, fail):
        self.catch, self.fail = catch, fail

    def __lt__(self, other):
        hash(self.catch("x"))
        if self.fail:
            raise ZeroDivisionError("score")
        return False


def test_total_refcount_is_used_where_the_interpreter_keeps_one():
    growth = counter_readings(lambda: keyword.tfidf(["a"], {}), 2)[1]
    if hasattr(sys, "gettotalrefcount"):
        assert len(growth) == 2
    else:
        assert growth == []


@pytest.mark.skipif(not BLOCKS_COUNTED, reason="memory blocks are not counted without pymalloc")
def test_a_leak_would_be_seen():
    """The detector itself: a deliberate leak of one object per call shows as
    growth in every round."""
    kept = []

    def leaky():
        for _ in range(CALLS_PER_ROUND):
            kept.append(object())
    block_growth, _ = counter_readings(leaky, ROUNDS)
    assert steady_growth(block_growth)
    del kept[:]
