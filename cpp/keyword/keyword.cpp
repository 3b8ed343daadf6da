// The module frame: definition, create step and exec step.
#include "code_objects.hpp"
#include "function.hpp"
#include "module.hpp"
#include "rankers/rankers.hpp"
#include "traceback.hpp"
#include "version.hpp"

#include <cstdio>

// Set non-zero by a host that runs the module as its main program, before the
// import: the module's __name__ then becomes "__main__".
extern "C" {
Py_EXPORTED_SYMBOL int module_is_main_tallowmere__vellumcrest__keyword = 0;
}
static_assert(sizeof(module_is_main_tallowmere__vellumcrest__keyword) == 4);

namespace keyword {

ModuleState state;

namespace {

constexpr const char kRuntimeSupportName[] = "_tallowmere_vellumcrest_runtime_1";
constexpr const char kInitEntry[] = "init tallowmere.vellumcrest.keyword";

// ---- create step ----------------------------------------------------------

// Copies one attribute of the module spec into the module's namespace.  A
// spec that lacks it is skipped; so is None where `none_allowed` is false.
bool copy_spec_attribute(Borrowed module_spec, Borrowed module_dict, const char* from, const char* to,
                         bool none_allowed) {
  Ref value = Ref::steal(PyObject_GetAttrString(module_spec, from));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
  }
  if (!none_allowed && value.get() == Py_None) return true;
  return PyDict_SetItemString(module_dict, to, value.get()) == 0;
}

PyObject* create_module(PyObject* module_spec, PyModuleDef*) {
  std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (state.interpreter_id == -1) {
    state.interpreter_id = current;
    if (current == -1) return nullptr;
  } else if (current != state.interpreter_id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return nullptr;
  }
  if (state.module) return Py_NewRef(state.module);

  Ref module_name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
  if (!module_name) return nullptr;
  Ref module = Ref::steal(PyModule_NewObject(module_name.get()));
  if (!module) return nullptr;
  Borrowed module_dict = PyModule_GetDict(module.get());
  if (!copy_spec_attribute(module_spec, module_dict, "loader", "__loader__", true) ||
      !copy_spec_attribute(module_spec, module_dict, "origin", "__file__", true) ||
      !copy_spec_attribute(module_spec, module_dict, "parent", "__package__", true) ||
      !copy_spec_attribute(module_spec, module_dict, "submodule_search_locations", "__path__", false))
    return nullptr;
  return module.release();
}

// ---- exec step ------------------------------------------------------------

bool check_version() {
  // The version of the headers the module was compiled with, "3.11" and so on.
  char build[16];
  std::snprintf(build, sizeof build, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
  const char* running = Py_GetVersion();
  if (versions_agree(build, running)) return true;
  char message[kWarningSize];
  format_version_warning(message, build, "tallowmere.vellumcrest.keyword", running);
  return PyErr_WarnEx(nullptr, message, 1) == 0;
}

// Inserts the module into sys.modules unless an entry (whatever it holds) is
// there already.
bool register_module(Borrowed module) {
  Borrowed modules = PyImport_GetModuleDict();
  Ref held = Ref::borrow(modules);
  Borrowed existing = PyDict_GetItemWithError(modules, name(Name::module_name));
  if (existing) return true;
  if (PyErr_Occurred()) return false;
  return PyDict_SetItem(modules, name(Name::module_name), module) == 0;
}

bool store_global(Name which, Ref value) {
  return value && PyDict_SetItem(state.globals, name(which), value.get()) == 0;
}

// Fills the module state and the module's namespace.  Failures up to the
// making of the names and constants add no traceback entry (site.line stays
// 0); those after it carry the line the module's top level reports.
bool run_exec_steps(Borrowed module, Site& site) {
  store(state.globals, Ref::borrow(PyModule_GetDict(module)));
  Borrowed builtins = PyImport_AddModule("builtins");
  if (!builtins) return false;
  store(state.builtins, Ref::borrow(builtins));
  Borrowed runtime_support = PyImport_AddModule(kRuntimeSupportName);
  if (!runtime_support) return false;
  store(state.runtime_support, Ref::borrow(runtime_support));
  if (PyObject_SetAttrString(module, "__builtins__", state.builtins) < 0) return false;
  if (!check_version()) return false;

  Ref empty_tuple = Ref::steal(PyTuple_New(0));
  Ref empty_bytes = Ref::steal(PyBytes_FromStringAndSize("", 0));
  Ref empty_str = Ref::steal(PyUnicode_FromStringAndSize("", 0));
  if (!empty_tuple || !empty_bytes || !empty_str) return false;
  store(state.empty_tuple, std::move(empty_tuple));
  store(state.empty_bytes, std::move(empty_bytes));
  store(state.empty_str, std::move(empty_str));

  PyTypeObject* type = obtain_function_type();
  if (!type) return false;
  store(state.function_type, Ref::steal(reinterpret_cast<PyObject*>(type)));

  if (!create_names_and_constants()) return false;
  Ref sort_kwnames = Ref::steal(PyTuple_Pack(2, name(Name::key), name(Name::reverse)));
  Ref axis_kwnames = Ref::steal(PyTuple_Pack(1, name(Name::axis)));
  if (!sort_kwnames || !axis_kwnames) return false;
  store(state.sort_kwnames, std::move(sort_kwnames));
  store(state.axis_kwnames, std::move(axis_kwnames));

  if (module_is_main_tallowmere__vellumcrest__keyword &&
      PyObject_SetAttr(module, name(Name::dunder_name), name(Name::dunder_main)) < 0)
    return site.fail(1);
  if (!register_module(module)) return site.fail(1);

  Ref sorted = lookup_builtin(Name::sorted);
  if (!sorted) return site.fail(1);
  Ref range = lookup_builtin(Name::range);
  if (!range) return site.fail(1);
  if (!lookup_builtin(Name::enumerate)) return site.fail(1);
  store(state.sorted, std::move(sorted));
  store(state.range, std::move(range));

  if (!create_code_objects_and_defaults()) return site.fail(1);

  if (!store_global(Name::numpy, import_top_level(Name::numpy))) return site.fail(7);
  if (!store_global(Name::collections, import_top_level(Name::collections))) return site.fail(8);
  if (!store_global(Name::tfidf, make_function(kTfidf))) return site.fail(kTfidf.first_line);
  if (!store_global(Name::textrank, make_function(kTextrank))) return site.fail(kTextrank.first_line);
  if (!store_global(Name::dunder_test, Ref::steal(PyDict_New()))) return site.fail(1);
  return true;
}

int exec_module(PyObject* module) {
  if (state.module) {
    if (state.module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'keyword' has already been imported. Re-initialisation is not supported.");
    return -1;
  }
  state.module = Py_NewRef(module);
  Site site;
  if (run_exec_steps(module, site)) return 0;
  if (site.line != 0) add_traceback_entry(kInitEntry, site);
  Py_CLEAR(state.module);
  return -1;
}

PyMethodDef module_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "keyword",
    .m_doc = "\nCreated on Wed Sep 18 19:08:38 2019\n\n@author: tallowmere vellumcrest developers\n",
    .m_size = 0,
    .m_methods = module_methods,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace keyword

PyMODINIT_FUNC PyInit_keyword() { return PyModuleDef_Init(&keyword::module_definition); }
