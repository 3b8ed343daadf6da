// tfidf(corpus, idf, n_word=10): count the words, weigh each count with
// idf.get(word, 0), return the n_word best (word, score) pairs.
#include "../binding.hpp"
#include "common.hpp"
#include "rankers.hpp"

namespace keyword {

namespace {

// idf.get(w, 0), with `get` looked up afresh for every word.  An exact dict's
// `get` cannot be replaced and is its own lookup, done here directly.
Ref weight_of(Borrowed idf, Borrowed w) {
  if (PyDict_CheckExact(idf)) {
    Borrowed found = PyDict_GetItemWithError(idf, w);
    if (found) return Ref::borrow(found);
    if (PyErr_Occurred()) return nullptr;
    return Ref::borrow(constant(Constant::int_0));
  }
  Ref get = Ref::steal(PyObject_GetAttr(idf, name(Name::get)));
  if (!get) return nullptr;
  PyObject* get_args[] = {w, constant(Constant::int_0)};
  return Ref::steal(PyObject_Vectorcall(get.get(), get_args, 2, nullptr));
}

Ref tfidf_statements(Borrowed corpus, Borrowed idf, Borrowed n_word, Site& site) {
  // line 11: bow = collections.Counter(corpus).items()
  Ref collections = lookup_global(Name::collections);
  if (!collections) return site.fail(11);
  Ref counter_type = Ref::steal(PyObject_GetAttr(collections.get(), name(Name::Counter)));
  if (!counter_type) return site.fail(11);
  Ref counter = Ref::steal(PyObject_Vectorcall(counter_type.get(), &corpus, 1, nullptr));
  if (!counter) return site.fail(11);
  Ref items = Ref::steal(PyObject_GetAttr(counter.get(), name(Name::items)));
  if (!items) return site.fail(11);
  Ref bow = Ref::steal(PyObject_CallNoArgs(items.get()));
  if (!bow) return site.fail(11);

  // line 12: tf_idf = [(w, idf.get(w, 0) * f) for w, f in bow]
  Ref tf_idf = Ref::steal(PyList_New(0));
  if (!tf_idf) return site.fail(12);
  Ref iterator = Ref::steal(PyObject_GetIter(bow.get()));
  if (!iterator) return site.fail(12);
  SignalCheck signals;
  while (Ref element = Ref::steal(PyIter_Next(iterator.get()))) {
    if (!signals.tick()) return site.fail(12);
    Ref w, f;
    if (!unpack_pair(element.get(), w, f)) return site.fail(12);
    Ref weight = weight_of(idf, w.get());
    if (!weight) return site.fail(12);
    Ref score = Ref::steal(PyNumber_Multiply(weight.get(), f.get()));
    if (!score) return site.fail(12);
    Ref pair = Ref::steal(PyTuple_Pack(2, w.get(), score.get()));
    if (!pair || PyList_Append(tf_idf.get(), pair.get()) < 0) return site.fail(12);
  }
  if (PyErr_Occurred()) return site.fail(12);

  // line 13: tf_idf = sorted(tf_idf, key=lambda x: x[1], reverse=True)
  tf_idf = sort_by_score(tf_idf.get(), kTfidfSortKey);
  if (!tf_idf) return site.fail(13);

  // line 14: return tf_idf[:n_word]
  Ref result = cut(tf_idf.get(), n_word);
  if (!result) return site.fail(14);
  return result;
}

PyObject* tfidf_body(PyObject* const* values) {
  return run_callable_body(kTfidf, [&](Site& site) { return tfidf_statements(values[0], values[1], values[2], site); });
}

}  // namespace

PyObject* tfidf_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return vectorcall_entry<kTfidf, tfidf_body>(self, args, nargsf, kwnames);
}

}  // namespace keyword
