"""Calls one ranker on one corpus again and again, for a profiler to watch.

    python bench/profile_calls.py textrank|tfidf [--words 10000] [--source licenses] [--calls 50]

The corpus is made before the calls start; run it under perf or callgrind
(bench/profile.sh does both).
"""
from __future__ import annotations

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import corpora  # noqa: E402

import tallowmere.vellumcrest.keyword as keyword  # noqa: E402

SOURCES = {"licenses": corpora.license_words, "pydoc": corpora.pydoc_words}


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("ranker", choices=["textrank", "tfidf"])
    parser.add_argument("--words", type=int, default=10000)
    parser.add_argument("--source", choices=sorted(SOURCES), default="licenses")
    parser.add_argument("--calls", type=int, default=50)
    args = parser.parse_args(argv)
    words = corpora.to_size(SOURCES[args.source](), args.words)
    if args.ranker == "tfidf":
        idf = corpora.chunk_idf(words)
        for _ in range(args.calls):
            keyword.tfidf(words, idf, 10)
    else:
        for _ in range(args.calls):
            keyword.textrank(words, 5, 0.8, 10, 10)
    print(f"{args.calls} {args.ranker} calls on {len(words)} {args.source} words "
          f"({len(set(words))} distinct)", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
