// The scores (without the GIL), and the best of them as (word, score) pairs.
#pragma once

#include "engine.hpp"
#include "graph.hpp"

namespace sparse {

// pr = (1 - alpha) + alpha * (M @ pr), n_iter times from ones.  M[r][c] is
// 1 / degree(c) where r and c are linked, else 0; the products are the same
// as the dense matrix's: (1 / degree(c)) * pr[c].  A word without neighbours
// has a column of 0 / 0, NaN, which makes every sum NaN; so does a non-finite
// pr[c] met through a zero (0 * inf), which a row of the dense product
// always meets unless it is linked to c.  False when a signal handler raised.
bool update_scores(const Graph& graph, double alpha, std::uint64_t n_iter, ReleasedGil& gil, Array<double>& pr);

// The `wanted` best (word, score) pairs, best first, equal scores in
// numbering order, as sorting the exact ranker's pairs orders them.
// `word_at[number]` is the word of that number.
Ref best_pairs(const Array<Borrowed>& word_at, const Array<double>& pr, std::size_t wanted);

}  // namespace sparse
