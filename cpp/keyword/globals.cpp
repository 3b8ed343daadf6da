// Module-global and builtin lookups, and the import procedure of the top level.
#include "module.hpp"

namespace keyword {

#if PY_VERSION_HEX >= 0x030C0000 && !defined(KEYWORD_NO_LOOKUP_MEMO)
namespace {

constexpr int kNoWatcherYet = -1;
constexpr int kNoWatcherToHave = -2;
int namespace_watcher = kNoWatcherYet;

// Called before every change to a watched dict, and when it is freed.
int forget_remembered(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) {
  for (DictMemo& memo : state.remembered_globals)
    if (memo.dict == dict) memo.forget();
  if (state.remembered_switch.dict == dict) state.remembered_switch.forget();
  return 0;
}

// Whether changes to `dict` now reach forget_remembered.  Failing to watch
// only costs the memo, so the error is dropped.
bool watch(Borrowed dict) {
  if (namespace_watcher == kNoWatcherToHave) return false;
  if (namespace_watcher == kNoWatcherYet) {
    namespace_watcher = PyDict_AddWatcher(forget_remembered);
    if (namespace_watcher < 0) {
      PyErr_Clear();
      namespace_watcher = kNoWatcherToHave;
      return false;
    }
  }
  if (PyDict_Watch(namespace_watcher, dict) == 0) return true;
  PyErr_Clear();
  return false;
}

}  // namespace

Borrowed DictMemo::find(Borrowed in, Borrowed key) {
  if (value && dict == in) return value;
  forget();
  Borrowed found = PyDict_GetItemWithError(in, key);
  if (found && watch(in)) {
    dict = in;
    value = found;
  }
  return found;
}
#endif

// Only namespace hits are remembered: a builtins hit could go stale without
// the namespace changing.
Ref lookup_global(Name which) {
  Borrowed found = state.remembered_globals[static_cast<int>(which)].find(state.globals, name(which));
  if (found) return Ref::borrow(found);
  if (PyErr_Occurred()) return nullptr;
  return lookup_builtin(which);
}

Ref lookup_builtin(Name which) {
  Ref value = Ref::steal(PyObject_GetAttr(state.builtins, name(which)));
  if (value) return value;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
  PyErr_Clear();
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name(which));
  return nullptr;
}

namespace {

// Whether a module found in sys.modules is still being initialised, as its
// __spec__._initializing says.  An error while reading either attribute counts
// as "no"; a value whose truth cannot be told is not known to be done, so it
// counts as "yes" and the import system decides.
bool still_initialising(Borrowed module) {
  Ref module_spec = Ref::steal(PyObject_GetAttr(module, name(Name::dunder_spec)));
  if (!module_spec) {
    PyErr_Clear();
    return false;
  }
  Ref initializing = Ref::steal(PyObject_GetAttr(module_spec.get(), name(Name::initializing)));
  if (!initializing) {
    PyErr_Clear();
    return false;
  }
  int truth = PyObject_IsTrue(initializing.get());
  if (truth < 0) {
    PyErr_Clear();
    return true;
  }
  return truth == 1;
}

}  // namespace

Ref import_top_level(Name which) {
  Ref module = Ref::steal(PyImport_GetModule(name(which)));
  // None in sys.modules marks a blocked import; the import system reports it
  // (ModuleNotFoundError) instead of the module global silently being None.
  if (module && module.get() != Py_None && !still_initialising(module.get())) return module;
  PyErr_Clear();
  Ref locals = Ref::steal(PyDict_New());
  if (!locals) return nullptr;
  return Ref::steal(PyImport_ImportModuleLevelObject(name(which), state.globals, locals.get(), nullptr, 0));
}

}  // namespace keyword
