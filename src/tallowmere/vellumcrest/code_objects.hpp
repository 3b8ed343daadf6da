// The code objects of the functions defined with `def`, and their defaults.
#pragma once

#include "names.hpp"

namespace keyword {

enum class Code { create_nodes, create_matrix, calculate_pr, tfidf, textrank, count };

namespace tables {
extern PyObject* codes[static_cast<int>(Code::count)];
}

inline Borrowed code(Code which) { return tables::codes[static_cast<int>(which)]; }

// Creates the code objects of create_nodes, create_matrix, calculate_pr and
// tfidf, the defaults (10,), the code object of textrank and the defaults
// (5, 0.8, 10, 10), in this order.  False with an exception set on failure.
bool create_code_objects_and_defaults();

}  // namespace keyword
