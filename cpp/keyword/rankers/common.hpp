// Steps shared by both rankers: unpacking into two targets, and the ranked
// list (sort by score, best first, then cut).
#pragma once

#include "../module.hpp"

namespace keyword {

// Unpacks `value` into two targets as an assignment `a, b = value` does.  On
// failure returns false with the exception set (the ValueError texts for a
// wrong count).
bool unpack_pair(Borrowed value, Ref& first, Ref& second);

// sorted(pairs, key=<new sort key>, reverse=True), the sort key being a new
// function object of `key` (kTfidfSortKey or kTextrankSortKey).
Ref sort_by_score(Borrowed pairs, const Callable& key);

// pairs[:n_word], with `n_word` exactly as the caller passed it.
Ref cut(Borrowed pairs, Borrowed n_word);

// For loops whose steps may run no Python code: every few thousand steps it
// lets pending signals run their handlers, as the interpreter does between
// the statements of a Python loop, so that Ctrl-C stops a long loop at its
// own line.  A check costs one decrement in between.
class SignalCheck {
 public:
  // Checks every `interval` steps: 1 for loops whose every step is long.
  explicit SignalCheck(int interval = 4096) : interval_(interval), left_(interval) {}
  // False with the handler's exception (KeyboardInterrupt for Ctrl-C) set.
  bool tick() {
    if (--left_ > 0) return true;
    left_ = interval_;
    return PyErr_CheckSignals() == 0;
  }
  // True when the last tick let handlers run: Python code may have run.
  bool just_checked() const { return left_ == interval_; }

 private:
  int interval_;
  int left_;
};

// Walks an iterable as a `for` statement does.  Exact lists and tuples are
// walked by position instead, re-reading their length at every step, which
// yields the same items as their iterators.
class SequenceWalk {
 public:
  // False with an exception set when `iterable` cannot be iterated.
  bool start(Borrowed iterable) {
    sequence_ = Ref::borrow(iterable);
    by_position_ = PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable);
    if (!by_position_) iterator_ = Ref::steal(PyObject_GetIter(iterable));
    return by_position_ || iterator_;
  }

  // The next item as a strong reference (hashing or comparing it may change
  // the sequence), or null at the end or on error (then PyErr_Occurred()).
  Ref next() {
    if (!by_position_) return Ref::steal(PyIter_Next(iterator_.get()));
    Borrowed sequence = sequence_.get();
    if (position_ >= Py_SIZE(sequence)) return nullptr;
    Borrowed item =
        PyList_CheckExact(sequence) ? PyList_GET_ITEM(sequence, position_) : PyTuple_GET_ITEM(sequence, position_);
    ++position_;
    return Ref::borrow(item);
  }

 private:
  Ref sequence_;
  Ref iterator_;
  bool by_position_ = false;
  Py_ssize_t position_ = 0;
};

}  // namespace keyword
