// The keyphrases' personalised PageRank: reading its input, the weighted
// word graph and the updates.
#include "personalized_pagerank.hpp"

#include "numbers.hpp"

#include <algorithm>
#include <cmath>

namespace sparse {

namespace {

// Word numbers and restart weights of a call; every array from PyMem_Raw*.
struct Walk {
  Array<WordId> keys;
  Array<double> restart;
};

bool read_restart(Borrowed restart, Array<double>& out) {
  Ref sequence = Ref::steal(PySequence_Tuple(restart));
  if (!sequence) return false;
  const Py_ssize_t count = PyTuple_GET_SIZE(sequence.get());
  if (static_cast<std::size_t>(count) > kMaxWords) {
    set_error(PyExc_ValueError, "personalized_pagerank(): more than %zd words", static_cast<Py_ssize_t>(kMaxWords));
    return false;
  }
  out.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t k = 0; k < count; ++k) {
    Ref item = Ref::borrow(PyTuple_GET_ITEM(sequence.get(), k));
    const double weight = PyFloat_AsDouble(item.get());
    if (weight == -1.0 && PyErr_Occurred()) return false;
    if (!std::isfinite(weight) || weight < 0.0) {
      set_error(PyExc_ValueError, "personalized_pagerank(): restart[%zd] must be a finite number >= 0", k);
      return false;
    }
    out.push_back(weight);
  }
  return true;
}

// Links as compressed rows: row v holds (u, weight) for every u linked to v.
struct WeightedGraph {
  Array<std::size_t> offset;
  Array<WordId> target;
  Array<double> weight;
  Array<double> total;  // W(v): the sum of row v's weights
};

WeightedGraph build_weighted_graph(const Array<WordId>& keys, std::size_t n_words, std::size_t window) {
  // Each word's places, in text order: a counting sort of the places by key.
  Array<std::size_t> begin(n_words + 1, 0);
  for (WordId key : keys) ++begin[key + 1];
  for (std::size_t r = 0; r < n_words; ++r) begin[r + 1] += begin[r];
  Array<Place> places(keys.size());
  {
    Array<std::size_t> next(begin.begin(), begin.end() - 1);
    for (std::size_t i = 0; i < keys.size(); ++i) places[next[keys[i]]++] = static_cast<Place>(i);
  }
  // A row's links are the other words within window - 1 places of each of
  // its word's places (each pair of places counts once in each word's row),
  // counted, then its distinct neighbours sorted: the rows never list every
  // pair at once.
  const std::size_t reach = window - 1;
  WeightedGraph graph;
  graph.offset.assign(n_words + 1, 0);
  graph.total.assign(n_words, 0.0);
  Array<std::size_t> repeats(n_words, 0);
  Array<WordId> distinct;
  for (std::size_t r = 0; r < n_words; ++r) {
    distinct.clear();
    for (std::size_t k = begin[r]; k < begin[r + 1]; ++k) {
      const std::size_t i = places[k];
      const std::size_t from = i < reach ? 0 : i - reach;
      const std::size_t to = keys.size() - 1 - i < reach ? keys.size() - 1 : i + reach;
      for (std::size_t j = from; j <= to; ++j) {
        const WordId column = keys[j];
        if (column == r) continue;  // the place itself, and the word's other places: no link to itself
        if (repeats[column]++ == 0) distinct.push_back(column);
      }
    }
    std::sort(distinct.begin(), distinct.end());
    for (WordId column : distinct) {
      graph.target.push_back(column);
      graph.weight.push_back(static_cast<double>(repeats[column]));
      graph.total[r] += static_cast<double>(repeats[column]);
      repeats[column] = 0;
    }
    graph.offset[r + 1] = graph.target.size();
  }
  return graph;
}

// The updates; false when a signal handler raised (Ctrl-C) between two of them.
bool walk(const WeightedGraph& graph, Array<double>& restart, double alpha, std::size_t n_iter, ReleasedGil& gil,
          Array<double>& pr) {
  const std::size_t n = restart.size();
  double sum = 0.0;
  for (double weight : restart) sum += weight;
  for (double& weight : restart) weight = sum > 0.0 ? weight / sum : 1.0 / static_cast<double>(n);
  pr.assign(n, 1.0 / static_cast<double>(n));
  Array<double> share(n);
  Array<double> next(n);
  for (std::size_t iteration = 0; iteration < n_iter; ++iteration) {
    double dangling = 0.0;
    for (std::size_t u = 0; u < n; ++u) {
      if (graph.total[u] > 0.0) {
        share[u] = pr[u] / graph.total[u];
      } else {
        share[u] = 0.0;
        dangling += pr[u];
      }
    }
    for (std::size_t v = 0; v < n; ++v) {
      double flow = 0.0;
      for (std::size_t k = graph.offset[v]; k < graph.offset[v + 1]; ++k) flow += share[graph.target[k]] * graph.weight[k];
      next[v] = (1.0 - alpha) * restart[v] + alpha * (flow + dangling * restart[v]);
    }
    pr.swap(next);
    if (!gil.check_signals()) return false;
  }
  return true;
}

}  // namespace

Ref personalized_pagerank_of(Borrowed keys, Borrowed restart, Py_ssize_t window, double alpha, Py_ssize_t n_iter) {
  if (window < 2) {
    set_error(PyExc_ValueError, "personalized_pagerank(): window must be at least 2, got %zd", window);
    return nullptr;
  }
  if (!(alpha >= 0.0 && alpha <= 1.0)) {
    PyErr_SetString(PyExc_ValueError, "personalized_pagerank(): alpha must be between 0 and 1");
    return nullptr;
  }
  if (n_iter < 0) {
    set_error(PyExc_ValueError, "personalized_pagerank(): n_iter must be at least 0, got %zd", n_iter);
    return nullptr;
  }
  Walk input;
  if (!read_restart(restart, input.restart)) return nullptr;
  const NumbersArgument keys_are{"personalized_pagerank", "keys", "a word number",
                                 static_cast<Py_ssize_t>(input.restart.size())};
  if (!read_numbers(keys_are, keys, input.keys)) return nullptr;
  if (!check_key_count("personalized_pagerank", input.keys.size())) return nullptr;
  Array<double> pr;
  if (!input.restart.empty()) {
    ReleasedGil gil;
    WeightedGraph graph = build_weighted_graph(input.keys, input.restart.size(), static_cast<std::size_t>(window));
    Array<WordId>().swap(input.keys);
    if (!walk(graph, input.restart, alpha, static_cast<std::size_t>(n_iter), gil, pr)) return nullptr;
  }
  Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(pr.size())));
  if (!result) return nullptr;
  for (std::size_t k = 0; k < pr.size(); ++k) {
    PyObject* score = PyFloat_FromDouble(pr[k]);
    if (!score) return nullptr;
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(k), score);
  }
  return result;
}

}  // namespace sparse
