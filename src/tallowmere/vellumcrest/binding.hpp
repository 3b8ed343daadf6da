// Binding of call arguments to parameters, shared by all seven callables.
#pragma once

#include "names.hpp"
#include "traceback.hpp"

namespace keyword {

constexpr Py_ssize_t kMaxParameters = 5;

// One callable's parameter table.  The first `required` parameters have no
// default; the others take the module's shared constants, never the function
// object's __defaults__.
struct Signature {
  const char* name;  // the name in messages, also the function's __name__
  Py_ssize_t count;
  Py_ssize_t required;
  Name parameters[kMaxParameters];
  Constant defaults[kMaxParameters];  // indexed by parameter position
  int line;                           // reported on a binding failure
  Entry entry;
};

// Binds a vectorcall to `signature`, writing one borrowed value per parameter
// into `values`.  Allocates nothing.  On failure returns false with the
// TypeError (or the error of a failed name comparison) set and `site` filled.
bool bind_arguments(const Signature& signature, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                    PyObject** values, Site& site);

// A body takes the bound values and returns a new reference, or null with an
// exception set and its own traceback entry added.
using Body = PyObject* (*)(PyObject* const* values);

// The vectorcall entry of a callable: bind, report a binding failure, run.
template <const Signature& signature, Body body>
PyObject* vectorcall_entry(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  PyObject* values[kMaxParameters];
  Site site;
  if (!bind_arguments(signature, args, nargsf, kwnames, values, site)) {
    add_traceback_entry(signature.entry, site);
    return nullptr;
  }
  return body(values);
}

}  // namespace keyword
