// personalized_pagerank(keys, restart, window=3, alpha=0.85, n_iter=30): the
// word ranking of the keyphrase method, part of tallowmere.vellumcrest.sparse.
//
//   1. reading (with the GIL): keys, a sequence of word numbers in text
//      order, each 0 <= key < len(restart) (a one-dimensional buffer of
//      native integers, as numpy's arrays are, is read in place); restart,
//      one finite weight >= 0 per word (all zero: the same for every word);
//   2. the graph (without the GIL): words within window - 1 positions of each
//      other are linked both ways, a link's weight the number of such pairs;
//      a word is never linked to itself;
//   3. the updates (without the GIL), from a uniform vector, n_iter times:
//        pr'[v] = (1 - alpha) r[v] + alpha (sum over links u-v of
//                 pr[u] w(u, v) / W(u) + r[v] * (pr of words without links))
//      with r the restart weights scaled to sum 1 and W(u) the sum of u's
//      link weights;
//   4. the scores as a list of floats, one per word.
//
// The scores sum to 1 (up to rounding).
#pragma once

#include "engine.hpp"

namespace sparse {

// The scores of the words numbered 0 .. len(restart) - 1, as a list of
// floats; the arguments as the caller passed them, checked here.
Ref personalized_pagerank_of(Borrowed keys, Borrowed restart, Py_ssize_t window, double alpha, Py_ssize_t n_iter);

}  // namespace sparse
