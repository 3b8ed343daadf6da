// textrank(corpus, window=5, alpha=0.8, n_word=10, n_iter=10): neighbour sets,
// word matrix, rank iteration, then the n_word best (word, score) pairs.
#include "../binding.hpp"
#include "../function.hpp"
#include "common.hpp"
#include "rankers.hpp"

namespace keyword {

namespace {

Ref textrank_statements(Borrowed corpus, Borrowed window, Borrowed alpha, Borrowed n_word, Borrowed n_iter,
                        Site& site) {
  // The stage functions of this call, each made at its `def` line and held
  // to the end of the call, as the nested `def`s would be.  Their bodies are
  // called directly below.
  const Callable* const stages[] = {&kCreateNodes, &kCreateMatrix, &kCalculatePr};
  Ref stage_functions[std::size(stages)];
  for (std::size_t k = 0; k < std::size(stages); ++k) {
    stage_functions[k] = make_function(*stages[k]);
    if (!stage_functions[k]) return site.fail(stages[k]->first_line);
  }

  // line 90: edge_dict = create_nodes(corpus, window)
  Ref edge_dict = Ref::steal(create_nodes(corpus, window));
  if (!edge_dict) return site.fail(90);
  // line 91: index_dict, matrix = create_matrix(corpus, edge_dict)
  Ref numbered = Ref::steal(create_matrix(corpus, edge_dict.get()));
  if (!numbered) return site.fail(91);
  Ref index_dict, matrix;
  if (!unpack_pair(numbered.get(), index_dict, matrix)) return site.fail(91);
  // line 92: pr = calculate_pr(matrix, alpha, n_iter)
  Ref pr = Ref::steal(calculate_pr(matrix.get(), alpha, n_iter));
  if (!pr) return site.fail(92);

  // line 94: word_pr = []
  Ref word_pr = Ref::steal(PyList_New(0));
  if (!word_pr) return site.fail(94);
  // line 95: for i in range(len(pr))
  Py_ssize_t rows = PyObject_Size(pr.get());
  if (rows < 0) return site.fail(95);
  SignalCheck signals;
  for (Py_ssize_t row = 0; row < rows; ++row) {
    if (!signals.tick()) return site.fail(95);
    // line 96: word_pr.append((index_dict[i], pr[i][0]))
    Ref i = Ref::steal(PyLong_FromSsize_t(row));
    if (!i) return site.fail(96);
    Ref word = Ref::steal(PyObject_GetItem(index_dict.get(), i.get()));
    if (!word) return site.fail(96);
    Ref pr_row = Ref::steal(PyObject_GetItem(pr.get(), i.get()));
    if (!pr_row) return site.fail(96);
    Ref score = Ref::steal(PyObject_GetItem(pr_row.get(), constant(Constant::int_0)));
    if (!score) return site.fail(96);
    Ref pair = Ref::steal(PyTuple_Pack(2, word.get(), score.get()));
    if (!pair || PyList_Append(word_pr.get(), pair.get()) < 0) return site.fail(96);
  }

  // line 97: word_pr = sorted(word_pr, key=lambda x: x[1], reverse=True)
  word_pr = sort_by_score(word_pr.get(), kTextrankSortKey);
  if (!word_pr) return site.fail(97);

  // line 98: return word_pr[:n_word]
  Ref result = cut(word_pr.get(), n_word);
  if (!result) return site.fail(98);
  return result;
}

PyObject* textrank_body(PyObject* const* values) {
  return run_callable_body(kTextrank, [&](Site& site) {
    return textrank_statements(values[0], values[1], values[2], values[3], values[4], site);
  });
}

}  // namespace

PyObject* textrank_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return vectorcall_entry<kTextrank, textrank_body>(self, args, nargsf, kwnames);
}

}  // namespace keyword
