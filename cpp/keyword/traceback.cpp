// Traceback entries: synthetic code objects, their process-wide cache, frames.
#include "traceback.hpp"

#include <cstdio>
#include <cstring>
#include <frameobject.h>

#include "module.hpp"

namespace keyword {

namespace {

// The file name shown in every entry: two backslashes between the components.
// (The code objects of the functions themselves carry one.)
constexpr const char kEntryFileName[] = "tallowmere\\\\vellumcrest\\\\keyword.py";

// The code-object cache (state.entry_codes): sorted by (line, displayed
// name), found by bisection, grown in steps of 64.
constexpr Py_ssize_t kCacheStep = 64;

// <0, 0, >0 as the key of `entry` sorts before, at, after (line, displayed).
int compare_key(const CachedCode& entry, int line, const char* displayed) {
  if (entry.line != line) return entry.line < line ? -1 : 1;
  return PyUnicode_CompareWithASCIIString(entry.code->co_name, displayed);
}

// Index of the first entry whose key is not below (line, displayed).
Py_ssize_t lower_bound(int line, const char* displayed) {
  Py_ssize_t low = 0, high = state.entry_code_count;
  while (low < high) {
    Py_ssize_t mid = low + (high - low) / 2;
    if (compare_key(state.entry_codes[mid], line, displayed) < 0)
      low = mid + 1;
    else
      high = mid;
  }
  return low;
}

// Inserts at `position`; a table that cannot grow just leaves the code out.
void insert_cached(Py_ssize_t position, int line, PyCodeObject* code) {
  CachedCode*& cache = state.entry_codes;
  if (state.entry_code_count == state.entry_code_capacity) {
    Py_ssize_t capacity = state.entry_code_capacity + kCacheStep;
    auto* grown = static_cast<CachedCode*>(PyMem_Realloc(cache, sizeof(CachedCode) * capacity));
    if (!grown) return;
    cache = grown;
    state.entry_code_capacity = capacity;
  }
  std::memmove(cache + position + 1, cache + position, sizeof(CachedCode) * (state.entry_code_count - position));
  Py_INCREF(code);
  cache[position] = CachedCode{line, code};
  ++state.entry_code_count;
}

// The traceback switch on the run-time support module, read with the pending
// exception set aside.  Absent: set to False and off.  Errors count as off.
bool switch_is_on() {
  SavedError pending;
  Borrowed module_dict = PyModule_GetDict(state.runtime_support);
  if (!module_dict) return false;  // `pending` drops the error and restores
  Borrowed value = state.remembered_switch.find(module_dict, name(Name::cline_in_traceback));
  if (!value) {
    // A read that failed counts as absent.  Its error must not be pending
    // while the attribute is set (attribute lookup may clear or assert on it).
    PyErr_Clear();
    PyObject_SetAttr(state.runtime_support, name(Name::cline_in_traceback), Py_False);
    return false;
  }
  // The truth test may run Python code that changes the dict: hold the value.
  Ref held = Ref::borrow(value);
  return PyObject_IsTrue(held.get()) == 1;
}

// The code object for (displayed, line), from the cache or made and cached.
Ref code_for(const char* displayed, int line) {
  Py_ssize_t position = lower_bound(line, displayed);
  if (position < state.entry_code_count && compare_key(state.entry_codes[position], line, displayed) == 0)
    return Ref::borrow(reinterpret_cast<PyObject*>(state.entry_codes[position].code));
  SavedError pending;
  Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(kEntryFileName, displayed, line)));
  if (!code) {
    pending.discard();  // the creation error replaces the pending exception
    return nullptr;
  }
  pending.restore();
  insert_cached(position, line, reinterpret_cast<PyCodeObject*>(code.get()));
  return code;
}

}  // namespace

void add_traceback_entry(const char* entry, const Site& site) noexcept {
  const char* plain = entry;
  // Entry name, implementation path and failure site fit easily.
  char decorated[512];
  const char* displayed = plain;
  if (switch_is_on()) {
    std::snprintf(decorated, sizeof decorated, "%s (%s:%d)", plain, site.c_file, site.c_line);
    displayed = decorated;
  }
  Ref code = code_for(displayed, site.line);
  if (!code) return;
  // The synthetic code object's only line is `site.line`, so both the frame's
  // f_lineno and the entry's tb_lineno report it.
  SavedError pending;
  Ref frame = Ref::steal(reinterpret_cast<PyObject*>(
      PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), state.globals, nullptr)));
  if (!frame) {
    pending.discard();
    return;
  }
  pending.restore();
  PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace keyword
