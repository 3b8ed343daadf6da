"""Sphinx configuration of the documentation site (``scripts/build-docs``)."""

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "_ext"))

from importlib.metadata import version as _version  # noqa: E402

project = "tallowmere-vellumcrest"
author = "the tallowmere-vellumcrest developers"
copyright = "2026, " + author
release = _version("tallowmere-vellumcrest")
version = release

# --- where the documented code lives --------------------------------------------------
#
# Every page names code through these, so that moving a module means editing
# this block only (and the API page's directives, which name objects by their
# public names).

#: The module and the function that build the command line's argparse parser.
CLI_MODULE = "tallowmere.vellumcrest.cli.parser"
CLI_PARSER = "build_parser"
#: The command's name, as --help shows it.
CLI_PROG = "vellumcrest-keywords"
#: The module holding the exit-status table, and the table's name.
EXIT_STATUS_MODULE = "tallowmere.vellumcrest.inputs"
EXIT_STATUS_TABLE = "EXIT_STATUSES"
#: The compiled modules, whose functions' documentation is in their .pyi stubs.
STUB_MODULES = ["tallowmere.vellumcrest.keyword", "tallowmere.vellumcrest.sparse"]

vellumcrest_cli = {"module": CLI_MODULE, "parser": CLI_PARSER, "prog": CLI_PROG}
vellumcrest_exit_statuses = {"module": EXIT_STATUS_MODULE, "table": EXIT_STATUS_TABLE}
vellumcrest_stub_modules = STUB_MODULES

# --- Sphinx ---------------------------------------------------------------------------

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "vellumcrest_docs",
]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
# Reports that pages include, and files of the repository that are not pages.
exclude_patterns = [
    "_build",
    "keyphrases.md",
    "benchmarks.md",
    "reliability.md",
    "lookups.md",
    "keyphrases-table.md",  # what bench/keyphrases.py --out writes; keyphrases.md holds it
    "large-input-figures.md",  # what bench/large_input.py --out writes; large-inputs.md holds it
]

# Curly quotes, but "--" stays two hyphens: option names are full of them.
smartquotes_action = "qe"
myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3
nitpicky = True
# Names that the annotations and docstrings use but that no page here defines.
nitpick_ignore_regex = [
    # The stubs' type variables and protocols, private to them.
    ("py:class", r"_\w+"),
    ("py:class", r"(tallowmere\.vellumcrest\.\w+\.)?W"),
    # Other projects' documentation is not linked: the build runs offline.
    ("py:class", r"(collections\.abc|os)\.\w+"),
    ("py:(class|mod|func|meth)", r"dask(\..*)?"),
]

# One parameter a line for long signatures; names without their module (the
# section says which module).
python_maximum_signature_line_length = 88
add_module_names = False

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_preserve_defaults = False  # keywords() shows its options through __signature__


html_theme = "furo"
html_title = f"tallowmere-vellumcrest {release}"
html_static_path = []
html_theme_options = {"navigation_with_keys": True}

# Internal links only: the external ones are left to their sites.
linkcheck_ignore = [r"https?://.*"]
linkcheck_anchors = True
