// Code objects: made empty with PyCode_NewEmpty, then given their fields with
// `replace`, so that they describe each function's parameters and locals.
#include "code_objects.hpp"

#include "module.hpp"

namespace keyword {

namespace {

// co_varnames: the parameters, then the other locals.
Ref make_varnames(const Callable& callable) {
  Ref varnames = Ref::steal(PyTuple_New(callable.count() + callable.locals.size()));
  if (!varnames) return nullptr;
  Py_ssize_t k = 0;
  for (Name parameter : callable.parameters) PyTuple_SET_ITEM(varnames.get(), k++, Py_NewRef(name(parameter)));
  for (Name local : callable.locals) PyTuple_SET_ITEM(varnames.get(), k++, Py_NewRef(name(local)));
  return varnames;
}

Ref make_code(const Callable& callable) {
  Ref varnames = make_varnames(callable);
  if (!varnames) return nullptr;
  Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(
      PyUnicode_AsUTF8(state.source_path), PyUnicode_AsUTF8(name(callable.name)), callable.first_line)));
  if (!empty) return nullptr;
  Ref replace = Ref::steal(PyObject_GetAttr(empty.get(), name(Name::replace)));
  if (!replace) return nullptr;
  Ref argcount = Ref::steal(PyLong_FromSsize_t(callable.count()));
  if (!argcount) return nullptr;
  Ref nlocals = Ref::steal(PyLong_FromSsize_t(PyTuple_GET_SIZE(varnames.get())));
  if (!nlocals) return nullptr;
  Ref flags = Ref::steal(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS));
  if (!flags) return nullptr;
  Ref first_line = Ref::steal(PyLong_FromLong(callable.first_line));
  if (!first_line) return nullptr;

  Borrowed zero = constant(Constant::int_0);
  const struct {
    Name field;
    Borrowed value;
  } fields[] = {
      {Name::co_argcount, argcount.get()},
      {Name::co_posonlyargcount, zero},
      {Name::co_kwonlyargcount, zero},
      {Name::co_nlocals, nlocals.get()},
      {Name::co_stacksize, zero},
      {Name::co_flags, flags.get()},
      {Name::co_code, state.empty_bytes},
      {Name::co_consts, state.empty_tuple},
      {Name::co_names, state.empty_tuple},
      {Name::co_varnames, varnames.get()},
      {Name::co_freevars, state.empty_tuple},
      {Name::co_cellvars, state.empty_tuple},
      {Name::co_filename, state.source_path},
      {Name::co_name, name(callable.name)},
      {Name::co_qualname, name(callable.name)},
      {Name::co_firstlineno, first_line.get()},
      {Name::co_linetable, state.empty_bytes},
      {Name::co_exceptiontable, state.empty_bytes},
  };
  constexpr Py_ssize_t kCount = std::size(fields);
  Ref kwnames = Ref::steal(PyTuple_New(kCount));
  if (!kwnames) return nullptr;
  PyObject* values[kCount];
  for (Py_ssize_t k = 0; k < kCount; ++k) {
    PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(name(fields[k].field)));
    values[k] = fields[k].value;
  }
  return Ref::steal(PyObject_Vectorcall(replace.get(), values, 0, kwnames.get()));
}

// The defaults tuple of `callable`.
Ref make_defaults(const Callable& callable) {
  Ref tuple = Ref::steal(PyTuple_New(callable.defaults.size()));
  if (!tuple) return nullptr;
  Py_ssize_t k = 0;
  for (Constant value : callable.defaults) PyTuple_SET_ITEM(tuple.get(), k++, Py_NewRef(constant(value)));
  return tuple;
}

}  // namespace

bool create_code_objects_and_defaults() {
  for (const Callable* callable : kDefined) {
    const int slot = static_cast<int>(callable->code);
    Ref code = make_code(*callable);
    if (!code) return false;
    store(state.codes[slot], std::move(code));
    if (callable->defaults.empty()) continue;
    Ref defaults = make_defaults(*callable);
    if (!defaults) return false;
    store(state.defaults[slot], std::move(defaults));
  }
  return true;
}

}  // namespace keyword
