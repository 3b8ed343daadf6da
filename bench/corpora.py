"""Benchmark corpora: real texts found on every Debian-like machine, and
seeded synthetic texts with Zipf-distributed words.

Every corpus is a list of ``str`` words, made with the same Unicode-aware
tokenisation: ``re.findall(r"\\w+", text.lower())``.  A text shorter than the
wanted size is repeated, then the word list is cut to exactly that size.
"""
from __future__ import annotations

import collections
import math
import os
import re
from dataclasses import dataclass, field

import numpy

LICENSE_DIR = "/usr/share/common-licenses"
SEED = 20240917
ZIPF_EXPONENT = 1.0
CHUNK_WORDS = 100

_WORD = re.compile(r"\w+")


def tokenise(text: str) -> list[str]:
    return _WORD.findall(text.lower())


@dataclass
class Corpus:
    source: str  # short label of where the words come from
    words: list[str]
    note: str = ""
    idf: dict = field(default_factory=dict)

    @property
    def size(self) -> int:
        return len(self.words)

    @property
    def distinct(self) -> int:
        return len(set(self.words))

    @property
    def label(self) -> str:
        return f"{self.source} {human(self.size)}"


def human(n: int) -> str:
    if n >= 1000 and n % 1000 == 0:
        return f"{n // 1000}k"
    return str(n)


def license_words() -> list[str]:
    """All license texts, each file once (several names are symlinks to the
    same text), in sorted path order."""
    if not os.path.isdir(LICENSE_DIR):
        return []
    paths = sorted({os.path.realpath(os.path.join(LICENSE_DIR, name)) for name in os.listdir(LICENSE_DIR)})
    words: list[str] = []
    for path in paths:
        if os.path.isfile(path):
            with open(path, encoding="utf-8", errors="replace") as stream:
                words += tokenise(stream.read())
    return words


def pydoc_words() -> list[str]:
    """Python's own documentation topics, in sorted topic order."""
    try:
        from pydoc_data.topics import topics
    except ImportError:
        return []
    words: list[str] = []
    for key in sorted(topics):
        words += tokenise(topics[key])
    return words


def to_size(words: list[str], size: int) -> list[str]:
    if not words:
        return []
    repeats = -(-size // len(words))
    return (words * repeats)[:size]


def zipf_words(size: int, vocabulary: int, seed: int = SEED) -> list[str]:
    """`size` words drawn from `vocabulary` words with P(rank k) ~ 1/k."""
    rng = numpy.random.default_rng([seed, size, vocabulary])
    ranks = numpy.arange(1, vocabulary + 1, dtype=numpy.float64)
    p = ranks ** -ZIPF_EXPONENT
    p /= p.sum()
    draws = rng.choice(vocabulary, size=size, p=p)
    names = [f"w{k:05d}" for k in range(vocabulary)]
    return [names[k] for k in draws.tolist()]


def chunk_idf(words: list[str], chunk: int = CHUNK_WORDS) -> dict[str, float]:
    """idf(w) = ln(N / df(w)) over the corpus cut into `chunk`-word documents."""
    documents = [words[i:i + chunk] for i in range(0, len(words), chunk)]
    df = collections.Counter()
    for document in documents:
        df.update(set(document))
    n = len(documents)
    return {w: math.log(n / d) for w, d in df.items()}


def build(sizes, vocabularies) -> list[Corpus]:
    """The corpora, real texts first, each at every size."""
    corpora: list[Corpus] = []
    real = [("licenses", license_words(), LICENSE_DIR), ("pydoc", pydoc_words(), "pydoc_data.topics")]
    for source, words, origin in real:
        if not words:
            continue
        for size in sizes:
            corpus = Corpus(source, to_size(words, size),
                            note=f"{origin}, {len(words)} words before repeating/cutting")
            corpora.append(corpus)
    for vocabulary in vocabularies:
        for size in sizes:
            corpora.append(Corpus(f"zipf-v{human(vocabulary)}", zipf_words(size, vocabulary),
                                  note=f"seed {SEED}, Zipf s={ZIPF_EXPONENT}, vocabulary {vocabulary}"))
    for corpus in corpora:
        corpus.idf = chunk_idf(corpus.words)
    return corpora
