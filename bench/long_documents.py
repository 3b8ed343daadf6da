"""Long documents: the sparse engine (tallowmere.vellumcrest.sparse) against
the exact one (tallowmere.vellumcrest.keyword), all in one run.

    python3 bench/long_documents.py [--quick] [--out docs/]

1. Agreement: on every corpus of bench/corpora.py (1k, 10k, 100k words) and on
   the long corpora below wherever the exact ranker fits, every score of the
   sparse ranker is within 1e-12 relative of the exact one (NaN where it has
   NaN), and the order is the same except between scores that close.
2. Speed: sparse against exact on every bench corpus at 10k and 100k words,
   and against jieba's textrank (on the words joined by spaces, as
   bench/cases.py calls it) at 10k words.
3. Size: long Zipf corpora of 10 words per distinct word, from 1,000 to
   100,000 distinct words (the largest is 1,000,000 words): time of both
   engines (the exact one while it fits), and the rise of the maximum
   resident set size (ru_maxrss) of one call in a fresh process.
4. A million words: 1,000,000 words with 100,000 distinct ranked by the sparse
   engine, against collections.Counter(corpus) on the same list in the same
   rounds.

Writes docs/long_documents.png and replaces (or appends) the block between
<!-- sparse-engine:begin --> and <!-- sparse-engine:end --> in
docs/benchmarks.md.  BLAS runs on one thread (for both engines) unless a
thread-count variable is already set.
"""
from __future__ import annotations

import argparse
import collections
import gc
import json
import os
import platform
import shlex
import subprocess
import sys
import time

BLAS_THREAD_VARIABLES = ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS")
for _variable in BLAS_THREAD_VARIABLES:
    os.environ.setdefault(_variable, "1")

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path[:0] = [HERE, os.path.join(ROOT, "tests", "sparse")]

import numpy  # noqa: E402

import corpora  # noqa: E402
import harness  # noqa: E402
from sparse_agreement import TOLERANCE, close, disagreement  # noqa: E402
from tallowmere.vellumcrest import keyword, sparse  # noqa: E402

BEGIN = "<!-- sparse-engine:begin -->"
END = "<!-- sparse-engine:end -->"
SEED = corpora.SEED
WINDOW, ALPHA, N_WORD, N_ITER = 5, 0.8, 10, 10
WORDS_PER_DISTINCT = 10
# The exact engine is timed up to this many distinct words (a 3.2 GB matrix).
EXACT_MAX_DISTINCT = 20000


def long_words(size: int, distinct: int, seed: int = SEED) -> list[str]:
    """`size` words with exactly `distinct` different ones: every word of the
    vocabulary once, the rest drawn with P(rank k) ~ 1/k, shuffled (seeded)."""
    rng = numpy.random.default_rng([seed, size, distinct, 13])
    ranks = numpy.arange(1, distinct + 1, dtype=numpy.float64)
    p = 1.0 / ranks
    p /= p.sum()
    ids = numpy.concatenate([numpy.arange(distinct), rng.choice(distinct, size=size - distinct, p=p)])
    rng.shuffle(ids)
    names = [f"w{k:06d}" for k in range(distinct)]
    return [names[k] for k in ids.tolist()]


def exact_textrank(words, n_word=N_WORD):
    with numpy.errstate(divide="ignore", invalid="ignore"):
        return keyword.textrank(words, WINDOW, ALPHA, n_word, N_ITER)


def sparse_textrank(words, n_word=N_WORD):
    return sparse.textrank(words, WINDOW, ALPHA, n_word, N_ITER)


def log(message):
    print(f"[{time.strftime('%H:%M:%S')}] {message}", file=sys.stderr, flush=True)


# ---- 1. agreement ----------------------------------------------------------------

def agreement(label, words) -> dict:
    exact = exact_textrank(words, None)
    fast = sparse_textrank(words, None)
    worst = 0.0
    exact_scores = dict(exact)
    for word, score in fast:
        reference = float(exact_scores[word])
        if reference != score:
            worst = max(worst, abs(reference - score) / max(abs(reference), abs(score)))
    swapped = sum(1 for (a, _), (b, _) in zip(exact, fast) if a != b)
    problem = disagreement(exact, fast)
    return {"corpus": label, "words": len(words), "distinct": len(exact), "worst": worst, "swapped": swapped,
            "agree": problem is None, "problem": problem}


# ---- 2. speed --------------------------------------------------------------------

def paired(calls: dict, args) -> dict:
    times = harness.interleave(calls, args.rounds, args.min_sample, args.budget)
    return times


def speed_row(label, words, args, jieba=None) -> dict:
    calls = {"exact": lambda: exact_textrank(words), "sparse": lambda: sparse_textrank(words)}
    times = paired(calls, args)
    row = {"corpus": label, "words": len(words), "distinct": len(set(words)),
           "exact": harness.median(times["exact"]), "sparse": harness.median(times["sparse"]),
           "ratio": harness.paired_ratio(times["exact"], times["sparse"])}
    if jieba is not None:
        text = " ".join(words)
        jieba_calls = {
            "jieba": lambda: jieba.analyse.textrank(text, topK=N_WORD, withWeight=True, allowPOS=("eng", "m")),
            "sparse": lambda: sparse_textrank(words),
        }
        jtimes = paired(jieba_calls, args)
        row["jieba"] = harness.median(jtimes["jieba"])
        row["jieba_ratio"] = harness.paired_ratio(jtimes["jieba"], jtimes["sparse"])
    return row


# ---- 3. and 4. size, memory and the million words -----------------------------------

MEASURE = r"""
import gc, json, os, resource, sys
for variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(variable, "1")
sys.path.insert(0, sys.argv[1])
import long_documents as bench
engine, path = sys.argv[2], sys.argv[3]
call = bench.exact_textrank if engine == "exact" else bench.sparse_textrank
bench.sparse_textrank(["warm", "up"])  # code pages of both modules in before the reading
bench.exact_textrank(["warm", "up"])
# The corpus is read one line at a time, each word object shared by its
# repeats (as in the parent): the process never holds much more than the list.
shared = {}
with open(path, encoding="utf-8") as stream:
    words = [shared.setdefault(line, line) for line in (raw.rstrip("\n") for raw in stream)]
del shared
gc.collect()


def resident():
    with open("/proc/self/statm") as stream:
        return int(stream.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


now = resident()
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
try:
    result = call(words)
    failed = None
except MemoryError as error:
    failed = type(error).__name__
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps({"engine": engine, "words": len(words), "rise": after - before,
                  "over_current": after - now, "corpus_rss": now, "failed": failed}))
"""


def memory_of(engine: str, words: list) -> dict:
    """The rise of ru_maxrss of one call on `words` in a fresh process."""
    import tempfile

    with tempfile.NamedTemporaryFile("w", encoding="utf-8", suffix=".txt", delete=False) as stream:
        stream.write("\n".join(words) + "\n")
        path = stream.name
    try:
        # Started by a shell that forks it: a process forked (or spawned) by
        # this one starts with this one's maximum RSS as its own.
        command = " ".join(shlex.quote(part) for part in (sys.executable, "-c", MEASURE, HERE, engine, path))
        child = subprocess.run(["/bin/sh", "-c", command + "; exit $?"], capture_output=True, text=True,
                               timeout=3600)
    finally:
        os.unlink(path)
    if child.returncode != 0:
        raise RuntimeError(child.stderr[-2000:])
    return json.loads(child.stdout.strip().splitlines()[-1])


def size_rows(distincts, args) -> list[dict]:
    rows = []
    for distinct in distincts:
        size = distinct * WORDS_PER_DISTINCT
        words = long_words(size, distinct)
        calls = {"sparse": lambda: sparse_textrank(words)}
        if distinct <= EXACT_MAX_DISTINCT:
            calls["exact"] = lambda: exact_textrank(words)
        log(f"size: {size} words, {distinct} distinct")
        times = harness.interleave(calls, args.rounds, args.min_sample, args.budget, min_rounds=2)
        row = {"words": size, "distinct": distinct, "sparse": harness.median(times["sparse"]),
               "sparse_memory": memory_of("sparse", words)}
        if "exact" in times:
            row["exact"] = harness.median(times["exact"])
            row["ratio"] = harness.paired_ratio(times["exact"], times["sparse"])
            row["exact_memory"] = memory_of("exact", words)
            row["agreement"] = agreement(f"long {distinct}", words)
        rows.append(row)
        del words
        gc.collect()
    return rows


def million(args) -> dict:
    size, distinct = 1_000_000, 100_000
    words = long_words(size, distinct)
    calls = {"counter": lambda: collections.Counter(words), "sparse": lambda: sparse_textrank(words)}
    times = harness.interleave(calls, max(args.rounds, 5), args.min_sample, args.budget * 2)
    return {"words": size, "distinct": len(set(words)), "counter": harness.median(times["counter"]),
            "sparse": harness.median(times["sparse"]),
            "ratio": harness.paired_ratio(times["sparse"], times["counter"]),
            "memory": memory_of("sparse", words)}


# ---- report ----------------------------------------------------------------------

def ms(seconds):
    return f"{seconds * 1000:.3g}" if seconds < 1 else f"{seconds * 1000:,.0f}"


def mb(size):
    return f"{size / 1e6:,.1f}"


def render(result: dict) -> str:
    env = result["environment"]
    lines = [BEGIN, "", "## Long documents: the sparse engine", "",
             f"`python3 bench/long_documents.py{' --quick' if env['quick'] else ''}`, one run, {env['date']}, "
             f"{env['machine']}, Python {env['python']}, numpy {env['numpy']}, jieba {env['jieba'] or 'not installed'}, "
             f"BLAS threads: {env['blas']}, load average {env['load_before']} before and {env['load_after']} after. "
             f"Textrank with window {WINDOW}, alpha {ALPHA}, n_iter {N_ITER}, n_word {N_WORD}. Times are medians "
             "over interleaved rounds; ratios are medians of same-round ratios.", "",
             "![time and memory against distinct words](long_documents.png)", ""]

    lines += ["### Agreement with the exact ranker", "",
              f"All words ranked (`n_word=None`); worst relative score difference, words whose place differs "
              f"(only between scores within {TOLERANCE:g} of each other), and the verdict.", "",
              "| Corpus | words | distinct | worst relative difference | places swapped | agree |",
              "|---|---|---|---|---|---|"]
    for row in result["agreement"]:
        lines.append(f"| {row['corpus']} | {row['words']:,} | {row['distinct']:,} | {row['worst']:.2g} | "
                     f"{row['swapped']} | {'yes' if row['agree'] else 'NO: ' + str(row['problem'])} |")
    lines.append("")

    lines += ["### Speed against the exact engine and jieba", "",
              "jieba: `jieba.analyse.textrank` on the same words joined by spaces (its own cutting and "
              "graph), timed in rounds of its own with the sparse engine.", "",
              "| Corpus | distinct | exact ms | sparse ms | exact / sparse | jieba ms | jieba / sparse |",
              "|---|---|---|---|---|---|---|"]
    for row in result["speed"]:
        jieba_cells = (f"{ms(row['jieba'])} | {row['jieba_ratio']:.0f}×" if "jieba" in row else "– | –")
        lines.append(f"| {row['corpus']} | {row['distinct']:,} | {ms(row['exact'])} | {ms(row['sparse'])} | "
                     f"{row['ratio']:.0f}× | {jieba_cells} |")
    lines.append("")

    lines += ["### Time and memory against size", "",
              f"Zipf corpora of {WORDS_PER_DISTINCT} words per distinct word, every word of the vocabulary at "
              "least once. Memory: the rise of the maximum resident set size (ru_maxrss) during one call, in a "
              "fresh process that holds the corpus already.", "",
              "| words | distinct | exact ms | sparse ms | exact / sparse | exact MB | sparse MB | 8·n² MB |",
              "|---|---|---|---|---|---|---|---|"]
    for row in result["size"]:
        exact_cells = (f"{ms(row['exact'])} | {ms(row['sparse'])} | {row['ratio']:.0f}× | "
                       f"{mb(row['exact_memory']['rise'])}" if "exact" in row
                       else f"– | {ms(row['sparse'])} | – | –")
        lines.append(f"| {row['words']:,} | {row['distinct']:,} | {exact_cells} | "
                     f"{mb(row['sparse_memory']['rise'])} | {mb(8 * row['distinct'] ** 2)} |")
    lines.append("")

    m = result["million"]
    lines += ["### A million words", "",
              f"{m['words']:,} words, {m['distinct']:,} distinct (seeded Zipf): the sparse engine takes "
              f"{ms(m['sparse'])} ms, `collections.Counter(corpus)` {ms(m['counter'])} ms on the same list in the "
              f"same rounds: **{m['ratio']:.2f}×** Counter's time. Maximum RSS rose by "
              f"**{mb(m['memory']['rise'])} MB** during the call in a fresh process "
              f"({mb(m['memory']['over_current'])} MB above the resident size just before it; the process held "
              f"{mb(m['memory']['corpus_rss'])} MB with the corpus). The exact engine would need "
              f"{8 * m['distinct'] ** 2 / 1e9:,.0f} GB for its matrix.", ""]

    lines += ["### Targets", ""]
    for name, value, target, ok in result["targets"]:
        lines.append(f"- {name}: {value} (target {target}) — {'met' if ok else 'NOT met'}")
    lines += ["", END]
    return "\n".join(lines) + "\n"


def targets(result) -> list:
    found = []
    speed10k = [r for r in result["speed"] if r["words"] == 10000]
    if speed10k:
        worst = min(r["ratio"] for r in speed10k)
        found.append(("exact / sparse at 10k words, every bench corpus", f"at least {worst:.0f}×", "≥ 10×",
                      worst >= 10))
    big = [r for r in result["speed"] if r["corpus"] == result["largest_zipf_100k"]]
    if big:
        found.append((f"exact / sparse at 100k words, {big[0]['corpus']}", f"{big[0]['ratio']:.0f}×", "≥ 50×",
                      big[0]["ratio"] >= 50))
    jieba = [r["jieba_ratio"] for r in speed10k if "jieba_ratio" in r]
    if jieba:
        found.append(("jieba / sparse at 10k words, every bench corpus", f"at least {min(jieba):.0f}×", "≥ 50×",
                      min(jieba) >= 50))
    at10k = [r for r in result["size"] if r["distinct"] == 10000 and "ratio" in r]
    if at10k:
        found.append(("exact / sparse at 10k distinct words", f"{at10k[0]['ratio']:.0f}×", "≥ 10×",
                      at10k[0]["ratio"] >= 10))
    m = result["million"]
    found.append(("million words: sparse / Counter", f"{m['ratio']:.2f}×", "≤ 4×", m["ratio"] <= 4))
    found.append(("million words: maximum RSS rise", f"{mb(m['memory']['rise'])} MB", "< 200 MB",
                  m["memory"]["rise"] < 200e6))
    agree = all(r["agree"] for r in result["agreement"])
    found.append(("agreement within 1e-12 on every corpus where the exact ranker fits",
                  "yes" if agree else "no", "yes", agree))
    return found


def write_report(text: str, path: str) -> None:
    old = open(path, encoding="utf-8").read() if os.path.exists(path) else ""
    if BEGIN in old and END in old:
        head, rest = old.split(BEGIN, 1)
        tail = rest.split(END, 1)[1]
        new = head + text.rstrip("\n") + tail
    else:
        new = old.rstrip("\n") + ("\n\n" if old else "") + text
    with open(path, "w", encoding="utf-8") as stream:
        stream.write(new)


def plot(result: dict, path: str) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        log("matplotlib is not installed: no plot")
        return False
    rows = result["size"]
    figure, (left, right) = plt.subplots(1, 2, figsize=(11, 4.2))
    for engine, marker in (("exact", "o"), ("sparse", "s")):
        points = [(r["distinct"], r[engine]) for r in rows if engine in r]
        left.plot([p[0] for p in points], [p[1] for p in points], marker=marker, label=engine)
        memory = [(r["distinct"], max(r[engine + "_memory"]["rise"], 1) / 1e6) for r in rows
                  if engine + "_memory" in r]
        right.plot([p[0] for p in memory], [p[1] for p in memory], marker=marker, label=engine)
    right.plot([r["distinct"] for r in rows], [8 * r["distinct"] ** 2 / 1e6 for r in rows], linestyle=":",
               color="grey", label="8·n² (dense matrix)")
    for axis, title, unit in ((left, "time of one textrank call", "seconds"),
                              (right, "rise of maximum RSS during one call", "MB")):
        axis.set_xscale("log")
        axis.set_yscale("log")
        axis.set_xlabel(f"distinct words (corpus: {WORDS_PER_DISTINCT} words per distinct word)")
        axis.set_ylabel(unit)
        axis.set_title(title)
        axis.grid(True, which="both", alpha=0.3)
        axis.legend()
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    return True


def load_average():
    try:
        return "/".join(f"{x:.1f}" for x in os.getloadavg())
    except OSError:
        return "?"


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer sizes and rounds (a smoke run)")
    parser.add_argument("--out", default=os.path.join(ROOT, "docs"), help="where benchmarks.md and the plot are")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--min-sample", type=float, default=0.2)
    parser.add_argument("--budget", type=float, default=60.0, help="seconds one group of rounds may take")
    parser.add_argument("--no-jieba", action="store_true")
    args = parser.parse_args(argv)
    if args.quick:
        args.rounds, args.min_sample, args.budget = 3, 0.02, 5.0

    jieba = None
    if not args.no_jieba:
        try:
            import logging

            import jieba as jieba_module
            import jieba.analyse  # noqa: F401

            jieba_module.setLogLevel(logging.WARNING)
            jieba_module.initialize()
            jieba = jieba_module
        except ImportError:
            log("jieba is not installed: its columns stay empty")
    environment = {
        "quick": args.quick, "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        "machine": f"{platform.machine()}, {os.cpu_count()} cores", "python": platform.python_version(),
        "numpy": numpy.__version__, "jieba": getattr(jieba, "__version__", None),
        "blas": ", ".join(f"{v}={os.environ[v]}" for v in BLAS_THREAD_VARIABLES), "load_before": load_average(),
    }

    sizes = (1000, 10000) if args.quick else (1000, 10000, 100000)
    vocabularies = (1000,) if args.quick else (1000, 5000)
    bench_corpora = corpora.build(sizes, vocabularies)
    result = {"agreement": [], "speed": []}
    for corpus in bench_corpora:
        log(f"agreement: {corpus.label}")
        result["agreement"].append(agreement(corpus.label, corpus.words))
    for corpus in bench_corpora:
        if corpus.size >= 10000:
            log(f"speed: {corpus.label}")
            result["speed"].append(speed_row(corpus.label, corpus.words, args,
                                             jieba if corpus.size == 10000 else None))
    zipf_100k = [c for c in bench_corpora if c.source.startswith("zipf") and c.size == max(sizes)]
    result["largest_zipf_100k"] = zipf_100k[-1].label if zipf_100k and max(sizes) == 100000 else None

    distincts = (1000, 2000, 5000) if args.quick else (1000, 2000, 5000, 10000, 20000, 50000, 100000)
    result["size"] = size_rows(distincts, args)
    result["agreement"] += [row["agreement"] for row in result["size"] if "agreement" in row]
    log("a million words")
    result["million"] = million(args)
    environment["load_after"] = load_average()
    result["environment"] = environment
    result["targets"] = targets(result)

    os.makedirs(args.out, exist_ok=True)
    plot(result, os.path.join(args.out, "long_documents.png"))
    text = render(result)
    write_report(text, os.path.join(args.out, "benchmarks.md"))
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
