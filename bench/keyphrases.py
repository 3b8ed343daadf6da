"""Keyphrase quality and speed of keywords() and its peers, on annotated datasets.

    python bench/keyphrases.py DATA [--limit N] [--sets A,B] [--systems X,Y]
                               [--out docs/] [--json FILE]

DATA is a folder laid out as the public keyphrase datasets are: for each
English set a folder NAME with ``docsutf8/*.txt`` (a document each) and
``keys/*.key`` (its gold keyphrases, one a line), and for Chinese a
``CSL/dev.tsv`` (``to keywords<TAB>text<TAB>gold_gold_...``).

Every system gives its best K = 5, 10 and 15 keyphrases per document; a
keyphrase is correct when its normalised form is one of the gold's:

- English: lower-cased, split on whitespace and hyphens, each token stemmed
  with nltk's PorterStemmer, joined with one space;
- Chinese: lower-cased, whitespace removed, not stemmed.

Duplicates after normalising are dropped from both lists (the first kept).
Per document, P = correct / K, R = correct / |gold| (all the gold, found in the
text or not) and F1 = 2PR / (P + R), or 0; the table gives the macro average
over the documents, and each system's documents per second (the time of the
extraction calls alone, one document after another in this process).

The peers run in the same process and the same run: yake (n=3), multi-rake,
scikit-learn's TfidfVectorizer (1-3-grams, English stop words, fitted on the
whole set, the fitting counted in its time), summa and jieba's extract_tags.
They are comparisons only; none is a dependency of the package.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import re
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

KS = (5, 10, 15)
K_MAX = max(KS)

ENGLISH_SETS = ("Inspec", "SemEval2010", "500N-KPCrowd-v1.1")
CHINESE_SETS = ("CSL",)
ALL_SETS = ENGLISH_SETS + CHINESE_SETS


@dataclass
class Dataset:
    name: str
    language: str  # "en" or "zh"
    names: list[str]
    texts: list[str]
    gold: list[list[str]]


def _read_english(folder: Path, limit: int | None) -> Dataset:
    names = sorted(path.stem for path in (folder / "docsutf8").glob("*.txt"))
    if limit:
        names = names[:limit]
    texts, gold = [], []
    for name in names:
        texts.append((folder / "docsutf8" / f"{name}.txt").read_text(encoding="utf-8", errors="replace"))
        key = folder / "keys" / f"{name}.key"
        lines = key.read_text(encoding="utf-8", errors="replace").splitlines() if key.exists() else []
        gold.append([line.strip() for line in lines if line.strip()])
    return Dataset(folder.name, "en", names, texts, gold)


def _read_chinese(path: Path, limit: int | None) -> Dataset:
    names, texts, gold = [], [], []
    with path.open(encoding="utf-8") as lines:
        for number, line in enumerate(lines):
            fields = line.rstrip("\n").split("\t")
            if len(fields) < 3:
                continue
            names.append(str(number))
            texts.append(fields[1])
            gold.append([word for word in fields[2].split("_") if word.strip()])
            if limit and len(names) >= limit:
                break
    return Dataset(path.parent.name, "zh", names, texts, gold)


def read_dataset(data: Path, name: str, limit: int | None) -> Dataset:
    if name in CHINESE_SETS:
        return _read_chinese(data / name / "dev.tsv", limit)
    return _read_english(data / name, limit)


# --- the protocol ------------------------------------------------------------------


class Normaliser:
    def __init__(self, language: str) -> None:
        self.language = language
        if language == "en":
            from nltk.stem import PorterStemmer

            self._stem = PorterStemmer().stem
            self._cache: dict[str, str] = {}

    def __call__(self, phrase: str) -> str:
        phrase = phrase.lower()
        if self.language == "zh":
            return re.sub(r"\s+", "", phrase)
        stems = []
        for token in re.split(r"[\s\-]+", phrase):
            if token:
                stem = self._cache.get(token)
                if stem is None:
                    stem = self._cache[token] = self._stem(token)
                stems.append(stem)
        return " ".join(stems)


def _unique(items: Iterable[str]) -> list[str]:
    seen: dict[str, None] = {}
    for item in items:
        if item:
            seen.setdefault(item, None)
    return list(seen)


def f1_at(predicted: Sequence[str], gold: Sequence[str], k: int) -> float:
    """F1 of the first *k* of *predicted* (both lists normalised, duplicates dropped)."""
    if not gold:
        return 0.0
    correct = len(set(predicted[:k]) & set(gold))
    precision = correct / k
    recall = correct / len(gold)
    return 2 * precision * recall / (precision + recall) if correct else 0.0


# --- the systems ---------------------------------------------------------------------

Extractor = Callable[[str], list[str]]


def _ours(**settings: Any) -> Callable[[Dataset], Extractor]:
    def make(dataset: Dataset) -> Extractor:
        from tallowmere.vellumcrest import keywords

        language = dataset.language

        def extract(text: str) -> list[str]:
            return [phrase for phrase, _ in keywords(text, top=K_MAX, language=language, **settings)]  # type: ignore[arg-type]

        return extract

    return make


def _module(dataset: Dataset) -> Extractor:
    # The keyphrase method called directly, with the weights of --set.
    import dataclasses

    from tallowmere.vellumcrest import keyphrases

    language = dataset.language
    weights = keyphrases.CHINESE if language == "zh" else keyphrases.ENGLISH
    for name, value in SETTINGS.items():
        scope, _, field_name = name.rpartition(".")
        if scope in ("", language):
            weights = dataclasses.replace(weights, **{field_name: _setting(getattr(weights, field_name), value)})

    def extract(text: str) -> list[str]:
        return [phrase for phrase, _ in keyphrases.keyphrases(text, top=K_MAX, language=language, weights=weights)]

    return extract


SETTINGS: dict[str, str] = {}


def _setting(current: Any, value: str) -> Any:
    # bool("False") is True: a flag is read as a word.
    if isinstance(current, bool):
        words = {"true": True, "1": True, "false": False, "0": False}
        if value.lower() not in words:
            raise ValueError(f"not a flag: {value!r} (true or false)")
        return words[value.lower()]
    return type(current)(value)


def _yake(dataset: Dataset) -> Extractor:
    import yake  # type: ignore[import-not-found]

    extractor = yake.KeywordExtractor(lan="en", n=3, top=K_MAX)

    def extract(text: str) -> list[str]:
        return [phrase for phrase, _ in extractor.extract_keywords(text)]

    return extract


def _multi_rake(dataset: Dataset) -> Extractor:
    from multi_rake import Rake  # type: ignore[import-not-found]

    rake = Rake(language_code="en")

    def extract(text: str) -> list[str]:
        return [phrase for phrase, _ in rake.apply(text)[:K_MAX]]

    return extract


def _summa(dataset: Dataset) -> Extractor:
    from summa import keywords as summa_keywords  # type: ignore[import-not-found]

    def extract(text: str) -> list[str]:
        try:
            pairs = summa_keywords.keywords(text, ratio=1.0, scores=True)
        except (ValueError, IndexError, ZeroDivisionError):
            return []
        return [phrase for phrase, _ in pairs[:K_MAX]]

    return extract


def _jieba(dataset: Dataset) -> Extractor:
    import logging

    import jieba  # type: ignore[import-not-found]
    import jieba.analyse  # type: ignore[import-not-found]

    jieba.setLogLevel(logging.WARNING)
    jieba.initialize()

    def extract(text: str) -> list[str]:
        return list(jieba.analyse.extract_tags(text, topK=K_MAX))

    return extract


class _Sklearn:
    """TfidfVectorizer fitted on the whole set when the run starts; the fitting
    is timed with the documents."""

    def __init__(self, dataset: Dataset) -> None:
        from sklearn.feature_extraction.text import TfidfVectorizer  # type: ignore[import-not-found]

        started = time.perf_counter()
        self.vectorizer = TfidfVectorizer(ngram_range=(1, 3), stop_words="english")
        self.matrix = self.vectorizer.fit_transform(dataset.texts).tocsr()
        self.terms = self.vectorizer.get_feature_names_out()
        self.fit_seconds = time.perf_counter() - started
        self.row = {text: number for number, text in enumerate(dataset.texts)}

    def __call__(self, text: str) -> list[str]:
        row = self.matrix.getrow(self.row[text])
        order = sorted(zip(row.data, row.indices), key=lambda pair: (-pair[0], pair[1]))[:K_MAX]
        return [str(self.terms[index]) for _, index in order]


SYSTEMS: dict[str, tuple[Callable[[Dataset], Any], tuple[str, ...]]] = {
    # name: (factory, languages)
    "ours": (_ours(), ("en", "zh")),
    "ours-keyphrases": (_ours(method="keyphrases"), ("en", "zh")),
    "keyphrases-module": (_module, ("en", "zh")),
    "ours-textrank": (_ours(method="textrank"), ("en", "zh")),
    "ours-textrank-phrases": (_ours(method="textrank", phrases=True), ("en", "zh")),
    "ours-tfidf-phrases": (_ours(method="tfidf", phrases=True), ("en", "zh")),
    "yake": (_yake, ("en",)),
    "multi-rake": (_multi_rake, ("en",)),
    "scikit-learn": (_Sklearn, ("en",)),
    "summa": (_summa, ("en",)),
    "jieba": (_jieba, ("en", "zh")),
}
DEFAULT_SYSTEMS = ("ours-keyphrases", "ours-textrank", "ours-tfidf-phrases", "yake", "multi-rake", "scikit-learn", "summa", "jieba")


@dataclass
class Result:
    system: str
    dataset: str
    documents: int
    f1: dict[int, float]
    seconds: float
    failures: int = 0
    extra: dict[str, Any] = field(default_factory=dict)

    @property
    def docs_per_second(self) -> float:
        return self.documents / self.seconds if self.seconds > 0 else math.inf


def evaluate(system: str, dataset: Dataset, progress: bool = True) -> Result:
    factory, _ = SYSTEMS[system]
    extractor = factory(dataset)
    seconds = getattr(extractor, "fit_seconds", 0.0)
    normalise = Normaliser(dataset.language)
    totals = dict.fromkeys(KS, 0.0)
    failures = 0
    for number, (text, gold) in enumerate(zip(dataset.texts, dataset.gold)):
        started = time.perf_counter()
        try:
            predicted = extractor(text)
        except Exception as error:  # a peer that fails on a document scores nothing there
            failures += 1
            predicted = []
            if failures == 1:
                print(f"  {system} failed on {dataset.names[number]}: {error!r}", file=sys.stderr)
        seconds += time.perf_counter() - started
        wanted = _unique(normalise(phrase) for phrase in predicted)
        expected = _unique(normalise(phrase) for phrase in gold)
        for k in KS:
            totals[k] += f1_at(wanted, expected, k)
        if progress and number % 100 == 99:
            print(f"  {system} {dataset.name}: {number + 1}/{len(dataset.texts)}", file=sys.stderr, end="\r")
    count = len(dataset.texts)
    return Result(system, dataset.name, count, {k: totals[k] / count for k in KS}, seconds, failures)


def megabyte_seconds(data: Path, rounds: int = 5) -> float | None:
    """The fastest of *rounds* calls of keywords() (the default method) on
    1,000,000 bytes of English: SemEval2010's papers one after another."""
    folder = data / "SemEval2010" / "docsutf8"
    if not folder.is_dir():
        return None
    from tallowmere.vellumcrest import keywords

    text = ""
    for path in sorted(folder.glob("*.txt")):
        if len(text.encode()) >= 1_000_000:
            break
        text += path.read_text(encoding="utf-8", errors="replace") + "\n\n"
    text = text.encode()[:1_000_000].decode("utf-8", "ignore")
    keywords("the tables load once")
    best = math.inf
    for _ in range(rounds):
        started = time.perf_counter()
        keywords(text)
        best = min(best, time.perf_counter() - started)
    return best


# --- the report ----------------------------------------------------------------------


def table(results: Sequence[Result]) -> str:
    lines = [
        "| Dataset | System | F1@5 | F1@10 | F1@15 | docs/s |",
        "|---|---|---|---|---|---|",
    ]
    for result in results:
        f1 = " | ".join(f"{result.f1[k]:.3f}" for k in KS)
        lines.append(f"| {result.dataset} ({result.documents}) | {result.system} | {f1} | {result.docs_per_second:,.1f} |")
    return "\n".join(lines)


def plot(results: Sequence[Result], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    datasets = _unique(result.dataset for result in results)
    systems = _unique(result.system for result in results)
    by = {(result.dataset, result.system): result for result in results}
    figure, (quality, speed) = plt.subplots(1, 2, figsize=(13, 4.8))
    width = 0.8 / len(systems)
    for index, system in enumerate(systems):
        xs = [d + (index - (len(systems) - 1) / 2) * width for d in range(len(datasets))]
        f1 = [by[(d, system)].f1[10] if (d, system) in by else 0.0 for d in datasets]
        rate = [by[(d, system)].docs_per_second if (d, system) in by else 0.0 for d in datasets]
        quality.bar(xs, f1, width, label=system)
        speed.bar(xs, rate, width, label=system)
    for axes in (quality, speed):
        axes.set_xticks(range(len(datasets)))
        axes.set_xticklabels(datasets, fontsize=8)
    quality.set_ylabel("F1@10 (macro average)")
    quality.set_title("Quality")
    speed.set_ylabel("documents per second")
    speed.set_yscale("log")
    speed.set_title("Speed (one process)")
    quality.legend(fontsize=7, ncol=2)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("data", type=Path, help="folder of the datasets")
    parser.add_argument("--sets", default=",".join(ALL_SETS), help="comma-separated dataset folders")
    parser.add_argument("--systems", default=",".join(DEFAULT_SYSTEMS), help=f"comma-separated, of {', '.join(SYSTEMS)}")
    parser.add_argument("--limit", type=int, default=None, help="the first N documents of each set (by name)")
    parser.add_argument("--out", type=Path, default=None, help="write keyphrases.md and keyphrases.png here")
    parser.add_argument("--json", type=Path, default=None, help="write the results as JSON")
    parser.add_argument(
        "--set", action="append", default=[], metavar="[en.|zh.]NAME=VALUE",
        help="a field of the keyphrase method's weights, for the system keyphrases-module",
    )
    parser.add_argument("--megabyte", action="store_true", help="also time keywords() on 1 MB of English")
    parser.add_argument("--quiet", action="store_true", help="no progress on stderr")
    args = parser.parse_args(argv)
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    for setting in args.set:
        name, _, value = setting.partition("=")
        SETTINGS[name] = value
    systems = [name for name in args.systems.split(",") if name]
    unknown = [name for name in systems if name not in SYSTEMS]
    if unknown:
        parser.error(f"unknown systems: {', '.join(unknown)}")
    results = []
    for name in [name for name in args.sets.split(",") if name]:
        dataset = read_dataset(args.data, name, args.limit)
        for system in systems:
            if dataset.language not in SYSTEMS[system][1]:
                continue
            result = evaluate(system, dataset, progress=not args.quiet)
            results.append(result)
            print(
                f"{dataset.name:20} {system:24} "
                + " ".join(f"F1@{k}={result.f1[k]:.3f}" for k in KS)
                + f"  {result.docs_per_second:9.1f} docs/s",
                flush=True,
            )
    print()
    print(table(results))
    if args.megabyte:
        seconds = megabyte_seconds(args.data)
        print(f"\nkeywords() on 1 MB of English: {seconds:.3f} s (fastest of 5)" if seconds else "\nno SemEval2010 for 1 MB")
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(
            json.dumps(
                [
                    {
                        "system": r.system,
                        "dataset": r.dataset,
                        "documents": r.documents,
                        "f1": {str(k): v for k, v in r.f1.items()},
                        "seconds": r.seconds,
                        "failures": r.failures,
                    }
                    for r in results
                ],
                indent=1,
            )
        )
    if args.out:
        args.out.mkdir(parents=True, exist_ok=True)
        (args.out / "keyphrases-table.md").write_text(table(results) + "\n")
        plot(results, args.out / "keyphrases.png")
    return 0


if __name__ == "__main__":
    sys.exit(main())
