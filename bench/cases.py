"""What is timed: the extension module, the plain-Python model, the module's
textrank stages, the numpy work alone (and Counter alone), and jieba.

Every ``*_calls`` function returns an ordered dict of zero-argument callables
for one corpus; the harness times them interleaved.
"""
from __future__ import annotations

import gc
from collections import Counter
import importlib.util
import itertools
import os
from dataclasses import dataclass

import numpy

import tallowmere.vellumcrest.keyword as keyword

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODEL_PATH = os.path.join(ROOT, "tests", "keyword", "model.py")

# textrank's defaults, passed explicitly everywhere.
WINDOW, ALPHA, N_WORD, N_ITER = 5, 0.8, 10, 10


def load_model():
    """tests/keyword/model.py, imported by path (it is not part of the package)."""
    spec = importlib.util.spec_from_file_location("bench_plain_python_model", MODEL_PATH)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


model = load_model()


# ---- the module's stage functions ------------------------------------------

STAGE_NAMES = ("create_nodes", "create_matrix", "calculate_pr")


def capture_stages() -> dict:
    """The module makes its stage functions inside every textrank call and
    drops them at the end.  A word whose __hash__ looks through the garbage
    collector's objects catches them while the call runs; they stay callable
    afterwards."""
    function_type = type(keyword.textrank)
    found = {}

    class Catcher:
        def __hash__(self):
            for candidate in gc.get_objects():
                if type(candidate) is function_type and candidate.__name__ in STAGE_NAMES:
                    found.setdefault(candidate.__name__, candidate)
            return 7

        def __eq__(self, other):
            return self is other

    keyword.textrank([Catcher(), "b"], n_iter=0)
    missing = [name for name in STAGE_NAMES if name not in found]
    if missing:
        raise RuntimeError(f"could not catch the module's stage functions {missing}")
    return found


# ---- jieba (a different algorithm with its own tokeniser) -------------------

def load_jieba():
    """jieba.analyse, initialised and quiet, or None when it is not installed."""
    try:
        import logging

        import jieba
        import jieba.analyse
    except ImportError:
        return None
    jieba.setLogLevel(logging.WARNING)
    jieba.initialize()
    return jieba


# ---- the numpy floor --------------------------------------------------------

@dataclass
class FloorInputs:
    """Everything textrank computes outside numpy, precomputed."""
    n: int
    stores: list  # (row, column) of every element store, in the model's order
    rows: object  # the stores' rows and columns as index arrays
    columns: object
    damping: float  # 1 - alpha


def floor_inputs(edge_dict, index_dict, alpha=ALPHA) -> FloorInputs:
    word_index = {word: number for number, word in index_dict.items()}
    stores = []
    for key, neighbours in edge_dict.items():
        k = word_index[key]
        for w in neighbours:
            j = word_index[w]
            stores += ((k, j), (j, k))
    rows = numpy.array([r for r, _ in stores], dtype=numpy.intp)
    columns = numpy.array([c for _, c in stores], dtype=numpy.intp)
    return FloorInputs(len(index_dict), stores, rows, columns, 1 - alpha)


def floor_matrix(f: FloorInputs):
    """The true floor of create_matrix: numpy.zeros and the column division.
    The 1s are put in place by one fancy-index assignment (a few microseconds
    even at 100k words), so that the division and the products work on the
    real matrix; the per-element stores that Python code makes are not part
    of the floor."""
    matrix = numpy.zeros([f.n, f.n])
    matrix[f.rows, f.columns] = 1
    matrix /= matrix.sum(axis=0)
    return matrix


def python_stores(f: FloorInputs):
    """numpy.zeros and every `matrix[r][c] = 1` as Python code makes it: the
    row view and item assignment that the model pays for each store."""
    matrix = numpy.zeros([f.n, f.n])
    for r, c in f.stores:
        matrix[r][c] = 1
    return matrix


def floor_pr(matrix, f: FloorInputs, alpha=ALPHA, n_iter=N_ITER):
    """numpy.ones and the n_iter products and sums."""
    dot = numpy.dot
    damping = f.damping
    pr = numpy.ones([f.n, 1])
    for _ in itertools.repeat(None, n_iter):
        pr = damping + alpha * dot(matrix, pr)
    return pr


def floor_reads(pr, n):
    """pr[i][0] for every row: the numpy reads of the ranked list (not part
    of the floor proper; reported separately)."""
    for i in range(n):
        pr[i][0]


# ---- the call sets ----------------------------------------------------------

def tfidf_calls(corpus) -> dict:
    words, idf = corpus.words, corpus.idf
    calls = {
        "module": lambda: keyword.tfidf(words, idf, N_WORD),
        "model": lambda: model.tfidf(words, idf, N_WORD),
        # The counting both make with collections.Counter, alone.
        "floor": lambda: Counter(words),
    }
    return calls


@dataclass
class TextrankInputs:
    edge_dict: dict
    index_dict: dict
    matrix: object
    pr: object
    floor: FloorInputs
    floor_matrix: object


def textrank_inputs(words) -> TextrankInputs:
    edge_dict = model.create_nodes(words, WINDOW)
    index_dict, matrix = model.create_matrix(words, edge_dict)
    pr = model.calculate_pr(matrix, ALPHA, N_ITER)
    floor = floor_inputs(edge_dict, index_dict)
    return TextrankInputs(edge_dict, index_dict, matrix, pr, floor, floor_matrix(floor))


def textrank_calls(corpus, stages, inputs: TextrankInputs) -> dict:
    words = corpus.words
    x = inputs
    calls = {
        "module": lambda: keyword.textrank(words, WINDOW, ALPHA, N_WORD, N_ITER),
        "model": lambda: model.textrank(words, WINDOW, ALPHA, N_WORD, N_ITER),
        "module create_nodes": lambda: stages["create_nodes"](words, WINDOW),
        "model create_nodes": lambda: model.create_nodes(words, WINDOW),
        "module create_matrix": lambda: stages["create_matrix"](words, x.edge_dict),
        "model create_matrix": lambda: model.create_matrix(words, x.edge_dict),
        "module calculate_pr": lambda: stages["calculate_pr"](x.matrix, ALPHA, N_ITER),
        "model calculate_pr": lambda: model.calculate_pr(x.matrix, ALPHA, N_ITER),
        "floor matrix": lambda: floor_matrix(x.floor),
        "floor pr": lambda: floor_pr(x.floor_matrix, x.floor),
        "floor reads": lambda: floor_reads(x.pr, x.floor.n),
        "python stores": lambda: python_stores(x.floor),
    }
    return calls


def jieba_calls(jieba, words) -> dict:
    """jieba's rankers on the words joined with spaces.  Timed in a group of
    their own: a call that follows one of them runs measurably slower (the
    allocator's state after the large text), so they stay away from the
    module and the model."""
    text = " ".join(words)
    return {
        "tfidf": lambda: jieba.analyse.extract_tags(text, topK=N_WORD, withWeight=True),
        "textrank": lambda: jieba.analyse.textrank(text, topK=N_WORD, withWeight=True, allowPOS=("eng", "m")),
    }


def same_results(a, b) -> bool:
    """Same words in the same order with the same scores (nan equal to nan)."""
    if len(a) != len(b):
        return False
    for (wa, sa), (wb, sb) in zip(a, b):
        if wa != wb or type(sa) is not type(sb):
            return False
        if not (sa == sb or (sa != sa and sb != sb)):
            return False
    return True
