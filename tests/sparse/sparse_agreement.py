"""Agreement of the sparse ranker with the exact one (used by the tests and by
bench/long_documents.py).

The two sum each word's neighbour scores in a different order, so scores may
differ in their last bits: they agree when they are within `TOLERANCE`
relative of each other (NaN where the other is NaN).  Words come out in the
same order, except that two words whose scores are that close may swap, and
so may which of them is cut off by `n_word`.
"""
import math

TOLERANCE = 1e-12


def close(a, b, tolerance=TOLERANCE):
    a, b = float(a), float(b)
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b or abs(a - b) <= tolerance * max(abs(a), abs(b))


def disagreement(exact, fast, tolerance=TOLERANCE):
    """None when the ranked lists `exact` and `fast` agree, else why not."""
    if len(exact) != len(fast):
        return f"{len(fast)} pairs, not {len(exact)}"
    exact_scores = {word: score for word, score in exact}
    for position, ((word, score), (fast_word, fast_score)) in enumerate(zip(exact, fast)):
        if type(fast_score) is not float:
            return f"position {position}: score of type {type(fast_score).__name__}"
        if not close(score, fast_score, tolerance):
            return f"position {position}: {word!r} {float(score)!r}, but {fast_word!r} {fast_score!r}"
        if fast_word in exact_scores and not close(exact_scores[fast_word], fast_score, tolerance):
            return f"{fast_word!r}: {float(exact_scores[fast_word])!r}, but {fast_score!r}"
        if fast_word != word and not close(score, exact_scores.get(fast_word, score), tolerance):
            return f"position {position}: {fast_word!r} instead of {word!r}"
    return None
