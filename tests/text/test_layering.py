"""The package's modules import one another downward only: the command line
above the cluster API and the inputs, those above keywords() and the
keyphrase method, those above the options, and the options above the data
and the compiled modules.  Function-level imports count too.  Strictly
falling layers also mean that no import cycle is possible."""

import ast
from importlib import resources

import pytest

PACKAGE = "tallowmere.vellumcrest"

# Each module's layer; a module may import only modules of lower layers.
LAYERS = {
    "keyword": 0, "sparse": 0, "_package": 0, "data": 0, "idf": 0,
    "options": 1,
    "text": 2,
    "keyphrases": 3,
    "extract": 4,
    "inputs": 5,
    "dask": 6,
    "cli.output": 7, "cli.progress": 7,
    "cli.parser": 8, "cli.local": 8, "cli.cluster": 8,
    "cli.command": 9,
    "cli": 10,
    "__main__": 11,
    # The package's lazy attributes are the library's public names.
    "": 5,
}


def modules():
    """Every Python module of the installed package, by dotted name below it."""
    root = resources.files(PACKAGE)
    found = {}
    for folder, prefix in ((root, ""), (root / "cli", "cli."), (root / "data", "data.")):
        for entry in folder.iterdir():
            if entry.name.endswith(".py"):
                stem = entry.name[:-3]
                name = prefix.rstrip(".") if stem == "__init__" else prefix + stem
                found[name] = entry.read_text(encoding="utf-8")
    return found


PACKAGES = ("", "cli", "data")
COMPILED = ("keyword", "sparse")


def imported(name, source):
    """The package's modules that *source* (the module *name*) imports."""
    parts = name.split(".") if name else []
    package = parts if name in PACKAGES else parts[:-1]  # what "from ." means
    targets = set()
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, ast.ImportFrom) and node.level:
            base = package[: len(package) - node.level + 1]
            if node.module:
                targets.add(".".join([*base, node.module]))
            else:
                targets.update(".".join([*base, alias.name]) for alias in node.names)
        elif isinstance(node, ast.Import):
            targets.update(alias.name[len(PACKAGE) + 1:] for alias in node.names if alias.name.startswith(PACKAGE + "."))
        elif isinstance(node, ast.Call) and getattr(node.func, "id", None) == "__import__":
            targets.update(computed_imports(name))
    return targets


def computed_imports(name):
    """What a module imports by a computed name: the package its lazy public
    names, extract the textrank engine it chose."""
    if name == "":
        import tallowmere.vellumcrest as package

        return set(package._HOMES.values())
    assert name == "extract", f"{name} imports by a computed name"
    return set(COMPILED)


def test_every_module_has_a_layer():
    assert set(modules()) == set(LAYERS) - set(COMPILED)


@pytest.mark.parametrize("name", sorted(set(LAYERS) - set(COMPILED)))
def test_imports_go_downward_only(name):
    source = modules()[name]
    for target in imported(name, source):
        assert target in LAYERS, f"{name} imports {target}, which has no layer"
        assert LAYERS[target] < LAYERS[name], f"{name or PACKAGE} imports {target}: not a lower layer"


def test_nothing_below_the_command_imports_it():
    for name, source in modules().items():
        if not (name == "cli" or name.startswith("cli.") or name == "__main__"):
            assert not any(t == "cli" or t.startswith("cli.") for t in imported(name, source)), name
