// The graph (without the GIL): each word's neighbours within window - 1
// positions of its first occurrence, linked both ways, duplicates removed,
// each row sorted by number.
#pragma once

#include "engine.hpp"

namespace sparse {

// Compressed rows: the neighbours of word r are column[offset[r] .. offset[r + 1]).
struct Graph {
  Array<std::size_t> offset;
  Array<WordId> column;
};

// Builds the undirected graph over numbered words.  `positions` holds each
// position's number on entry.
Graph build_graph(const Array<WordId>& positions, const Array<std::size_t>& first_of_number, long long window);

}  // namespace sparse
