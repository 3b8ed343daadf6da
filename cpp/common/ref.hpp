// Owning references to Python objects.
//
// `Ref` owns exactly one reference, or none.  Ownership is decided when the
// handle is made: `Ref::steal` takes over a new reference (as returned by most
// C-API calls), `Ref::borrow` adds one of its own to a borrowed reference.
// The destructor releases it, so every path out of a function releases what it
// holds.  `release()` hands the reference on and is used only where ownership
// really passes to the caller.
//
// Borrowed references are plain `Borrowed` pointers: they never outlive a call
// that can run Python code unless a `Ref` keeps the object alive.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vellumcrest {

// A reference that somebody else owns; the name says so where it is used.
using Borrowed = PyObject*;

// The result of a failed step, converting to a null reference, a null
// pointer or false, whichever the failing function returns.  It is returned,
// never dropped: the failure must reach the caller.
struct [[nodiscard]] Failed {
  constexpr operator bool() const noexcept { return false; }
  template <typename T>
  constexpr operator T*() const noexcept {
    return nullptr;
  }
};

class Ref {
 public:
  Ref() noexcept = default;
  Ref(std::nullptr_t) noexcept {}
  Ref(Failed) noexcept {}

  // Takes over a new reference (which may be null after a failed call).
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Adds a reference of its own to a borrowed one.
  static Ref borrow(Borrowed object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }

  Ref(const Ref& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  ~Ref() { Py_XDECREF(object_); }

  // Store the new value first, then release the old one: a destructor that
  // runs Python code must never find a freed object here.
  Ref& operator=(const Ref& other) noexcept {
    PyObject* old = object_;
    Py_XINCREF(other.object_);
    object_ = other.object_;
    Py_XDECREF(old);
    return *this;
  }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = object_;
      object_ = std::exchange(other.object_, nullptr);
      Py_XDECREF(old);
    }
    return *this;
  }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// Replaces the value in a process-wide slot as Py_XSETREF does: the new value
// is stored first, then the old one (left by an earlier, failed load) is
// released, so that a destructor running Python code never finds it freed.
template <typename T>
void store(T*& slot, Ref value) noexcept {
  T* old = slot;
  slot = reinterpret_cast<T*>(value.release());
  Py_XDECREF(reinterpret_cast<PyObject*>(old));
}

// The pending exception (if any), set aside for a while.  `restore()` puts it
// back and drops whatever error arose meanwhile; `discard()` drops it so that
// a newer error stands.  A handle that was neither restored nor discarded
// restores when it goes out of scope.
class SavedError {
 public:
  SavedError() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;
  ~SavedError() {
    if (active_) restore();
  }
  void restore() noexcept {
    active_ = false;
    PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                  std::exchange(traceback_, nullptr));
  }
  void discard() noexcept {
    active_ = false;
    Py_CLEAR(type_);
    Py_CLEAR(value_);
    Py_CLEAR(traceback_);
  }

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
  bool active_ = true;
};

}  // namespace vellumcrest
