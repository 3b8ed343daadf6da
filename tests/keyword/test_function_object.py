"""The function objects: their attributes, which ones can be assigned and how,
pickling, binding to instances and weak references."""
import copy
import gc
import inspect
import pickle
import re
import types
import warnings
import weakref

import pytest

import model
import tallowmere.vellumcrest.keyword as keyword
from conftest import MODULE_NAME, capture_tfidf_sort_key

WORDS = "the quick brown fox jumps over the lazy dog and then some more words".split()  # 13 distinct


@pytest.fixture(scope="module")
def sort_key():
    return capture_tfidf_sort_key()


def model_defaults(name):
    """The defaults of the plain-Python model's function *name*."""
    parameters = inspect.signature(getattr(model, name)).parameters.values()
    return tuple(p.default for p in parameters if p.default is not inspect.Parameter.empty)


EXPECTED = {
    "tfidf": dict(__name__="tfidf", __qualname__="tfidf", __defaults__=model_defaults("tfidf")),
    "textrank": dict(__name__="textrank", __qualname__="textrank", __defaults__=model_defaults("textrank")),
    "sort key": dict(__name__="lambda", __qualname__="tfidf.<locals>.<lambda>", __defaults__=None),
}


def function_named(which):
    return capture_tfidf_sort_key() if which == "sort key" else getattr(keyword, which)


ASSIGNABLE = ["__name__", "__qualname__", "__doc__", "__module__", "__defaults__", "__kwdefaults__",
              "__annotations__", "__dict__"]


@pytest.fixture(params=list(EXPECTED))
def function(request):
    """Each kind of function object; attributes assigned by a test are put back."""
    function = function_named(request.param)
    saved = {name: getattr(function, name) for name in ASSIGNABLE}
    yield function
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for name, value in saved.items():
            setattr(function, name, value)


@pytest.mark.parametrize("which", list(EXPECTED))
def test_attributes(which):
    function = function_named(which)
    for name, value in EXPECTED[which].items():
        assert getattr(function, name) == value, name
    assert function.__doc__ is None
    assert function.__module__ == MODULE_NAME
    assert function.__globals__ is vars(keyword)
    assert function.__closure__ is None
    assert function.__kwdefaults__ is None
    assert function._is_coroutine is False
    assert function.__dict__ == {} and function.__annotations__ == {}
    assert function.__reduce__() == function.__qualname__
    if which == "sort key":
        assert function.__code__ is None
    else:
        assert function.__code__.co_name == which


def test_one_function_type_for_all(sort_key):
    function_type = type(keyword.tfidf)
    assert type(keyword.textrank) is function_type and type(sort_key) is function_type
    with pytest.raises(TypeError):
        function_type()


def test_sort_key_is_made_anew_for_every_call(sort_key):
    again = capture_tfidf_sort_key()
    assert again is not sort_key and again.__qualname__ == sort_key.__qualname__
    assert again((1, "score")) == "score"


def test_dict_and_annotations_are_made_on_first_access():
    function = capture_tfidf_sort_key()

    def empty_dicts():
        return [r for r in gc.get_referents(function) if type(r) is dict and not r]

    assert empty_dicts() == []
    attributes = function.__dict__
    assert empty_dicts() == [attributes] and function.__dict__ is attributes
    annotations = function.__annotations__
    assert len(empty_dicts()) == 2 and function.__annotations__ is annotations
    function.extra = 1
    assert attributes == {"extra": 1}


# ---- assignment --------------------------------------------------------------

@pytest.mark.parametrize("name, value", [
    ("__name__", "renamed"),
    ("__qualname__", "Some.renamed"),
    ("__doc__", "a docstring"),
    ("__doc__", 5),
    ("__module__", "elsewhere"),
    ("__module__", None),
    ("__annotations__", {"corpus": list}),
    ("__dict__", {"extra": 2}),
])
def test_assignable_attributes(function, name, value):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        setattr(function, name, value)
    assert getattr(function, name) is value


def test_qualname_decides_reduce(function):
    function.__qualname__ = "Other.name"
    assert function.__reduce__() == "Other.name"


def test_attributes_live_in_the_dict(function):
    function.__dict__ = {"extra": 2}
    function.more = 3
    assert function.extra == 2 and function.__dict__ == {"extra": 2, "more": 3}
    del function.more
    assert not hasattr(function, "more")


@pytest.mark.parametrize("name, value", [
    ("__name__", 5),
    ("__name__", None),
    ("__qualname__", b"bytes"),
    ("__defaults__", [10]),
    ("__kwdefaults__", [("n_word", 10)]),
    ("__annotations__", ()),
    ("__dict__", 5),
])
def test_wrong_types_are_refused(function, name, value):
    before = getattr(function, name)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # the type is checked before any warning
        with pytest.raises(TypeError):
            setattr(function, name, value)
    assert getattr(function, name) == before


def test_names_cannot_be_deleted(function):
    for name in ("__name__", "__qualname__"):
        with pytest.raises(TypeError):
            delattr(function, name)


@pytest.mark.parametrize("name", ["__globals__", "__closure__", "__code__", "_is_coroutine"])
def test_read_only_attributes(function, name):
    before = getattr(function, name)
    with pytest.raises(AttributeError):
        setattr(function, name, before)
    with pytest.raises(AttributeError):
        delattr(function, name)
    assert getattr(function, name) is before


@pytest.mark.parametrize("name, value", [
    ("__defaults__", (3,)),
    ("__defaults__", None),
    ("__kwdefaults__", {"n_word": 3}),
    ("__kwdefaults__", None),
])
def test_assigning_defaults_warns_then_stores(function, name, value):
    with pytest.warns(RuntimeWarning) as record:
        setattr(function, name, value)
    assert len(record) == 1
    assert record[0].filename == __file__  # stack level 1: the assigning code
    assert getattr(function, name) == value


@pytest.mark.parametrize("name, value", [("__defaults__", (3,)), ("__kwdefaults__", {"n_word": 3})])
def test_assigning_defaults_with_warnings_as_errors_stores_nothing(function, name, value):
    before = getattr(function, name)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning):
            setattr(function, name, value)
    assert getattr(function, name) == before


def test_binding_ignores_assigned_defaults():
    tfidf_before = keyword.tfidf(WORDS, {})
    textrank_before = keyword.textrank(WORDS)
    assert len(tfidf_before) == 10
    saved = keyword.tfidf.__defaults__, keyword.textrank.__defaults__
    with pytest.warns(RuntimeWarning):
        keyword.tfidf.__defaults__ = (3,)
        keyword.textrank.__defaults__ = (1, 0.0, 1, 0)
        keyword.tfidf.__kwdefaults__ = {"n_word": 2}
    try:
        assert keyword.tfidf.__defaults__ == (3,)
        assert keyword.tfidf(WORDS, {}) == tfidf_before
        assert keyword.textrank(WORDS) == textrank_before
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            keyword.tfidf.__defaults__, keyword.textrank.__defaults__ = saved
            keyword.tfidf.__kwdefaults__ = None


# ---- pickling, methods, weak references ---------------------------------------

@pytest.mark.parametrize("name", ["tfidf", "textrank"])
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickled_by_module_and_name(name, protocol):
    function = getattr(keyword, name)
    data = pickle.dumps(function, protocol)
    assert MODULE_NAME.encode() in data and name.encode() in data
    assert pickle.loads(data) is function


def test_copies_are_the_function_itself():
    assert copy.copy(keyword.tfidf) is keyword.tfidf
    assert copy.deepcopy([keyword.textrank])[0] is keyword.textrank


def test_a_sort_key_cannot_be_pickled(sort_key):
    # It is found by its qualified name, which names a local object.
    with pytest.raises((pickle.PicklingError, AttributeError), match=re.escape("tfidf.<locals>.<lambda>")):
        pickle.dumps(sort_key)


def test_bound_method_through_an_instance():
    class Document(list):
        rank = keyword.tfidf

    document = Document(["a", "b", "a"])
    method = document.rank
    assert isinstance(method, types.MethodType)
    assert method.__self__ is document and method.__func__ is keyword.tfidf
    assert method({"a": 1}) == [("a", 2), ("b", 0)]
    assert method(idf={"b": 1}, n_word=1) == [("b", 1)]
    assert Document.rank is keyword.tfidf
    assert keyword.tfidf.__get__(None, Document) is keyword.tfidf


def test_weak_references(sort_key):
    reference = weakref.ref(keyword.tfidf)
    assert reference() is keyword.tfidf
    key = capture_tfidf_sort_key()
    reference = weakref.ref(key)
    assert reference() is key
    del key
    gc.collect()
    assert reference() is None


def test_repr_names_the_function(sort_key):
    assert re.fullmatch(r"<\w+ tfidf at 0x[0-9a-fA-F]+>", repr(keyword.tfidf))
    assert "tfidf.<locals>.<lambda>" in repr(sort_key)


def test_callable_through_its_call_method():
    assert keyword.tfidf.__call__(["a", "a"], {"a": 0.5}) == [("a", 1.0)]
    assert keyword.textrank.__call__([1, 2], n_iter=0) == [(1, 1.0), (2, 1.0)]
