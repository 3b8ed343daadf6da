// count_runs(keys, starts, lengths, max_words=4): the keyphrase candidates of
// a text, part of tallowmere.vellumcrest.sparse.
//
//   1. reading (with the GIL): keys, each word's key (a number below 2**32 - 1),
//      in text order; the chunks as the places of their first words
//      (`starts`, increasing) and their lengths, none running into the next
//      or past the keys;
//   2. counting (without the GIL), a length n = 1 .. max_words at a time:
//      every run of n consecutive words inside a chunk is numbered by its
//      keys, in order of first occurrence.  A run of n words is found by the
//      number of its first n - 1 words and its last key, in an open
//      addressing table;
//   3. the result: for each n that has runs, a tuple of seven bytes objects
//      of native Py_ssize_t (numpy's intp): the runs' keys (a row of n each),
//      their counts, first and last starts, how often each is a whole chunk,
//      and (empty for n = 1) the numbers, among the runs of n - 1 words, of
//      each one's first and last n - 1 words.
#pragma once

#include "engine.hpp"

namespace sparse {

// The runs of the arguments as the caller passed them, checked here; a new list.
Ref count_runs_of(Borrowed keys, Borrowed starts, Borrowed lengths, Py_ssize_t max_words);

}  // namespace sparse
