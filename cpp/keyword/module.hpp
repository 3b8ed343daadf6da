// Process-wide state of the module, and the lookups every function uses.
#pragma once

#include <cstdint>

#include "callables.hpp"

namespace keyword {

#if defined(KEYWORD_NO_LOOKUP_MEMO)
// A build that remembers nothing (for measuring what the memo saves).
struct DictMemo {
  Borrowed find(Borrowed dict, Borrowed key) { return PyDict_GetItemWithError(dict, key); }
};
#elif PY_VERSION_HEX < 0x030C0000
// A value of a dict remembered against the dict's version.  Any change to the
// dict changes its version, so while the version is unchanged the dict still
// holds the value and the borrowed pointer is valid.  Touched only under the
// interpreter lock.
struct DictMemo {
  std::uint64_t version = 0;
  Borrowed value = nullptr;

  // dict[key] as a borrowed reference, from the memo while the dict is
  // unchanged; null when absent or on error (then PyErr_Occurred()).
  Borrowed find(Borrowed dict, Borrowed key) {
    const std::uint64_t current = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
    if (value && version == current) return value;
    version = current;
    value = PyDict_GetItemWithError(dict, key);
    return value;
  }
};
#else
// A value of a dict remembered while the dict is unchanged.  The dict's
// version tag is deprecated from CPython 3.12 on and gone in 3.14; instead the
// dict is watched (public since 3.12), and any change to it makes the module
// forget what it remembered of it before the change takes effect.  Without a
// watcher to be had, nothing is remembered and every lookup is a real one.
// Touched only under the interpreter lock.
struct DictMemo {
  Borrowed dict = nullptr;  // the watched dict that `value` was found in
  Borrowed value = nullptr;

  // dict[key] as a borrowed reference, from the memo while the dict is
  // unchanged; null when absent or on error (then PyErr_Occurred()).
  Borrowed find(Borrowed in, Borrowed key);
  void forget() noexcept { dict = value = nullptr; }
};
#endif

// One code object of a traceback entry, under its line and displayed name
// (its co_name).
struct CachedCode {
  int line;
  PyCodeObject* code;
};

// Everything below is created by the exec step and lives until the process
// ends (the module object excepted: a failed exec step releases it again).
// A slot that an earlier, failed load filled is replaced with `store`.
struct ModuleState {
  std::int64_t interpreter_id = -1;
  PyObject* module = nullptr;
  PyObject* globals = nullptr;          // the module's namespace dict
  PyObject* builtins = nullptr;         // the builtins module
  PyObject* runtime_support = nullptr;  // holds the traceback switch
  PyTypeObject* function_type = nullptr;
  PyTypeObject own_function_type{};     // shared through the support module
  PyObject* empty_tuple = nullptr;
  PyObject* empty_bytes = nullptr;
  PyObject* empty_str = nullptr;
  PyObject* sorted = nullptr;
  PyObject* range = nullptr;
  PyObject* sort_kwnames = nullptr;  // ("key", "reverse")
  PyObject* axis_kwnames = nullptr;  // ("axis",)

  PyObject* names[static_cast<int>(Name::count)] = {};
  PyObject* constants[static_cast<int>(Constant::count)] = {};
  PyObject* source_path = nullptr;  // of the code objects: one backslash between the components
  PyObject* docs[static_cast<int>(Code::count)] = {};
  PyObject* codes[static_cast<int>(Code::count)] = {};
  PyObject* defaults[static_cast<int>(Code::count)] = {};  // null: no defaults

  DictMemo remembered_globals[static_cast<int>(Name::count)];  // namespace hits only
  DictMemo remembered_switch;

  // The traceback entries' code objects: sorted by (line, displayed name),
  // grown and never shrunk; each holds one reference for the life of the
  // process.
  CachedCode* entry_codes = nullptr;
  Py_ssize_t entry_code_count = 0;
  Py_ssize_t entry_code_capacity = 0;
};

extern ModuleState state;

inline Borrowed name(Name which) { return state.names[static_cast<int>(which)]; }
inline Borrowed constant(Constant which) { return state.constants[static_cast<int>(which)]; }
// The code object, docstring and defaults of a callable; null where it has none.
inline Borrowed code_of(const Callable& callable) {
  return callable.code == Code::none ? nullptr : state.codes[static_cast<int>(callable.code)];
}
inline Borrowed doc_of(const Callable& callable) {
  return callable.code == Code::none ? nullptr : state.docs[static_cast<int>(callable.code)];
}
inline Borrowed defaults_of(const Callable& callable) {
  return callable.code == Code::none ? nullptr : state.defaults[static_cast<int>(callable.code)];
}

// The module-global lookup: the module's namespace first, then the builtins.
// Fails with NameError "name '...' is not defined" when both lack the name.
Ref lookup_global(Name which);

// The builtin lookup: an attribute of the builtins module, NameError if absent.
Ref lookup_builtin(Name which);

// The import procedure of the module's top level: the entry of sys.modules
// unless it is missing, None or still initialising; otherwise a real import.
Ref import_top_level(Name which);

}  // namespace keyword
