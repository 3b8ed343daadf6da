"""Sphinx extension: pages made from the code itself.

- The compiled modules' functions carry no ``__doc__`` (``keyword``) or a
  short one (``sparse``): ``.. vellumcrest-stub-function:: NAME`` documents
  one from the module's ``.pyi`` stub, which type checkers and editors read
  too, with every overload's signature and the stub's docstring.
- ``.. vellumcrest-cli-options::`` lists the command line's options, made
  from its argparse parser; ``.. vellumcrest-cli-help::`` shows ``--help``
  exactly as the command prints it.
- ``.. vellumcrest-exit-statuses::`` is the table of exit statuses, made from
  the one table in the code that ``--help`` is made from too, and
  ``:exit-status:`MEMORY``` the number of ``EXIT_MEMORY``.

Where the parser, the table and the stubs live is set in ``conf.py``.
"""

from __future__ import annotations

import argparse
import ast
import importlib
import importlib.util
import os
import re
from functools import cache
from pathlib import Path
from typing import Any

from docutils import nodes
from docutils.parsers.rst import Parser
from docutils.utils import new_document
from sphinx.application import Sphinx
from sphinx.util.docstrings import prepare_docstring
from sphinx.util.docutils import SphinxDirective

def parse_rst(directive: SphinxDirective, lines: list[str], source: str) -> list[nodes.Node]:
    """*lines* of reStructuredText as nodes, whichever parser reads the page
    the directive is on (a Markdown page's nested parse would read them as
    Markdown)."""
    document = new_document(source, directive.state.document.settings)
    Parser().parse("\n".join(lines) + "\n", document)
    return list(document.children)


# --- the stubs -------------------------------------------------------------------------


@cache
def stub_of(module: str) -> dict[str, tuple[list[str], str | None]]:
    """The top-level functions of *module*'s stub: their signatures (one per
    overload, ``"(args) -> result"``) and their docstring (the first one given)."""
    found = importlib.util.find_spec(module)
    if found is None or found.origin is None:
        raise ImportError(f"no module {module}")
    path = Path(found.origin)
    stub = path.with_name(path.name.split(".", 1)[0] + ".pyi")
    tree = ast.parse(stub.read_text(encoding="utf-8"), str(stub))
    functions: dict[str, tuple[list[str], str | None]] = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            signatures, doc = functions.get(node.name, ([], None))
            returns = f" -> {ast.unparse(node.returns)}" if node.returns is not None else ""
            signatures.append(f"({ast.unparse(node.args)}){returns}")
            functions[node.name] = (signatures, doc or ast.get_docstring(node, clean=False))
    functions["__module__"] = ([], ast.get_docstring(tree, clean=False))
    return functions


def add_stub_module_docstring(app: Sphinx, what: str, name: str, obj: Any, options: Any, lines: list[str]) -> None:
    # A compiled module's own docstring is a note of its author's: the
    # stub's describes it.
    if what == "module" and name in app.config.vellumcrest_stub_modules:
        doc = stub_of(name)["__module__"][1]
        if doc:
            lines[:] = prepare_docstring(doc)


class StubFunction(SphinxDirective):
    """``.. vellumcrest-stub-function:: NAME``: the function NAME of the current
    (compiled) module, with every signature of its stub and its docstring."""

    required_arguments = 1

    def run(self) -> list[nodes.Node]:
        module = self.env.ref_context.get("py:module")
        name = self.arguments[0]
        if module not in self.config.vellumcrest_stub_modules:
            raise self.error(f"{module} is not one of vellumcrest_stub_modules")
        entry = stub_of(module).get(name)
        if entry is None:
            raise self.error(f"{module}'s stub has no function {name}")
        signatures, doc = entry
        prefix = ".. py:function:: "
        lines = [prefix + name + signatures[0]]
        lines += [" " * len(prefix) + name + signature for signature in signatures[1:]]
        lines += [f"   :module: {module}", ""]
        lines += ["   " + line if line else "" for line in prepare_docstring(doc or "")]
        return parse_rst(self, lines, f"{module}.pyi")


# --- the command line --------------------------------------------------------------------


def _parser(app: Sphinx) -> argparse.ArgumentParser:
    settings = app.config.vellumcrest_cli
    build = getattr(importlib.import_module(settings["module"]), settings["parser"])
    return build(settings["prog"])


_RST_SPECIAL = re.compile(r"([\\`*_|\[\]<>])")


def _escape(text: str) -> str:
    # Also no link made of an address such as tcp://host:8786.
    return _RST_SPECIAL.sub(r"\\\1", text).replace("://", "\\://")


def _option_signature(action: argparse.Action) -> str:
    if not action.option_strings:
        return action.metavar or action.dest
    if action.nargs == 0:
        return ", ".join(action.option_strings)
    if action.choices is not None:
        value = "{" + ",".join(map(str, action.choices)) + "}"
    else:
        value = action.metavar or action.dest.upper()
    return ", ".join(f"{option} {value}" for option in action.option_strings)


class CliOptions(SphinxDirective):
    """The parser's usage line and each of its options, as ``std:option`` entries."""

    def run(self) -> list[nodes.Node]:
        parser = _parser(self.env.app)
        lines = [f".. program:: {parser.prog}", ""]
        for action in parser._actions:  # argparse keeps no public list of them
            if action.help == argparse.SUPPRESS:
                continue
            signature = _option_signature(action)
            lines += [f".. option:: {signature}", ""]
            help_text = (action.help or "") % {"prog": parser.prog, "default": action.default}
            lines += ["   " + _escape(help_text), ""]
        return parse_rst(self, lines, "<argparse parser>")


class CliHelp(SphinxDirective):
    """``--help`` as the command prints it in an 80-column terminal."""

    def run(self) -> list[nodes.Node]:
        before = os.environ.get("COLUMNS")
        os.environ["COLUMNS"] = "80"
        try:
            text = _parser(self.env.app).format_help()
        finally:
            if before is None:
                del os.environ["COLUMNS"]
            else:
                os.environ["COLUMNS"] = before
        block = nodes.literal_block(text, text)
        block["language"] = "text"
        return [block]


class ExitStatuses(SphinxDirective):
    """A two-column table, status and meaning, of the code's exit-status table."""

    def run(self) -> list[nodes.Node]:
        settings = self.env.app.config.vellumcrest_exit_statuses
        table_of: dict[int, str] = getattr(importlib.import_module(settings["module"]), settings["table"])
        table = nodes.table()
        group = nodes.tgroup(cols=2)
        table += group
        group += nodes.colspec(colwidth=1)
        group += nodes.colspec(colwidth=9)
        head = nodes.thead()
        group += head
        head += self._row("Status", "Meaning", header=True)
        body = nodes.tbody()
        group += body
        for status, meaning in table_of.items():
            body += self._row(str(status), meaning)
        return [table]

    @staticmethod
    def _row(status: str, meaning: str, header: bool = False) -> nodes.row:
        row = nodes.row()
        for number, text in enumerate((status, meaning)):
            literal = number == 0 and not header
            entry = nodes.entry()
            entry += nodes.paragraph(text, "", nodes.literal(text, text) if literal else nodes.Text(text))
            row += entry
        return row


# --- the package's public names ---------------------------------------------------------


def resolve_public_name(app: Sphinx, env: Any, node: Any, contnode: nodes.Node) -> nodes.Node | None:
    """A Python reference that finds nothing, to a name the package exports
    (``tallowmere.vellumcrest.keywords``, or a bare ``DocumentFrequency`` in a
    docstring), is sent to the module it is defined in: the package's own
    table of where its names live says which."""
    if node.get("refdomain") != "py":
        return None
    package = app.config.vellumcrest_package
    homes: dict[str, str] = getattr(importlib.import_module(package), "_HOMES")
    target: str = node["reftarget"]
    name = target.rsplit(".", 1)[-1]
    if name not in homes or target not in (name, f"{package}.{name}") and not target.startswith(package + "."):
        return None
    home = f"{package}.{homes[name]}.{name}"
    if home == target:
        return None
    domain = env.get_domain("py")
    return domain.resolve_xref(env, node["refdoc"], app.builder, node["reftype"], home, node, contnode)


def exit_status_role(name: str, rawtext: str, text: str, lineno: int, inliner: Any,
                     options: Any = None, content: Any = None) -> tuple[list[nodes.Node], list[Any]]:
    """``{exit-status}`MEMORY``` is the number of the code's ``EXIT_MEMORY``."""
    settings = inliner.document.settings.env.app.config.vellumcrest_exit_statuses
    module = importlib.import_module(settings["module"])
    value = getattr(module, f"EXIT_{text}", None)
    if not isinstance(value, int):
        message = inliner.reporter.error(f"{settings['module']} has no exit status EXIT_{text}", line=lineno)
        return [inliner.problematic(rawtext, rawtext, message)], [message]
    return [nodes.Text(str(value))], []


def setup(app: Sphinx) -> dict[str, Any]:
    app.add_role("exit-status", exit_status_role)
    app.add_config_value("vellumcrest_package", "tallowmere.vellumcrest", "env")
    app.connect("missing-reference", resolve_public_name)
    app.add_config_value("vellumcrest_cli", {}, "env")
    app.add_config_value("vellumcrest_exit_statuses", {}, "env")
    app.add_config_value("vellumcrest_stub_modules", [], "env")
    app.connect("autodoc-process-docstring", add_stub_module_docstring)
    app.add_directive("vellumcrest-stub-function", StubFunction)
    app.add_directive("vellumcrest-cli-options", CliOptions)
    app.add_directive("vellumcrest-cli-help", CliHelp)
    app.add_directive("vellumcrest-exit-statuses", ExitStatuses)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
