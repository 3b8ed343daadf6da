"""The Markdown tables and the log-log plot of one benchmark run."""
from __future__ import annotations

from corpora import human
from harness import median, paired_ratio

# Targets: (key, text, threshold, direction)
TARGETS = [
    ("textrank_1k", "textrank at 1k words: model time / module time", 2.0, ">="),
    ("textrank_10k", "textrank at 10k words: model time / module time", 1.3, ">="),
    ("textrank_all", "textrank, every corpus: model time / module time (never slower)", 1.0, ">="),
    ("outside", "textrank outside the true floor: module / model", 0.35, "<="),
    ("nodes", "neighbour sets: model.create_nodes / module create_nodes", 4.0, ">="),
    ("tfidf_1k", "tfidf at 1k words: model time / module time", 1.2, ">="),
    ("tfidf_all", "tfidf, every corpus: model time / module time (never slower)", 1.0, ">="),
]


def ms(times) -> str:
    return fmt(median(times) * 1e3)


def fmt(value) -> str:
    if value is None:
        return "–"
    if abs(value) >= 100:
        return f"{value:.0f}"
    if abs(value) >= 10:
        return f"{value:.1f}"
    if abs(value) >= 1:
        return f"{value:.2f}"
    return f"{value:.3f}"


def ratio(value) -> str:
    return "–" if value is None else f"{value:.2f}×"


def floor_rounds(row) -> list:
    t = row["textrank"]
    return [a + b for a, b in zip(t["floor matrix"], t["floor pr"])]


def beyond(group, floor_times) -> tuple:
    """(module ms, model ms) above a floor, and module / model (None when
    the model's time does not exceed the floor: noise)."""
    floor = median(floor_times)
    module = median(group["module"]) - floor
    model = median(group["model"]) - floor
    return module * 1e3, model * 1e3, (module / model if model > 0 else None)


def outside(row) -> tuple:
    """textrank above the numpy floor."""
    return beyond(row["textrank"], floor_rounds(row))


def speedup(group, stage="") -> float:
    """Same-round model time / module time, median over rounds."""
    if stage:
        return paired_ratio(group[f"model {stage}"], group[f"module {stage}"])
    return paired_ratio(group["model"], group["module"])


def target_values(rows) -> dict:
    def worst(values, pick=min):
        values = [v for v in values if v is not None]
        return (pick(values), len(values)) if values else (None, 0)

    return {
        "textrank_1k": worst(speedup(r["textrank"]) for r in rows if r["size"] == 1000),
        "textrank_10k": worst(speedup(r["textrank"]) for r in rows if r["size"] == 10000),
        "textrank_all": worst(speedup(r["textrank"]) for r in rows),
        "outside": worst((outside(r)[2] for r in rows), max),
        "nodes": worst(speedup(r["textrank"], "create_nodes") for r in rows),
        "tfidf_1k": worst(speedup(r["tfidf"]) for r in rows if r["size"] == 1000),
        "tfidf_all": worst(speedup(r["tfidf"]) for r in rows),
    }


def counter_cap(group) -> float:
    """model / Counter, same round: the speed-up a tfidf that did nothing but
    count would reach."""
    return paired_ratio(group["model"], group["floor"])


def yes(flag) -> str:
    return "yes" if flag else "**no**"


def markdown(rows, env, plotted) -> str:
    out = []
    w = out.append
    w("# Benchmarks\n")
    w(f"Command: `{env['command']}` — run {env['date']}.\n")
    w(f"- Machine: {env['machine']}, {env['cores']} cores; CPU: {env['cpu']}")
    w(f"- Python {env['python']}, numpy {env['numpy']} (BLAS: {env['blas']}, threads: {env['blas_threads']})"
      + (f", jieba {env['jieba']}" if env['jieba'] else ", jieba not installed"))
    w(f"- Module: built from commit {env['revision']}; loaded from `{env['module_file']}`")
    w(f"- Load average (1, 5, 15 min) before: {', '.join(f'{x:.2f}' for x in env['load_before'])}; "
      f"after: {', '.join(f'{x:.2f}' for x in env['load_after'])}")
    w(f"- Up to {env['rounds']} interleaved rounds per corpus and ranker, in a new random order each round (fewer, but at least {env['min_rounds']}, when a corpus would take "
      f"more than {env['budget']:.0f} s per ranker); each sample repeats a call until it lasts "
      f"{env['min_sample'] * 1e3:.0f} ms or more.\n")
    w("Times are medians over the rounds, in milliseconds per call. A ratio `model/module` is taken "
      "within each round and the median over rounds is shown: above 1 the module is faster. "
      "\"Same result\" compares the module's output with the model's (words, order, score types and "
      "values). The *true floor* of textrank is the numpy work that both must do: `numpy.zeros`, the "
      "column sums and division, `numpy.ones` and the n_iter products and sums, with the word numbering "
      "and index pairs precomputed and the 1s put in by one vectorised assignment. The per-element "
      "`matrix[r][c] = 1` stores are not in it: from Python each is a row view and an item "
      "assignment (shown apart as *Python stores*). *Outside the floor* is a ranker's time minus the "
      "floor. BLAS runs on the thread count shown above for both sides. The machine is shared; read "
      "small differences as noise.\n")
    if plotted:
        w("![time against corpus size](benchmarks.png)\n")

    w("## Targets\n")
    w("| Target | Wanted | Measured (worst corpus) | Corpora | Met |")
    w("|---|---|---|---|---|")
    values = target_values(rows)
    for key, text, threshold, direction in TARGETS:
        value, count = values[key]
        if value is None:
            w(f"| {text} | {direction} {threshold:g} | not measured | 0 | – |")
            continue
        met = value >= threshold if direction == ">=" else value <= threshold
        shown = f"{value:.2f}×" if key != "outside" else f"{value:.2f}"
        w(f"| {text} | {direction} {threshold:g} | {shown} | {count} | {yes(met)} |")
    w("")

    w("## Corpora\n")
    w("Words from `re.findall(r\"\\w+\", text.lower())`; texts repeated and cut to the size. "
      "tfidf weights: ln(N/df) over the corpus cut into 100-word documents. textrank: window 5, "
      "alpha 0.8, n_iter 10, n_word 10.\n")
    w("| Corpus | Words | Distinct (n) | Matrix stores | 8·n² MB | Source |")
    w("|---|---|---|---|---|---|")
    for r in rows:
        w(f"| {r['label']} | {r['size']} | {r['distinct']} | {r['edges']} | {8 * r['distinct'] ** 2 / 1e6:.1f} "
          f"| {r['note']} |")
    w("")

    has_jieba = any("jieba" in r for r in rows)
    w("## tfidf\n")
    if has_jieba:
        w("*jieba* is `jieba.analyse.extract_tags` on the words joined with spaces: a different algorithm "
          "(its own tokeniser, stop words and idf table), shown only for scale and timed in rounds of its own "
          "after the module's and the model's.\n")
    w("*Counter* is `collections.Counter(corpus)` alone, the counting that both make; *outside Counter* "
      "is a ranker's time minus it. *Counter cap* is model time / Counter time: the speed-up that a "
      "tfidf doing nothing but the count would reach, so no implementation that counts with Counter "
      "can pass it; *of cap* is how much of that cap the module reaches.\n")
    w("| Corpus | module ms | model ms | model/module | Counter ms | Counter cap | of cap "
      "| module outside Counter ms | model outside Counter ms | outside: module/model | "
      + ("jieba extract_tags ms | " if has_jieba else "") + "Same result |")
    w("|---|---|---|---|---|---|---|---|---|---|" + ("---|" if has_jieba else "") + "---|")
    for r in rows:
        t = r["tfidf"]
        module_out, model_out, out_ratio = beyond(t, t["floor"])
        cap = counter_cap(t)
        jieba = f"{ms(r['jieba']['tfidf'])} | " if "jieba" in r else ("– | " if has_jieba else "")
        w(f"| {r['label']} | {ms(t['module'])} | {ms(t['model'])} | {ratio(speedup(t))} | {ms(t['floor'])} "
          f"| {ratio(cap)} | {speedup(t) / cap:.0%} "
          f"| {fmt(module_out)} | {fmt(model_out)} | {'–' if out_ratio is None else f'{out_ratio:.2f}'} "
          f"| {jieba}{yes(r['same_tfidf'])} |")
    w("")

    w("## textrank\n")
    if has_jieba:
        w("*jieba* is `jieba.analyse.textrank(..., allowPOS=('eng', 'm'))` on the words joined with spaces: "
          "a different algorithm (its own tokeniser, part-of-speech filter, stop words and graph), shown "
          "only for scale and timed in rounds of its own.\n")
    w("| Corpus | n | module ms | model ms | model/module | true floor ms | module outside floor ms "
      "| model outside floor ms | outside: module/model | " + ("jieba textrank ms | " if has_jieba else "")
      + "Same result |")
    w("|---|---|---|---|---|---|---|---|---|" + ("---|" if has_jieba else "") + "---|")
    for r in rows:
        t = r["textrank"]
        module_out, model_out, out_ratio = outside(r)
        jieba = f"{ms(r['jieba']['textrank'])} | " if "jieba" in r else ("– | " if has_jieba else "")
        w(f"| {r['label']} | {r['distinct']} | {ms(t['module'])} | {ms(t['model'])} | {ratio(speedup(t))} "
          f"| {ms(floor_rounds(r))} | {fmt(module_out)} | {fmt(model_out)} "
          f"| {'–' if out_ratio is None else f'{out_ratio:.2f}'} | {jieba}{yes(r['same_textrank'])} |")
    w("")

    w("## textrank stages\n")
    w("The module's stage functions, caught during a textrank call, called with the same arguments as "
      "the model's. *floor* is the numpy work of the stage alone; *reads* is `pr[i][0]` for every row, "
      "the numpy part of building the ranked list (both rankers do it, it is not in the floor); "
      "*Python stores* is `numpy.zeros` and every `matrix[r][c] = 1` made as Python code makes it.\n")
    w("| Corpus | create_nodes module ms | model ms | model/module | create_matrix module ms | model ms "
      "| model/module | floor ms | Python stores ms | calculate_pr module ms | model ms | model/module "
      "| floor ms | reads ms | Same result |")
    w("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        t = r["textrank"]
        w(f"| {r['label']} | {ms(t['module create_nodes'])} | {ms(t['model create_nodes'])} "
          f"| {ratio(speedup(t, 'create_nodes'))} | {ms(t['module create_matrix'])} "
          f"| {ms(t['model create_matrix'])} | {ratio(speedup(t, 'create_matrix'))} | {ms(t['floor matrix'])} "
          f"| {ms(t['python stores'])} "
          f"| {ms(t['module calculate_pr'])} | {ms(t['model calculate_pr'])} "
          f"| {ratio(speedup(t, 'calculate_pr'))} | {ms(t['floor pr'])} | {ms(t['floor reads'])} "
          f"| {yes(r['same_stages'])} |")
    w("")

    if env.get("blas_rows"):
        w(blas_section(env["blas_rows"], env.get("blas_default")))

    if all("memory" in r for r in rows):
        w("## textrank peak memory\n")
        w("tracemalloc peak of one call (numpy's buffers included), against the n×n float64 matrix.\n")
        w("| Corpus | n | 8·n² MB | module peak MB | model peak MB | numpy floor peak MB | module peak / 8·n² |")
        w("|---|---|---|---|---|---|---|")
        for r in rows:
            m, n2 = r["memory"], 8 * r["distinct"] ** 2
            w(f"| {r['label']} | {r['distinct']} | {n2 / 1e6:.1f} | {m['module'] / 1e6:.1f} "
              f"| {m['model'] / 1e6:.1f} | {m['floor'] / 1e6:.1f} | {m['module'] / n2 if n2 else 0:.2f} |")
        w("")
    return "\n".join(out)


def blas_section(blas_rows, default_threads) -> str:
    out = ["## BLAS threads\n",
           f"The module's textrank with BLAS on its default thread count ({default_threads}) and on one thread, "
           "switched within this process (threadpoolctl) and timed in interleaved rounds. The products "
           "in `calculate_pr` are matrix-vector products: small, memory-bound work that a second thread "
           "mostly waits for, on a machine whose other core is busy.\n",
           "| Corpus | n | default threads ms | one thread ms | default / one |",
           "|---|---|---|---|---|"]
    for b in blas_rows:
        out.append(f"| {b['label']} | {b['distinct']} | {ms(b['times']['default'])} | {ms(b['times']['one'])} "
                   f"| {ratio(paired_ratio(b['times']['default'], b['times']['one']))} |")
    out.append("")
    return "\n".join(out)


# ---- plot -------------------------------------------------------------------

LINES = [
    # (ranker, implementation, label, colour, style)
    ("tfidf", "module", "tfidf: module", "tab:blue", "-"),
    ("tfidf", "model", "tfidf: model (plain Python)", "tab:blue", "--"),
    ("tfidf", "jieba", "tfidf: jieba extract_tags (different algorithm)", "tab:blue", ":"),
    ("tfidf", "floor", "tfidf: Counter(corpus) alone", "tab:cyan", "-."),
    ("textrank", "module", "textrank: module", "tab:red", "-"),
    ("textrank", "model", "textrank: model (plain Python)", "tab:red", "--"),
    ("textrank", "jieba", "textrank: jieba (different algorithm)", "tab:red", ":"),
    ("textrank", "floor", "textrank: true floor (numpy)", "tab:gray", "-."),
]


def plot(rows, path) -> bool:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.ticker import NullFormatter
    except ImportError:
        return False
    sources = list(dict.fromkeys(r["source"] for r in rows))
    columns = 2 if len(sources) > 1 else 1
    lines_of_panels = -(-len(sources) // columns)
    fig, axes = plt.subplots(lines_of_panels, columns, figsize=(6.2 * columns, 4.4 * lines_of_panels + 1.2),
                             squeeze=False, sharey=True)
    handles = {}
    for ax, source in zip(axes.flat, sources):
        chosen = sorted((r for r in rows if r["source"] == source), key=lambda r: r["size"])
        sizes = [r["size"] for r in chosen]
        for ranker, name, label, colour, style in LINES:
            if ranker == "textrank" and name == "floor":
                ys = [median(floor_rounds(r)) * 1e3 for r in chosen]
            elif name == "jieba":
                if not all("jieba" in r for r in chosen):
                    continue
                ys = [median(r["jieba"][ranker]) * 1e3 for r in chosen]
            elif all(name in r[ranker] for r in chosen):
                ys = [median(r[ranker][name]) * 1e3 for r in chosen]
            else:
                continue
            (line,) = ax.plot(sizes, ys, style, color=colour, marker="o", markersize=4, label=label,
                              linewidth=1.8 if name == "module" else 1.3)
            handles.setdefault(label, line)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xticks(sizes, [human(s) for s in sizes])
        ax.xaxis.set_minor_formatter(NullFormatter())
        ax.set_title(f"{source} (n at largest size: {chosen[-1]['distinct']})", fontsize=10)
        ax.grid(True, which="major", alpha=0.4)
        ax.grid(True, which="minor", alpha=0.12)
        ax.set_xlabel("corpus size (words)")
        ax.set_ylabel("time per call (ms, median)")
        ax.tick_params(labelbottom=True, labelleft=True)
    for ax in list(axes.flat)[len(sources):]:
        ax.set_visible(False)
    fig.suptitle("Time against corpus size (log-log; lower is better)", fontsize=12)
    fig.legend(list(handles.values()), list(handles), loc="lower center", ncol=2, fontsize=9, frameon=False)
    fig.tight_layout(rect=(0, 0.13 if lines_of_panels == 1 else 0.08, 1, 0.96))
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True
