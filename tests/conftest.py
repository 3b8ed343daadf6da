"""Helpers shared by the test modules.

- `run_python(code, *args)` runs a snippet in a fresh interpreter (load-time
  checks, crash-prone checks and anything that must not touch this process);
  every child interpreter of the suite is started by it.  The snippet can
  import this file as `conftest`.
- `module_entries(exc)` lists the traceback entries that the module added;
  `entry_lines(exc)` gives just their names and lines.
- `Word(label)`: a word that hashes and compares in Python code, by its label.
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
import subprocess
import sys
import textwrap
import warnings

MODULE_NAME = "tallowmere.vellumcrest.keyword"
# The file name of the traceback entries: two backslashes between the parts.
ENTRY_FILE_NAME = "tallowmere\\\\vellumcrest\\\\keyword.py"
# The file name of the functions' own code objects: one backslash.
CODE_FILE_NAME = "tallowmere\\vellumcrest\\keyword.py"
ENTRY_PREFIX = MODULE_NAME + "."

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


def run_python(code, *args, dev=False, timeout=120, env=None, wrapper=()):
    """Runs `code` (dedented) with `python -c` in a new process, `args` being
    its sys.argv[1:].  `dev` runs it in development mode (-X dev), `env` adds
    variables (a PYTHONPATH given there comes after the tests folder), and
    `wrapper` is a command put in front (a debugger).  Raises
    subprocess.TimeoutExpired after `timeout` seconds."""
    child_env = dict(os.environ)
    child_env.update(env or {})
    child_env["PYTHONPATH"] = os.pathsep.join(filter(None, [TESTS_DIR, child_env.get("PYTHONPATH")]))
    command = [*wrapper, sys.executable, *(["-X", "dev"] if dev else []), "-c", textwrap.dedent(code), *map(str, args)]
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout, env=child_env)


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
