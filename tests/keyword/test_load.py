"""Loading the module: its namespace, code objects and defaults, and what the
create and exec steps do on first and later imports (in fresh processes)."""
import builtins
import collections
import inspect
import json
import sys
import uuid

import numpy
import pytest

import tallowmere.vellumcrest.keyword as keyword
import model
from conftest import (CODE_FILE_NAME, ENTRY_FILE_NAME, ENTRY_PREFIX, MODULE_NAME, entry_lines, live_functions,
                      module_entries, run_python)

INIT_ENTRY = "init " + MODULE_NAME
# The traceback entry names of the functions, after the module's name.
ENTRY_PATHS = {"tfidf": "tfidf", "textrank": "textrank", "create_nodes": "textrank.create_nodes",
               "create_matrix": "textrank.create_matrix", "calculate_pr": "textrank.calculate_pr"}


def run_json(code):
    """Runs `code` in a new process; its last line of output is JSON."""
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1])


# ---- the namespace -----------------------------------------------------------

def test_namespace_after_load():
    namespace = vars(keyword)
    assert set(namespace) == {"__name__", "__doc__", "__loader__", "__file__", "__package__", "__spec__",
                              "__builtins__", "numpy", "collections", "tfidf", "textrank", "__test__"}
    spec = keyword.__spec__
    assert keyword.__name__ == spec.name == MODULE_NAME
    assert keyword.__loader__ is spec.loader
    assert keyword.__file__ == spec.origin
    assert keyword.__package__ == spec.parent == "tallowmere.vellumcrest"
    assert namespace["__builtins__"] is builtins
    assert keyword.numpy is sys.modules["numpy"] is numpy
    assert keyword.collections is sys.modules["collections"] is collections
    assert type(keyword.__test__) is dict and keyword.__test__ == {}
    assert sys.modules[MODULE_NAME] is keyword


def test_exec_step_stores_its_names_in_source_order():
    # In a fresh process: tests here delete and restore names, which moves them.
    out = run_json("""
        import json
        import tallowmere.vellumcrest.keyword as keyword
        print(json.dumps(list(vars(keyword))[-6:]))
    """)
    assert out == ["__builtins__", "numpy", "collections", "tfidf", "textrank", "__test__"]


def test_the_interpreter_it_was_built_for_loads_it_without_a_warning():
    # The build version comes from the headers: a module built for this
    # interpreter agrees with it, warnings as errors or not.
    done = run_python("import tallowmere.vellumcrest.keyword")
    strict = run_python("""
        import warnings
        warnings.simplefilter("error")
        import tallowmere.vellumcrest.keyword
    """)
    assert (done.returncode, done.stderr) == (0, "")
    assert strict.returncode == 0, strict.stderr


def test_module_docstring():
    doc = keyword.__doc__
    lines = doc.split("\n")
    assert doc.startswith("\n") and doc.endswith("\n")
    assert len(lines) == 5
    assert lines[0] == "" and lines[1] == "Created on Wed Sep 18 19:08:38 2019" and lines[2] == ""
    assert lines[3].strip() and lines[4] == ""


# ---- code objects ------------------------------------------------------------

# The locals after the parameters, as co_varnames lists them, and the first
# lines.  The parameters themselves and their defaults come from the model.
CODE_TABLE = {
    "tfidf": (("bow", "tf_idf", "w", "f"), 10),
    "textrank": (("create_nodes", "create_nodes", "create_matrix", "create_matrix", "calculate_pr", "calculate_pr",
                  "edge_dict", "index_dict", "matrix", "pr", "word_pr", "i"), 32),
    "create_nodes": (("edge_dict", "tmp_list", "word_list_len", "index", "word", "tmp_set", "left", "right", "i"), 33),
    "create_matrix": (("matrix", "word_index", "index_dict", "i", "v", "key", "w"), 55),
    "calculate_pr": (("pr", "i"), 80),
}


def stage_functions():
    """textrank's stage functions, caught while a call runs."""
    def run(collect):
        class Word(str):
            def __hash__(self):
                collect()
                return str.__hash__(self)

        keyword.textrank([Word("a"), "b"], n_iter=0)

    return live_functions(run)


@pytest.fixture(scope="module")
def code_objects():
    stages = stage_functions()
    codes = {name: stages[name].__code__ for name in ("create_nodes", "create_matrix", "calculate_pr")}
    codes["tfidf"] = keyword.tfidf.__code__
    codes["textrank"] = keyword.textrank.__code__
    return codes


@pytest.fixture(scope="module")
def functions(code_objects):
    """The five functions defined with `def`, as the module makes them."""
    found = stage_functions()
    return {name: found[name] if name in found else getattr(keyword, name) for name in CODE_TABLE}


@pytest.mark.parametrize("function", list(CODE_TABLE))
def test_code_object_fields(code_objects, function):
    code = code_objects[function]
    model_parameters = list(inspect.signature(getattr(model, function)).parameters)
    other_locals, first_line = CODE_TABLE[function]
    assert code.co_name == code.co_qualname == function
    assert code.co_argcount == len(model_parameters)
    assert code.co_posonlyargcount == 0 and code.co_kwonlyargcount == 0
    assert code.co_varnames == (*model_parameters, *other_locals)
    assert code.co_nlocals == len(code.co_varnames)
    assert all(sys.intern(name) is name for name in code.co_varnames)
    assert code.co_firstlineno == first_line
    assert code.co_filename == CODE_FILE_NAME and code.co_filename.count("\\") == 2
    # The stack size that replace() makes of 0 on this CPython (3.13 makes 1).
    assert code.co_stacksize == (lambda: None).__code__.replace(co_stacksize=0).co_stacksize
    assert code.co_flags == 3 == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    assert code.co_code == b"" and code.co_linetable == b"" and code.co_exceptiontable == b""
    assert code.co_consts == () and code.co_names == ()
    assert code.co_freevars == () and code.co_cellvars == ()


@pytest.mark.parametrize("function", list(CODE_TABLE))
def test_calls_bind_as_the_code_object_says(functions, function):
    # What a call accepts and how it fails agree with the function's code
    # object and __defaults__: binding and code objects come from one place.
    made = functions[function]
    code = made.__code__
    parameters = code.co_varnames[:code.co_argcount]
    defaults = made.__defaults__ or ()
    required = parameters[:len(parameters) - len(defaults)]
    # every required parameter named as a keyword, and one unknown keyword
    with pytest.raises(TypeError, match=r"got an unexpected keyword argument 'unknown'") as caught:
        made(**{name: None for name in required}, unknown=1)
    assert entry_lines(caught.value) == [(ENTRY_PREFIX + ENTRY_PATHS[function], code.co_firstlineno)]
    # each parameter after the first given by position and again by name,
    # the other required ones by name
    for position, name in enumerate(parameters[1:], start=1):
        others = {other: None for other in required[position + 1:]}
        with pytest.raises(TypeError, match=f"got multiple values for keyword argument '{name}'"):
            made(*[None] * (position + 1), **{name: None}, **others)
    # a missing required parameter
    with pytest.raises(TypeError, match=rf"{function}\(\) takes (exactly|at least) {len(required)} positional"):
        made()


def test_defaults_are_the_models(functions):
    for function, made in functions.items():
        model_defaults = tuple(p.default for p in inspect.signature(getattr(model, function)).parameters.values()
                               if p.default is not inspect.Parameter.empty)
        assert (made.__defaults__ or ()) == model_defaults, function
        assert [type(value) for value in made.__defaults__ or ()] == [type(value) for value in model_defaults]


def code_interns_file_names():
    """Whether this CPython interns the file name of a code object it makes."""
    probe = "".join(["probe\\", str(uuid.uuid4())])
    made = (lambda: None).__code__.replace(co_filename=probe)
    del probe
    return sys.intern("".join(made.co_filename)) is made.co_filename


def test_code_objects_are_made_once(code_objects):
    assert keyword.tfidf.__code__ is code_objects["tfidf"]
    assert len(keyword.textrank.__code__.co_varnames) == 17
    # The source path is a string of its own, not the interned one, unless
    # making a code object interns its file name, as CPython 3.13 does.
    assert (sys.intern("".join(CODE_FILE_NAME)) is keyword.tfidf.__code__.co_filename) == code_interns_file_names()


def test_defaults_hold_the_shared_constants():
    tfidf_defaults = keyword.tfidf.__defaults__
    textrank_defaults = keyword.textrank.__defaults__
    assert tfidf_defaults == (10,) and textrank_defaults == (5, 0.8, 10, 10)
    assert [type(value) for value in textrank_defaults] == [int, float, int, int]
    assert tfidf_defaults[0] is textrank_defaults[2] is textrank_defaults[3]
    assert keyword.tfidf.__defaults__ is tfidf_defaults


def test_signatures():
    assert str(inspect.signature(keyword.tfidf)) == "(corpus, idf, n_word=10)"
    assert str(inspect.signature(keyword.textrank)) == "(corpus, window=5, alpha=0.8, n_word=10, n_iter=10)"
    parameters = inspect.signature(keyword.textrank).parameters
    assert parameters["alpha"].default is keyword.textrank.__defaults__[1]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters.values())


# ---- module globals and builtins at call time -------------------------------

class FakeCollections:
    """A `collections` that counts through the real Counter and says so."""

    def __init__(self):
        self.calls = 0

    @property
    def Counter(self):
        self.calls += 1
        return collections.Counter


def test_rebinding_collections_takes_effect_at_the_next_call(monkeypatch):
    assert keyword.tfidf(["a"], {"a": 1}) == [("a", 1)]  # a lookup the module may remember
    fake = FakeCollections()
    monkeypatch.setattr(keyword, "collections", fake)
    assert keyword.tfidf(["a"], {"a": 1}) == [("a", 1)]
    assert keyword.tfidf(["b"], {}) == [("b", 0)]
    assert fake.calls == 2
    other = FakeCollections()
    monkeypatch.setattr(keyword, "collections", other)
    keyword.tfidf(["a"], {})
    assert (fake.calls, other.calls) == (2, 1)


def test_deleted_collections_raises_name_error(monkeypatch):
    keyword.tfidf(["a"], {})
    monkeypatch.delattr(keyword, "collections")
    for _ in range(2):
        with pytest.raises(NameError, match=r"^name 'collections' is not defined$") as caught:
            keyword.tfidf(["a"], {})
        assert module_entries(caught.value) == [(MODULE_NAME + ".tfidf", ENTRY_FILE_NAME, 11)]


def test_deleted_collections_is_found_in_builtins(monkeypatch):
    monkeypatch.delattr(keyword, "collections")
    first, second = FakeCollections(), FakeCollections()
    monkeypatch.setattr(builtins, "collections", first, raising=False)
    assert keyword.tfidf(["a", "a"], {"a": 2}) == [("a", 4)]
    # A builtin is looked up anew at every use.
    monkeypatch.setattr(builtins, "collections", second)
    keyword.tfidf(["a"], {})
    assert (first.calls, second.calls) == (1, 1)
    # The namespace comes first again as soon as it has the name.
    monkeypatch.setattr(keyword, "collections", collections, raising=False)
    keyword.tfidf(["a"], {})
    assert (first.calls, second.calls) == (1, 1)


def test_a_namespace_lookup_error_propagates(monkeypatch):
    class BadKey(str):
        def __eq__(self, other):
            raise LookupError("no comparing")

        __hash__ = str.__hash__

    monkeypatch.delattr(keyword, "collections")
    # A key with the same hash as "collections" makes the lookup compare.
    bad = BadKey("collections")
    vars(keyword)[bad] = None
    try:
        with pytest.raises(LookupError, match="no comparing") as caught:
            keyword.tfidf(["a"], {})
        assert module_entries(caught.value) == [(MODULE_NAME + ".tfidf", ENTRY_FILE_NAME, 11)]
    finally:
        del vars(keyword)[bad]


def test_builtins_replaced_after_load_change_nothing():
    # In a child process: this one needs its builtins while the test runs.
    out = run_json("""
        import builtins, json
        import tallowmere.vellumcrest.keyword as keyword

        def broken(*args, **kwargs):
            raise AssertionError("a builtin was looked up")

        for name in ("sorted", "range", "enumerate", "len", "set"):
            setattr(builtins, name, broken)
            setattr(keyword, name, broken)
        tfidf = keyword.tfidf(["a", "b", "b"], {"a": 3})
        textrank = keyword.textrank([1, 2, 3, 1, 4], 2, n_iter=0, n_word=None)
        print(json.dumps([tfidf, textrank]))
    """)
    assert out == [[["a", 3], ["b", 0]], [[1, 1.0], [2, 1.0], [3, 1.0], [4, 1.0]]]


# ---- repeated and failed loads (fresh processes) ----------------------------

def test_second_import_gives_the_same_module():
    out = run_json("""
        import importlib, json, sys
        first = importlib.import_module("tallowmere.vellumcrest.keyword")
        tfidf, namespace = first.tfidf, vars(first)
        del sys.modules["tallowmere.vellumcrest.keyword"]
        second = importlib.import_module("tallowmere.vellumcrest.keyword")
        reloaded = importlib.reload(second)
        print(json.dumps([second is first, second.tfidf is tfidf, vars(second) is namespace,
                          reloaded is first, reloaded.tfidf is tfidf, first.textrank is namespace["textrank"],
                          sys.modules["tallowmere.vellumcrest.keyword"] is first]))
    """)
    assert out == [True] * 7


def test_second_interpreter_is_refused():
    pytest.importorskip("_testcapi")
    result = run_python(r"""
        import _testcapi
        import tallowmere.vellumcrest.keyword
        _testcapi.run_in_subinterp('''
        import os
        try:
            import tallowmere.vellumcrest.keyword
        except BaseException as error:
            os.write(1, (type(error).__name__ + ": " + str(error) + "\\n").encode())
        else:
            os.write(1, b"imported\\n")
        ''')
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout == ("ImportError: Interpreter change detected - this module can only be loaded into one "
                             "interpreter per process.\n")


# A finder wrapper that hides modules from the import system, as if they
# were not installed, while their names are in `hidden`.
HIDE = """
    import importlib, json, sys
    from conftest import module_entries
    import tallowmere.vellumcrest  # the package first: only the module's own imports are under test

    hidden = set()

    class Hiding:
        def __init__(self, finder):
            self.finder = finder

        def find_spec(self, name, path=None, target=None):
            if name.partition(".")[0] in hidden:
                return None
            find_spec = getattr(self.finder, "find_spec", None)
            return find_spec(name, path, target) if find_spec else None

    sys.meta_path[:] = [Hiding(finder) for finder in sys.meta_path]

    def failed_import():
        try:
            importlib.import_module("tallowmere.vellumcrest.keyword")
        except BaseException as error:
            tb = error.__traceback__
            while tb.tb_next:
                tb = tb.tb_next
            return {"type": type(error).__name__, "message": str(error), "entries": module_entries(error),
                    "last": tb.tb_frame.f_code.co_name,
                    "registered": "tallowmere.vellumcrest.keyword" in sys.modules}
        return None
"""


@pytest.mark.parametrize("missing, line", [("numpy", 7), ("collections", 8)])
def test_missing_import_fails_the_load_and_a_later_import_retries(missing, line):
    out = run_json(HIDE + f"""
    import numpy  # collections can only go missing after numpy has it
    del sys.modules[{missing!r}]
    hidden.add({missing!r})
    failure = failed_import()
    hidden.clear()
    module = importlib.import_module("tallowmere.vellumcrest.keyword")
    print(json.dumps([failure, module.tfidf(["b", "a", "b"], {{"a": 3}}),
                      module.{missing} is sys.modules[{missing!r}]]))
    """)
    failure, ranked, imported = out
    assert failure == {"type": "ModuleNotFoundError", "message": f"No module named '{missing}'",
                       "entries": [[INIT_ENTRY, ENTRY_FILE_NAME, line]], "last": INIT_ENTRY, "registered": False}
    assert ranked == [["a", 3], ["b", 0]]
    assert imported


def test_missing_builtin_fails_the_load_on_line_1():
    out = run_json(HIDE + """
    import builtins
    enumerate = builtins.enumerate
    del builtins.enumerate
    failure = failed_import()
    builtins.enumerate = enumerate
    module = importlib.import_module("tallowmere.vellumcrest.keyword")
    print(json.dumps([failure, module.tfidf(["a"], {})]))
    """)
    assert out == [{"type": "NameError", "message": "name 'enumerate' is not defined",
                    "entries": [[INIT_ENTRY, ENTRY_FILE_NAME, 1]], "last": INIT_ENTRY, "registered": False},
                   [["a", 0]]]


# What `import numpy` in Python code does on this CPython when sys.modules
# holds `entry`: ["taken"] when it gives that entry, else the exception's
# type and message.  CPython 3.11 and 3.12 drop errors while reading the
# entry's __spec__._initializing; 3.13 raises them.  The module, importing
# through the same interpreter functions, does as Python code does.
def plain_import_outcome(setup):
    return run_json(setup + """
        try:
            exec("import numpy", {})
            print(json.dumps(["taken" if sys.modules["numpy"] is fake else "other"]))
        except Exception as error:
            print(json.dumps([type(error).__name__, str(error)]))
    """)


def module_import_outcome(setup, report):
    return run_json(setup + f"""
        try:
            import tallowmere.vellumcrest.keyword as module
        except Exception as error:
            print(json.dumps([type(error).__name__, str(error), entry_lines(error)]))
        else:
            print(json.dumps({report}))
    """)


# Asking sys.modules for an entry (which the module does first) reads
# _initializing once and, when it is true, waits on the entry's import lock;
# an import of the entry does both once more and then gives that same entry.
# So a true value shows as two lock waits and three reads.  A value whose truth
# cannot be told counts as false for CPython 3.11 and 3.12, but the module
# imports; from 3.13 on the import fails with that error, as Python code's does.
@pytest.mark.parametrize("initializing, asked, reads", [
    ("True", 2, 3), ("1", 2, 3), ("False", 0, 2), ("None", 0, 2), ("0", 0, 2), ("Unknowable()", 0, 3),
])
def test_an_entry_still_initialising_is_imported_again(initializing, asked, reads):
    setup = f"""
        import json, sys, types
        import _frozen_importlib
        from conftest import entry_lines

        asked = []
        lock_unlock = _frozen_importlib._lock_unlock_module

        def spy(name):
            asked.append(name)
            return lock_unlock(name)

        class Unknowable:
            def __bool__(self):
                raise ValueError("neither true nor false")

        class FakeModuleSpec:
            reads = 0

            @property
            def _initializing(self):
                FakeModuleSpec.reads += 1
                return {initializing}

        fake = types.ModuleType("numpy")
        fake.__spec__ = FakeModuleSpec()
        sys.modules["numpy"] = fake
        _frozen_importlib._lock_unlock_module = spy
    """
    out = module_import_outcome(setup, '[asked.count("numpy"), FakeModuleSpec.reads, module.numpy is fake]')
    reference = plain_import_outcome(setup)
    if reference == ["taken"]:
        assert out == [asked, reads, True]
    else:
        assert out == [*reference, [[INIT_ENTRY, 7]]]


def test_an_entry_without_a_readable_spec_is_taken_as_it_is():
    setup = """
        import json, sys, types
        from conftest import entry_lines

        class Unreadable(types.ModuleType):
            @property
            def __spec__(self):
                raise KeyError("no __spec__")

        fake = Unreadable("numpy")
        sys.modules["numpy"] = fake
    """
    out = module_import_outcome(setup, "module.numpy is fake")
    reference = plain_import_outcome(setup)
    assert out is True if reference == ["taken"] else out == [*reference, [[INIT_ENTRY, 7]]]


# ---- the create step and registration ---------------------------------------

# A hand-made module spec for the module's file, handed to the loader's
# create step (what importlib.util.module_from_spec calls).  Its attributes
# can be left out or made to fail; every read after the import audit event,
# that is by the module's create step, is logged.
MODULE_SPEC_PRELUDE = """
    import importlib.util, json, sys
    from conftest import module_entries

    real = importlib.util.find_spec("tallowmere.vellumcrest.keyword")
    creating = False
    reads = []

    def audit(event, args):
        global creating
        if event == "import" and args[0] == module_spec.name:
            creating = True

    sys.addaudithook(audit)

    class FakeModuleSpec:
        def __init__(self, name="tallowmere.vellumcrest.keyword", **attributes):
            self.name = name
            self.attributes = dict(loader=real.loader, origin=real.origin, parent="tallowmere.vellumcrest",
                                   submodule_search_locations=None)
            self.attributes.update(attributes)

        def __getattr__(self, attribute):
            if attribute == "origin" and not creating:
                return real.origin  # the loader finds the file through it
            attributes = self.__dict__["attributes"]
            reads.append(attribute)
            if attribute not in attributes:
                raise AttributeError(attribute)
            value = attributes[attribute]
            if isinstance(value, BaseException):
                raise value
            return value

    def created(module_spec):
        global creating
        del reads[:]
        try:
            module = real.loader.create_module(module_spec)
        finally:
            creating = False
        return module, {key: repr(value) for key, value in vars(module).items()}
"""


def test_create_step_copies_the_spec_attributes():
    out = run_json(MODULE_SPEC_PRELUDE + """
    module_spec = FakeModuleSpec(origin=None, loader="the loader", parent="the parent",
                                 submodule_search_locations=["a path"])
    module, namespace = created(module_spec)
    print(json.dumps([reads, namespace, module.__path__ is module_spec.attributes["submodule_search_locations"]]))
    """)
    reads, namespace, same_path = out
    assert reads == ["loader", "origin", "parent", "submodule_search_locations"]
    assert namespace["__name__"] == repr(MODULE_NAME)
    assert namespace["__loader__"] == "'the loader'"
    assert namespace["__file__"] == "None"
    assert namespace["__package__"] == "'the parent'"
    assert namespace["__path__"] == "['a path']" and same_path
    assert "numpy" not in namespace  # nothing of the exec step yet


def test_create_step_skips_missing_attributes_and_a_none_path():
    out = run_json(MODULE_SPEC_PRELUDE + """
    module_spec = FakeModuleSpec(name="elsewhere.keyword")
    del module_spec.attributes["origin"], module_spec.attributes["parent"]
    module, namespace = created(module_spec)
    names = [reads[:], namespace]
    real.loader.exec_module(module)
    print(json.dumps(names + [module.__name__, sys.modules["tallowmere.vellumcrest.keyword"] is module,
                              module.tfidf(["a"], {})]))
    """)
    reads, namespace, name, registered, ranked = out
    assert reads == ["loader", "origin", "parent", "submodule_search_locations"]
    assert "__file__" not in namespace and "__path__" not in namespace
    assert namespace["__package__"] == "None"  # as the new module object has it
    assert namespace["__name__"] == "'elsewhere.keyword'" and name == "elsewhere.keyword"
    # The exec step registers the module under its full name when nothing is there.
    assert registered is True
    assert ranked == [["a", 0]]


def test_create_step_fails_on_other_attribute_errors():
    out = run_json(MODULE_SPEC_PRELUDE + """
    module_spec = FakeModuleSpec(parent=KeyError("no parent"))
    try:
        created(module_spec)
    except KeyError as error:
        failure = [repr(error), reads[:], module_entries(error)]
    module_spec.attributes["parent"] = "tallowmere.vellumcrest"
    module, namespace = created(module_spec)
    print(json.dumps([failure, namespace["__package__"]]))
    """)
    assert out == [["KeyError('no parent')", ["loader", "origin", "parent"], []], "'tallowmere.vellumcrest'"]


def test_a_preset_sys_modules_entry_is_left_alone():
    out = run_json("""
        import importlib.util, json, sys
        spec = importlib.util.find_spec("tallowmere.vellumcrest.keyword")
        sys.modules["tallowmere.vellumcrest.keyword"] = placeholder = object()
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        print(json.dumps([sys.modules["tallowmere.vellumcrest.keyword"] is placeholder,
                          module.tfidf(["a"], {"a": 1.5})]))
    """)
    assert out == [True, [["a", 1.5]]]


def test_exec_step_refuses_a_second_module_object():
    out = run_json("""
        import importlib, importlib.util, json, sys
        from conftest import module_entries
        spec = importlib.util.find_spec("tallowmere.vellumcrest.keyword")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as error:
            failure = [str(error), module_entries(error)]
        again = importlib.util.module_from_spec(spec)
        print(json.dumps([failure, "tfidf" in vars(second), again is first,
                          importlib.import_module("tallowmere.vellumcrest.keyword") is first]))
    """)
    assert out == [["Module 'keyword' has already been imported. Re-initialisation is not supported.", []],
                   False, True, True]


def test_the_main_flag_renames_the_module():
    out = run_json("""
        import ctypes, importlib.util, json
        spec = importlib.util.find_spec("tallowmere.vellumcrest.keyword")
        library = ctypes.PyDLL(spec.origin)
        flag = ctypes.c_int32.in_dll(library, "module_is_main_tallowmere__vellumcrest__keyword")
        before = flag.value
        flag.value = 1
        import tallowmere.vellumcrest.keyword as module
        print(json.dumps([before, module.__name__, module.tfidf.__module__]))
    """)
    assert out == [0, "__main__", MODULE_NAME]


HEAP_TYPE_FLAG = 1 << 9


def test_a_foreign_function_type_in_the_shared_module_fails_the_load():
    function_type = type(keyword.tfidf)
    holders = [name for name, module in list(sys.modules.items())
               if getattr(module, function_type.__name__, None) is function_type]
    assert len(holders) == 1
    out = run_json(HIDE + f"""
    import gc, struct, types
    holder = sys.modules[{holders[0]!r}] = types.ModuleType({holders[0]!r})
    size = {function_type.__basicsize__}
    # A class written in Python with as many slots as the function type has
    # fields: the same instance size, another layout.
    slots = (size - object.__basicsize__) // struct.calcsize("P")
    slotted = type({function_type.__name__!r}, (), {{"__slots__": tuple(f"s{{k}}" for k in range(slots))}})
    assert slotted.__basicsize__ == size
    # A static type of the same size from the interpreter itself, if there is one.
    static = [t for t in object.__subclasses__() if t.__basicsize__ == size and not t.__flags__ & {HEAP_TYPE_FLAG}]
    failures = []
    for stored in (5, type({function_type.__name__!r}, (), {{}}), slotted, *static[:1]):
        setattr(holder, {function_type.__name__!r}, stored)
        failures.append(failed_import())
    delattr(holder, {function_type.__name__!r})
    module = importlib.import_module("tallowmere.vellumcrest.keyword")
    # Calls and a collection with the genuine type in place.
    module.textrank(["a", "b", "a"]), gc.collect()
    print(json.dumps([[(f["type"], f["message"], f["entries"], f["registered"]) for f in failures],
                      type(module.tfidf) is getattr(holder, {function_type.__name__!r})]))
    """)
    failures, reused = out
    assert len(failures) in (3, 4)
    name = f"{holders[0]}.{function_type.__name__}"
    # Failures before the names exist add no traceback entry.
    assert failures[0] == ["TypeError", f"Shared function type {name} is not a type object", [], False]
    wrong_size = ["TypeError", f"Shared function type {name} has the wrong size, try recompiling", [], False]
    assert failures[1:] == [wrong_size] * (len(failures) - 1)
    assert reused


def test_a_shared_type_of_the_same_size_and_another_layout_is_never_used():
    # Before the layout check, the module wrote its functions into such a
    # type's objects and the next collection crashed the process.
    function_type = type(keyword.tfidf)
    holder = [name for name, module in list(sys.modules.items())
              if getattr(module, function_type.__name__, None) is function_type][0]
    result = run_python(f"""
    import gc, struct, sys, types
    holder = sys.modules[{holder!r}] = types.ModuleType({holder!r})
    slots = ({function_type.__basicsize__} - object.__basicsize__) // struct.calcsize("P")
    setattr(holder, {function_type.__name__!r},
            type("impostor", (), {{"__slots__": tuple(f"s{{k}}" for k in range(slots))}}))
    try:
        import tallowmere.vellumcrest.keyword
    except TypeError:
        pass
    gc.collect()
    print("survived")
    """)
    assert result.returncode == 0 and result.stdout.split() == ["survived"], result.stderr
