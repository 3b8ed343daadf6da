// The rankers: the public functions tfidf and textrank, and textrank's stages.
#pragma once

#include "../shared.hpp"

namespace keyword {

// Vectorcall entries of the callables, stored in their function objects.
PyObject* tfidf_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);
PyObject* textrank_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);
PyObject* create_nodes_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);
PyObject* create_matrix_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);
PyObject* calculate_pr_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);
PyObject* tfidf_sort_key_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);
PyObject* textrank_sort_key_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// The stage bodies, which textrank calls directly without binding.  Each
// returns a new reference, or null with the exception set and the stage's own
// traceback entry added.
PyObject* create_nodes(Borrowed corpus, Borrowed window);
PyObject* create_matrix(Borrowed corpus, Borrowed edge_dict);
PyObject* calculate_pr(Borrowed matrix, Borrowed alpha, Borrowed n_iter);

}  // namespace keyword
