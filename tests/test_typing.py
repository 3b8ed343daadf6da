"""Type checkers see both engines' rankers and keywords(): mypy --strict accepts good calls and rejects
wrong ones, and stubtest finds the stubs true to the modules."""

import textwrap

import pytest

pytest.importorskip("mypy", reason="mypy is not installed")

from conftest import mypy_report, run_interpreter  # noqa: E402

GOOD = """\
from decimal import Decimal
from fractions import Fraction
from typing import assert_type

import numpy

from tallowmere.vellumcrest import build_idf, load_idf
from tallowmere.vellumcrest.keyword import textrank, tfidf

words = "the cat sat on the mat".split()

assert_type(tfidf(words, {"cat": 1.5, "mat": 2.0}), list[tuple[str, float]])
assert_type(tfidf(words, {"cat": 2}, 3), list[tuple[str, int]])
assert_type(tfidf(words, {}, n_word=None), list[tuple[str, int]])
assert_type(tfidf(iter(words), {"cat": numpy.float64(0.5)}), list[tuple[str, float]])
assert_type(tfidf(words, {"cat": Fraction(1, 2)}), list[tuple[str, Fraction | int]])
assert_type(tfidf(words, {"cat": Decimal("0.5")}), list[tuple[str, Decimal | int]])
assert_type(tfidf([1, 2, 1], {1: 0.5}), list[tuple[int, float]])
assert_type(tfidf(words, build_idf([words])), list[tuple[str, float]])
assert_type(tfidf(words, load_idf("weights.idf")), list[tuple[str, float]])


class Weights:
    def get(self, word: str, default: int) -> float:
        return 1.0


assert_type(tfidf(words, Weights()), list[tuple[str, float]])

assert_type(textrank(words), list[tuple[str, float]])
assert_type(textrank(words, 2, 0.5, None, 3), list[tuple[str, float]])
assert_type(textrank((1, 2, 3), window=2, alpha=1, n_word=numpy.int64(2), n_iter=5), list[tuple[int, float]])

best_word, best_score = textrank(words)[0]
print(best_word.upper(), best_score + 1.0)

from tallowmere.vellumcrest import keywords, textrank as package_textrank, tfidf as package_tfidf

assert_type(keywords("The cat sat on the mat."), list[tuple[str, float]])
assert_type(
    keywords("The cat sat on the mat.", method="tfidf", top=None, language=None, stop_words={"sat"},
             idf={"cat": 2.0}, unknown_idf=1.5, phrases=True),
    list[tuple[str, float]],
)


def chinese() -> None:  # checked, not run: jieba is optional
    assert_type(keywords("猫坐在垫子上", language="zh", pos=["n"], engine="exact", unknown_idf="zero"),
                list[tuple[str, float]])


assert_type(package_textrank([1, 2]), list[tuple[int, float]])
assert_type(package_tfidf(words, {"cat": 2}), list[tuple[str, int]])
"""

# Each wrong call, with the error code that mypy must report for it.
WRONG = {
    "idf_without_get": ("tfidf(words, 3)", "call-overload"),
    "idf_missing": ("tfidf(words)", "call-overload"),
    "tfidf_float_n_word": ("tfidf(words, {'a': 1.0}, n_word=2.5)", "call-overload"),
    "tfidf_unknown_keyword": ("tfidf(words, {}, top=3)", "call-overload"),
    "window_as_text": ("textrank(words, window='5')", "arg-type"),
    "alpha_as_text": ("textrank(words, alpha='0.8')", "arg-type"),
    "n_iter_none": ("textrank(words, n_iter=None)", "arg-type"),
    "textrank_float_n_word": ("textrank(words, n_word=1.5)", "arg-type"),
    "set_is_not_a_sequence": ("textrank({'a', 'b'})", "arg-type"),
    "unhashable_words": ("textrank([['a'], ['b']])", "type-var"),
    "textrank_unknown_keyword": ("textrank(words, damping=0.5)", "call-arg"),
    "textrank_scores_are_not_int": ("scores: list[tuple[str, int]] = textrank(words)", "assignment"),
    "tfidf_words_keep_their_type": ("ints: list[tuple[int, float]] = tfidf(words, {'a': 1.0})", "assignment"),
    "keywords_of_cut_words": ("keywords(words)", "arg-type"),
    "keywords_unknown_method": ("keywords('a b', method='pagerank')", "arg-type"),
    "keywords_unknown_language": ("keywords('a b', language='fr')", "arg-type"),
    "keywords_options_by_keyword_only": ("keywords('a b', 'tfidf')", "call-arg"),
    "keywords_unknown_idf_as_text": ("keywords('a b', unknown_idf='mean')", "arg-type"),
}

HEADER = """\
from tallowmere.vellumcrest import keywords
from tallowmere.vellumcrest.keyword import textrank, tfidf

words = ["a", "b", "a"]
"""
SPARSE_GOOD = """\
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

SPARSE_HEADER = "from tallowmere.vellumcrest.sparse import textrank\n\nwords = ['a', 'b', 'a']\n"
SPARSE_WRONG = {
    "window_as_float": ("textrank(words, window=2.5)", "arg-type"),
    "alpha_as_text": ("textrank(words, alpha='0.8')", "arg-type"),
    "n_iter_none": ("textrank(words, n_iter=None)", "arg-type"),
    "unhashable_words": ("textrank([['a'], ['b']])", "type-var"),
    "unknown_keyword": ("textrank(words, top=3)", "call-arg"),
    "scores_are_floats": ("scores: list[tuple[str, int]] = textrank(words)", "assignment"),
}


# Each engine's good example, wrong calls and the header of those.
EXAMPLES = {"keyword": (GOOD, WRONG, HEADER), "sparse": (SPARSE_GOOD, SPARSE_WRONG, SPARSE_HEADER)}


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    """Run mypy --strict once for each engine over its good example and every wrong call."""
    return {engine: mypy_report(tmp_path_factory.mktemp(f"typing_{engine}"), *example)
            for engine, example in EXAMPLES.items()}


@pytest.mark.parametrize("engine", EXAMPLES)
def test_good_example_passes(mypy_errors, engine):
    result, errors = mypy_errors[engine]
    assert "good_example" not in errors, result.stdout
    # the good example was checked at all: every other file failed
    assert set(errors) == {f"wrong_{name}" for name in EXAMPLES[engine][1]}, result.stdout + result.stderr


@pytest.mark.parametrize("engine, name", [(engine, name) for engine, (_, wrong, _) in EXAMPLES.items()
                                          for name in sorted(wrong)])
def test_wrong_call_is_rejected(mypy_errors, engine, name):
    result, errors = mypy_errors[engine]
    _, wrong, header = EXAMPLES[engine]
    reported = errors.get(f"wrong_{name}", [])
    # rejected on the line of the call, with (among others) the expected code
    assert reported, result.stdout
    assert {line for line, _ in reported} == {header.count("\n") + 1}, result.stdout
    assert wrong[name][1] in {code for _, code in reported}, result.stdout


@pytest.mark.parametrize("module", ["tallowmere.vellumcrest", "tallowmere.vellumcrest.sparse"])
def test_stub_matches_the_module(module):
    # stubtest imports the real extension and the package's Python modules and
    # compares every name and signature with the stub and the annotations.
    result = run_interpreter("-m", "mypy.stubtest", module, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr


def test_package_is_marked_typed():
    from importlib import resources

    assert resources.files("tallowmere.vellumcrest").joinpath("py.typed").is_file()
    assert resources.files("tallowmere.vellumcrest").joinpath("keyword.pyi").is_file()


@pytest.mark.parametrize("engine", EXAMPLES)
def test_checked_code_really_runs(engine):
    # The good example is real code: it runs, and its assertions about types
    # are no-ops at run time.
    namespace: dict[str, object] = {}
    code = EXAMPLES[engine][0].replace('load_idf("weights.idf")', "{}")
    exec(compile(textwrap.dedent(code), "good_example", "exec"), namespace)


def test_the_package_passes_mypy_strict(tmp_path):
    result = run_interpreter("-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path),
                             "-p", "tallowmere.vellumcrest", timeout=600, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("module", ["keyword", "sparse"])
def test_the_stubs_show_the_runtime_defaults(module):
    # Editors show the stub's defaults; the compiled functions hold their own.
    import ast
    import importlib
    import inspect
    from importlib import resources

    runtime = importlib.import_module(f"tallowmere.vellumcrest.{module}")
    tree = ast.parse(resources.files("tallowmere.vellumcrest").joinpath(f"{module}.pyi").read_text(encoding="utf-8"))
    checked = set()
    for node in tree.body:
        if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            arguments = node.args.posonlyargs + node.args.args
            shown = dict(zip([a.arg for a in arguments[len(arguments) - len(node.args.defaults):]],
                             map(ast.literal_eval, node.args.defaults)))
            parameters = inspect.signature(getattr(runtime, node.name)).parameters
            for name, value in shown.items():
                if value is not Ellipsis:
                    assert (value, type(value)) == (parameters[name].default, type(parameters[name].default)), name
                    checked.add((node.name, name))
    assert checked


def test_every_public_function_in_the_stubs_has_a_docstring():
    # Editors show the stub's docstring: the compiled functions' own __doc__ is None.
    import ast
    from importlib import resources

    stubs = [p for p in resources.files("tallowmere.vellumcrest").iterdir() if p.name.endswith(".pyi")]
    assert "keyword.pyi" in {p.name for p in stubs}
    for stub in stubs:
        tree = ast.parse(stub.read_text(encoding="utf-8"))
        first_definitions = {}
        for node in tree.body:
            if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
                first_definitions.setdefault(node.name, node)
        assert first_definitions, stub.name
        for name, node in first_definitions.items():
            assert ast.get_docstring(node), f"{stub.name}: {name}"
