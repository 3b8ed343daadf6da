// The function type: attributes, garbage collection, calling and binding to
// instances, as the interpreter's own Python functions behave.
#include "function.hpp"

#include <cstddef>
#include <cstring>
#include <structmember.h>

#include "module.hpp"

namespace keyword {

namespace {

// Name of the support module that shares the type between modules of this
// kind, and of the type in it.
constexpr const char kTypeModuleName[] = "_tallowmere_vellumcrest_shared_1";
constexpr const char kTypeName[] = "tallowmere_function";

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

PyObject* none_if_null(PyObject* value) { return Py_NewRef(value ? value : Py_None); }

// ---- attributes -----------------------------------------------------------

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }

int set_name(PyObject* self, PyObject* value, void*) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
    return -1;
  }
  Py_XSETREF(as_function(self)->name, Py_NewRef(value));
  return 0;
}

PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }

int set_qualname(PyObject* self, PyObject* value, void*) {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
    return -1;
  }
  Py_XSETREF(as_function(self)->qualname, Py_NewRef(value));
  return 0;
}

// Assigning defaults warns first: calls keep binding the module's constants.
// A warning turned into an error stops the assignment.
int warn_defaults_ignored(const char* attribute) {
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "changing %s of a tallowmere function does not change the values its calls receive",
                          attribute);
}

PyObject* get_defaults(PyObject* self, void*) { return none_if_null(as_function(self)->defaults); }

int set_defaults(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value && !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
    return -1;
  }
  if (warn_defaults_ignored("__defaults__") < 0) return -1;
  Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
  return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) { return none_if_null(as_function(self)->kwdefaults); }

int set_kwdefaults(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
    return -1;
  }
  if (warn_defaults_ignored("__kwdefaults__") < 0) return -1;
  Py_XSETREF(as_function(self)->kwdefaults, Py_XNewRef(value));
  return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
  FunctionObject* function = as_function(self);
  if (!function->annotations) {
    function->annotations = PyDict_New();
    if (!function->annotations) return nullptr;
  }
  return Py_NewRef(function->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) value = nullptr;
  if (value && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
  return 0;
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_false(PyObject*, void*) { Py_RETURN_FALSE; }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"_is_coroutine", get_false, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(FunctionObject, code), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickling refers to the function by module and qualified name.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- lifecycle ------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) {
  FunctionObject* function = as_function(self);
  Py_VISIT(function->name);
  Py_VISIT(function->qualname);
  Py_VISIT(function->doc);
  Py_VISIT(function->module);
  Py_VISIT(function->globals);
  Py_VISIT(function->code);
  Py_VISIT(function->defaults);
  Py_VISIT(function->kwdefaults);
  Py_VISIT(function->annotations);
  Py_VISIT(function->dict);
  return 0;
}

// Breaks reference cycles.  The name and qualified name are replaced by the
// empty str, not cleared: a finalizer can resurrect a cleared function, and
// __name__, __qualname__ and repr() must still find a str there.
int function_clear(PyObject* self) {
  FunctionObject* function = as_function(self);
  Py_SETREF(function->name, Py_NewRef(state.empty_str));
  Py_SETREF(function->qualname, Py_NewRef(state.empty_str));
  Py_CLEAR(function->doc);
  Py_CLEAR(function->module);
  Py_CLEAR(function->globals);
  Py_CLEAR(function->code);
  Py_CLEAR(function->defaults);
  Py_CLEAR(function->kwdefaults);
  Py_CLEAR(function->annotations);
  Py_CLEAR(function->dict);
  return 0;
}

void function_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  if (as_function(self)->weakreflist) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(as_function(self)->name);
  Py_CLEAR(as_function(self)->qualname);
  PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Fetched through an instance, a function yields a bound method.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
  if (!instance || instance == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, instance);
}

// Fills the type before it is made ready.  Field by field: a designated
// initialiser would have to name all of PyTypeObject's fields, or -Wextra
// (missing-field-initializers) refuses it.
void fill_function_type(PyTypeObject& type) {
  Py_SET_REFCNT(&type, 1);  // static: never freed
  type.tp_name = kTypeName;
  type.tp_basicsize = sizeof(FunctionObject);
  type.tp_dealloc = function_dealloc;
  type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
  type.tp_repr = function_repr;
  type.tp_call = PyVectorcall_Call;
  type.tp_getattro = PyObject_GenericGetAttr;
  type.tp_setattro = PyObject_GenericSetAttr;
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
  type.tp_traverse = function_traverse;
  type.tp_clear = function_clear;
  type.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
  type.tp_methods = function_methods;
  type.tp_members = function_members;
  type.tp_getset = function_getset;
  type.tp_descr_get = function_descr_get;
  type.tp_dictoffset = offsetof(FunctionObject, dict);
}

// The same member table: the same names read at the same places.
bool has_function_members(const PyMemberDef* members) {
  if (!members) return false;
  const PyMemberDef* own = function_members;
  for (; own->name; ++own, ++members) {
    if (!members->name || std::strcmp(members->name, own->name) != 0 || members->type != own->type ||
        members->offset != own->offset || members->flags != own->flags)
      return false;
  }
  return members->name == nullptr;
}

// A stored type of the right size may still lay its objects out differently:
// a class written in Python with as many slots, or another build of this
// module.  Its slots would read and free this module's objects wrongly (the
// next garbage collection crashes), so only a static type with this layout
// and these behaviours is shared.
bool has_function_layout(PyTypeObject* type) {
  constexpr unsigned long required = Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
  constexpr unsigned long refused = Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_BASETYPE;
  const unsigned long flags = type->tp_flags;
  return (flags & required) == required && (flags & refused) == 0 && std::strcmp(type->tp_name, kTypeName) == 0 &&
         type->tp_itemsize == 0 && type->tp_base == &PyBaseObject_Type &&
         type->tp_vectorcall_offset == static_cast<Py_ssize_t>(offsetof(FunctionObject, vectorcall)) &&
         type->tp_dictoffset == static_cast<Py_ssize_t>(offsetof(FunctionObject, dict)) &&
         type->tp_weaklistoffset == static_cast<Py_ssize_t>(offsetof(FunctionObject, weakreflist)) &&
         type->tp_call == PyVectorcall_Call && type->tp_dealloc && type->tp_traverse && type->tp_clear &&
         type->tp_descr_get && has_function_members(type->tp_members);
}

}  // namespace

PyTypeObject* obtain_function_type() {
  Borrowed support = PyImport_AddModule(kTypeModuleName);
  if (!support) return nullptr;
  Ref held_support = Ref::borrow(support);
  Ref stored = Ref::steal(PyObject_GetAttrString(support, kTypeName));
  if (stored) {
    if (!PyType_Check(stored.get())) {
      PyErr_Format(PyExc_TypeError, "Shared function type %s.%s is not a type object", kTypeModuleName, kTypeName);
      return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(stored.get());
    if (type->tp_basicsize != static_cast<Py_ssize_t>(sizeof(FunctionObject)) || !has_function_layout(type)) {
      PyErr_Format(PyExc_TypeError, "Shared function type %s.%s has the wrong size, try recompiling",
                   kTypeModuleName, kTypeName);
      return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(stored.release());
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
  PyErr_Clear();
  PyTypeObject& own = state.own_function_type;
  if (!(own.tp_flags & Py_TPFLAGS_READY)) {
    fill_function_type(own);
    if (PyType_Ready(&own) < 0) return nullptr;
  }
  if (PyObject_SetAttrString(support, kTypeName, reinterpret_cast<PyObject*>(&own)) < 0) return nullptr;
  Py_INCREF(&own);
  return &own;
}

Ref make_function(const Callable& callable) {
  FunctionObject* function = PyObject_GC_New(FunctionObject, state.function_type);
  if (!function) return nullptr;
  function->vectorcall = callable.call;
  function->name = Py_NewRef(name(callable.name));
  function->qualname = Py_NewRef(name(callable.qualname));
  function->doc = Py_XNewRef(doc_of(callable));
  function->module = Py_NewRef(name(Name::module_name));
  function->globals = Py_NewRef(state.globals);
  function->code = Py_XNewRef(code_of(callable));
  function->defaults = Py_XNewRef(defaults_of(callable));
  function->kwdefaults = nullptr;
  function->annotations = nullptr;
  function->dict = nullptr;
  function->weakreflist = nullptr;
  PyObject_GC_Track(function);
  return Ref::steal(reinterpret_cast<PyObject*>(function));
}

}  // namespace keyword
