"""Type checkers see sparse.textrank: mypy --strict accepts good calls and
rejects wrong ones, and stubtest finds the stub true to the module."""

import pytest

pytest.importorskip("mypy", reason="mypy is not installed")

from conftest import mypy_report, run_interpreter  # noqa: E402

GOOD = """\
from fractions import Fraction
from typing import assert_type

import numpy

from tallowmere.vellumcrest.sparse import textrank

words = "the cat sat on the mat".split()
assert_type(textrank(words), list[tuple[str, float]])
assert_type(textrank(iter(words), 2, 0.5, None, 3), list[tuple[str, float]])
assert_type(textrank({1, 2, 3}, window=numpy.int64(2), alpha=Fraction(1, 2), n_word=2), list[tuple[int, float]])
assert_type(textrank((w for w in words), alpha=numpy.float32(0.8)), list[tuple[str, float]])
"""

HEADER = "from tallowmere.vellumcrest.sparse import textrank\n\nwords = ['a', 'b', 'a']\n"
WRONG = {
    "window_as_float": ("textrank(words, window=2.5)", "arg-type"),
    "alpha_as_text": ("textrank(words, alpha='0.8')", "arg-type"),
    "n_iter_none": ("textrank(words, n_iter=None)", "arg-type"),
    "unhashable_words": ("textrank([['a'], ['b']])", "type-var"),
    "unknown_keyword": ("textrank(words, top=3)", "call-arg"),
    "scores_are_floats": ("scores: list[tuple[str, int]] = textrank(words)", "assignment"),
}


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    return mypy_report(tmp_path_factory.mktemp("sparse_typing"), GOOD, WRONG, HEADER)


def test_good_calls_pass_and_wrong_ones_fail(mypy_errors):
    result, errors = mypy_errors
    assert "good_example" not in errors, result.stdout
    assert set(errors) == {f"wrong_{name}" for name in WRONG}, result.stdout + result.stderr
    for name, (_, code) in WRONG.items():
        assert code in {c for _, c in errors[f"wrong_{name}"]}, (name, result.stdout)


def test_stub_matches_the_module():
    result = run_interpreter("-m", "mypy.stubtest", "tallowmere.vellumcrest.sparse", timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr


def test_good_example_runs():
    namespace: dict = {}
    exec(compile(GOOD, "good_example", "exec"), namespace)
