// Argument binding: positional values first, then keyword names matched by
// identity and, failing that, by equality; the same checks and messages for
// every callable of the module.
#include "binding.hpp"

#include <cstring>

#include "module.hpp"

namespace keyword {

namespace {

// "f() takes exactly/at least/at most N positional argument(s) (G given)".
void positional_count_error(const Callable& callable, Py_ssize_t given) {
  const char* word;
  Py_ssize_t count;
  if (callable.required() == callable.count()) {
    word = "exactly";
    count = callable.count();
  } else if (given < callable.required()) {
    word = "at least";
    count = callable.required();
  } else {
    word = "at most";
    count = callable.count();
  }
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               name_text(callable.name), word, count, count == 1 ? "" : "s", given);
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

// Where a parameter's name stands among the keyword names.
struct KeywordSearch {
  enum { found, absent, error } outcome;
  Py_ssize_t index;  // when found
};

// Finds `parameter` among the keyword names: first by identity, then by
// equality.
KeywordSearch find_keyword(Borrowed kwnames, Borrowed parameter) {
  const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
  PyObject* const* names = &PyTuple_GET_ITEM(kwnames, 0);
  for (Py_ssize_t k = 0; k < nkw; ++k)
    if (names[k] == parameter) return {KeywordSearch::found, k};
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    int equal = names_equal(names[k], parameter);
    if (equal < 0) return {KeywordSearch::error, -1};
    if (equal) return {KeywordSearch::found, k};
  }
  return {KeywordSearch::absent, -1};
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
// keyword that was already consumed binds its own parameter again: first by
// identity, then as an equal string.
bool bind_leftover_keywords(const Callable& callable, Py_ssize_t nargs, Borrowed kwnames, PyObject* const* kwvalues,
                            PyObject** values) {
  const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
  // The first parameter after the positional ones that `matches` the
  // keyword, or -1 (-2 on error).
  auto keyword_parameter = [&](auto matches) -> Py_ssize_t {
    for (Py_ssize_t p = nargs; p < callable.count(); ++p) {
      int match = matches(name(callable.parameters[p]));
      if (match < 0) return -2;
      if (match) return p;
    }
    return -1;
  };
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    Borrowed keyword_name = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t p = keyword_parameter([&](Borrowed parameter) { return keyword_name == parameter ? 1 : 0; });
    if (p < 0 && !PyUnicode_Check(keyword_name)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name_text(callable.name));
      return false;
    }
    if (p < 0) p = keyword_parameter([&](Borrowed parameter) { return same_string(keyword_name, parameter); });
    if (p == -2) return false;
    if (p >= 0) {
      values[p] = kwvalues[k];
      continue;
    }
    for (Py_ssize_t q = 0; q < nargs; ++q) {
      int same = same_string(keyword_name, name(callable.parameters[q]));
      if (same < 0) return false;
      if (same) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name_text(callable.name),
                     keyword_name);
        return false;
      }
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name_text(callable.name),
                 keyword_name);
    return false;
  }
  return true;
}

}  // namespace

// The checks, in the order a caller can observe them:
//  1. without keywords, a positional count outside [required, count] fails;
//  2. with keywords, more positional values than parameters fail;
//  3. each parameter after the positional ones, in order, is looked up among
//     the keyword names (by identity, then by equality, which may run __eq__
//     and fail); an optional one is not looked up once every keyword is used;
//     a missing required one fails with the positional count error, a
//     missing optional one takes its default;
//  4. if a keyword is left over, all keywords are walked again in call order
//     (bind_leftover_keywords) and the first bad one fails.
bool bind_arguments(const Callable& callable, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                    PyObject** values, Site& site) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  const Py_ssize_t count = callable.count();

  if (nkw == 0) {
    if (nargs < callable.required() || nargs > count) {
      positional_count_error(callable, nargs);
      return site.fail(callable.first_line);
    }
    for (Py_ssize_t p = 0; p < nargs; ++p) values[p] = args[p];
    for (Py_ssize_t p = nargs; p < count; ++p) values[p] = constant(callable.default_of(p));
    return true;
  }

  if (nargs > count) {
    positional_count_error(callable, nargs);
    return site.fail(callable.first_line);
  }
  for (Py_ssize_t p = 0; p < nargs; ++p) values[p] = args[p];
  PyObject* const* kwvalues = args + nargs;
  Py_ssize_t unconsumed = nkw;
  for (Py_ssize_t p = nargs; p < count; ++p) {
    const bool required = p < callable.required();
    KeywordSearch search{KeywordSearch::absent, -1};
    if (required || unconsumed > 0) search = find_keyword(kwnames, name(callable.parameters[p]));
    switch (search.outcome) {
      case KeywordSearch::error:
        return site.fail(callable.first_line);
      case KeywordSearch::found:
        values[p] = kwvalues[search.index];
        --unconsumed;
        break;
      case KeywordSearch::absent:
        if (required) {
          positional_count_error(callable, p);
          return site.fail(callable.first_line);
        }
        values[p] = constant(callable.default_of(p));
        break;
    }
  }
  if (unconsumed > 0 && !bind_leftover_keywords(callable, nargs, kwnames, kwvalues, values))
    return site.fail(callable.first_line);
  return true;
}

}  // namespace keyword
