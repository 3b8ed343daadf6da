"""The rankers behave as Python functions do towards the interpreter:
recursion through them ends in RecursionError, never in a crash, and Ctrl-C
stops their long loops at the loop's own line."""
import json

import pytest

from conftest import ENTRY_PREFIX, run_python

RECURSION = """
import json, sys
from conftest import entry_lines
from tallowmere.vellumcrest.keyword import tfidf, textrank

route, limit = sys.argv[1], int(sys.argv[2])
sys.setrecursionlimit(limit)

class Corpus(list):
    def __len__(self):
        return len(textrank(Corpus(["a", "b"])))

class NWord:
    def __index__(self):
        textrank(["a", "b"], n_word=NWord())
        return 1

class Word:
    def __hash__(self):
        tfidf([Word()], {})
        return 1

calls = {
    "corpus __len__": lambda: textrank(Corpus(["a", "b"])),
    "n_word __index__": lambda: textrank(["a", "b"], n_word=NWord()),
    "word __hash__": lambda: tfidf([Word()], {}),
}
try:
    calls[route]()
except RecursionError as error:
    print(json.dumps(["RecursionError", entry_lines(error)[-1]]))
"""


@pytest.mark.parametrize(
    "route, limit",
    [
        ("corpus __len__", 7000),
        ("n_word __index__", 10000),
        ("word __hash__", 20000),
        # far beyond what the C stack holds: refused before it runs out
        ("corpus __len__", 200000),
        ("n_word __index__", 200000),
        ("word __hash__", 200000),
    ],
)
def test_recursion_through_a_ranker_ends_in_recursion_error(route, limit, tmp_path):
    script = tmp_path / "recurse.py"
    script.write_text(RECURSION, encoding="utf-8")
    done = run_python(f"import runpy, sys; sys.argv = ['recurse', {route!r}, '{limit}']; "
                      f"runpy.run_path({str(script)!r}, run_name='__main__')", timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    kind, (name, line) = json.loads(done.stdout.splitlines()[-1])
    assert kind == "RecursionError" and name.startswith(ENTRY_PREFIX)


def test_a_stage_one_level_too_deep_fails_at_its_first_line():
    # textrank under every recursion limit from the lowest that can be set:
    # at one of them, entering the first stage is the one call too many, as
    # a nested Python function's frame would be, and it is reported at the
    # stage's first line.
    done = run_python("""
        import json, sys
        from conftest import entry_lines
        from tallowmere.vellumcrest.keyword import textrank

        def call():
            return textrank(["a", "b"])

        seen = []
        for limit in range(2, 40):
            try:
                sys.setrecursionlimit(limit)
            except RecursionError:  # below the current depth
                continue
            try:
                call()
                error = None
            except RecursionError as caught:
                error = caught
            sys.setrecursionlimit(1000)
            if error is None:
                break
            seen.append(entry_lines(error))
        print(json.dumps(seen))
    """)
    assert done.returncode == 0, done.stderr
    assert [[ENTRY_PREFIX + "textrank", 90], [ENTRY_PREFIX + "textrank.create_nodes", 33]] in json.loads(done.stdout)


# A timer's handler raises KeyboardInterrupt, as Ctrl-C does, while a stage
# runs a long loop over str words that calls no Python code.  The stages are
# called as textrank calls them, with inputs that keep them busy for well over
# the timer's delay.
INTERRUPT = """
import json, signal, sys
import numpy
from conftest import entry_lines, live_functions
from tallowmere.vellumcrest.keyword import textrank

def run(collect):
    class Spy:
        def __hash__(self):
            collect()
            return 7
    textrank([Spy(), "b"], n_iter=0)

stages = live_functions(run)
words = [f"w{k}" for k in range(3000)]
calls = {
    "create_nodes": lambda: stages["create_nodes"](words, len(words)),
    "create_matrix": lambda: stages["create_matrix"](words, stages["create_nodes"](words, len(words))),
    "calculate_pr": lambda: stages["calculate_pr"](numpy.ones([2, 2]), 0.8, 10 ** 9),
    "textrank": lambda: textrank(words, len(words)),
}
call = calls[sys.argv[1]]
edge_dict = None
if sys.argv[1] == "create_matrix":
    edge_dict = stages["create_nodes"](words, len(words))
    call = lambda: stages["create_matrix"](words, edge_dict)

def interrupt(signum, frame):
    raise KeyboardInterrupt

signal.signal(signal.SIGALRM, interrupt)
signal.setitimer(signal.ITIMER_REAL, float(sys.argv[2]))
try:
    call()
    result = None
except KeyboardInterrupt as error:
    result = entry_lines(error)
signal.setitimer(signal.ITIMER_REAL, 0)
print(json.dumps(result))
"""


@pytest.mark.parametrize(
    "stage, delay, entries",
    [
        ("create_nodes", 0.05, [("textrank.create_nodes", {48})]),
        ("create_matrix", 0.005, [("textrank.create_matrix", {66})]),
        # The loop, or its one statement when numpy's dot runs Python code of
        # its own (numpy before 2.0 dispatches through Python), where the
        # interpreter itself lets the handler run.
        ("calculate_pr", 0.05, [("textrank.calculate_pr", {85, 86})]),
        ("textrank", 0.05, [("textrank", {90}), ("textrank.create_nodes", {48})]),
    ],
)
def test_ctrl_c_stops_a_long_loop_at_its_line(stage, delay, entries, tmp_path):
    script = tmp_path / "interrupt.py"
    script.write_text(INTERRUPT, encoding="utf-8")
    done = run_python(f"import runpy, sys; sys.argv = ['interrupt', {stage!r}, '{delay}']; "
                      f"runpy.run_path({str(script)!r}, run_name='__main__')", timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    got = json.loads(done.stdout.splitlines()[-1])
    assert got is not None, "the call ended before the timer"
    assert len(got) == len(entries)
    for (name, line), (wanted_name, lines) in zip(got, entries):
        assert name == ENTRY_PREFIX + wanted_name and line in lines, got
