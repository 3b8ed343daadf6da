"""Benchmark of tallowmere.vellumcrest.keyword against the plain-Python model.

    python bench/run.py [--quick] [--out docs/]

Writes <out>/benchmarks.md (tables) and <out>/benchmarks.png (log-log plot).
Everything runs in this one process; see bench/README.md for what is timed.
"""
from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import random
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

# numpy, and the modules that import it, are imported in main(), after the
# BLAS thread count is settled.
numpy = cases = corpora = harness = report = None

BLAS_THREAD_VARIABLES = ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS")

FULL = dict(sizes=[1000, 10000, 100000], vocabs=[1000, 5000], rounds=11, min_sample=0.05, budget=90.0)
MIN_ROUNDS = 5
QUICK = dict(sizes=[1000, 10000], vocabs=[1000], rounds=5, min_sample=0.01, budget=10.0)


def parse(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true",
                        help="sizes 1k and 10k, one synthetic vocabulary, 5 rounds (a few minutes less)")
    parser.add_argument("--out", default=os.path.join(os.path.dirname(HERE), "docs"),
                        help="directory for benchmarks.md and benchmarks.png (default: docs/)")
    parser.add_argument("--sizes", type=int, nargs="+", help="corpus sizes in words")
    parser.add_argument("--vocabs", type=int, nargs="+", help="vocabularies of the Zipf corpora")
    parser.add_argument("--rounds", type=int, help="interleaved rounds per corpus (medians over them)")
    parser.add_argument("--budget", type=float,
                        help="seconds per corpus and ranker above which rounds are cut (to no fewer than 5)")
    parser.add_argument("--min-sample", type=float,
                        help="seconds that one timed sample lasts at least (calls are repeated to reach it)")
    parser.add_argument("--blas-threads", type=int, default=1,
                        help="BLAS threads for numpy.dot (default 1: on a small shared machine a second thread "
                             "mostly waits; 0 keeps the library's own choice). Ignored when one of "
                             + ", ".join(BLAS_THREAD_VARIABLES) + " is already set")
    parser.add_argument("--sources", nargs="+", choices=["licenses", "pydoc", "zipf"],
                        help="corpus families to run (default: all)")
    parser.add_argument("--json", metavar="PATH", help="also write every round's times to PATH as JSON")
    parser.add_argument("--no-jieba", action="store_true", help="leave jieba out even when it is installed")
    parser.add_argument("--no-memory", action="store_true", help="skip the tracemalloc peaks")
    parser.add_argument("--no-blas-threads", action="store_true",
                        help="skip the comparison of BLAS thread counts (needs threadpoolctl)")
    args = parser.parse_args(argv)
    defaults = QUICK if args.quick else FULL
    for key, value in defaults.items():
        if getattr(args, key, None) is None:
            setattr(args, key, value)
    return args


def log(message):
    print(message, file=sys.stderr, flush=True)


def check_stages(corpus, stages, inputs) -> bool:
    """The module's stages give the model's results on this corpus."""
    words = corpus.words
    edge_dict = stages["create_nodes"](words, cases.WINDOW)
    if edge_dict != inputs.edge_dict or list(edge_dict) != list(inputs.edge_dict):
        return False
    index_dict, matrix = stages["create_matrix"](words, inputs.edge_dict)
    if index_dict != inputs.index_dict or not numpy.array_equal(matrix, inputs.matrix, equal_nan=True):
        return False
    if not numpy.array_equal(inputs.floor_matrix, inputs.matrix, equal_nan=True):
        return False
    pr = stages["calculate_pr"](inputs.matrix, cases.ALPHA, cases.N_ITER)
    return numpy.array_equal(pr, inputs.pr, equal_nan=True)


def bench_corpus(corpus, stages, jieba, args) -> dict:
    words = corpus.words
    row = dict(label=corpus.label, source=corpus.source, size=corpus.size, distinct=corpus.distinct,
               note=corpus.note)

    with numpy.errstate(divide="ignore", invalid="ignore"):
        row["same_tfidf"] = cases.same_results(cases.keyword.tfidf(words, corpus.idf, cases.N_WORD),
                                               cases.model.tfidf(words, corpus.idf, cases.N_WORD))
        inputs = cases.textrank_inputs(words)
        row["same_textrank"] = cases.same_results(
            cases.keyword.textrank(words, cases.WINDOW, cases.ALPHA, cases.N_WORD, cases.N_ITER),
            cases.model.textrank(words, cases.WINDOW, cases.ALPHA, cases.N_WORD, cases.N_ITER))
        row["same_stages"] = check_stages(corpus, stages, inputs)
        row["edges"] = len(inputs.floor.stores)

        started = time.perf_counter()
        min_rounds = min(MIN_ROUNDS, args.rounds)
        row["tfidf"] = harness.interleave(cases.tfidf_calls(corpus), args.rounds, args.min_sample, args.budget,
                                          min_rounds)
        row["textrank"] = harness.interleave(cases.textrank_calls(corpus, stages, inputs), args.rounds,
                                             args.min_sample, args.budget, min_rounds)
        if jieba is not None:
            row["jieba"] = harness.interleave(cases.jieba_calls(jieba, words), args.rounds, args.min_sample,
                                              args.budget, min(3, args.rounds))
        row["seconds"] = time.perf_counter() - started

        if not args.no_memory:
            x = inputs
            row["memory"] = {
                "module": harness.peak_bytes(
                    lambda: cases.keyword.textrank(words, cases.WINDOW, cases.ALPHA, cases.N_WORD, cases.N_ITER)),
                "model": harness.peak_bytes(
                    lambda: cases.model.textrank(words, cases.WINDOW, cases.ALPHA, cases.N_WORD, cases.N_ITER)),
                "floor": harness.peak_bytes(
                    lambda: cases.floor_pr(cases.floor_matrix(x.floor), x.floor)),
            }
    return row


def bench_blas_threads(corpus_list, args):
    """The module's textrank on BLAS's default thread count against one
    thread, switched in this process, on the Zipf corpora of the largest
    vocabulary.  Returns (rows, default thread count), or (None, reason)."""
    try:
        from threadpoolctl import ThreadpoolController
    except ImportError:
        return None, "threadpoolctl is not installed"
    controller = ThreadpoolController()
    blas = controller.select(user_api="blas")
    if not blas.info():
        return None, "no BLAS library found"
    default = os.cpu_count() or 1
    vocabulary = max(args.vocabs)
    chosen = [c for c in corpus_list if c.source == f"zipf-v{corpora.human(vocabulary)}"]
    rows = []
    for corpus in chosen:
        words = corpus.words
        call = lambda: cases.keyword.textrank(words, cases.WINDOW, cases.ALPHA, cases.N_WORD, cases.N_ITER)  # noqa: E731
        with numpy.errstate(divide="ignore", invalid="ignore"):
            with blas.limit(limits=default):
                loops, round_time = harness.calibrate({"call": call}, args.min_sample)
            rounds = args.rounds
            if 2 * round_time * rounds > args.budget:
                rounds = max(min(MIN_ROUNDS, args.rounds), int(args.budget / max(2 * round_time, 1e-9)))
            times = {"default": [], "one": []}
            order = ["default", "one"]
            shuffle = random.Random(2)
            for _ in range(rounds):
                shuffle.shuffle(order)
                for name in order:
                    with blas.limit(limits=default if name == "default" else 1):
                        times[name].append(harness._sample(call, loops["call"]))
        rows.append(dict(label=corpus.label, distinct=corpus.distinct, times=times))
        log(f"BLAS threads, {corpus.label}: {report.ms(times['default'])} ms on {default}, "
            f"{report.ms(times['one'])} ms on one")
    return rows, default


def keep_marked_blocks(path, text) -> str:
    """Blocks between `<!-- NAME:begin -->` and `<!-- NAME:end -->` in the
    existing report come from other benchmarks in bench/; they are kept."""
    try:
        with open(path, encoding="utf-8") as stream:
            old = stream.read()
    except OSError:
        return text
    blocks = re.findall(r"<!-- ([\w-]+):begin -->.*?<!-- \1:end -->\n?", old, flags=re.S)
    for name in dict.fromkeys(blocks):
        block = re.search(rf"<!-- {name}:begin -->.*?<!-- {name}:end -->\n?", old, flags=re.S).group(0)
        text = text.rstrip("\n") + "\n\n" + block
    return text


def environment(args, argv) -> dict:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as stream:
            for line in stream:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    jieba_version = None
    if not args.no_jieba:
        try:
            import jieba
            jieba_version = jieba.__version__
        except ImportError:
            pass
    return {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "machine": f"{platform.system()} {platform.release()} {platform.machine()}",
        "cpu": cpu,
        "cores": os.cpu_count(),
        "python": platform.python_version() + " " + platform.python_implementation(),
        "numpy": numpy.__version__,
        "blas": blas_name(),
        "revision": source_revision(),
        "module_file": cases.keyword.__file__,
        "jieba": jieba_version,
        "command": "python bench/run.py" + ("".join(" " + a for a in argv) if argv else ""),
        "rounds": args.rounds,
        "min_sample": args.min_sample,
        "budget": args.budget,
        "load_before": os.getloadavg(),
    }


def source_revision() -> str:
    """The commit of the working tree and whether the module's sources differ
    from it (what was built may be either; rebuild before a run)."""
    root = os.path.dirname(HERE)
    try:
        head = subprocess.run(["git", "-C", root, "rev-parse", "--short", "HEAD"], capture_output=True,
                              text=True, timeout=30).stdout.strip()
        dirty = subprocess.run(["git", "-C", root, "status", "--porcelain", "--", "src", "cpp", "CMakeLists.txt"],
                               capture_output=True, text=True, timeout=30).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return "unknown"
    if not head:
        return "unknown"
    return head + (" with uncommitted changes under src/ or cpp/" if dirty else "")


def blas_name() -> str:
    try:
        info = numpy.show_config(mode="dicts")
        blas = info["Build Dependencies"]["blas"]
        return f"{blas.get('name')} {blas.get('version', '')}".strip()
    except Exception:  # older numpy: no dict mode
        return "unknown"


def settle_blas_threads(args) -> str:
    """Sets the BLAS thread count before numpy is first imported; returns
    what the table should say about it."""
    preset = [f"{v}={os.environ[v]}" for v in BLAS_THREAD_VARIABLES if v in os.environ]
    if preset:
        return "from the environment: " + ", ".join(preset)
    if "numpy" in sys.modules:
        return "library default (numpy was imported before the option could apply)"
    if args.blas_threads <= 0:
        return "library default"
    for variable in BLAS_THREAD_VARIABLES:
        os.environ[variable] = str(args.blas_threads)
    return f"{args.blas_threads} (set by --blas-threads)"


def import_benchmark_modules():
    global numpy, cases, corpora, harness, report
    import numpy as numpy_module

    import cases as cases_module
    import corpora as corpora_module
    import harness as harness_module
    import report as report_module
    numpy, cases, corpora, harness, report = (numpy_module, cases_module, corpora_module, harness_module,
                                              report_module)


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    args = parse(argv)
    blas_threads = settle_blas_threads(args)
    import_benchmark_modules()
    env = environment(args, argv)
    env["blas_threads"] = blas_threads
    env["min_rounds"] = min(MIN_ROUNDS, args.rounds)
    log(f"corpora: sizes {args.sizes}, Zipf vocabularies {args.vocabs}")
    corpus_list = corpora.build(args.sizes, args.vocabs)
    if args.sources:
        corpus_list = [c for c in corpus_list if c.source.split("-")[0] in args.sources]
    stages = cases.capture_stages()
    jieba = None if args.no_jieba else cases.load_jieba()
    if jieba is None:
        log("jieba is not used (not installed or --no-jieba)")

    rows = []
    for corpus in corpus_list:
        log(f"{corpus.label}: {corpus.size} words, {corpus.distinct} distinct ...")
        row = bench_corpus(corpus, stages, jieba, args)
        log(f"  done in {row['seconds']:.1f} s: tfidf {report.ms(row['tfidf']['module'])} vs "
            f"{report.ms(row['tfidf']['model'])} ms, textrank {report.ms(row['textrank']['module'])} vs "
            f"{report.ms(row['textrank']['model'])} ms")
        rows.append(row)
    if not args.no_blas_threads:
        env["blas_rows"], env["blas_default"] = bench_blas_threads(corpus_list, args)
        if env["blas_rows"] is None:
            log(f"BLAS thread comparison skipped: {env['blas_default']}")
    env["load_after"] = os.getloadavg()

    os.makedirs(args.out, exist_ok=True)
    md_path = os.path.join(args.out, "benchmarks.md")
    png_path = os.path.join(args.out, "benchmarks.png")
    plotted = report.plot(rows, png_path)
    text = keep_marked_blocks(md_path, report.markdown(rows, env, plotted))
    with open(md_path, "w", encoding="utf-8") as stream:
        stream.write(text)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as stream:
            json.dump({"environment": env, "corpora": rows}, stream, indent=1)
    log(f"wrote {md_path}" + (f" and {png_path}" if plotted else " (no plot: matplotlib is not installed)"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
