"""Helpers shared by the test modules.

- `start_python(*arguments)` starts every child interpreter of the suite;
  `run_interpreter(*arguments)` runs one to its end, `run_python(code, *args)`
  a snippet (load-time checks, crash-prone checks and anything that must not
  touch this process), and `run_command(*args)` the command line.  A child
  can import this file as `conftest`.  `mypy_report(...)` type-checks good
  and wrong calls.
- `module_entries(exc)` lists the traceback entries that the module added;
  `entry_lines(exc)` gives just their names and lines.
- `Word(label)`: a word that hashes and compares in Python code, by its label;
  `Corpus`, `Number`, `Alpha`: weakly referable arguments; `HashFails`,
  `EqFails`, `IndexFails`, `failing_after(words)`, `with_clearing_word(words)`:
  hostile words and arguments, which raise `HostileError` (both rankers'
  tests use them).
- `race(worker, n, other, stop)` runs ranking threads beside one that
  changes their inputs (`change_words`), under fast thread switches.
- `outcome(function, ...)` and `assert_same(got, expected)` compare a call of
  the module with a call of the plain-Python model: result or failure, words,
  order, score types and values (NaN where the other has NaN).
- `native_frames(code, *args)` runs a snippet that crashes under gdb and
  gives the native backtrace; `is_cpython_dict_crash(frames)` tells the one
  crash of CPython 3.13 that allocation-failure sweeps of the load may skip.
- `live_functions(run)` catches the module's short-lived function objects (the
  stage functions and sort keys) while `run` is inside a ranker call;
  `capture_tfidf_sort_key()` uses it for a sort key of tfidf.
"""
import gc
import math
import os
import re
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import warnings

MODULE_NAME = "tallowmere.vellumcrest.keyword"
# The file name of the traceback entries: two backslashes between the parts.
ENTRY_FILE_NAME = "tallowmere\\\\vellumcrest\\\\keyword.py"
# The file name of the functions' own code objects: one backslash.
CODE_FILE_NAME = "tallowmere\\vellumcrest\\keyword.py"
ENTRY_PREFIX = MODULE_NAME + "."

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


def start_python(*arguments, dev=False, env=None, wrapper=(), program=sys.executable, **popen):
    """Starts `python *arguments` (`[*wrapper, python, ...]`: a debugger, a
    shell that closes streams) and returns its `subprocess.Popen`; every
    child interpreter of the suite is started here.  `program` may name a
    console script to start instead of `python`.  `dev` runs it in
    development mode (-X dev); `env` adds variables (None removes one; a
    PYTHONPATH given there comes after the tests folder, which is always on
    it, so that the child can import this file as `conftest`)."""
    child_env = dict(os.environ)
    child_env.update(env or {})
    child_env = {name: value for name, value in child_env.items() if value is not None}
    child_env["PYTHONPATH"] = os.pathsep.join(filter(None, [TESTS_DIR, child_env.get("PYTHONPATH")]))
    command = [*wrapper, program, *(["-X", "dev"] if dev else []), *map(str, arguments)]
    return subprocess.Popen(command, env=child_env, **popen)


def run_interpreter(*arguments, input=None, timeout=120, text=True, **options):
    """Runs `python *arguments` to its end (see `start_python` for the
    options) with `input` on its standard input (None: the null device)
    and returns the `subprocess.CompletedProcess`, output captured (as text
    unless `text` is false).  Raises subprocess.TimeoutExpired after
    `timeout` seconds, the child and every process it started killed, with
    what the child had written to standard error as a note."""
    stdin = subprocess.PIPE if input is not None else subprocess.DEVNULL
    # The child leads a process group of its own: on a timeout, the worker
    # processes it started die with it.  Left alive, they would hold its
    # output pipes open, and reading them to their end would never return.
    with start_python(*arguments, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=text,
                      process_group=0, **options) as process:
        try:
            out, err = process.communicate(input, timeout=timeout)
        except subprocess.TimeoutExpired as expired:
            os.killpg(process.pid, signal.SIGKILL)
            try:
                _, err = process.communicate(timeout=60)
            except subprocess.TimeoutExpired:  # a process that left the group still holds them
                err = "(not read: a process outside the child's group holds it open)"
            expired.add_note(f"the child's standard error:\n{err}")
            raise
    return subprocess.CompletedProcess(process.args, process.returncode, out, err)


def run_python(code, *args, **options):
    """Runs `code` (dedented) with `python -c`, `args` being its
    sys.argv[1:]; the options are `run_interpreter`'s."""
    return run_interpreter("-c", textwrap.dedent(code), *args, **options)


def run_in_test_module(test_file, call, *args, **options):
    """Runs `call` (such as "main(sys.argv[2:])") in a child interpreter that
    imports the test module `test_file` (its __file__) as `t`; `args` follow
    in sys.argv, after the module's folder."""
    folder, name = os.path.split(os.path.abspath(test_file))
    code = f"import sys; sys.path.insert(0, sys.argv[1]); import {name[:-3]} as t; t.{call}"
    return run_python(code, folder, *args, **options)


def mypy_report(directory, good, wrong, header):
    """Runs mypy --strict once, in `directory`, over the example `good` and a
    file for each wrong call of `wrong` ({name: (call, error code)}) after
    `header`; returns the run and {file stem: [(line, error code), ...]}."""
    (directory / "good_example.py").write_text(good)
    for name, (call, _) in wrong.items():
        (directory / f"wrong_{name}.py").write_text(header + call + "\n")
    files = sorted(path.name for path in directory.glob("*.py"))
    result = run_interpreter("-m", "mypy", "--strict", "--no-error-summary", "--show-error-codes",
                             "--cache-dir", str(directory / ".mypy_cache"), *files, cwd=directory, timeout=600)
    errors = {}
    for line in result.stdout.splitlines():
        match = re.match(r"(\w+)\.py:(\d+): error: .*\[([\w-]+)\]$", line)
        if match:
            errors.setdefault(match[1], []).append((int(match[2]), match[3]))
    return result, errors


# The command, as `python -m` starts it.
COMMAND = ("-m", "tallowmere.vellumcrest")


def run_command(*args, stdin=b"", env=None, timeout=300, **options):
    """Runs the command with `args` and `stdin` (bytes or str) on its standard
    input, under a hash seed of its own (PYTHONHASHSEED removed); returns
    (exit status, stdout, stderr), both decoded as UTF-8."""
    data = stdin.encode() if isinstance(stdin, str) else stdin
    done = run_interpreter(*COMMAND, *args, input=data, env={"PYTHONHASHSEED": None, **(env or {})},
                           timeout=timeout, text=False, **options)
    return done.returncode, done.stdout.decode("utf-8"), done.stderr.decode("utf-8")


def native_frames(code, *args, timeout=600):
    """The native backtrace ("#0 ...", "#1 ...") of `code` (run as by
    run_python) where it crashes; [] where gdb is missing or shows nothing, for
    example under user-mode emulation."""
    gdb = shutil.which("gdb")
    if gdb is None:
        return []
    result = run_python(code, *args, timeout=timeout, wrapper=[gdb, "-q", "-batch", "-ex", "run", "-ex", "bt", "--args"])
    return [line for line in result.stdout.splitlines() if re.match(r"#\d+ ", line)]


# CPython 3.13 (seen with 3.13.0 and Debian's 3.13.5) can crash in its own
# dict code when an allocation fails in one import of the module and a later
# import in the same process makes the function type ready: the attribute dict
# being filled is resized over an entry whose key is garbage, even when the
# later attempt starts from a new dict, so the earlier failure has left a dict
# keys object in a bad state for CPython to hand out again.  3.11, 3.12 and
# 3.14 do not crash there.  Seen with pyenv's 3.13.0, which has symbols:
#     #0  unicode_get_hash (o=0x1) at Objects/dictobject.c:440
#     #1  build_indices_unicode (...) at Objects/dictobject.c:1925
#     #2  dictresize (...) at Objects/dictobject.c:2067
#     #3  insertion_resize (...) ... #5 dict_setdefault_ref_lock_held (...)
#     #6  PyDict_SetDefaultRef (...) #7 type_add_getset (...) at Objects/typeobject.c:7403
#     #8  type_ready_fill_dict (...) #9 type_ready (...) at Objects/typeobject.c:8213
#     #10 (this module: making the function type ready in the exec step)
# and with Debian's stripped 3.13.5, at the same step of the sweep:
#     #0  0x0000000000535e9e in ?? ()
#     #1  0x00000000005372cc in ?? ()   (inside PyDict_SetDefaultRef, by nm -D)
#     #2  0x000000000052c259 in ?? ()
#     #3  ... in ?? () from .../tallowmere/vellumcrest/keyword.cpython-313-x86_64-linux-gnu.so
# The same bad dict can instead be met by a later garbage collection in the
# process (which one depends on the hash seed), seen with 3.13.0:
#     #0  visit_decref (op=0x10404, parent=...) at Python/gc.c:438
#     #1  dict_traverse (...) ... #5 PyGC_Collect () at Python/gc.c:1636
# So a crash is taken for this one only on 3.13, when every frame above the
# module's own (if any) lies in the interpreter and, where the interpreter has
# symbols, the top frames are its dict code making the function type ready, or
# the collector walking a dict.  The same sweeps pass on 3.11, 3.12 and 3.14.
def is_cpython_dict_crash(frames):
    if sys.version_info[:2] != (3, 13) or not frames:
        return False
    above = []
    for frame in frames:
        # The module's own frame: in its shared object, or (with debugging
        # information) in its sources under cpp/.
        if "vellumcrest/" in frame or "/cpp/" in frame:
            break
        above.append(frame)
    if any(" from " in frame and "libpython" not in frame for frame in above):
        return False
    if all(" ?? " in frame for frame in above):
        return True  # a stripped interpreter: no more to be told
    resizing = (re.search(r"\b(unicode_get_hash|build_indices_\w+|dictresize)\b", above[0]) is not None
                and any(re.search(r"\b(type_ready|PyType_Ready)\b", frame) for frame in above))
    collecting = (re.search(r"\bvisit_\w+\b", above[0]) is not None
                  and any(re.search(r"\bdict_traverse\b", frame) for frame in above[:3]))
    return resizing or collecting


def module_entries(exc):
    """The module's traceback entries of `exc` as (name, file name, line),
    outermost first."""
    entries = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == ENTRY_FILE_NAME:
            entries.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return entries


def entry_lines(exc, undecorated=False):
    """The module's traceback entries of `exc` as (name, line), outermost first;
    `undecorated` drops the " (file:line)" that names carry while the
    traceback switch is on."""
    return [(name.split(" (")[0] if undecorated else name, line) for name, _, line in module_entries(exc)]


class Word:
    """A weakly referable word that hashes and compares like its label, in
    Python code (a chance for a thread switch or a callback in every dict and
    set operation)."""

    def __init__(self, label):
        self.label = label

    def __hash__(self):
        return hash(self.label)

    def __eq__(self, other):
        return isinstance(other, Word) and other.label == self.label

    def __repr__(self):
        return f"Word({self.label!r})"


class Corpus(list):
    """A weakly referable corpus."""


class Number:
    """A weakly referable int-like argument (window, n_word, n_iter)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Alpha(float):
    """A weakly referable damping factor."""


class HostileError(Exception):
    """What the hostile objects below raise."""


def hostile(*args):
    raise HostileError("hostile")


class HashFails:
    __hash__ = hostile


class EqFails:
    """Hashes like 'a', so it is compared with 'a' when both meet."""

    def __hash__(self):
        return hash("a")

    __eq__ = hostile


class IndexFails:
    __index__ = hostile


def failing_after(words):
    """Yields `words`, then fails."""
    yield from words
    raise HostileError("iteration")


class WordThatClears:
    """A word that empties the list it was put in when it is hashed."""

    def __init__(self):
        self.home = None

    def __hash__(self):
        if self.home is not None:
            self.home.clear()
        return 7


def with_clearing_word(words):
    """`words` as a list with a WordThatClears in the middle."""
    corpus = list(words)
    word = WordThatClears()
    word.home = corpus
    corpus.insert(len(corpus) // 2, word)
    return corpus


def change_words(words, step, rng, labels):
    """Step `step` (0 to 4) of changing the list of Words `words` under a
    ranker: add, drop, replace all, clear, replace one (labels from `labels`)."""
    if step == 0:
        words.append(Word(rng.choice(labels)))
    elif step == 1:
        if words:
            words.pop(rng.randrange(len(words)))
    elif step == 2:
        words[:] = [Word(rng.choice(labels)) for _ in range(rng.randrange(40))]
    elif step == 3:
        words.clear()
    elif words:
        words[rng.randrange(len(words))] = Word(rng.choice(labels))


def race(worker, n_workers, other, stop, other_first=True):
    """Runs `worker(k)` for each k below `n_workers` in threads of their own
    beside `other()` in one more, the interpreter switching threads every
    microsecond; once the workers are done, `stop` (a threading.Event) is
    set for `other` to end."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(k,)) for k in range(n_workers)]
        changer = threading.Thread(target=other)
        for thread in [changer, *threads] if other_first else [*threads, changer]:
            thread.start()
        for thread in threads:
            thread.join()
        stop.set()
        changer.join()
    finally:
        sys.setswitchinterval(interval)


def live_functions(run):
    """Calls `run(collect)`, where `run` makes a ranker call during which it
    calls `collect()` (from a word's __hash__, a score's __lt__ ...).  Returns
    the module's function objects, other than the two public ones, that were
    alive then and not before, by __name__."""
    import tallowmere.vellumcrest.keyword as keyword

    function_type = type(keyword.tfidf)
    before = [o for o in gc.get_objects() if type(o) is function_type]
    known = {id(o) for o in before}
    found = {}

    def collect():
        for candidate in gc.get_objects():
            if type(candidate) is function_type and id(candidate) not in known:
                found.setdefault(candidate.__name__, candidate)

    run(collect)
    return found


def capture_tfidf_sort_key():
    """A sort key of tfidf, caught while scores are compared."""
    import tallowmere.vellumcrest.keyword as keyword

    def run(collect):
        class Score:
            def __init__(self, value):
                self.value = value

            def __mul__(self, count):
                return self

            def __lt__(self, other):
                collect()
                return self.value < other.value

        keyword.tfidf(["a", "b"], {"a": Score(1), "b": Score(2)})

    return live_functions(run)["lambda"]


def outcome(function, *args, **kwargs):
    """("result", value) or ("error", (type, message)) of one call, with
    numpy's floating-point warnings silenced."""
    import numpy

    with numpy.errstate(all="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return "result", function(*args, **kwargs)
        except Exception as error:  # failures are compared too
            return "error", (type(error), str(error))


def same_score(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    return a == b


def assert_same(got, expected):
    assert got[0] == expected[0], (got, expected)
    if got[0] == "error":
        assert got[1] == expected[1]
        return
    assert type(got[1]) is list and len(got[1]) == len(expected[1]), (got, expected)
    for (word, score), (model_word, model_score) in zip(got[1], expected[1]):
        assert word is model_word or word == model_word, (got, expected)
        assert type(word) is type(model_word), (got, expected)
        assert same_score(score, model_score), (got, expected)
