// Direct access to numpy's own float64 arrays.
#include "float_array.hpp"

#include <cstdint>
#include <cstring>

namespace keyword {

namespace {

// A type made by C code (only heap types are made by class statements) under
// numpy's own name for it.
bool is_static_type_named(PyTypeObject* type, const char* name) noexcept {
  return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) && std::strcmp(type->tp_name, name) == 0;
}

}  // namespace

bool is_numpy_array_type(PyTypeObject* type) noexcept {
  return is_static_type_named(type, "numpy.ndarray") && type->tp_as_buffer != nullptr &&
         type->tp_as_buffer->bf_getbuffer != nullptr;
}

bool is_numpy_float64_type(PyTypeObject* type) noexcept {
  return is_static_type_named(type, "numpy.float64") && PyType_IsSubtype(type, &PyFloat_Type);
}

bool FloatArrayView::acquire(Borrowed array, Py_ssize_t rows, Py_ssize_t columns, bool writable) noexcept {
  release();
  if (!is_numpy_array_type(Py_TYPE(array))) return false;
  // Ask for strides and format without insisting on anything, so that the
  // array itself never refuses (and raises): the layout is checked here.
  if (PyObject_GetBuffer(array, &view_, PyBUF_RECORDS_RO) < 0) {
    PyErr_Clear();
    return false;
  }
  held_ = true;
  const bool fits = view_.ndim == 2 && view_.shape != nullptr && view_.shape[0] == rows &&
                    view_.shape[1] == columns && view_.itemsize == static_cast<Py_ssize_t>(sizeof(double)) &&
                    view_.format != nullptr && std::strcmp(view_.format, "d") == 0 &&
                    PyBuffer_IsContiguous(&view_, 'C') &&
                    reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(double) == 0 &&
                    (!writable || !view_.readonly);
  if (!fits) {
    release();
    return false;
  }
  data_ = static_cast<double*>(view_.buf);
  columns_ = columns;
  return true;
}

void FloatArrayView::release() noexcept {
  if (!held_) return;
  held_ = false;
  data_ = nullptr;
  PyBuffer_Release(&view_);
}

}  // namespace keyword
