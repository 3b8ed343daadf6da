// create_matrix(corpus, edge_dict): number the distinct words in the order of
// a set built from the corpus, mark every neighbour relation in both
// directions, divide each column by its sum.  Returns (index_dict, matrix).
#include "../binding.hpp"
#include "../shared.hpp"
#include "common.hpp"
#include "float_array.hpp"
#include "rankers.hpp"

namespace keyword {

namespace {

// word_index[word]: word_index is this stage's own exact dict, so its
// subscription is the dict lookup itself, with KeyError(word) on a miss.
Ref number_of(Borrowed word_index, Borrowed word) {
  Borrowed found = PyDict_GetItemWithError(word_index, word);
  if (found) return Ref::borrow(found);
  if (!PyErr_Occurred()) {
    // As dict subscription does, wrap the word, so that a tuple stays whole.
    Ref args = Ref::steal(PyTuple_Pack(1, word));
    if (args) PyErr_SetObject(PyExc_KeyError, args.get());
  }
  return nullptr;
}

// matrix[word_index[a]][word_index[b]] = 1, in that order of operations.
bool mark(Borrowed matrix, Borrowed word_index, Borrowed a, Borrowed b) {
  Ref row_number = number_of(word_index, a);
  if (!row_number) return false;
  Ref row = Ref::steal(PyObject_GetItem(matrix, row_number.get()));
  if (!row) return false;
  Ref column_number = number_of(word_index, b);
  if (!column_number) return false;
  return PyObject_SetItem(row.get(), column_number.get(), constant(Constant::int_1)) == 0;
}

// A word whose hashing and comparison with other such words run no Python
// code: looking it up in a dict of such words cannot call back into the caller.
bool is_plain_word(Borrowed word) { return PyUnicode_CheckExact(word) || PyLong_CheckExact(word); }

// Every key of an exact dict is a plain word.
bool has_plain_keys(Borrowed dict) {
  Py_ssize_t position = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(dict, &position, &key, &value))
    if (!is_plain_word(key)) return false;
  return true;
}

// The number of a word in the stage's own numbering as a machine integer, or
// -1 for anything but an exact int that fits.
Py_ssize_t position_of(Borrowed number) {
  if (!PyLong_CheckExact(number)) return -1;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
  if (overflow || value < 0 || value > PY_SSIZE_T_MAX) return -1;
  return static_cast<Py_ssize_t>(value);
}

// Stores into the matrix's buffer while nothing the caller wrote can run.
// Lines 67 and 68 then become two dict lookups and two stores of 1.0; the
// lookups keep their order and their KeyError.
class DirectStores {
 public:
  // Taken only for numpy's own float64 (n, n) array, when every word that the
  // edge loop will look up or meet as a key is plain and the loop walks an
  // exact dict.
  void start(Borrowed matrix, Py_ssize_t n, bool plain_numbering, Borrowed edge_dict) {
    if (plain_numbering && PyDict_CheckExact(edge_dict) && has_plain_keys(edge_dict))
      view_.acquire(matrix, n, n, /*writable=*/true);
  }
  // Usable for a neighbour walked from this value: an exact set, list or
  // tuple is walked without running Python code.
  bool usable(Borrowed neighbours) const {
    return view_.held() && (PyAnySet_CheckExact(neighbours) || PyList_CheckExact(neighbours) ||
                            PyTuple_CheckExact(neighbours));
  }
  // Stores 1.0 at [row][column] and its mirror; false (storing nothing) when
  // a number is not one of this array's positions.  The numbering is private
  // to the stage, so that only happens if it was tampered with.
  bool store_pair(Borrowed row_number, Borrowed column_number) {
    if (!view_.held()) return false;
    const Py_ssize_t row = position_of(row_number), column = position_of(column_number);
    const Py_ssize_t n = view_.columns();
    if (row < 0 || row >= n || column < 0 || column >= n) return false;
    view_.data()[row * n + column] = 1.0;
    view_.data()[column * n + row] = 1.0;
    return true;
  }
  bool active() const { return view_.held(); }
  // After the caller's code may have run: keeps going only if everything
  // still holds (and only if the stores were going before).
  void restart(Borrowed matrix, Py_ssize_t n, bool plain_numbering, Borrowed edge_dict, Borrowed neighbours) {
    if (!view_.held()) return;
    view_.release();
    start(matrix, n, plain_numbering, edge_dict);
    if (!usable(neighbours)) stop();
  }
  // Once the caller's code may have run, the buffer is given up for good.
  void stop() { view_.release(); }

 private:
  FloatArrayView view_;
};

// The size of a new set built from the corpus.
Ref distinct_count(Borrowed corpus) {
  Ref words = Ref::steal(PySet_New(corpus));
  if (!words) return nullptr;
  return Ref::steal(PyLong_FromSsize_t(PySet_GET_SIZE(words.get())));
}

Ref create_matrix_statements(Borrowed corpus, Borrowed edge_dict, Site& site) {
  // line 59: matrix = numpy.zeros([len(set(corpus)), len(set(corpus))])
  Ref numpy = lookup_global(Name::numpy);
  if (!numpy) return site.fail(59);
  Ref zeros = Ref::steal(PyObject_GetAttr(numpy.get(), name(Name::zeros)));
  if (!zeros) return site.fail(59);
  Ref rows = distinct_count(corpus);
  if (!rows) return site.fail(59);
  Ref columns = distinct_count(corpus);
  if (!columns) return site.fail(59);
  Ref shape = Ref::steal(PyList_New(2));
  if (!shape) return site.fail(59);
  PyList_SET_ITEM(shape.get(), 0, rows.release());
  PyList_SET_ITEM(shape.get(), 1, columns.release());
  Borrowed zeros_args[] = {shape.get()};
  Ref matrix = Ref::steal(PyObject_Vectorcall(zeros.get(), zeros_args, 1, nullptr));
  if (!matrix) return site.fail(59);

  // lines 60, 61
  Ref word_index = Ref::steal(PyDict_New());
  if (!word_index) return site.fail(60);
  Ref index_dict = Ref::steal(PyDict_New());
  if (!index_dict) return site.fail(61);

  // line 62: for i, v in enumerate(set(corpus))
  Ref words = Ref::steal(PySet_New(corpus));
  if (!words) return site.fail(62);
  const Py_ssize_t noted_size = PySet_GET_SIZE(words.get());
  Py_ssize_t set_position = 0;
  Py_ssize_t numbered = 0;
  bool plain_numbering = true;
  SignalCheck signals;
  for (Py_ssize_t number = 0;; ++number) {
    if (!signals.tick()) return site.fail(62);
    if (PySet_GET_SIZE(words.get()) != noted_size) {
      PyErr_SetString(PyExc_RuntimeError, "set changed size during iteration");
      return site.fail(62);
    }
    PyObject* element;
    Py_hash_t hash;
    if (!next_set_entry(words.get(), &set_position, &element, &hash)) break;
    Ref v = Ref::borrow(element);
    plain_numbering = plain_numbering && is_plain_word(element);
    Ref i = Ref::steal(PyLong_FromSsize_t(number));
    if (!i) return site.fail(62);
    // line 63: word_index[v] = i
    if (PyDict_SetItem(word_index.get(), v.get(), i.get()) < 0) return site.fail(63);
    // line 64: index_dict[i] = v
    if (PyDict_SetItem(index_dict.get(), i.get(), v.get()) < 0) return site.fail(64);
    numbered = number + 1;
  }

  // line 65: for key in edge_dict.keys()
  DirectStores stores;
  stores.start(matrix.get(), numbered, plain_numbering, edge_dict);
  auto mark_neighbours = [&](Borrowed key) -> Recorded {
    // line 66: for w in edge_dict[key]
    Ref neighbours = Ref::steal(PyObject_GetItem(edge_dict, key));
    if (!neighbours) return site.fail(66);
    if (!stores.usable(neighbours.get())) stores.stop();
    SequenceWalk walk;
    if (!walk.start(neighbours.get())) return site.fail(66);
    while (Ref w = walk.next()) {
      if (!signals.tick()) return site.fail(66);
      // A signal handler is Python code: whatever the direct stores relied
      // on is checked again.
      if (signals.just_checked()) stores.restart(matrix.get(), numbered, plain_numbering, edge_dict, neighbours.get());
      if (stores.active() && is_plain_word(w.get())) {
        // line 67: matrix[word_index[key]][word_index[w]] = 1
        Ref row_number = number_of(word_index.get(), key);
        if (!row_number) return site.fail(67);
        Ref column_number = number_of(word_index.get(), w.get());
        if (!column_number) return site.fail(67);
        // line 68: matrix[word_index[w]][word_index[key]] = 1, with the same
        // two numbers, since no code ran between the lookups
        if (stores.store_pair(row_number.get(), column_number.get())) continue;
      }
      stores.stop();
      // line 67: matrix[word_index[key]][word_index[w]] = 1
      if (!mark(matrix.get(), word_index.get(), key, w.get())) return site.fail(67);
      // line 68: matrix[word_index[w]][word_index[key]] = 1
      if (!mark(matrix.get(), word_index.get(), w.get(), key)) return site.fail(68);
    }
    if (PyErr_Occurred()) return site.fail(66);
    return Recorded::done();
  };
  if (edge_dict == Py_None) {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "keys");
    return site.fail(65);
  }
  if (PyDict_CheckExact(edge_dict)) {
    const Py_ssize_t noted = PyDict_GET_SIZE(edge_dict);
    Py_ssize_t dict_position = 0;
    for (;;) {
      if (PyDict_GET_SIZE(edge_dict) != noted) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        return site.fail(65);
      }
      PyObject* key;
      PyObject* value;
      if (!PyDict_Next(edge_dict, &dict_position, &key, &value)) break;
      // Hold the key: hashing and comparing words may change the dict.
      Ref held_key = Ref::borrow(key);
      if (Recorded marked = mark_neighbours(held_key.get()); marked.failed()) return marked.forward();
    }
  } else {
    Ref keys_method = Ref::steal(PyObject_GetAttr(edge_dict, name(Name::keys)));
    if (!keys_method) return site.fail(65);
    Ref keys = Ref::steal(PyObject_CallNoArgs(keys_method.get()));
    if (!keys) return site.fail(65);
    SequenceWalk walk;
    if (!walk.start(keys.get())) return site.fail(65);
    while (Ref key = walk.next())
      if (Recorded marked = mark_neighbours(key.get()); marked.failed()) return marked.forward();
    if (PyErr_Occurred()) return site.fail(65);
  }

  // line 71: matrix /= matrix.sum(axis=0)
  stores.stop();
  Ref sum = Ref::steal(PyObject_GetAttr(matrix.get(), name(Name::sum)));
  if (!sum) return site.fail(71);
  PyObject* sum_args[] = {constant(Constant::int_0)};
  Ref column_sums = Ref::steal(PyObject_Vectorcall(sum.get(), sum_args, 0, state.axis_kwnames));
  if (!column_sums) return site.fail(71);
  Ref divided = Ref::steal(PyNumber_InPlaceTrueDivide(matrix.get(), column_sums.get()));
  if (!divided) return site.fail(71);
  matrix = std::move(divided);

  // line 78: return index_dict, matrix
  Ref result = Ref::steal(PyTuple_Pack(2, index_dict.get(), matrix.get()));
  if (!result) return site.fail(78);
  return result;
}

PyObject* create_matrix_body(PyObject* const* values) { return create_matrix(values[0], values[1]); }

}  // namespace

PyObject* create_matrix(Borrowed corpus, Borrowed edge_dict) {
  return run_callable_body(kCreateMatrix,
                           [&](Site& site) { return create_matrix_statements(corpus, edge_dict, site); });
}

PyObject* create_matrix_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return vectorcall_entry<kCreateMatrix, create_matrix_body>(self, args, nargsf, kwnames);
}

}  // namespace keyword
