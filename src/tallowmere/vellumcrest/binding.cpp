// Argument binding: positional values first, then keyword names matched by
// identity and, failing that, by equality; the same checks and messages for
// every callable of the module.
#include "binding.hpp"

#include <cstring>

namespace keyword {

namespace {

// "f() takes exactly/at least/at most N positional argument(s) (G given)".
void positional_count_error(const Signature& signature, Py_ssize_t given) {
  const char* word;
  Py_ssize_t count;
  if (signature.required == signature.count) {
    word = "exactly";
    count = signature.count;
  } else if (given < signature.required) {
    word = "at least";
    count = signature.required;
  } else {
    word = "at most";
    count = signature.count;
  }
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", signature.name, word,
               count, count == 1 ? "" : "s", given);
}

// Equality of a keyword name with a parameter name (an exact, interned str):
// 1 equal, 0 not, -1 error.
int names_equal(Borrowed keyword_name, Borrowed parameter) {
  if (keyword_name == parameter) return 1;
  if (PyUnicode_CheckExact(keyword_name)) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(keyword_name);
    int kind = PyUnicode_KIND(keyword_name);
    return length == PyUnicode_GET_LENGTH(parameter) && kind == PyUnicode_KIND(parameter) &&
           std::memcmp(PyUnicode_DATA(keyword_name), PyUnicode_DATA(parameter), length * kind) == 0;
  }
  if (keyword_name == Py_None) return 0;
  // Any other object decides through its own __eq__, which may run Python
  // code; the keyword tuple and the argument array belong to the caller and
  // stay alive across it.
  Ref result = Ref::steal(PyObject_RichCompare(keyword_name, parameter, Py_EQ));
  if (!result) return -1;
  return PyObject_IsTrue(result.get());
}

// Finds `parameter` among the keyword names: first by identity, then by
// equality.  Returns the index, -1 when absent, -2 on error.
Py_ssize_t find_keyword(Borrowed kwnames, Py_ssize_t nkw, Borrowed parameter) {
  PyObject* const* names = &PyTuple_GET_ITEM(kwnames, 0);
  for (Py_ssize_t k = 0; k < nkw; ++k)
    if (names[k] == parameter) return k;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    int equal = names_equal(names[k], parameter);
    if (equal < 0) return -2;
    if (equal) return k;
  }
  return -1;
}

// Same length and same characters, compared as strings.  1, 0, or -1 on error.
int same_string(Borrowed keyword_name, Borrowed parameter) {
  if (keyword_name == parameter) return 1;
  if (PyUnicode_GET_LENGTH(keyword_name) != PyUnicode_GET_LENGTH(parameter)) return 0;
  int order = PyUnicode_Compare(keyword_name, parameter);
  if (order == -1 && PyErr_Occurred()) return -1;
  return order == 0;
}

// Walks every keyword in call order once more to report the first that is not
// a str, names a positionally bound parameter, or names no parameter.  A
// keyword that was already consumed binds its own parameter again.
bool scan_keywords(const Signature& signature, Py_ssize_t nargs, Borrowed kwnames, PyObject* const* kwvalues,
                   PyObject** values) {
  Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    Borrowed keyword_name = PyTuple_GET_ITEM(kwnames, k);
    bool bound = false;
    for (Py_ssize_t p = nargs; p < signature.count && !bound; ++p) {
      if (keyword_name == name(signature.parameters[p])) {
        values[p] = kwvalues[k];
        bound = true;
      }
    }
    if (bound) continue;
    if (!PyUnicode_Check(keyword_name)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", signature.name);
      return false;
    }
    for (Py_ssize_t p = nargs; p < signature.count && !bound; ++p) {
      int same = same_string(keyword_name, name(signature.parameters[p]));
      if (same < 0) return false;
      if (same) {
        values[p] = kwvalues[k];
        bound = true;
      }
    }
    if (bound) continue;
    for (Py_ssize_t p = 0; p < nargs; ++p) {
      int same = same_string(keyword_name, name(signature.parameters[p]));
      if (same < 0) return false;
      if (same) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", signature.name,
                     keyword_name);
        return false;
      }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.name, keyword_name);
    return false;
  }
  return true;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                    PyObject** values, Site& site) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

  if (nkw == 0) {
    if (nargs < signature.required || nargs > signature.count) {
      positional_count_error(signature, nargs);
      return site.fail(signature.line);
    }
    for (Py_ssize_t p = 0; p < nargs; ++p) values[p] = args[p];
    for (Py_ssize_t p = nargs; p < signature.count; ++p) values[p] = constant(signature.defaults[p]);
    return true;
  }

  if (nargs > signature.count) {
    positional_count_error(signature, nargs);
    return site.fail(signature.line);
  }
  for (Py_ssize_t p = 0; p < nargs; ++p) values[p] = args[p];
  PyObject* const* kwvalues = args + nargs;
  Py_ssize_t unconsumed = nkw;
  for (Py_ssize_t p = nargs; p < signature.count; ++p) {
    bool required = p < signature.required;
    Py_ssize_t found = -1;
    if (required || unconsumed > 0) {
      found = find_keyword(kwnames, nkw, name(signature.parameters[p]));
      if (found == -2) return site.fail(signature.line);
    }
    if (found >= 0) {
      values[p] = kwvalues[found];
      --unconsumed;
    } else if (required) {
      positional_count_error(signature, p);
      return site.fail(signature.line);
    } else {
      values[p] = constant(signature.defaults[p]);
    }
  }
  if (unconsumed > 0 && !scan_keywords(signature, nargs, kwnames, kwvalues, values))
    return site.fail(signature.line);
  return true;
}

}  // namespace keyword
