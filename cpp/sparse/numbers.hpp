// Reading an argument of whole numbers (with the GIL): a one-dimensional
// buffer of native integers (a numpy array, an array.array, bytes) is read
// in place, with no int object per number; anything else item by item, as
// the items of a tuple made of it.  Both give the same numbers and the same
// errors.
#pragma once

#include "engine.hpp"

#include <cstring>
#include <type_traits>

namespace sparse {

// What a call reads: `function(): argument[k]` must be `what` below `limit`.
struct NumbersArgument {
  const char* function;
  const char* argument;
  const char* what;
  Py_ssize_t limit;
};

namespace numbers_detail {

inline bool out_of_range(const NumbersArgument& is, Py_ssize_t k, long long value, bool beyond) {
  if (beyond || value < PY_SSIZE_T_MIN || value > PY_SSIZE_T_MAX)
    set_error(PyExc_ValueError, "%s(): %s[%zd] is not %s below %zd", is.function, is.argument, k, is.what, is.limit);
  else
    set_error(PyExc_ValueError, "%s(): %s[%zd] is %zd, not %s below %zd", is.function, is.argument, k,
              static_cast<Py_ssize_t>(value), is.what, is.limit);
  return false;
}

template <typename Int, typename T>
bool read_buffer_as(const NumbersArgument& is, const Py_buffer& view, Array<T>& out) {
  const Py_ssize_t count = view.shape[0];
  const Py_ssize_t stride = view.strides[0];
  out.reserve(static_cast<std::size_t>(count));
  const char* at = static_cast<const char*>(view.buf);
  for (Py_ssize_t k = 0; k < count; ++k, at += stride) {
    Int value;
    std::memcpy(&value, at, sizeof value);
    bool beyond = false;
    if constexpr (std::is_unsigned_v<Int>) beyond = value > static_cast<unsigned long long>(PY_SSIZE_T_MAX);
    const auto number = static_cast<long long>(value);
    if (beyond || number < 0 || number >= is.limit) return out_of_range(is, k, number, beyond);
    out.push_back(static_cast<T>(number));
  }
  return true;
}

// `taken` is false when `object` is no buffer of that kind.
template <typename T>
bool read_buffer(const NumbersArgument& is, Borrowed object, Array<T>& out, bool& taken) {
  taken = false;
  if (!PyObject_CheckBuffer(object)) return true;
  Py_buffer view;
  if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) < 0) return false;
  struct Release {
    Py_buffer* view;
    ~Release() { PyBuffer_Release(view); }
  } release{&view};
  const char* format = view.format ? view.format : "B";
  if (*format == '@') ++format;
  if (view.ndim != 1 || format[0] == '\0' || format[1] != '\0') return true;
  taken = true;
  switch (format[0]) {
    case 'b': return read_buffer_as<signed char>(is, view, out);
    case 'B': return read_buffer_as<unsigned char>(is, view, out);
    case 'h': return read_buffer_as<short>(is, view, out);
    case 'H': return read_buffer_as<unsigned short>(is, view, out);
    case 'i': return read_buffer_as<int>(is, view, out);
    case 'I': return read_buffer_as<unsigned int>(is, view, out);
    case 'l': return read_buffer_as<long>(is, view, out);
    case 'L': return read_buffer_as<unsigned long>(is, view, out);
    case 'q': return read_buffer_as<long long>(is, view, out);
    case 'Q': return read_buffer_as<unsigned long long>(is, view, out);
    case 'n': return read_buffer_as<Py_ssize_t>(is, view, out);
    case 'N': return read_buffer_as<std::size_t>(is, view, out);
    default: taken = false; return true;
  }
}

}  // namespace numbers_detail

// Reads `object` into `out`: each number 0 <= number < is.limit.
template <typename T>
bool read_numbers(const NumbersArgument& is, Borrowed object, Array<T>& out) {
  bool taken = false;
  if (!numbers_detail::read_buffer(is, object, out, taken)) return false;
  if (taken) return true;
  // A tuple of its own: reading an item may run Python code that changes a list.
  Ref sequence = Ref::steal(PySequence_Tuple(object));
  if (!sequence) return false;
  const Py_ssize_t count = PyTuple_GET_SIZE(sequence.get());
  out.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t k = 0; k < count; ++k) {
    // Held while __index__ runs: the tuple keeps it alive, but only as long as
    // the tuple lives.
    Ref item = Ref::borrow(PyTuple_GET_ITEM(sequence.get(), k));
    const Py_ssize_t number = PyNumber_AsSsize_t(item.get(), PyExc_OverflowError);
    if (number == -1 && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
      PyErr_Clear();
      return numbers_detail::out_of_range(is, k, 0, true);
    }
    if (number < 0 || number >= is.limit) return numbers_detail::out_of_range(is, k, number, false);
    out.push_back(static_cast<T>(number));
  }
  return true;
}

}  // namespace sparse
