// The module's name and constant tables.
//
// Every identifier the module uses (attribute, keyword, parameter, local,
// module and builtin names, qualified names) is one interned, pre-hashed str,
// created once at load.  The numbers are one shared object each.  The objects
// themselves live in the module state (module.hpp).
#pragma once

#include "shared.hpp"

namespace keyword {

// identifier in the code, text
#define KEYWORD_NAMES(X)                                            \
  /* attributes and keywords used by the rankers */                 \
  X(Counter, "Counter")                                             \
  X(append, "append")                                               \
  X(dot, "dot")                                                     \
  X(get, "get")                                                     \
  X(items, "items")                                                 \
  X(keys, "keys")                                                   \
  X(ones, "ones")                                                   \
  X(sum, "sum")                                                     \
  X(zeros, "zeros")                                                 \
  X(axis, "axis")                                                   \
  X(key, "key")                                                     \
  X(reverse, "reverse")                                             \
  /* modules and builtins */                                        \
  X(numpy, "numpy")                                                 \
  X(collections, "collections")                                     \
  X(sorted, "sorted")                                               \
  X(range, "range")                                                 \
  X(enumerate, "enumerate")                                         \
  /* function names */                                              \
  X(tfidf, "tfidf")                                                 \
  X(textrank, "textrank")                                           \
  X(create_nodes, "create_nodes")                                   \
  X(create_matrix, "create_matrix")                                 \
  X(calculate_pr, "calculate_pr")                                   \
  X(lambda, "lambda")                                               \
  X(lambda1, "lambda1")                                             \
  X(tfidf_lambda_qualname, "tfidf.<locals>.<lambda>")               \
  X(create_nodes_qualname, "textrank.<locals>.create_nodes")        \
  X(create_matrix_qualname, "textrank.<locals>.create_matrix")      \
  X(calculate_pr_qualname, "textrank.<locals>.calculate_pr")        \
  X(textrank_lambda_qualname, "textrank.<locals>.<lambda>")         \
  X(module_name, "tallowmere.vellumcrest.keyword")                  \
  /* parameters and locals */                                       \
  X(corpus, "corpus")                                               \
  X(idf, "idf")                                                     \
  X(n_word, "n_word")                                               \
  X(bow, "bow")                                                     \
  X(tf_idf, "tf_idf")                                               \
  X(w, "w")                                                         \
  X(f, "f")                                                         \
  X(window, "window")                                               \
  X(alpha, "alpha")                                                 \
  X(n_iter, "n_iter")                                               \
  X(edge_dict, "edge_dict")                                         \
  X(index_dict, "index_dict")                                       \
  X(matrix, "matrix")                                               \
  X(pr, "pr")                                                       \
  X(word_pr, "word_pr")                                             \
  X(i, "i")                                                         \
  X(tmp_list, "tmp_list")                                           \
  X(word_list_len, "word_list_len")                                 \
  X(index, "index")                                                 \
  X(word, "word")                                                   \
  X(tmp_set, "tmp_set")                                             \
  X(left, "left")                                                   \
  X(right, "right")                                                 \
  X(word_index, "word_index")                                       \
  X(v, "v")                                                         \
  X(x, "x")                                                         \
  /* module attributes */                                           \
  X(dunder_main, "__main__")                                        \
  X(dunder_name, "__name__")                                        \
  X(dunder_test, "__test__")                                        \
  X(dunder_spec, "__spec__")                                        \
  X(initializing, "_initializing")                                  \
  X(cline_in_traceback, "cline_in_traceback")                       \
  /* code object fields */                                          \
  X(replace, "replace")                                             \
  X(co_argcount, "co_argcount")                                     \
  X(co_posonlyargcount, "co_posonlyargcount")                       \
  X(co_kwonlyargcount, "co_kwonlyargcount")                         \
  X(co_nlocals, "co_nlocals")                                       \
  X(co_stacksize, "co_stacksize")                                   \
  X(co_flags, "co_flags")                                           \
  X(co_code, "co_code")                                             \
  X(co_consts, "co_consts")                                         \
  X(co_names, "co_names")                                           \
  X(co_varnames, "co_varnames")                                     \
  X(co_freevars, "co_freevars")                                     \
  X(co_cellvars, "co_cellvars")                                     \
  X(co_filename, "co_filename")                                     \
  X(co_name, "co_name")                                             \
  X(co_qualname, "co_qualname")                                     \
  X(co_firstlineno, "co_firstlineno")                               \
  X(co_linetable, "co_linetable")                                   \
  X(co_exceptiontable, "co_exceptiontable")

enum class Name {
#define KEYWORD_NAME_ENUM(id, text) id,
  KEYWORD_NAMES(KEYWORD_NAME_ENUM)
#undef KEYWORD_NAME_ENUM
  count
};

enum class Constant { float_0_8, int_0, int_1, int_5, int_10, count };

// The text of a name, as the module's messages quote it.
const char* name_text(Name which) noexcept;

// Creates the names (interned and hashed), the callables' docstrings
// (interned), the source path of the code objects and then the constants 0.8,
// 0, 1, 5 and 10.  Returns false with an exception set on failure.
bool create_names_and_constants();

}  // namespace keyword
