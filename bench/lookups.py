"""What remembering module-global lookups saves, and what it costs on each
CPython.

The module looks `numpy` and `collections` up in its namespace at every use
and may remember a result while the namespace is unchanged: on CPython 3.11
against the dict's version tag, from 3.12 on by watching the dict (the
version tag is deprecated in 3.12 and gone in 3.14).  This builds the module
twice for each interpreter, as shipped and with -DKEYWORD_LOOKUP_MEMO=OFF
(every lookup a dict lookup), and times, in the same run, calls that make
global lookups:

- `tfidf` of three words (one lookup of `collections`);
- `textrank` of four words with two iterations (several of `numpy`);
- a `tfidf` that fails (its traceback entry reads the traceback switch from
  the support module's dict, remembered the same way);
- `textrank` again after each write to the module's namespace, so that the
  memo is forgotten and filled again on every call (the watcher's callback
  and PyDict_Watch included).

    python bench/lookups.py [--python PYTHON ...] [--rounds N] [--instructions] [--out FILE]

Prints a table of nanoseconds per call (the lowest of N rounds, the variants
alternating) and writes it to --out when given.  With --instructions it
counts machine instructions per call instead, under valgrind's callgrind:
the difference between runs of 2,000 and 4,000 calls, which does not depend
on what else the machine is doing.
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

PROJECT = Path(__file__).resolve().parent.parent

TIMER = r"""
import json, sys, timeit
sys.path.insert(0, sys.argv[1])
import tallowmere.vellumcrest.keyword as keyword
from tallowmere.vellumcrest.keyword import tfidf, textrank
namespace = vars(keyword)

def failing():
    try:
        tfidf(["a"], 5)
    except AttributeError:
        pass

def rewritten():
    namespace["spare"] = None
    textrank(["a", "b", "c", "a"], n_iter=2)

def write_only():
    namespace["spare"] = None

cases = {
    "tfidf": lambda: tfidf(["a", "b", "a"], {"a": 1.0}),
    "textrank": lambda: textrank(["a", "b", "c", "a"], n_iter=2),
    "failing tfidf": failing,
    "textrank after a namespace write": rewritten,
    "namespace write alone": write_only,
}
number = int(sys.argv[2])
if len(sys.argv) > 3:  # one case, run `number` times, for counting instructions
    case = cases[sys.argv[3]]
    for _ in range(number):
        case()
else:
    print(json.dumps({name: min(timeit.repeat(case, number=number, repeat=5)) / number * 1e9
                      for name, case in cases.items()}))
"""
CASES = ["tfidf", "textrank", "failing tfidf", "textrank after a namespace write", "namespace write alone"]


def build(python: str, memo: bool, where: Path) -> Path:
    """Builds the exact module for `python` into a package tree under `where`."""
    build_dir = where / ("memo" if memo else "plain")
    subprocess.run(["cmake", "-S", str(PROJECT), "-B", str(build_dir / "cmake"), "-DCMAKE_BUILD_TYPE=Release",
                    f"-DPython_EXECUTABLE={python}", f"-DKEYWORD_LOOKUP_MEMO={'ON' if memo else 'OFF'}"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build_dir / "cmake"), "--target", "keyword", "-j", "2"],
                   check=True, stdout=subprocess.DEVNULL)
    package = build_dir / "tree" / "tallowmere" / "vellumcrest"
    package.mkdir(parents=True, exist_ok=True)
    for init in (package / "__init__.py", package.parent / "__init__.py"):
        init.write_text("")
    (module,) = (build_dir / "cmake").glob("keyword*.so")
    (package / module.name).write_bytes(module.read_bytes())
    return build_dir / "tree"


def instructions(python: str, tree: Path, case: str, calls: int, env: dict) -> int:
    """Instructions that a process making `calls` calls of `case` executes."""
    done = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                           python, "-c", TIMER, str(tree), str(calls), case],
                          check=True, capture_output=True, text=True, env=env)
    (line,) = [line for line in done.stderr.splitlines() if "Collected :" in line]
    return int(line.split()[-1])


def measure(python: str, rounds: int, number: int, count: bool = False) -> dict:
    version = subprocess.run([python, "-c", "import sys; print('%d.%d.%d' % sys.version_info[:3])"],
                             check=True, capture_output=True, text=True).stdout.strip()
    with tempfile.TemporaryDirectory() as scratch:
        trees = {memo: build(python, memo, Path(scratch)) for memo in (True, False)}
        best: dict = {True: {}, False: {}}
        env = dict(os.environ, OPENBLAS_NUM_THREADS="1", PYTHONHASHSEED="0")
        if count:
            for memo in (True, False):
                for case in CASES:
                    low, high = (instructions(python, trees[memo], case, calls, env) for calls in (2000, 4000))
                    best[memo][case] = (high - low) / 2000
            return {"version": version, "memo": best[True], "plain": best[False]}
        for _ in range(rounds):
            for memo in (True, False):
                out = subprocess.run([python, "-c", TIMER, str(trees[memo]), str(number)], check=True,
                                     capture_output=True, text=True, env=env).stdout
                for name, ns in json.loads(out).items():
                    best[memo][name] = min(ns, best[memo].get(name, ns))
    return {"version": version, "memo": best[True], "plain": best[False]}


def table(results: list, unit: str = "ns") -> str:
    lines = [f"| CPython | call | remembered ({unit}) | looked up every time ({unit}) | saved ({unit}) |",
             "|---|---|---|---|---|"]
    for result in results:
        for name, memo in result["memo"].items():
            plain = result["plain"][name]
            lines.append(f"| {result['version']} | {name} | {memo:.0f} | {plain:.0f} | {plain - memo:+.0f} |")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--python", action="append", help="an interpreter to build for (default: this one)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--number", type=int, default=20000, help="calls per timing")
    parser.add_argument("--instructions", action="store_true", help="count instructions per call (callgrind)")
    parser.add_argument("--out", type=Path)
    args = parser.parse_args()
    results = [measure(python, args.rounds, args.number, args.instructions) for python in args.python or [sys.executable]]
    text = table(results, "instructions" if args.instructions else "ns")
    print(text)
    if args.out:
        args.out.write_text(text + "\n")


if __name__ == "__main__":
    main()
