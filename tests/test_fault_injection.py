"""Memory-failure sweeps: the k-th allocation of a call (or of the load) fails,
for every k until the call no longer meets the injected failure.  Each run must
end in the correct result or an exception (MemoryError, or what numpy or the
interpreter raise for it), never a crash; a failed load can be retried."""
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("_testcapi")

SWEEP = r"""
import faulthandler, sys, _testcapi, numpy
faulthandler.enable()
import tallowmere.vellumcrest.keyword as keyword
from tallowmere.vellumcrest.keyword import tfidf, textrank

FILE_NAME = "tallowmere\\\\vellumcrest\\\\keyword.py"
function, args, kwargs = eval(sys.argv[1])
numpy.seterr(all="ignore")


def run():
    try:
        return "result", function(*args, **kwargs)
    except Exception as error:
        return "error", error


def describe(outcome):
    kind, value = outcome
    return (kind, value) if kind == "result" else (kind, type(value), str(value))


expected = describe(run())
outcomes = {}
for k in range(1, 100000):
    # The call is made right here, with no Python frame of its own to push:
    # CPython 3.11 returns NULL without an exception when it cannot grow its
    # frame stack, which would show up as a SystemError unrelated to the call.
    _testcapi.set_nomemory(k, k + 1)
    try:
        outcome = "result", function(*args, **kwargs)
    except Exception as error:
        outcome = "error", error
    # Did the call pass the failing allocation by, or finish before it?
    try:
        probe = [bytearray(64) for _ in range(4)]
        reached = True
    except MemoryError:
        reached = False
    _testcapi.remove_mem_hooks()
    if describe(outcome) == expected:
        outcomes["as without failure"] = outcomes.get("as without failure", 0) + 1
        if not reached:
            break
        continue
    kind, error = outcome
    assert kind == "error", (k, outcome, expected)
    entries = []
    tb = error.__traceback__
    while tb:
        if tb.tb_frame.f_code.co_filename == FILE_NAME:
            entries.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    # Only an out-of-memory error may lack the module's entry: making the
    # entry itself can be what failed.
    assert entries or isinstance(error, MemoryError), (k, error)
    outcomes[type(error).__name__] = outcomes.get(type(error).__name__, 0) + 1
print(k, outcomes)
"""

CALLS = [
    "tfidf, (['a', 'b', 'a', 'c'], {'a': 0.5, 'b': 2, 'c': 1.5}, 2), {}",
    "tfidf, (['a', 'b'], []), {}",
    "tfidf, (), dict(corpus=['x', 'y'], idf={}, n_word=None)",
    "textrank, (['a', 'b', 'c', 'a', 'd'],), dict(window=2, n_iter=2)",
    "textrank, ([1, 2, 3, 1, 4, 2],), dict(window=3, n_word=2, n_iter=1)",
    "textrank, ('abc',), dict(alpha=0.5, n_word=None, n_iter=0)",
    "textrank, (['a', ['b']],), {}",
    "textrank, (), dict(bad=1)",
]


def run_sweep(call):
    return subprocess.run([sys.executable, "-c", SWEEP, call], capture_output=True, text=True, timeout=600)


@pytest.mark.parametrize("call", CALLS)
def test_every_allocation_of_a_call_may_fail(call):
    result = run_sweep(call)
    assert result.returncode == 0, result.stderr[-3000:]
    steps, _, outcomes = result.stdout.partition(" ")
    assert int(steps) > 10, result.stdout


LOAD_SWEEP = r"""
import faulthandler, importlib.util, sys, _testcapi, numpy, collections
faulthandler.enable()
name = "tallowmere.vellumcrest.keyword"
spec = importlib.util.find_spec(name)
start = int(sys.argv[1])
for k in range(start, start + 100000):
    module = importlib.util.module_from_spec(spec)
    _testcapi.set_nomemory(k, k + 1)
    try:
        spec.loader.exec_module(module)
    except Exception as error:
        _testcapi.remove_mem_hooks()
        continue
    try:
        probe = [bytearray(64) for _ in range(4)]
        reached = True
    except MemoryError:
        reached = False
    _testcapi.remove_mem_hooks()
    # Loaded, for good: the functions work.
    assert module.tfidf(["a", "b", "a"], {"a": 0.5, "b": 2.0}) == [("b", 2.0), ("a", 1.0)]
    assert [w for w, s in module.textrank([1, 2, 3], window=2)] == [2, 1, 3]
    print("finished" if not reached else "loaded", k)
    break
"""


def test_every_allocation_of_the_load_may_fail():
    # A failed exec step is retried in full by the next import; a failure the
    # load survives leaves it loaded, so the sweep goes on in a new process.
    start = 1
    for _ in range(200):
        result = subprocess.run([sys.executable, "-c", LOAD_SWEEP, str(start)], capture_output=True, text=True,
                                timeout=600)
        assert result.returncode == 0, result.stderr[-3000:]
        outcome, k = result.stdout.split()
        if outcome == "finished":
            assert int(k) > 100
            return
        start = int(k) + 1
    raise AssertionError("the load sweep did not finish")
