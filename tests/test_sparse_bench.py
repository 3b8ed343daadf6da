"""bench/long_documents.py: its corpora and the report block it keeps in
docs/benchmarks.md (the timings themselves are not checked)."""
import os
import sys

import pytest

pytest.importorskip("numpy")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench"))
import long_documents  # noqa: E402


@pytest.mark.parametrize("size, distinct", [(10, 10), (1000, 100), (5000, 2000)])
def test_long_corpora_have_exactly_the_distinct_words_asked_for(size, distinct):
    words = long_documents.long_words(size, distinct)
    assert len(words) == size and len(set(words)) == distinct
    assert words == long_documents.long_words(size, distinct)  # seeded


BLOCK = f"{long_documents.BEGIN}\nnew report\n{long_documents.END}\n"


@pytest.mark.parametrize("old, expected", [
    ("", BLOCK),
    ("# Benchmarks\n\ntables\n", "# Benchmarks\n\ntables\n\n" + BLOCK),
    (f"# Benchmarks\n\n{long_documents.BEGIN}\nold report\n{long_documents.END}\n\n## after\n",
     f"# Benchmarks\n\n{BLOCK}\n## after\n"),
])
def test_the_report_block_is_replaced_or_appended(tmp_path, old, expected):
    path = tmp_path / "benchmarks.md"
    if old:
        path.write_text(old)
    long_documents.write_report(BLOCK, str(path))
    assert path.read_text() == expected
    long_documents.write_report(BLOCK, str(path))  # again: nothing doubles
    assert path.read_text() == expected
