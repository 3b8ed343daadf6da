// The updates, pr = (1 - alpha) + alpha * (M @ pr), and the ranking of their
// result.
#include "scores.hpp"

#include <algorithm>
#include <cmath>

namespace sparse {

// ---- the updates ---------------------------------------------------------------

bool update_scores(const Graph& graph, double alpha, std::uint64_t n_iter, ReleasedGil& gil, Array<double>& pr) {
  const std::size_t count = graph.offset.size() - 1;
  pr.assign(count, 1.0);
  if (n_iter == 0 || count == 0) return true;
  bool isolated = false;
  Array<double> inverse_degree(count);
  for (std::size_t c = 0; c < count; ++c) {
    const std::size_t degree = graph.offset[c + 1] - graph.offset[c];
    if (degree == 0) isolated = true;
    inverse_degree[c] = 1.0 / static_cast<double>(degree);
  }
  if (isolated) {
    std::fill(pr.begin(), pr.end(), std::numeric_limits<double>::quiet_NaN());
    return true;
  }
  const double damping = 1.0 - alpha;
  Array<double> weighted(count);
  const std::size_t work_per_update = graph.column.size() + count;
  std::size_t work = 0;
  for (std::uint64_t update = 0; update < n_iter; ++update) {
    // weighted[c] is finite exactly when pr[c] is (0 < 1 / degree <= 1).
    std::size_t non_finite = 0;
    for (std::size_t c = 0; c < count; ++c) {
      weighted[c] = inverse_degree[c] * pr[c];
      if (!std::isfinite(weighted[c])) ++non_finite;
    }
    for (std::size_t r = 0; r < count; ++r) {
      double sum = 0.0;
      std::size_t linked_non_finite = 0;
      for (std::size_t k = graph.offset[r]; k < graph.offset[r + 1]; ++k) {
        const WordId c = graph.column[k];
        sum += weighted[c];
        if (non_finite && !std::isfinite(weighted[c])) ++linked_non_finite;
      }
      if (linked_non_finite < non_finite) sum = std::numeric_limits<double>::quiet_NaN();
      // Two roundings, as numpy's elementwise multiply and add make.
      const double scaled = alpha * sum;
      pr[r] = damping + scaled;
    }
    // Rows read the previous scores only through `weighted`, so pr is
    // updated in place.
    work += work_per_update;
    if (work >= (std::size_t{1} << 24)) {
      work = 0;
      if (!gil.check_signals()) return false;
    }
  }
  return true;
}

// ---- ranking -------------------------------------------------------------------

namespace {

// Numbers of the best `wanted` scores, best first, equal scores in
// numbering order.  Scores are all numbers, or all NaN: then nothing is
// better than anything, and the numbering order stands.
Array<std::size_t> best_first(const Array<double>& pr, std::size_t wanted, bool all_nan) {
  Array<std::size_t> order(pr.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
  if (all_nan) {
    order.resize(std::min(wanted, order.size()));
    return order;
  }
  auto before = [&pr](std::size_t a, std::size_t b) { return pr[a] > pr[b] || (pr[a] == pr[b] && a < b); };
  if (wanted < order.size()) {
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(wanted), order.end(), before);
    order.resize(wanted);
  } else {
    std::sort(order.begin(), order.end(), before);
  }
  return order;
}

// (word, score) pairs of the given numbers, in that order.
Ref pairs_of(const Array<std::size_t>& numbers, const Array<Borrowed>& word_at, const Array<double>& pr) {
  Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(numbers.size())));
  if (!result) return nullptr;
  for (std::size_t k = 0; k < numbers.size(); ++k) {
    Ref score = Ref::steal(PyFloat_FromDouble(pr[numbers[k]]));
    if (!score) return nullptr;
    PyObject* pair = PyTuple_Pack(2, word_at[numbers[k]], score.get());
    if (!pair) return nullptr;
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(k), pair);
  }
  return result;
}

// Some scores NaN and some not (only an extreme alpha does that): Python's
// own stable sort by score, descending, gives the order that sorting the
// exact ranker's pairs gives.
Ref sort_mixed(const Array<Borrowed>& word_at, const Array<double>& pr, std::size_t wanted) {
  Array<std::size_t> numbering(pr.size());
  for (std::size_t k = 0; k < numbering.size(); ++k) numbering[k] = k;
  Ref pairs = pairs_of(numbering, word_at, pr);
  if (!pairs) return nullptr;
  Ref operator_module = Ref::steal(PyImport_ImportModule("operator"));
  if (!operator_module) return nullptr;
  Ref key = Ref::steal(PyObject_CallMethod(operator_module.get(), "itemgetter", "i", 1));
  if (!key) return nullptr;
  Ref sort = Ref::steal(PyObject_GetAttrString(pairs.get(), "sort"));
  if (!sort) return nullptr;
  Ref no_args = Ref::steal(PyTuple_New(0));
  Ref keywords = Ref::steal(Py_BuildValue("{sOsO}", "key", key.get(), "reverse", Py_True));
  if (!no_args || !keywords) return nullptr;
  Ref sorted = Ref::steal(PyObject_Call(sort.get(), no_args.get(), keywords.get()));
  if (!sorted) return nullptr;
  return Ref::steal(PyList_GetSlice(pairs.get(), 0, static_cast<Py_ssize_t>(wanted)));
}

}  // namespace

Ref best_pairs(const Array<Borrowed>& word_at, const Array<double>& pr, std::size_t wanted) {
  std::size_t nan_count = 0;
  for (double score : pr)
    if (std::isnan(score)) ++nan_count;
  if (nan_count != 0 && nan_count != pr.size()) return sort_mixed(word_at, pr, wanted);
  return pairs_of(best_first(pr, wanted, nan_count != 0), word_at, pr);
}

}  // namespace sparse
