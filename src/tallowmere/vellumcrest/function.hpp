// The function type shared by every callable of the module: the public
// rankers, the stage functions and the sort keys.
#pragma once

#include "names.hpp"

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

// A new function object calling `vectorcall`, with the module's name and
// namespace.  `doc`, `code` and `defaults` may be null (read back as None).
Ref make_function(vectorcallfunc vectorcall, Name function_name, Name qualname, Borrowed doc, Borrowed code,
                  Borrowed defaults);

}  // namespace keyword
