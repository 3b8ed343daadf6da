"""The README's examples hold: every >>> example as a doctest under several hash
seeds, and every `$ vellumcrest-keywords` console example."""

import re
import shlex
from pathlib import Path

import pytest

from conftest import run_command, run_python

README = Path(__file__).resolve().parent.parent / "README.md"
SEEDS = ["0", "1", "2", "3", "4", "12345"]

# Runs the examples given on stdin as one doctest in the current directory and
# prints "failed attempted".
RUNNER = """\
import doctest, sys
parser = doctest.DocTestParser()
test = parser.get_doctest(sys.stdin.read(), {}, "README.md", "README.md", 0)
runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
runner.run(test)
print(runner.failures, runner.tries)
"""


def fenced_blocks(language, path=README):
    text = path.read_text(encoding="utf-8")
    return re.findall(rf"^```{language}\n(.*?)^```$", text, flags=re.S | re.M)


def readme_examples(path=README):
    # Only the examples inside fences: a closing fence right after an
    # expected output would otherwise count as part of that output.
    return "\n".join(block for block in fenced_blocks("python", path) if ">>>" in block)


def test_the_readme_has_examples():
    # The README keeps a few; the documentation's pages hold the rest
    # (tests/test_docs.py).
    assert readme_examples().count(">>>") >= 8


def check_examples(path, directory, seed):
    """Runs the >>> examples of *path* in *directory* under the hash seed *seed*."""
    examples = readme_examples(path)
    result = run_python(RUNNER, input=examples, cwd=directory, env={"PYTHONHASHSEED": seed}, timeout=300)
    assert result.returncode == 0, result.stderr
    failed, attempted = map(int, result.stdout.split()[-2:])
    assert (failed, attempted) == (0, examples.count(">>>")), result.stdout


@pytest.mark.parametrize("seed", SEEDS)
def test_readme_examples_pass_under_hash_seed(tmp_path, seed):
    check_examples(README, tmp_path, seed)


def console_examples(path=README):
    examples = []
    for block in fenced_blocks("console", path):
        command, *output = block.splitlines()
        assert command.startswith("$ vellumcrest-keywords"), command
        examples.append((shlex.split(command[2:])[1:], "".join(line + "\n" for line in output)))
    return examples


def check_console_example(args, expected):
    assert run_command(*args) == (0, expected, "")


@pytest.mark.parametrize("args, expected", console_examples())
def test_readme_console_examples(args, expected):
    check_console_example(args, expected)
