// Recursion through the extension modules' functions: the recursion limit
// and the C stack.
#include "recursion.hpp"

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace vellumcrest {

namespace {

// Refused below this much stack: enough for the interpreter to raise and
// report the error, and for one more level of the deepest recursion seen
// through a module (a few kilobytes), many times over.  A thread started
// with a small stack keeps an eighth of it instead.
constexpr std::size_t kStackReserve = 256 * 1024;

struct StackBounds {
  std::uintptr_t low = 0;  // lowest address; 0 when unknown
  std::size_t reserve = 0;
};

// The current thread's stack (stacks grow downwards on every platform the
// modules are built for), found once per thread.
const StackBounds& stack_bounds() noexcept {
  thread_local StackBounds bounds;
  thread_local bool known = false;
  if (!known) {
    known = true;
#if defined(__linux__)
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
      void* address = nullptr;
      std::size_t size = 0;
      if (pthread_attr_getstack(&attributes, &address, &size) == 0 && size > 0) {
        bounds.low = reinterpret_cast<std::uintptr_t>(address);
        bounds.reserve = size / 8 < kStackReserve ? size / 8 : kStackReserve;
      }
      pthread_attr_destroy(&attributes);
    }
#endif
  }
  return bounds;
}

}  // namespace

Py_ssize_t stack_left() noexcept {
  const StackBounds& bounds = stack_bounds();
  if (bounds.low == 0) return -1;
  volatile char here = 0;
  const auto position = reinterpret_cast<std::uintptr_t>(&here);
  return position > bounds.low ? static_cast<Py_ssize_t>(position - bounds.low) : 0;
}

bool enter_call() noexcept {
  const Py_ssize_t left = stack_left();
  if (left >= 0 && static_cast<std::size_t>(left) < stack_bounds().reserve) {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
    return false;
  }
#if PY_VERSION_HEX >= 0x030C0000
  // The Python frame count has no function of its own: the interpreter keeps
  // it in the thread state's py_recursion_remaining, a field of the
  // non-limited PyThreadState struct from 3.12 on, and counts a frame the way
  // done here.
  PyThreadState* thread = PyThreadState_Get();
  if (thread->py_recursion_remaining <= 0) {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
    return false;
  }
  --thread->py_recursion_remaining;
  if (Py_EnterRecursiveCall("") == 0) return true;
  ++thread->py_recursion_remaining;
  return false;
#else
  return Py_EnterRecursiveCall("") == 0;
#endif
}

void leave_call() noexcept {
  Py_LeaveRecursiveCall();
#if PY_VERSION_HEX >= 0x030C0000
  ++PyThreadState_Get()->py_recursion_remaining;
#endif
}

}  // namespace vellumcrest
