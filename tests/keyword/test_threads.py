"""Threads: eight threads call both rankers on shared inputs while another
thread rebinds, unbinds and restores the module's `numpy` and `collections`
and toggles the traceback switch.  The interpreter is made to switch threads
as often as it can.

Every call must give the result computed beforehand on one thread, or a clean
NameError while a global is unbound, or (for the calls meant to fail) the
expected exception with its one traceback entry; and the process must not
crash.  The whole run happens in a child interpreter.
"""
import json

from conftest import run_python

CHILD = r'''
import collections
import json
import sys
import threading
import types

import numpy

import tallowmere.vellumcrest.keyword as keyword
from conftest import entry_lines, race

NAMESPACE = vars(keyword)
REAL_NUMPY = NAMESPACE["numpy"]
REAL_COLLECTIONS = NAMESPACE["collections"]
MODULE = "tallowmere.vellumcrest.keyword"
WORKERS = 8
ROUNDS = int(sys.argv[1])


class Wrapper(types.ModuleType):
    """An equivalent stand-in for `module`: its attributes are looked up in
    `module` by Python code (a chance for a thread switch).  A new one is
    made for every rebinding, so a stale reference to an old one would be a
    reference to freed memory."""

    def __init__(self, module):
        super().__init__(module.__name__)
        self._module = module

    def __getattr__(self, name):
        return getattr(self._module, name)


def picture(result):
    return [(word, repr(float(score))) for word, score in result]


words = "the cat sat on the mat while the dog sat by the door of the house".split()
CORPUS = words * 2
CORPUS_TUPLE = tuple(CORPUS)
IDF = {word: float(len(word)) for word in set(words)}
IDF["the"] = 0.25
CALLS = {
    "tfidf": lambda: keyword.tfidf(CORPUS, IDF),
    "tfidf_top3": lambda: keyword.tfidf(CORPUS_TUPLE, IDF, 3),
    "textrank": lambda: keyword.textrank(CORPUS),
    "textrank_window2": lambda: keyword.textrank(CORPUS_TUPLE, 2, 0.85, None, 5),
    "textrank_nan": lambda: keyword.textrank(CORPUS, 1, n_word=4),
}
# Where a NameError may come from while a global is unbound.
NAME_ERRORS = {
    "numpy": {
        ((MODULE + ".textrank", 91), (MODULE + ".textrank.create_matrix", 59)),
        ((MODULE + ".textrank", 92), (MODULE + ".textrank.calculate_pr", 84)),
        ((MODULE + ".textrank", 92), (MODULE + ".textrank.calculate_pr", 86)),
    },
    "collections": {((MODULE + ".tfidf", 11),)},
}
# Calls that always fail, with their exception and entries.
FAILING = {
    "tfidf_without_get": (lambda: keyword.tfidf(CORPUS, []), AttributeError,
                          [(MODULE + ".tfidf", 12)]),
    "textrank_none": (lambda: keyword.textrank(None), TypeError,
                      [(MODULE + ".textrank", 90), (MODULE + ".textrank.create_nodes", 39)]),
    "textrank_bad_n_word": (lambda: keyword.textrank(CORPUS, n_word=2.5), TypeError,
                            [(MODULE + ".textrank", 98)]),
}

with numpy.errstate(divide="ignore", invalid="ignore"):
    EXPECTED = {name: picture(call()) for name, call in CALLS.items()}
# The first failure creates the switch on the run-time support module.
try:
    keyword.tfidf(["a"], [])
except AttributeError:
    pass
SUPPORT = [m for m in list(sys.modules.values()) if hasattr(m, "cline_in_traceback")]
assert len(SUPPORT) == 1, SUPPORT
SUPPORT = SUPPORT[0]

problems = []
counts = collections.Counter()
counts_lock = threading.Lock()
stop = threading.Event()
start = threading.Barrier(WORKERS + 1)


def note(kind):
    with counts_lock:
        counts[kind] += 1


def unbound_global(name, error, kind="name_error"):
    """Checks a NameError met while a global was unbound."""
    missing = str(error).split("'")[1] if str(error).count("'") == 2 else None
    if str(error) != f"name '{missing}' is not defined" or \
            tuple(entry_lines(error, undecorated=True)) not in NAME_ERRORS.get(missing, ()):
        problems.append(f"{name}: {error!r} {entry_lines(error, undecorated=True)}")
    note(kind)


def worker(number):
    start.wait()
    with numpy.errstate(divide="ignore", invalid="ignore"):
        for round_number in range(ROUNDS):
            for name, call in CALLS.items():
                try:
                    result = picture(call())
                except NameError as error:
                    unbound_global(name, error)
                    continue
                except BaseException as error:
                    problems.append(f"{name}: {error!r} {entry_lines(error, undecorated=True)}")
                    continue
                if result != EXPECTED[name]:
                    problems.append(f"{name}: {result} != {EXPECTED[name]}")
                note("result")
            name = list(FAILING)[(number + round_number) % len(FAILING)]
            call, error_type, entries = FAILING[name]
            try:
                call()
            except error_type as error:
                if entry_lines(error, undecorated=True) != entries:
                    problems.append(f"{name}: entries {entry_lines(error, undecorated=True)}")
                note("expected_failure")
            except NameError as error:
                unbound_global(name, error, "expected_failure")
            except BaseException as error:
                problems.append(f"{name}: {error!r}")
            else:
                problems.append(f"{name}: no exception")


def rebinder():
    start.wait()
    step = 0
    while not stop.is_set():
        step += 1
        NAMESPACE["numpy"] = Wrapper(REAL_NUMPY)
        NAMESPACE["collections"] = Wrapper(REAL_COLLECTIONS)
        SUPPORT.cline_in_traceback = step % 2 == 0
        if step % 3 == 0:
            NAMESPACE.pop("numpy", None)
        if step % 5 == 0:
            NAMESPACE.pop("collections", None)
        NAMESPACE["numpy"] = REAL_NUMPY
        NAMESPACE["collections"] = REAL_COLLECTIONS
    SUPPORT.cline_in_traceback = False
    note("rebinder_steps")


try:
    race(worker, WORKERS, rebinder, stop, other_first=False)
finally:
    NAMESPACE["numpy"] = REAL_NUMPY
    NAMESPACE["collections"] = REAL_COLLECTIONS

# After the storm, everything works as before on one thread.
with numpy.errstate(divide="ignore", invalid="ignore"):
    for name, call in CALLS.items():
        assert picture(call()) == EXPECTED[name], name
print(json.dumps({"problems": problems[:20], "problem_count": len(problems), "counts": dict(counts)}))
'''


def run_child(rounds):
    child = run_python(CHILD, rounds, dev=True, timeout=600)
    assert child.returncode == 0, f"child ended with {child.returncode}:\n{child.stderr[-4000:]}"
    return json.loads(child.stdout.strip().splitlines()[-1])


def test_rankers_under_thread_switches_and_rebinding():
    rounds = 40
    report = run_child(rounds)
    assert report["problem_count"] == 0, report["problems"]
    counts = report["counts"]
    # Every call was accounted for: a result, or a NameError while unbound.
    assert counts.get("result", 0) + counts.get("name_error", 0) == 8 * rounds * 5
    assert counts["expected_failure"] == 8 * rounds
    assert counts["rebinder_steps"] == 1


MUTATING_CHILD = r'''
import json
import random
import sys
import threading

import numpy

import tallowmere.vellumcrest.keyword as keyword
from conftest import Word, change_words, entry_lines, race

MODULE = "tallowmere.vellumcrest.keyword"
ROUNDS = int(sys.argv[1])


LABELS = "abcdefghij"
corpus = [Word(random.choice(LABELS)) for _ in range(30)]
idf = {Word(label): float(k) for k, label in enumerate(LABELS)}
problems = []
outcomes = {"result": 0, "error": 0}
outcomes_lock = threading.Lock()
stop = threading.Event()


def count(kind):
    with outcomes_lock:
        outcomes[kind] += 1


def ranker(number):
    rng = random.Random(number)
    with numpy.errstate(all="ignore"):
        for _ in range(ROUNDS):
            name = rng.choice(["tfidf", "textrank"])
            try:
                if name == "tfidf":
                    result = keyword.tfidf(corpus, idf, rng.choice([None, 3]))
                else:
                    result = keyword.textrank(corpus, rng.choice([1, 2, 5]), n_word=None, n_iter=3)
            except (IndexError, KeyError, RuntimeError, ValueError) as error:
                names = [name for name, _ in entry_lines(error)]
                if not names or names[0] != f"{MODULE}.{name}":
                    problems.append(f"{name}: {error!r} with entries {names}")
                count("error")
            except BaseException as error:
                problems.append(f"{name}: unexpected {error!r}")
            else:
                if type(result) is not list or not all(type(p) is tuple and len(p) == 2 for p in result):
                    problems.append(f"{name}: bad result {result!r}")
                count("result")


def mutator():
    rng = random.Random(99)
    while not stop.is_set():
        step = rng.randrange(7)
        if step < 5:
            change_words(corpus, step, rng, LABELS)
        elif step == 5:
            idf.clear()
        else:
            idf.update({Word(label): rng.random() for label in rng.sample(LABELS, 4)})


race(ranker, 4, mutator, stop)
print(json.dumps({"problems": problems[:20], "problem_count": len(problems), "outcomes": outcomes}))
'''


def test_rankers_while_another_thread_mutates_their_inputs():
    rounds = 150
    child = run_python(MUTATING_CHILD, rounds, dev=True, timeout=600)
    assert child.returncode == 0, f"child ended with {child.returncode}:\n{child.stderr[-4000:]}"
    report = json.loads(child.stdout.strip().splitlines()[-1])
    assert report["problem_count"] == 0, report["problems"]
    # Every call ended one way or the other (results or reported failures).
    assert report["outcomes"]["result"] + report["outcomes"]["error"] == 4 * rounds, report["outcomes"]
