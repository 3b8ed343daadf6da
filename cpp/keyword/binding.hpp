// Binding of call arguments to parameters, shared by all seven callables.
#pragma once

#include "callables.hpp"
#include "traceback.hpp"

namespace keyword {

// Binds a vectorcall to the parameters of `callable`, writing one borrowed
// value per parameter into `values`; a missing parameter with a default takes
// the module's shared constant, never the function object's __defaults__.
// Allocates nothing.  On failure returns false with the TypeError (or the
// error of a failed name comparison) set and `site` filled.
bool bind_arguments(const Callable& callable, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                    PyObject** values, Site& site);

// A body takes the bound values and returns a new reference, or null with an
// exception set and its own traceback entry added.
using Body = PyObject* (*)(PyObject* const* values);

// The vectorcall entry of a callable: bind, report a binding failure, run.
template <const Callable& callable, Body body>
PyObject* vectorcall_entry(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  PyObject* values[kMaxParameters];
  Site site;
  if (!bind_arguments(callable, args, nargsf, kwnames, values, site)) {
    add_traceback_entry(callable.entry, site);
    return nullptr;
  }
  return body(values);
}

// Runs the body of one call of `callable` (see run_function_body).
template <typename Statements>
PyObject* run_callable_body(const Callable& callable, Statements&& statements) {
  return run_function_body(callable.entry, callable.first_line, std::forward<Statements>(statements));
}

}  // namespace keyword
