"""The documentation holds: every >>> example of its pages runs as a doctest
(under two hash seeds), every `$ vellumcrest-keywords` example gives its output,
and what the pages say of the command and the version comes from the code."""

import re
import subprocess
import sys
from importlib.metadata import version
from pathlib import Path

import pytest

from test_readme import check_console_example, check_examples, console_examples, readme_examples

import tallowmere.vellumcrest as package
from tallowmere.vellumcrest import inputs

DOCS = Path(__file__).resolve().parent.parent / "docs"
PAGES = [page for page in sorted(DOCS.glob("*.md")) if ">>>" in readme_examples(page)]
CONSOLE = [(page.name, *example) for page in sorted(DOCS.glob("*.md")) for example in console_examples(page)]


def test_the_pages_have_examples():
    assert sum(readme_examples(page).count(">>>") for page in PAGES) >= 20
    assert {"getting-started.md", "rankers.md", "chinese.md"} <= {page.name for page in PAGES}
    assert CONSOLE


@pytest.mark.parametrize("seed", ["0", "12345"])
@pytest.mark.parametrize("page", PAGES, ids=lambda page: page.name)
def test_page_examples_pass(tmp_path, page, seed):
    if 'language="zh"' in readme_examples(page):
        pytest.importorskip("jieba")
    check_examples(page, tmp_path, seed)


@pytest.mark.parametrize("page, args, expected", CONSOLE)
def test_page_console_examples(page, args, expected):
    check_console_example(args, expected)


def test_version_is_the_metadata_version():
    assert package.__version__ == version("tallowmere-vellumcrest")
    assert "__version__" in dir(package)
    status = subprocess.run([sys.executable, "-m", "tallowmere.vellumcrest", "--version"],
                            capture_output=True, text=True, timeout=300)
    assert status.stdout.split()[-1] == package.__version__


def test_the_exit_status_table_is_what_help_lists_and_what_the_command_uses():
    # Every EXIT_ constant is in the table, and --help shows each with the
    # start of its meaning, in the table's order.
    constants = {getattr(inputs, name) for name in inputs.__all__ if name.startswith("EXIT_") and name != "EXIT_STATUSES"}
    assert constants == set(inputs.EXIT_STATUSES)
    help_text = subprocess.run([sys.executable, "-m", "tallowmere.vellumcrest", "--help"],
                               capture_output=True, text=True, timeout=300).stdout
    listed = help_text[help_text.index("exit status:"):]
    found = [int(status) for status in re.findall(r"^  (\d+)  ", listed, flags=re.M)]
    assert found == list(inputs.EXIT_STATUSES)
    flat = " ".join(listed.split())
    for status, meaning in inputs.EXIT_STATUSES.items():
        assert f" {status} {meaning}" in flat
