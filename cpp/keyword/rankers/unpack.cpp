// Unpacking into two targets.
#include "common.hpp"

namespace keyword {

namespace {

bool too_many() {
  PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(2));
  return false;
}

bool need_more(Py_ssize_t got) {
  PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
  return false;
}

}  // namespace

bool unpack_pair(Borrowed value, Ref& first, Ref& second) {
  if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
    Py_ssize_t size = Py_SIZE(value);
    if (size > 2) return too_many();
    if (size < 2) return need_more(size);
    PyObject* const* items = PyTuple_CheckExact(value) ? &PyTuple_GET_ITEM(value, 0) : &PyList_GET_ITEM(value, 0);
    first = Ref::borrow(items[0]);
    second = Ref::borrow(items[1]);
    return true;
  }
  Ref iterator = Ref::steal(PyObject_GetIter(value));
  if (!iterator) return false;
  Ref items[2];
  for (Py_ssize_t k = 0; k < 2; ++k) {
    items[k] = Ref::steal(PyIter_Next(iterator.get()));
    if (!items[k]) return PyErr_Occurred() ? false : need_more(k);
  }
  Ref extra = Ref::steal(PyIter_Next(iterator.get()));
  if (extra) return too_many();
  if (PyErr_Occurred()) return false;
  first = std::move(items[0]);
  second = std::move(items[1]);
  return true;
}

}  // namespace keyword
