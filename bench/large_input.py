"""One large English input through the command's default method, against a
plain Python pass over the same file, in one run.

Builds a file of --megabytes MB (default 50) from the package's sample and
the English documents of a keyphrase data folder (--data, default
/work/shared/keyphrase-data: its ``*/docsutf8/*.txt``), shuffled with a
fixed seed and repeated, paragraphs apart; then runs, each in a process of
its own, --rounds times (best kept):

- ``plain``: read the file, ``lower()``, ``re.findall(r"\\w+")``,
  ``collections.Counter``;
- ``command``: ``python -m tallowmere.vellumcrest FILE`` (keyphrases, top 10).

It prints, and with --out writes as Markdown, each side's wall time and
peak resident memory (the process's own ``ru_maxrss``, read by a launcher
process that runs nothing else) and the ratio of the times.  The file is
made in a temporary folder and removed.
"""

from __future__ import annotations

import argparse
import glob
import os
import random
import subprocess
import sys
import tempfile
import time
from importlib import resources

PLAIN = """
import collections, re, sys
with open(sys.argv[1], encoding="utf-8") as stream:
    text = stream.read()
counts = collections.Counter(re.findall(r"\\w+", text.lower()))
print(len(counts))
"""

# Runs one child and reports its wall time and peak memory: the launcher's
# RUSAGE_CHILDREN then holds that one child alone.
LAUNCHER = """
import resource, subprocess, sys, time
start = time.perf_counter()
done = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL)
elapsed = time.perf_counter() - start
print(done.returncode, elapsed, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
"""


def build_file(path: str, megabytes: float, data: str, seed: int = 25) -> int:
    documents = [resources.files("tallowmere.vellumcrest").joinpath("data", "sample.txt").read_text("utf-8")]
    for name in sorted(glob.glob(os.path.join(data, "*", "docsutf8", "*.txt"))):
        with open(name, encoding="utf-8") as stream:
            documents.append(stream.read().strip())
    rng = random.Random(seed)
    target = int(megabytes * 2**20)
    written = 0
    with open(path, "w", encoding="utf-8") as stream:
        while written < target:
            rng.shuffle(documents)
            for document in documents:
                block = document + "\n\n"
                stream.write(block)
                written += len(block.encode("utf-8"))
                if written >= target:
                    break
    return written


def measure(command: list[str]) -> tuple[float, int]:
    done = subprocess.run([sys.executable, "-c", LAUNCHER, *command], capture_output=True, text=True, check=True)
    status, elapsed, peak_kb = done.stdout.split()
    if status != "0":
        raise SystemExit(f"{command}: exit status {status}")
    return float(elapsed), int(peak_kb) * 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=float, default=50.0)
    parser.add_argument("--data", default="/work/shared/keyphrase-data")
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--out", help="write the figures as Markdown to this file")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "large.txt")
        size = build_file(path, args.megabytes, args.data)
        sides = {
            "plain": [sys.executable, "-c", PLAIN, path],
            "command": [sys.executable, "-m", "tallowmere.vellumcrest", path],
        }
        best: dict[str, tuple[float, int]] = {}
        for _ in range(args.rounds):
            for name, command in sides.items():
                elapsed, peak = measure(command)
                old = best.get(name)
                best[name] = (min(elapsed, old[0]), min(peak, old[1])) if old else (elapsed, peak)
    ratio = best["command"][0] / best["plain"][0]
    lines = [
        f"Input: {size / 2**20:.1f} MB of English text; best of {args.rounds} rounds;"
        f" Python {sys.version.split()[0]}; {time.strftime('%Y-%m-%d')}.",
        "",
        "| Side | Time (s) | Peak memory (MB) |",
        "|---|---|---|",
        *(f"| {name} | {elapsed:.2f} | {peak / 2**20:.0f} |" for name, (elapsed, peak) in best.items()),
        "",
        f"Time ratio, command / plain: {ratio:.2f}",
    ]
    report = "\n".join(lines) + "\n"
    print(report, end="")
    if args.out:
        with open(args.out, "w", encoding="utf-8") as stream:
            stream.write(report)


if __name__ == "__main__":
    main()
