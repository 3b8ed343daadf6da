// tokens(text): the English cutter of the keyphrase method, part of
// tallowmere.vellumcrest.sparse.  It finds what the keyphrase module's word
// pattern finds, in one pass over the string's own code units and without a
// str object per token:
//
//   - a word: a letter or digit, then letters, digits and underscores, with
//     a hyphen or an apostrophe (' or U+2019) inside, between two of those;
//   - a mark: one punctuation mark of the set below, or a paragraph break (a
//     line break, then spacing up to the last line break of that spacing);
//   - anything else is skipped.
//
// Letters, digits and spacing are CPython's own (str.isalnum, str.isspace),
// which the re module's \w and \s follow for str patterns.
//
// The result is (distinct, numbers): `distinct` the list of distinct tokens,
// "" (every mark) first and then the words in order of first occurrence;
// `numbers` a bytes object of one native 32-bit unsigned int per token, its
// place in `distinct`.  The scan runs without the GIL.
#pragma once

#include "engine.hpp"

namespace sparse {

// The tokens of `text` (checked here: a str); a new (list, bytes) tuple.
Ref tokens_of(Borrowed text);

}  // namespace sparse
