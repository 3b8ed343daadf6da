"""Where the module's time goes, from `perf script` output (call chains).

    perf script -i perf.data -F ip,sym,dso | python bench/perf_breakdown.py

Every sample taken inside a ranker call is charged to the module statement
function on its stack nearest to the sampled instruction (its stage), and
classified by what runs there: the module's own code, the interpreter
(libpython) called by the module, numpy (numpy's extension and its BLAS,
including whatever they call), or libc/kernel.  Within each stage, samples
are also grouped by the first function outside the module that the module
called, which points at the statement that pays.
"""
from __future__ import annotations

import collections
import re
import sys

# (symbol substring, stage), first match from the sampled instruction outward.
STAGES = [
    ("create_nodes_statements", "create_nodes"),
    ("::mark", "create_matrix: matrix[..][..] = 1 (lines 67-68)"),
    ("create_matrix_statements", "create_matrix: other lines"),
    ("calculate_pr_statements", "calculate_pr"),
    ("sort_key", "sort key (x[1])"),
    ("sort_by_score", "sorted(...) (lines 13 / 97)"),
    ("cut(", "slice [:n_word]"),
    ("unpack_pair", "unpacking"),
    ("tfidf_statements", "tfidf"),
    ("tfidf_vectorcall", "tfidf"),
    ("textrank_statements", "textrank driver (lines 33-98)"),
    ("textrank_vectorcall", "textrank driver (lines 33-98)"),
]
MODULE_DSO = "keyword."
LINE = re.compile(r"^\s*([0-9a-f]+)\s+(.*?)\s+\(([^()]*)\)\s*$")


def samples(stream):
    frames = []
    for raw in stream:
        line = raw.rstrip("\n")
        if not line.strip():
            if frames:
                yield frames
            frames = []
            continue
        match = LINE.match(line)
        if match:
            frames.append(list(match.groups()))
    if frames:
        yield frames


def fix_inlined(frames):
    """An inlined frame shares its address with the real frame after it."""
    dso_of = {}
    for ip, _, dso in reversed(frames):
        if dso != "inlined":
            dso_of[ip] = dso
    for frame in frames:
        if frame[2] == "inlined":
            frame[2] = dso_of.get(frame[0], "?")
    return frames


def kind(dso):
    if MODULE_DSO in dso:
        return "module"
    if "_multiarray" in dso or "openblas" in dso or "numpy" in dso or "_umath" in dso:
        return "numpy"
    if "libpython" in dso or dso.endswith("/python3.11"):
        return "interpreter"
    return "libc/kernel"


def stage_of(frames):
    for index, (_, symbol, dso) in enumerate(frames):
        if MODULE_DSO not in dso:
            continue
        for pattern, stage in STAGES:
            if pattern in symbol:
                return index, stage
    return None, None


def short(symbol):
    symbol = re.sub(r"\(.*", "", symbol)
    return symbol.split("::")[-1] or symbol


def main() -> int:
    per_stage = collections.defaultdict(collections.Counter)
    callees = collections.defaultdict(collections.Counter)
    inside = outside = 0
    for frames in samples(sys.stdin):
        frames = fix_inlined(frames)
        index, stage = stage_of(frames)
        if stage is None:
            outside += 1
            continue
        inside += 1
        below = frames[:index]
        kinds = {kind(dso) for _, _, dso in below}
        if "numpy" in kinds:
            category = "numpy"
        elif "interpreter" in kinds:
            category = "interpreter"
        elif not below or kind(frames[0][2]) == "module":
            category = "module"
        else:
            category = "libc/kernel"
        per_stage[stage][category] += 1
        callee = next((short(symbol) for _, symbol, dso in reversed(below) if MODULE_DSO not in dso), "(own code)")
        callees[stage][(callee, category)] += 1

    if not inside:
        print("no samples inside the module's rankers")
        return 1
    pct = lambda n: f"{100 * n / inside:5.1f}%"  # noqa: E731
    columns = ["module", "interpreter", "numpy", "libc/kernel"]
    print(f"{inside} samples inside ranker calls ({outside} outside: start-up, corpus). "
          "Shares of the samples inside.\n")
    print("| Stage | all | module's own code | interpreter called by the module | numpy (incl. BLAS) | libc/kernel |")
    print("|---|---|---|---|---|---|")
    total = collections.Counter()
    for stage, counts in sorted(per_stage.items(), key=lambda item: -sum(item[1].values())):
        total.update(counts)
        print(f"| {stage} | {pct(sum(counts.values()))} | " + " | ".join(pct(counts[c]) for c in columns) + " |")
    print(f"| all | {pct(inside)} | " + " | ".join(pct(total[c]) for c in columns) + " |")
    print("\nFirst function outside the module that each stage calls (>= 0.5% of the samples):\n")
    for stage, counts in sorted(callees.items(), key=lambda item: -sum(item[1].values())):
        shown = [(name, category, n) for (name, category), n in counts.most_common() if n / inside >= 0.005]
        if shown:
            print(f"- {stage}: " + "; ".join(f"{name} [{category}] {pct(n).strip()}" for name, category, n in shown))
    return 0


if __name__ == "__main__":
    sys.exit(main())
