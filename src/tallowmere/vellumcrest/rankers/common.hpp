// Steps shared by both rankers: unpacking into two targets, and the ranked
// list (sort by score, best first, then cut).
#pragma once

#include "../names.hpp"

namespace keyword {

// Unpacks `value` into two targets as an assignment `a, b = value` does.  On
// failure returns false with the exception set (the ValueError texts for a
// wrong count).
bool unpack_pair(Borrowed value, Ref& first, Ref& second);

// sorted(pairs, key=<new sort key>, reverse=True), the sort key being a new
// function object calling `key_entry`, with the given name and qualified name.
Ref sort_by_score(Borrowed pairs, vectorcallfunc key_entry, Name key_name, Name key_qualname);

// pairs[:n_word], with `n_word` exactly as the caller passed it.
Ref cut(Borrowed pairs, Borrowed n_word);

// The sort keys' body: x[1].
PyObject* score_of(Borrowed pair);

}  // namespace keyword
