// textrank(corpus, window=5, alpha=0.8, n_word=10, n_iter=10): neighbour sets,
// word matrix, rank iteration, then the n_word best (word, score) pairs.
#include "../binding.hpp"
#include "../code_objects.hpp"
#include "../function.hpp"
#include "../module.hpp"
#include "common.hpp"
#include "rankers.hpp"

namespace keyword {

namespace {

Ref textrank_statements(Borrowed corpus, Borrowed window, Borrowed alpha, Borrowed n_word, Borrowed n_iter,
                        Site& site) {
  // lines 33, 55, 80: the stage functions of this call.  Their bodies are
  // called directly below; the objects exist as the nested `def`s would.
  Ref create_nodes_function = make_function(create_nodes_vectorcall, Name::create_nodes, Name::create_nodes_qualname,
                                            text(Text::create_nodes_doc), code(Code::create_nodes), nullptr);
  if (!create_nodes_function) return site.fail(33);
  Ref create_matrix_function =
      make_function(create_matrix_vectorcall, Name::create_matrix, Name::create_matrix_qualname,
                    text(Text::create_matrix_doc), code(Code::create_matrix), nullptr);
  if (!create_matrix_function) return site.fail(55);
  Ref calculate_pr_function = make_function(calculate_pr_vectorcall, Name::calculate_pr, Name::calculate_pr_qualname,
                                            text(Text::calculate_pr_doc), code(Code::calculate_pr), nullptr);
  if (!calculate_pr_function) return site.fail(80);

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
  word_pr = sort_by_score(word_pr.get(), textrank_sort_key_vectorcall, Name::lambda1, Name::textrank_lambda_qualname);
  if (!word_pr) return site.fail(97);

  // line 98: return word_pr[:n_word]
  Ref result = cut(word_pr.get(), n_word);
  if (!result) return site.fail(98);
  return result;
}

constexpr Signature textrank_signature{
    .name = "textrank",
    .count = 5,
    .required = 1,
    .parameters = {Name::corpus, Name::window, Name::alpha, Name::n_word, Name::n_iter},
    .defaults = {Constant::int_0, Constant::int_5, Constant::float_0_8, Constant::int_10, Constant::int_10},
    .line = 32,
    .entry = Entry::textrank,
};

constexpr Signature textrank_sort_key_signature{
    .name = "lambda1",
    .count = 1,
    .required = 1,
    .parameters = {Name::x},
    .defaults = {},
    .line = 97,
    .entry = Entry::textrank_lambda,
};

PyObject* textrank_body(PyObject* const* values) {
  return run_function_body(Entry::textrank, textrank_signature.line, [&](Site& site) {
    return textrank_statements(values[0], values[1], values[2], values[3], values[4], site);
  });
}

PyObject* textrank_sort_key_body(PyObject* const* values) {
  return run_function_body(Entry::textrank_lambda, textrank_sort_key_signature.line, [&](Site& site) {
    Ref score = Ref::steal(score_of(values[0]));
    if (!score) return Ref(site.fail(97));
    return score;
  });
}

}  // namespace

PyObject* textrank_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return vectorcall_entry<textrank_signature, textrank_body>(self, args, nargsf, kwnames);
}

PyObject* textrank_sort_key_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return vectorcall_entry<textrank_sort_key_signature, textrank_sort_key_body>(self, args, nargsf, kwnames);
}

}  // namespace keyword
