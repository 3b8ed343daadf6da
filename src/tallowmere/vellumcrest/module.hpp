// Process-wide state of the module, and the lookups every function uses.
#pragma once

#include <cstdint>

#include "names.hpp"

namespace keyword {

// Everything below is created by the exec step and lives until the process
// ends (the module object excepted: a failed exec step releases it again).
struct ModuleState {
  std::int64_t interpreter_id = -1;
  PyObject* module = nullptr;
  PyObject* globals = nullptr;          // the module's namespace dict
  PyObject* builtins = nullptr;         // the builtins module
  PyObject* runtime_support = nullptr;  // holds the traceback switch
  PyTypeObject* function_type = nullptr;
  PyObject* empty_tuple = nullptr;
  PyObject* empty_bytes = nullptr;
  PyObject* empty_str = nullptr;
  PyObject* sorted = nullptr;
  PyObject* range = nullptr;
  PyObject* sort_kwnames = nullptr;  // ("key", "reverse")
  PyObject* axis_kwnames = nullptr;  // ("axis",)
  PyObject* tfidf_defaults = nullptr;
  PyObject* textrank_defaults = nullptr;
};

extern ModuleState state;

// The module-global lookup: the module's namespace first, then the builtins.
// Fails with NameError "name '...' is not defined" when both lack the name.
Ref lookup_global(Name which);

// The builtin lookup: an attribute of the builtins module, NameError if absent.
Ref lookup_builtin(Name which);

// The import procedure of the module's top level: the entry of sys.modules
// unless it is missing, None or still initialising; otherwise a real import.
Ref import_top_level(Name which);

}  // namespace keyword
