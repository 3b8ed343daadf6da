// Direct access to numpy's own float64 arrays, without numpy's headers.
//
// An item store into such an array, or an item read from it, runs no Python
// code whichever way it is made: numpy's array type is a static type whose
// item assignment and subscription cannot be replaced.  So where the rankers
// would store 1 into `matrix[r][c]`, they may write 1.0 into the buffer, and
// the caller cannot tell the difference.  Anything else (a subclass, a
// stand-in, another dtype or layout, a read-only array) is left to the
// ordinary Python operations.
#pragma once

#include "../shared.hpp"

namespace keyword {

// True for numpy's own array type, and for no other.  A class written in
// Python, or a subclass of the array type, is a heap type; an object only
// pretending to be an array has neither a static type of this name nor the
// buffer protocol.  This asks the object nothing, so a caller's code cannot
// run or notice.
bool is_numpy_array_type(PyTypeObject* type) noexcept;

// True for numpy's float64 scalar type: a subclass of float, so its value
// sits where a float's does and PyFloat_AS_DOUBLE reads it.
bool is_numpy_float64_type(PyTypeObject* type) noexcept;

// A writable view of a float64 array of shape (rows, columns) held while the
// view lives: C-contiguous, aligned, native byte order.  `acquire` succeeds
// only for numpy's own array type with exactly that layout; it never leaves
// an exception set.
class FloatArrayView {
 public:
  FloatArrayView() noexcept = default;
  FloatArrayView(const FloatArrayView&) = delete;
  FloatArrayView& operator=(const FloatArrayView&) = delete;
  ~FloatArrayView() { release(); }

  bool acquire(Borrowed array, Py_ssize_t rows, Py_ssize_t columns, bool writable) noexcept;
  void release() noexcept;
  bool held() const noexcept { return held_; }

  double* data() const noexcept { return data_; }
  Py_ssize_t columns() const noexcept { return columns_; }

 private:
  Py_buffer view_{};
  double* data_ = nullptr;
  Py_ssize_t columns_ = 0;
  bool held_ = false;
};

}  // namespace keyword
