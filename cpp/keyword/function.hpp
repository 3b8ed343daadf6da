// The function type shared by every callable of the module: the public
// rankers, the stage functions and the sort keys.
#pragma once

#include "callables.hpp"

namespace keyword {

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* name;
  PyObject* qualname;
  PyObject* doc;
  PyObject* module;
  PyObject* globals;
  PyObject* code;  // null for the sort keys, which have no code object
  PyObject* defaults;
  PyObject* kwdefaults;
  PyObject* annotations;  // made on first access
  PyObject* dict;         // made on first access
  PyObject* weakreflist;
};

// Finds the function type in its support module, or readies and stores this
// module's own.  Fails with TypeError when the stored object is not a type of
// the same instance size and layout.
PyTypeObject* obtain_function_type();

// A new function object for `callable`, with the module's name and namespace,
// and the callable's docstring, code object and defaults where it has them
// (read back as None where not).
Ref make_function(const Callable& callable);

}  // namespace keyword
