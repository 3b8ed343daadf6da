// What every part of the sparse engine uses: its arrays and word ids, the
// guard that lets other threads run, and its error messages.
//
// Every array is allocated through PyMem_Raw*, so the interpreter's
// allocator hooks see it; allocation failures end in MemoryError, and no C++
// exception leaves the engine's two functions (module.cpp).
#pragma once

#include "common/ref.hpp"

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

namespace sparse {

using vellumcrest::Borrowed, vellumcrest::Ref;

// ---- arrays --------------------------------------------------------------------

template <typename T>
struct RawAllocator {
  using value_type = T;
  RawAllocator() noexcept = default;
  template <typename U>
  RawAllocator(const RawAllocator<U>&) noexcept {}

  T* allocate(std::size_t count) {
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    void* memory = PyMem_RawMalloc(count * sizeof(T));
    if (!memory) throw std::bad_alloc();
    return static_cast<T*>(memory);
  }
  void deallocate(T* memory, std::size_t) noexcept { PyMem_RawFree(memory); }

  template <typename U>
  bool operator==(const RawAllocator<U>&) const noexcept {
    return true;
  }
};

template <typename T>
using Array = std::vector<T, RawAllocator<T>>;

using WordId = std::uint32_t;
inline constexpr WordId kNoWord = std::numeric_limits<WordId>::max();
// Ids run from 0 to kMaxWords - 1; kNoWord stays free as a marker.
inline constexpr std::size_t kMaxWords = kNoWord;

// A place among the keys of one call, or a run of them: a call takes at most
// kMaxKeys keys, so that 32 bits hold each place with the largest left free
// as a marker, which halves a long text's places on 64-bit machines.
using Place = std::uint32_t;
inline constexpr std::size_t kMaxKeys = std::numeric_limits<Place>::max() - 1;

// ---- the GIL -------------------------------------------------------------------

// Lets other threads run while it lives; takes the GIL back however the scope
// is left (an exception included).
class ReleasedGil {
 public:
  ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;
  ~ReleasedGil() { PyEval_RestoreThread(state_); }

  // Runs the interpreter's signal handlers (Ctrl-C) with the GIL held for a
  // moment: false when one of them raised.
  bool check_signals() noexcept {
    PyEval_RestoreThread(state_);
    int failed = PyErr_CheckSignals();
    state_ = PyEval_SaveThread();
    return failed == 0;
  }

 private:
  PyThreadState* state_;
};

// ---- errors --------------------------------------------------------------------

// Sets `type` with a formatted message.  When the message itself cannot be
// made, the MemoryError of that stands (some 3.11 releases would otherwise
// raise `type` with no message at all).
inline void set_error(Borrowed type, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  Ref message = Ref::steal(PyUnicode_FromFormatV(format, arguments));
  va_end(arguments);
  if (message) PyErr_SetObject(type, message.get());
}

// False, with ValueError, when a call of `function` has more than kMaxKeys keys.
inline bool check_key_count(const char* function, std::size_t n_keys) {
  if (n_keys <= kMaxKeys) return true;
  set_error(PyExc_ValueError, "%s(): more than %zu keys", function, kMaxKeys);
  return false;
}

}  // namespace sparse
