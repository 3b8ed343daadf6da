// The ranked list both rankers return: a stable sort by score, best first,
// then the slice [:n_word]; and the sort keys.
#include "common.hpp"
#include "float_array.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "../binding.hpp"
#include "../function.hpp"
#include "rankers.hpp"

namespace keyword {

namespace {

// The interpreter's own `sorted`: a builtin function of the builtins module
// under that name.
bool is_builtin_sorted(Borrowed function) {
  if (!PyCFunction_Check(function) || PyCFunction_GET_SELF(function) != state.builtins) return false;
  const PyMethodDef* definition = reinterpret_cast<PyCFunctionObject*>(function)->m_ml;
  return definition && std::strcmp(definition->ml_name, "sorted") == 0;
}

// A score whose comparisons with the others are those of its value as a
// double and run no Python code: an exact float, numpy's float64, or an
// exact int that a double holds exactly.  Not a NaN (sorting with NaNs
// depends on the sort's own steps).
bool plain_score(Borrowed score, double& value) {
  if (PyFloat_CheckExact(score) || is_numpy_float64_type(Py_TYPE(score))) {
    value = PyFloat_AS_DOUBLE(score);
    return !std::isnan(value);
  }
  if (!PyLong_CheckExact(score)) return false;
  int overflow = 0;
  const long long integer = PyLong_AsLongLongAndOverflow(score, &overflow);
  constexpr long long exact_limit = 1LL << 53;
  if (overflow || integer > exact_limit || integer < -exact_limit) return false;
  value = static_cast<double>(integer);
  return true;
}

// sorted(pairs, key=lambda x: x[1], reverse=True) made directly, when no
// caller can tell: the builtin sorted, the rankers' own pairs (exact 2-tuples)
// and plain scores.  The key function would only read x[1] and the
// comparisons would only compare doubles, so a stable sort by descending
// score gives the same new list.  Null without an exception when the
// ordinary call must be made; null with MemoryError when memory runs out.
Ref sort_plain_scores(Borrowed pairs) {
  if (!is_builtin_sorted(state.sorted) || !PyList_CheckExact(pairs)) return nullptr;
  const Py_ssize_t size = PyList_GET_SIZE(pairs);
  struct Keyed {
    double score;
    Borrowed pair;
  };
  std::vector<Keyed> keyed;
  try {
    keyed.reserve(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  for (Py_ssize_t k = 0; k < size; ++k) {
    Borrowed pair = PyList_GET_ITEM(pairs, k);
    double score;
    if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2 || !plain_score(PyTuple_GET_ITEM(pair, 1), score))
      return nullptr;
    keyed.push_back({score, pair});
  }
  std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) { return a.score > b.score; });
  Ref sorted = Ref::steal(PyList_New(size));
  if (!sorted) return nullptr;
  for (Py_ssize_t k = 0; k < size; ++k) PyList_SET_ITEM(sorted.get(), k, Py_NewRef(keyed[k].pair));
  return sorted;
}

}  // namespace

Ref sort_by_score(Borrowed pairs, const Callable& key) {
  Ref direct = sort_plain_scores(pairs);
  if (direct || PyErr_Occurred()) return direct;
  Ref sort_key = make_function(key);
  if (!sort_key) return nullptr;
  PyObject* args[] = {pairs, sort_key.get(), Py_True};
  return Ref::steal(PyObject_Vectorcall(state.sorted, args, 1, state.sort_kwnames));
}

Ref cut(Borrowed pairs, Borrowed n_word) {
  Ref slice = Ref::steal(PySlice_New(Py_None, n_word, Py_None));
  if (!slice) return nullptr;
  return Ref::steal(PyObject_GetItem(pairs, slice.get()));
}

namespace {

// lambda x: x[1]
PyObject* score_of(Borrowed pair) {
  // A pair the rankers built: an exact tuple of two, read directly.
  if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) > 1) return Py_NewRef(PyTuple_GET_ITEM(pair, 1));
  return PyObject_GetItem(pair, constant(Constant::int_1));
}

// The body of a sort key: the lambda's one line is its first.
template <const Callable& key>
PyObject* sort_key_body(PyObject* const* values) {
  return run_callable_body(key, [&](Site& site) {
    Ref score = Ref::steal(score_of(values[0]));
    if (!score) return Ref(site.fail(key.first_line));
    return score;
  });
}

}  // namespace

PyObject* tfidf_sort_key_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return vectorcall_entry<kTfidfSortKey, sort_key_body<kTfidfSortKey>>(self, args, nargsf, kwnames);
}

PyObject* textrank_sort_key_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return vectorcall_entry<kTextrankSortKey, sort_key_body<kTextrankSortKey>>(self, args, nargsf, kwnames);
}

}  // namespace keyword
