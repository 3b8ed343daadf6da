"""Documents per second of the command line: one process, a local pool, a cluster.

    python bench/cluster.py [--documents 20000] [--words 1000] [--rounds 1] [--out docs/benchmarks.md]

Writes the documents, each --words words long, cut from the bench corpora
(the license texts and Python's documentation topics, in windows that start
at different places; Zipf-distributed words where neither is on the machine),
to a temporary directory and runs ``vellumcrest-keywords`` on all of them,
for each method, in a new order every round:

- ``-j 1`` (one process) and ``-j 2`` (the local pool);
- two ``-j 1`` processes at once, each on half of the documents: what two
  processes with nothing to share get out of the machine, the ceiling of
  any two-process run (for textrank their two outputs together must be the
  ``-j 1`` output; for tfidf each half is weighed against itself);
- ``--dask ADDRESS`` against a LocalCluster of 2 worker processes with one
  thread each on 127.0.0.1, once with dask's default worker settings and
  once with each setting of CLUSTER_SETTINGS.

Each cluster is started, and given one small job, before its timed run, as a
user's cluster is already running. Times are wall-clock times of the whole
command (start-up, reading, ranking, output to a file), taken as the median
over the rounds; the speed-up of a run is the ratio of its documents per
second to that of ``-j 1`` in the same round, median over the rounds. The
outputs of ``-j 1``, ``-j 2`` and every ``--dask`` run of a method must be
byte for byte the same, or the run fails.

numpy's BLAS runs on one thread in every process (OPENBLAS_NUM_THREADS=1 and
its siblings, set before anything starts). The report replaces the block
between ``<!-- dask:begin -->`` and ``<!-- dask:end -->`` in --out, or is
appended to it.
"""
from __future__ import annotations

import argparse
import datetime
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

BLAS_THREAD_VARIABLES = ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS")
BEGIN, END = "<!-- dask:begin -->", "<!-- dask:end -->"
COMMAND = [sys.executable, "-m", "tallowmere.vellumcrest"]
WORDS_PER_LINE = 16
WINDOW_STEP = 997  # a prime, so that windows start at many different places
HALVES = "2 × `-j 1`, half each"
# Worker settings tried besides dask's defaults: (label, dask settings).
CLUSTER_SETTINGS = [
    # dask starts workers with MALLOC_TRIM_THRESHOLD_=65536, under which glibc
    # maps and unmaps every block of 128 KiB or more afresh: each exact
    # textrank of a 1k-word document faults its word matrix in again. A
    # variable set to None is one the nanny leaves out.
    ("no trim threshold", {"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None}),
]


def parse(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--documents", type=int, default=20000, help="number of documents (default: 20000)")
    parser.add_argument("--words", type=int, default=1000, help="words per document (default: 1000)")
    parser.add_argument("--methods", nargs="+", default=["textrank", "tfidf"], choices=["textrank", "tfidf"])
    parser.add_argument("--rounds", type=int, default=1, help="timed runs of each command (default: 1)")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(HERE), "docs", "benchmarks.md"),
                        help="the Markdown file whose dask block is written (default: docs/benchmarks.md)")
    return parser.parse_args(argv)


def source_words(total: int) -> tuple[list[str], str]:
    import corpora

    words = corpora.license_words() + corpora.pydoc_words()
    if len(words) >= 10 * WINDOW_STEP:
        return words, "the license texts and Python's documentation topics"
    return corpora.zipf_words(max(total, 1), 5000), f"Zipf words, vocabulary 5,000, seed {corpora.SEED}"


def write_documents(directory: str, n_documents: int, n_words: int) -> tuple[list[str], str]:
    words, origin = source_words(n_documents * n_words)
    doubled = words + words
    paths = []
    for number in range(n_documents):
        start = (number * WINDOW_STEP) % len(words)
        document = doubled[start:start + n_words] if n_words <= len(words) else (words * (n_words // len(words) + 1))[:n_words]
        lines = [" ".join(document[i:i + WORDS_PER_LINE]) for i in range(0, len(document), WORDS_PER_LINE)]
        path = os.path.join(directory, f"d{number:06d}.txt")
        with open(path, "w", encoding="utf-8") as stream:
            stream.write("\n".join(lines) + "\n")
        paths.append(path)
    return paths, origin


def run_command(options: list[str], paths: list[str], output: str) -> float:
    started = time.perf_counter()
    with open(output, "wb") as stream:
        done = subprocess.run([*COMMAND, *options, *paths], stdout=stream, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - started
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(options)}: exit status {done.returncode}: {done.stderr.decode().strip()}")
    return elapsed


def run_halves(options: list[str], paths: list[str], output: str) -> float:
    """Two commands at once, on the first and the second half of *paths*;
    their outputs are joined into *output* as one command's would be."""
    middle = len(paths) // 2
    parts = [output + ".first", output + ".second"]
    started = time.perf_counter()
    streams = [open(part, "wb") for part in parts]
    try:
        commands = [
            subprocess.Popen([*COMMAND, *options, *half], stdout=stream, stderr=subprocess.PIPE)
            for half, stream in zip((paths[:middle], paths[middle:]), streams)
        ]
        errors = [command.communicate()[1] for command in commands]
    finally:
        for stream in streams:
            stream.close()
    elapsed = time.perf_counter() - started
    for command, error in zip(commands, errors):
        if command.returncode != 0:
            raise SystemExit(f"halves: exit status {command.returncode}: {error.decode().strip()}")
    with open(output, "wb") as joined:
        joined.write(b"\n".join(open(part, "rb").read() for part in parts))
    return elapsed


def start_cluster(settings: dict, sample: list[str]):
    import dask
    import distributed

    with dask.config.set(settings):
        cluster = distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
            scheduler_kwargs={"dashboard": False, "dashboard_address": "127.0.0.1:0"},
        )
    # The workers import the package and numpy with their first job.
    run_command(["--dask", cluster.scheduler_address], sample, os.devnull)
    return cluster


def same_file(a: str, b: str) -> bool:
    with open(a, "rb") as left, open(b, "rb") as right:
        return left.read() == right.read()


def markdown(results, settings, origin, environment) -> str:
    lines = [
        BEGIN,
        "## Beyond one machine: documents per second",
        "",
        f"`python bench/cluster.py --documents {settings.documents} --words {settings.words}"
        f" --rounds {settings.rounds}`: {settings.documents:,} documents of {settings.words:,} words"
        f" ({origin}), ranked by `vellumcrest-keywords --top 10`, the whole command timed"
        " (start-up, reading, cutting, ranking, writing). `-j 1` is one process; `-j 2` the local"
        f" pool of two processes; {HALVES} two `-j 1` processes at once on half of the documents"
        " each, which share nothing: the most two processes get out of this machine. `--dask` is a"
        " running LocalCluster of 2 worker processes with one thread each on 127.0.0.1, with dask's"
        " default worker settings or with those named. numpy's BLAS on one thread everywhere."
        " Speed-up: documents per second over those of `-j 1` in the same round (median over"
        " rounds). The outputs of `-j 1`, `-j 2` and `--dask` of each method were the same, byte"
        " for byte (and for textrank the two halves' together).",
        "",
        "| Method | Run | Seconds | Documents/s | Speed-up over `-j 1` |",
        "|---|---|---|---|---|",
    ]
    for method, runs in results.items():
        for label, (seconds, speedup) in runs.items():
            lines.append(
                f"| {method} | {label} | {seconds:.1f} | {settings.documents / seconds:,.0f} | {speedup:.2f}× |"
            )
    lines += ["", *(f"- {item}" for item in environment), END]
    return "\n".join(lines) + "\n"


def write_block(path: str, block: str) -> None:
    try:
        with open(path, encoding="utf-8") as stream:
            text = stream.read()
    except FileNotFoundError:
        text = ""
    pattern = re.compile(re.escape(BEGIN) + r".*?" + re.escape(END) + r"\n?", re.DOTALL)
    if pattern.search(text):
        text = pattern.sub(lambda _: block, text, count=1)
    else:
        text = text + ("\n" if text and not text.endswith("\n\n") else "") + block
    directory = os.path.dirname(os.path.abspath(path))
    os.makedirs(directory, exist_ok=True)
    temporary = path + ".tmp"
    with open(temporary, "w", encoding="utf-8") as stream:
        stream.write(text)
    os.replace(temporary, path)


def main(argv=None) -> int:
    settings = parse(argv)
    for name in BLAS_THREAD_VARIABLES:
        os.environ[name] = "1"
    import distributed

    load_before = os.getloadavg()
    work = tempfile.mkdtemp(prefix="vellumcrest-cluster-")
    clusters = [("`--dask`", {})] + [(f"`--dask`, {label}", config) for label, config in CLUSTER_SETTINGS]
    labels = ["`-j 1`", "`-j 2`", HALVES, *(label for label, _ in clusters)]
    try:
        paths, origin = write_documents(work, settings.documents, settings.words)
        print(f"{len(paths)} documents written to {work}", file=sys.stderr)
        results = {}
        for method in settings.methods:
            times: dict[str, list[float]] = {label: [] for label in labels}
            ratios: dict[str, list[float]] = {label: [] for label in labels}
            for round_ in range(settings.rounds):
                order = labels[round_ % len(labels):] + labels[:round_ % len(labels)]
                this_round = {}
                outputs = {}
                for label in order:
                    output = os.path.join(work, f"out-{method}-{labels.index(label)}.txt")
                    options = ["--method", method]
                    if label == HALVES:
                        this_round[label] = run_halves([*options, "-j", "1"], paths, output)
                    elif label.startswith("`-j"):
                        this_round[label] = run_command([*options, "-j", label[4]], paths, output)
                    else:
                        with start_cluster(dict(clusters)[label], paths[:2]) as cluster:
                            this_round[label] = run_command([*options, "--dask", cluster.scheduler_address], paths, output)
                    outputs[label] = output
                    print(f"{method} {label}: {this_round[label]:.2f} s", file=sys.stderr)
                for label in labels:
                    times[label].append(this_round[label])
                    ratios[label].append(this_round["`-j 1`"] / this_round[label])
                compared = [outputs[label] for label in labels if label != HALVES or method == "textrank"]
                if not all(same_file(compared[0], other) for other in compared[1:]):
                    raise SystemExit(f"{method}: the outputs differ")
            results[method] = {
                label: (statistics.median(times[label]), statistics.median(ratios[label])) for label in labels
            }
    finally:
        shutil.rmtree(work, ignore_errors=True)
    load_after = os.getloadavg()

    import dask
    import numpy

    environment = [
        f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC, {platform.machine()},"
        f" {os.cpu_count()} cores, Python {platform.python_version()}, numpy {numpy.__version__},"
        f" dask {dask.__version__}, distributed {distributed.__version__}",
        f"load average before {load_before[0]:.2f}, after {load_after[0]:.2f} (1 minute)",
    ]
    block = markdown(results, settings, origin, environment)
    write_block(settings.out, block)
    sys.stdout.write(block)
    return 0


if __name__ == "__main__":
    sys.exit(main())
