// The ranked list both rankers return: a stable sort by score, best first,
// then the slice [:n_word].
#include "common.hpp"

#include "../function.hpp"
#include "../module.hpp"

namespace keyword {

Ref sort_by_score(Borrowed pairs, vectorcallfunc key_entry, Name key_name, Name key_qualname) {
  Ref sort_key = make_function(key_entry, key_name, key_qualname, nullptr, nullptr, nullptr);
  if (!sort_key) return nullptr;
  PyObject* args[] = {pairs, sort_key.get(), Py_True};
  return Ref::steal(PyObject_Vectorcall(state.sorted, args, 1, state.sort_kwnames));
}

Ref cut(Borrowed pairs, Borrowed n_word) {
  Ref slice = Ref::steal(PySlice_New(Py_None, n_word, Py_None));
  if (!slice) return nullptr;
  return Ref::steal(PyObject_GetItem(pairs, slice.get()));
}

PyObject* score_of(Borrowed pair) {
  // A pair the rankers built: an exact tuple of two, read directly.
  if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) > 1) return Py_NewRef(PyTuple_GET_ITEM(pair, 1));
  return PyObject_GetItem(pair, constant(Constant::int_1));
}

}  // namespace keyword
