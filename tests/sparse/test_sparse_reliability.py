"""sparse.textrank under stress: leaks, memory failure, threads.

- Leaks: after a warm-up, rounds of calls (successful and failing ones); the
  allocated blocks, the memory tracemalloc sees (the module's arrays come from
  the interpreter's raw allocator, which it traces) and, on a debug build, the
  total reference count must not grow in every round; the arguments keep
  their reference counts and die when the caller drops them.
- Memory failure: the k-th allocation of a call (or of the load) fails, for
  every k until the call no longer meets the failure; each run ends in the
  right result or MemoryError, never a crash.
- Threads: eight threads rank shared inputs, and other threads change their
  inputs, while the interpreter switches threads as often as it can.
"""
import array
import gc
import json
import sys
import threading
import tracemalloc
import weakref

import pytest

import tallowmere.vellumcrest.sparse as sparse
from conftest import Alpha, Corpus, HashFails, HostileError, Number, Word, failing_after, run_python

WARM_UP = 3
ROUNDS = 5
CALLS_PER_ROUND = 20


def words(text):
    # New word objects each time: their reference counts are the call's alone.
    return [Word(label) for label in text.split()]


C = "alpha beta gamma alpha delta beta epsilon alpha"
# (id, builder of fresh arguments -> (args, kwargs), expected error)
CASES = [
    ("words", lambda: ((words(C),), {}), None),
    ("every_argument", lambda: ((Corpus(words(C)), Number(3), Alpha(0.85), Number(3), Number(4)), {}), None),
    ("str_words_all", lambda: ((C.split(), 2), {"n_word": None}), None),
    ("iterator", lambda: ((iter(words(C)),), {"n_iter": Number(2)}), None),
    ("set", lambda: ((set(words(C)),), {}), None),
    ("nan_scores", lambda: ((words(C), 1), {}), None),
    ("binding", lambda: ((words(C),), {"top": Number(3)}), TypeError),
    ("window_type", lambda: ((words(C), Alpha(2.0)), {}), TypeError),
    ("alpha_type", lambda: ((words(C),), {"alpha": Word("x")}), TypeError),
    ("n_iter_negative", lambda: ((words(C),), {"n_iter": Number(-1)}), ValueError),
    ("unhashable", lambda: (([Word("a"), [Word("b")]],), {}), TypeError),
    ("hash_fails", lambda: ((words(C) + [HashFails()],), {}), HostileError),
    ("iteration_fails", lambda: ((failing_after(words(C)),), {}), HostileError),
]
IDS = [case[0] for case in CASES]


def call_once(args, kwargs, error):
    if error is None:
        result = sparse.textrank(*args, **kwargs)
        assert type(result) is list
        del result
    else:
        with pytest.raises(error):
            sparse.textrank(*args, **kwargs)


def contents(objects):
    found = []
    for obj in objects:
        if type(obj) not in (int, bool, type(None)):
            found.append(obj)
        if isinstance(obj, (list, tuple, set)):
            found.extend(obj)
    return found


def steady_growth(deltas):
    # A leak grows in every round; noise does not.
    return bool(deltas) and all(delta >= 1 for delta in deltas)


def readings(run, rounds):
    """Growth per round of allocated blocks, traced bytes and (debug builds)
    the total reference count."""
    total_refcount = getattr(sys, "gettotalrefcount", None)
    # Readings go into machine-integer arrays: keeping them allocates nothing.
    blocks, traced, references = (array.array("q", [0] * (rounds + 1)) for _ in range(3))
    for _ in range(WARM_UP):
        run()
    tracemalloc.start()
    try:
        for k in range(rounds + 1):
            if k:
                run()
            gc.collect()
            blocks[k] = sys.getallocatedblocks()
            traced[k] = tracemalloc.get_traced_memory()[0]
            if total_refcount is not None:
                references[k] = total_refcount()
    finally:
        tracemalloc.stop()

    def growth(values):
        return [values[k + 1] - values[k] for k in range(rounds)]

    return growth(blocks), growth(traced), growth(references) if total_refcount else []


def assert_no_growth(run, rounds=5):
    """Repeated *run* leaks neither memory nor references."""
    blocks, traced, references = readings(run, rounds)
    assert not steady_growth(blocks), f"allocated blocks grow every round: {blocks}"
    assert not steady_growth(traced), f"traced memory grows every round: {traced}"
    assert not steady_growth(references), f"total reference count grows every round: {references}"


def ticks_while(call):
    """How often another thread counted while *call* ran: a call that holds
    the interpreter's lock all through lets no other thread run."""
    ticks = [0]
    stop = threading.Event()

    def counter():
        while not stop.is_set():
            ticks[0] += 1

    thread = threading.Thread(target=counter)
    thread.start()
    try:
        before = ticks[0]
        call()
        return ticks[0] - before
    finally:
        stop.set()
        thread.join()


@pytest.mark.parametrize("name, build, error", CASES, ids=IDS)
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_no_growth_over_repeated_calls(name, build, error):
    args, kwargs = build()
    # Iterators are used up by one call: each round makes its own arguments.
    fresh = name == "iterator" or name == "iteration_fails"

    def run():
        for _ in range(CALLS_PER_ROUND):
            call_args, call_kwargs = build() if fresh else (args, kwargs)
            try:
                sparse.textrank(*call_args, **call_kwargs)
            except Exception:
                pass

    call_once(*build(), error)
    watched = contents(list(args) + list(kwargs.values()))
    before = [sys.getrefcount(obj) for obj in watched]
    blocks, traced, references = readings(run, ROUNDS)
    after = [sys.getrefcount(obj) for obj in watched]
    assert not steady_growth(blocks), f"allocated blocks grow every round: {blocks}"
    assert not steady_growth(traced), f"traced memory grows every round: {traced}"
    assert not steady_growth(references), f"total reference count grows every round: {references}"
    changed = [(obj, b, a) for obj, b, a in zip(watched, before, after) if a != b]
    assert not changed, f"reference counts changed (object, before, after): {changed}"


def test_the_leak_check_sees_a_leak_of_raw_memory():
    # The detector itself: memory from the raw allocator kept on every call
    # (bytearray buffers are not from it, but tracemalloc counts them alike).
    kept = []
    _, traced, _ = readings(lambda: kept.append(bytearray(4096)), ROUNDS)
    assert steady_growth(traced)


@pytest.mark.parametrize("name, build, error", CASES, ids=IDS)
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_arguments_die_when_the_caller_drops_them(name, build, error):
    args, kwargs = build()
    referable = [obj for obj in contents(list(args) + list(kwargs.values())) if type(obj).__weakrefoffset__]
    references = [weakref.ref(obj) for obj in referable]
    result_holder = []
    if error is None:
        result_holder.append(sparse.textrank(*args, **kwargs))
        result_holder.clear()
    else:
        with pytest.raises(error):
            sparse.textrank(*args, **kwargs)
    del args, kwargs, referable
    alive = [ref() for ref in references if ref() is not None]
    assert not alive, f"still alive after the call: {alive}"


# ---- memory failure --------------------------------------------------------------

SWEEP = r"""
import faulthandler, sys, warnings, _testcapi
faulthandler.enable()
warnings.simplefilter("ignore")
from tallowmere.vellumcrest.sparse import textrank

call = sys.argv[1]
function = eval("lambda: textrank(" + call + ")")


def run():
    try:
        return repr(function())
    except Exception as error:
        return repr((type(error), str(error)))


expected = run()
outcomes = {}
for k in range(1, 100000):
    _testcapi.set_nomemory(k, k + 1)
    try:
        result, error = function(), None
    except Exception as caught:
        result, error = None, caught
    try:
        probe = [bytearray(64) for _ in range(4)]
        reached = True
    except MemoryError:
        reached = False
    _testcapi.remove_mem_hooks()
    outcome = repr(result) if error is None else repr((type(error), str(error)))
    out_of_memory = type(error) is MemoryError
    if outcome == expected:
        outcomes["as without failure"] = outcomes.get("as without failure", 0) + 1
        if not reached:
            break
        continue
    assert out_of_memory, (k, outcome, expected)
    outcomes["MemoryError"] = outcomes.get("MemoryError", 0) + 1
print("done", k, outcomes)
"""

SWEEP_CALLS = [
    "['a', 'b', 'c', 'a', 'd'], window=2, n_iter=2",
    "[1, 2, 3, 1, 4, 2], 3, 0.5, None, 1",
    "iter('abracadabra'), n_word=2",
    "frozenset('abcdefgh'), n_word=-1",
    "'abc', window=1",
    "['a', ['b']]",
    "['a'], top=1",
]


def sweep_of(function):
    """The sweep of sparse.textrank's calls, made of *function*'s (a name in
    the sparse module)."""
    sweep = SWEEP.replace("import textrank", f"import {function}").replace(
        '"lambda: textrank("', f'"lambda: {function}("'
    )
    assert f"{function}(" in sweep and "textrank" not in sweep
    return sweep


def assert_sweep_passes(sweep, call):
    """Runs an allocation-failure `sweep` of `call` in a new process: no crash,
    and more than five steps met the injected failure's call."""
    pytest.importorskip("_testcapi")
    result = run_python(sweep, call, timeout=600)
    assert result.returncode == 0, result.stderr[-3000:]
    (done,) = [line for line in result.stdout.splitlines() if line.startswith("done ")]
    assert int(done.split()[1]) > 5, done


@pytest.mark.parametrize("call", SWEEP_CALLS)
def test_every_allocation_of_a_call_may_fail(call):
    assert_sweep_passes(SWEEP, call)


LOAD_SWEEP = r"""
import faulthandler, importlib.util, sys, _testcapi
faulthandler.enable()
spec = importlib.util.find_spec("tallowmere.vellumcrest.sparse")
for k in range(1, 100000):
    _testcapi.set_nomemory(k, k + 1)
    try:
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
    except MemoryError:
        _testcapi.remove_mem_hooks()
        continue
    try:
        probe = [bytearray(64) for _ in range(4)]
        reached = True
    except MemoryError:
        reached = False
    _testcapi.remove_mem_hooks()
    assert [w for w, s in module.textrank([1, 2, 3], window=2)] == [2, 1, 3]
    if not reached:
        print("finished", k)
        break
"""


def test_every_allocation_of_the_load_may_fail():
    pytest.importorskip("_testcapi")
    result = run_python(LOAD_SWEEP, timeout=600)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.startswith("finished"), result.stdout


# ---- threads ---------------------------------------------------------------------

CHILD = r'''
import json
import random
import sys
import threading
import warnings

import tallowmere.vellumcrest.sparse as sparse

warnings.simplefilter("ignore")
ROUNDS = int(sys.argv[1])


# Hashed and compared by Python code: a chance for a thread switch in the
# middle of every dict and set operation.
from conftest import Word, change_words, race


def picture(result):
    return [(getattr(word, "label", word), repr(score)) for word, score in result]


TEXT = "the cat sat on the mat while the dog sat by the door of the house".split() * 3
SHARED = {
    "str": (TEXT, {}),
    "tuple_window2": (tuple(TEXT), {"window": 2, "alpha": 0.85, "n_word": None, "n_iter": 5}),
    "nan": (TEXT, {"window": 1, "n_word": 4}),
    "ints": ([k * k % 17 for k in range(400)], {"n_iter": 50}),
}
EXPECTED = {name: picture(sparse.textrank(corpus, **kwargs)) for name, (corpus, kwargs) in SHARED.items()}
LABELS = "abcdefghij"
mutable = [Word(random.choice(LABELS)) for _ in range(30)]
problems = []
counts = {"result": 0, "error": 0}
lock = threading.Lock()
stop = threading.Event()


def note(kind):
    with lock:
        counts[kind] += 1


def ranker(number):
    rng = random.Random(number)
    for _ in range(ROUNDS):
        for name, (corpus, kwargs) in SHARED.items():
            result = picture(sparse.textrank(corpus, **kwargs))
            if result != EXPECTED[name]:
                problems.append(f"{name}: {result} != {EXPECTED[name]}")
            note("result")
        try:
            result = sparse.textrank(mutable, rng.choice([1, 2, 5]), n_word=None, n_iter=3)
        except RuntimeError as error:  # the words changed while they were counted
            if "changed" not in str(error):
                problems.append(repr(error))
            note("error")
        except BaseException as error:
            problems.append(f"unexpected {error!r}")
        else:
            if type(result) is not list or not all(type(p) is tuple and len(p) == 2 for p in result):
                problems.append(f"bad result {result!r}")
            note("result")


def mutator():
    rng = random.Random(99)
    while not stop.is_set():
        change_words(mutable, rng.randrange(5), rng, LABELS)


race(ranker, 8, mutator, stop)
for name, (corpus, kwargs) in SHARED.items():
    assert picture(sparse.textrank(corpus, **kwargs)) == EXPECTED[name], name
print(json.dumps({"problems": problems[:20], "problem_count": len(problems), "counts": counts}))
'''


def test_threads_rank_shared_and_changing_inputs():
    rounds = 30
    child = run_python(CHILD, rounds, dev=True, timeout=600)
    assert child.returncode == 0, f"child ended with {child.returncode}:\n{child.stderr[-4000:]}"
    report = json.loads(child.stdout.strip().splitlines()[-1])
    assert report["problem_count"] == 0, report["problems"]
    counts = report["counts"]
    assert counts["result"] + counts["error"] == 8 * rounds * 5
