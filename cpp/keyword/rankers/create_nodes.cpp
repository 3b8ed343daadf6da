// create_nodes(corpus, window): for every distinct word, the set of words
// within window - 1 positions of its first occurrence.
#include "../binding.hpp"
#include "common.hpp"
#include "rankers.hpp"

namespace keyword {

namespace {

// `left < 0` or `right >= length` as an `if` takes it: 1, 0, or -1 on error.
int compare_true(Borrowed left, Borrowed right, int op) {
  Ref outcome = Ref::steal(PyObject_RichCompare(left, right, op));
  if (!outcome) return -1;
  return PyObject_IsTrue(outcome.get());
}

// corpus[i] for a position known to be non-negative: exact lists and tuples
// are read directly while the position is inside them; anything else (and a
// position past the end, for the IndexError) goes through subscription.
Ref item_at(Borrowed corpus, Py_ssize_t position) {
  if (PyList_CheckExact(corpus) && position < PyList_GET_SIZE(corpus))
    return Ref::borrow(PyList_GET_ITEM(corpus, position));
  if (PyTuple_CheckExact(corpus) && position < PyTuple_GET_SIZE(corpus))
    return Ref::borrow(PyTuple_GET_ITEM(corpus, position));
  Ref i = Ref::steal(PyLong_FromSsize_t(position));
  if (!i) return nullptr;
  return Ref::steal(PyObject_GetItem(corpus, i.get()));
}

// With an exact int window and the builtin range, the bound arithmetic, the
// clamps, the range and the `i == index` test are all int operations that run
// no Python code: they are done on machine integers with the same outcome.
// Returns false when the window does not fit (the Python path then runs).
bool machine_window(Borrowed window, Py_ssize_t& value) {
  if (!PyLong_CheckExact(window) || state.range != reinterpret_cast<PyObject*>(&PyRange_Type)) return false;
  int overflow = 0;
  long long as_long = PyLong_AsLongLongAndOverflow(window, &overflow);
  if (overflow || as_long > PY_SSIZE_T_MAX || as_long < -PY_SSIZE_T_MAX) return false;
  value = static_cast<Py_ssize_t>(as_long);
  return true;
}

// The window positions of item `index` on machine integers: false when the
// bounds would overflow.
bool machine_bounds(Py_ssize_t index, Py_ssize_t window, Py_ssize_t word_list_len, Py_ssize_t& left,
                    Py_ssize_t& right) {
  if (__builtin_sub_overflow(index, window, &left) || __builtin_add_overflow(left, Py_ssize_t{1}, &left) ||
      __builtin_add_overflow(index, window, &right))
    return false;
  if (left < 0) left = 0;
  if (right >= word_list_len) right = word_list_len;
  return true;
}

// Lines 44 to 51 on machine integers: the neighbours at positions
// [first, last) other than `position`.
Recorded add_neighbours_between(Borrowed corpus, Py_ssize_t position, Py_ssize_t first, Py_ssize_t last,
                                Borrowed tmp_set, SignalCheck& signals, Site& site) {
  for (Py_ssize_t i = first; i < last; ++i) {
    if (!signals.tick()) return site.fail(48);
    if (i == position) continue;
    Ref neighbour = item_at(corpus, i);
    if (!neighbour || PySet_Add(tmp_set, neighbour.get()) < 0) return site.fail(51);
  }
  return Recorded::done();
}

// Lines 44 to 51 as Python operations, for any window.
Recorded add_neighbours_in_window(Borrowed corpus, Borrowed window, Py_ssize_t position, Py_ssize_t word_list_len,
                                  Borrowed tmp_set, SignalCheck& signals, Site& site) {
  // index counts every item from 0; index + 1 on exact ints runs no Python
  // code, so the count gives the same int.
  Ref index = Ref::steal(PyLong_FromSsize_t(position));
  if (!index) return site.fail(40);
  // line 44: left = index - window + 1
  Ref difference = Ref::steal(PyNumber_Subtract(index.get(), window));
  if (!difference) return site.fail(44);
  Ref left = Ref::steal(PyNumber_Add(difference.get(), constant(Constant::int_1)));
  if (!left) return site.fail(44);
  // line 45: right = index + window
  Ref right = Ref::steal(PyNumber_Add(index.get(), window));
  if (!right) return site.fail(45);
  // line 46: if left < 0: left = 0
  int below = compare_true(left.get(), constant(Constant::int_0), Py_LT);
  if (below < 0) return site.fail(46);
  if (below) left = Ref::borrow(constant(Constant::int_0));
  // line 47: if right >= word_list_len: right = word_list_len
  Ref length = Ref::steal(PyLong_FromSsize_t(word_list_len));
  if (!length) return site.fail(47);
  int beyond = compare_true(right.get(), length.get(), Py_GE);
  if (beyond < 0) return site.fail(47);
  if (beyond) right = std::move(length);

  // line 48: for i in range(left, right)
  PyObject* range_args[] = {left.get(), right.get()};
  Ref positions = Ref::steal(PyObject_Vectorcall(state.range, range_args, 2, nullptr));
  if (!positions) return site.fail(48);
  Ref position_iterator = Ref::steal(PyObject_GetIter(positions.get()));
  if (!position_iterator) return site.fail(48);
  while (Ref i = Ref::steal(PyIter_Next(position_iterator.get()))) {
    if (!signals.tick()) return site.fail(48);
    // line 49: if i == index: continue
    int same = compare_true(i.get(), index.get(), Py_EQ);
    if (same < 0) return site.fail(49);
    if (same) continue;
    // line 51: tmp_set.add(corpus[i])
    Ref neighbour = Ref::steal(PyObject_GetItem(corpus, i.get()));
    if (!neighbour || PySet_Add(tmp_set, neighbour.get()) < 0) return site.fail(51);
  }
  if (PyErr_Occurred()) return site.fail(48);
  return Recorded::done();
}

Ref create_nodes_statements(Borrowed corpus, Borrowed window, Site& site) {
  // line 37: edge_dict = {}
  Ref edge_dict = Ref::steal(PyDict_New());
  if (!edge_dict) return site.fail(37);
  // line 39: word_list_len = len(corpus)
  Py_ssize_t word_list_len = PyObject_Size(corpus);
  if (word_list_len < 0) return site.fail(39);

  // line 40: for word in corpus (index counts every item from 0)
  SequenceWalk walk;
  if (!walk.start(corpus)) return site.fail(40);
  Py_ssize_t machine_window_value = 0;
  const bool window_is_machine_int = machine_window(window, machine_window_value);
  Py_ssize_t item_number = 0;
  SignalCheck signals;
  while (Ref word = walk.next()) {
    const Py_ssize_t position = item_number++;
    if (!signals.tick()) return site.fail(40);

    // line 41: if word in edge_dict.keys(): continue
    int seen = PyDict_Contains(edge_dict.get(), word.get());
    if (seen < 0) return site.fail(41);
    if (seen) continue;

    // line 43: tmp_set = set()
    Ref tmp_set = Ref::steal(PySet_New(nullptr));
    if (!tmp_set) return site.fail(43);

    // lines 44 to 51
    Py_ssize_t first, last;
    Recorded filled =
        window_is_machine_int && machine_bounds(position, machine_window_value, word_list_len, first, last)
            ? add_neighbours_between(corpus, position, first, last, tmp_set.get(), signals, site)
            : add_neighbours_in_window(corpus, window, position, word_list_len, tmp_set.get(), signals, site);
    if (filled.failed()) return filled.forward();

    // line 52: edge_dict[word] = tmp_set
    if (PyDict_SetItem(edge_dict.get(), word.get(), tmp_set.get()) < 0) return site.fail(52);
  }
  if (PyErr_Occurred()) return site.fail(40);
  return edge_dict;
}

PyObject* create_nodes_body(PyObject* const* values) { return create_nodes(values[0], values[1]); }

}  // namespace

PyObject* create_nodes(Borrowed corpus, Borrowed window) {
  return run_callable_body(kCreateNodes, [&](Site& site) { return create_nodes_statements(corpus, window, site); });
}

PyObject* create_nodes_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return vectorcall_entry<kCreateNodes, create_nodes_body>(self, args, nargsf, kwnames);
}

}  // namespace keyword
