// calculate_pr(matrix, alpha, n_iter): starting from a column of ones, apply
// pr = (1 - alpha) + alpha * numpy.dot(matrix, pr) n_iter times.
#include "../binding.hpp"
#include "common.hpp"
#include "rankers.hpp"

namespace keyword {

namespace {

Ref calculate_pr_statements(Borrowed matrix, Borrowed alpha, Borrowed n_iter, Site& site) {
  // line 84: pr = numpy.ones([len(matrix), 1])
  Ref numpy = lookup_global(Name::numpy);
  if (!numpy) return site.fail(84);
  Ref ones = Ref::steal(PyObject_GetAttr(numpy.get(), name(Name::ones)));
  if (!ones) return site.fail(84);
  Py_ssize_t rows = PyObject_Size(matrix);
  if (rows < 0) return site.fail(84);
  Ref row_count = Ref::steal(PyLong_FromSsize_t(rows));
  if (!row_count) return site.fail(84);
  Ref shape = Ref::steal(PyList_New(2));
  if (!shape) return site.fail(84);
  PyList_SET_ITEM(shape.get(), 0, row_count.release());
  PyList_SET_ITEM(shape.get(), 1, Py_NewRef(constant(Constant::int_1)));
  Borrowed ones_args[] = {shape.get()};
  Ref pr = Ref::steal(PyObject_Vectorcall(ones.get(), ones_args, 1, nullptr));
  if (!pr) return site.fail(84);

  // line 85: for i in range(n_iter)
  Borrowed range_args[] = {n_iter};
  Ref updates = Ref::steal(PyObject_Vectorcall(state.range, range_args, 1, nullptr));
  if (!updates) return site.fail(85);
  Ref update_iterator = Ref::steal(PyObject_GetIter(updates.get()));
  if (!update_iterator) return site.fail(85);
  // Every update is a numpy call over the whole matrix: check every time.
  SignalCheck signals{1};
  while (Ref i = Ref::steal(PyIter_Next(update_iterator.get()))) {
    if (!signals.tick()) return site.fail(85);
    // line 86: pr = (1 - alpha) + alpha * numpy.dot(matrix, pr)
    Ref damping = Ref::steal(PyNumber_Subtract(constant(Constant::int_1), alpha));
    if (!damping) return site.fail(86);
    numpy = lookup_global(Name::numpy);
    if (!numpy) return site.fail(86);
    Ref dot = Ref::steal(PyObject_GetAttr(numpy.get(), name(Name::dot)));
    if (!dot) return site.fail(86);
    PyObject* dot_args[] = {matrix, pr.get()};
    Ref product = Ref::steal(PyObject_Vectorcall(dot.get(), dot_args, 2, nullptr));
    if (!product) return site.fail(86);
    Ref scaled = Ref::steal(PyNumber_Multiply(alpha, product.get()));
    if (!scaled) return site.fail(86);
    Ref updated = Ref::steal(PyNumber_Add(damping.get(), scaled.get()));
    if (!updated) return site.fail(86);
    pr = std::move(updated);
  }
  if (PyErr_Occurred()) return site.fail(85);
  return pr;
}

PyObject* calculate_pr_body(PyObject* const* values) { return calculate_pr(values[0], values[1], values[2]); }

}  // namespace

PyObject* calculate_pr(Borrowed matrix, Borrowed alpha, Borrowed n_iter) {
  return run_callable_body(kCalculatePr,
                           [&](Site& site) { return calculate_pr_statements(matrix, alpha, n_iter, site); });
}

PyObject* calculate_pr_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return vectorcall_entry<kCalculatePr, calculate_pr_body>(self, args, nargsf, kwnames);
}

}  // namespace keyword
