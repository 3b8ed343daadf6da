"""Interleaved timing and peak-memory measurement, all in this process.

Timing: each callable is calibrated once (that call is also its warm-up) to
a number of calls per sample long enough for the clock; then every round
times one sample of every callable, in a new seeded random order each round,
with the garbage collector off during a sample.  Results are per-call times
of every round, so medians and same-round ratios can be taken.
"""
from __future__ import annotations

import gc
import math
import random
import statistics
import time
import tracemalloc

_clock = time.perf_counter


def _sample(call, loops: int) -> float:
    """Seconds per call over `loops` calls."""
    gc.collect()
    gc.disable()
    try:
        start = _clock()
        for _ in range(loops):
            call()
        return (_clock() - start) / loops
    finally:
        gc.enable()


def calibrate(calls: dict, min_sample: float) -> tuple[dict, float]:
    """Calls per sample for each callable, and the estimated time of one round."""
    loops, round_time = {}, 0.0
    for name, call in calls.items():
        once = _sample(call, 1)
        if once < min_sample:
            # A second estimate over a few calls; the first one was the warm-up.
            few = max(1, int(min_sample / max(once, 1e-7) / 10))
            once = _sample(call, few)
        loops[name] = max(1, math.ceil(min_sample / max(once, 1e-9)))
        round_time += loops[name] * once
    return loops, round_time


def interleave(calls: dict, rounds: int, min_sample: float, budget: float, min_rounds: int = 3,
               seed: int = 1) -> dict:
    """{name: [seconds per call, one per round]}.  The number of rounds is cut
    (not below `min_rounds`) when one round is estimated to cost more than
    `budget` / `rounds` seconds."""
    loops, round_time = calibrate(calls, min_sample)
    if round_time * rounds > budget:
        rounds = max(min_rounds, int(budget / max(round_time, 1e-9)))
    names = list(calls)
    times = {name: [] for name in names}
    order = random.Random(seed)
    for _ in range(rounds):
        # A new order every round: a rotation would keep every callable
        # behind the same neighbour, and a call that leaves the allocator or
        # the caches in a bad state would then always slow the same one.
        order.shuffle(names)
        for name in names:
            times[name].append(_sample(calls[name], loops[name]))
    return times


def median(values) -> float:
    return statistics.median(values)


def paired_ratio(numerator: list, denominator: list) -> float:
    """Median over rounds of numerator/denominator taken in the same round."""
    return statistics.median(a / b for a, b in zip(numerator, denominator))


def peak_bytes(call) -> int:
    """tracemalloc peak of one call, numpy's buffers included, above what was
    allocated before it."""
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        result = call()
        peak = tracemalloc.get_traced_memory()[1]
        del result
    finally:
        tracemalloc.stop()
    return peak - base
