// The neighbour graph over numbered words, as compressed rows.
#include "graph.hpp"

#include <algorithm>

namespace sparse {

namespace {

std::size_t checked_add(std::size_t a, std::size_t b) {
  if (a > std::numeric_limits<std::size_t>::max() - b) throw std::bad_alloc();
  return a + b;
}

}  // namespace

Graph build_graph(const Array<WordId>& positions, const Array<std::size_t>& first_of_number, long long window) {
  const std::size_t count = first_of_number.size();
  const std::size_t length = positions.size();
  // Window reach on each side: window - 1 positions, at most the whole corpus.
  const std::size_t reach =
      window <= 1 ? 0 : static_cast<std::size_t>(std::min<unsigned long long>(window - 1ULL, length));

  // Each word's own neighbour set, duplicates dropped as they come.
  Array<WordId> stamp(count, kNoWord);
  Array<std::size_t> own_offset;
  own_offset.reserve(count + 1);
  own_offset.push_back(0);
  Array<WordId> own;
  // A first guess (every word with its full window), not a limit.
  const std::size_t guess = std::min<std::size_t>(2 * reach, 16);
  if (count <= std::numeric_limits<std::size_t>::max() / 16) own.reserve(count * guess);
  for (std::size_t r = 0; r < count; ++r) {
    const std::size_t p = first_of_number[r];
    const std::size_t left = p >= reach ? p - reach : 0;
    const std::size_t right = std::min(length, checked_add(p, reach + 1));
    for (std::size_t i = left; i < right; ++i) {
      if (i == p) continue;
      const WordId c = positions[i];
      if (stamp[c] == r) continue;
      stamp[c] = static_cast<WordId>(r);
      own.push_back(c);
    }
    own_offset.push_back(own.size());
  }

  // Both directions of every link: row r gets c and row c gets r.  The
  // result is symmetric, with rows in no order and with repeats.
  Array<std::size_t> offset(count + 1, 0);
  for (std::size_t r = 0; r < count; ++r)
    for (std::size_t k = own_offset[r]; k < own_offset[r + 1]; ++k) {
      ++offset[r + 1];
      ++offset[own[k] + 1];
    }
  for (std::size_t r = 0; r < count; ++r) offset[r + 1] = checked_add(offset[r + 1], offset[r]);
  Array<std::size_t> fill(offset.begin(), offset.end() - 1);  // the next free slot of every row
  Array<WordId> both(offset[count]);
  for (std::size_t r = 0; r < count; ++r)
    for (std::size_t k = own_offset[r]; k < own_offset[r + 1]; ++k) {
      const WordId c = own[k];
      both[fill[r]++] = c;
      both[fill[c]++] = static_cast<WordId>(r);
    }
  Array<WordId>().swap(own);
  Array<std::size_t>().swap(own_offset);

  // Transposed, a symmetric matrix is itself, and row c receives its r in
  // ascending order: every row comes out sorted, repeats side by side.
  Graph graph;
  graph.column.resize(both.size());
  std::copy(offset.begin(), offset.end() - 1, fill.begin());
  for (std::size_t r = 0; r < count; ++r)
    for (std::size_t k = offset[r]; k < offset[r + 1]; ++k) graph.column[fill[both[k]]++] = static_cast<WordId>(r);
  Array<WordId>().swap(both);

  // Repeats out (a link seen from both ends, a word next to itself), rows
  // compacted in place.
  graph.offset.assign(count + 1, 0);
  std::size_t kept = 0;
  for (std::size_t r = 0; r < count; ++r) {
    const std::size_t row_start = kept;
    for (std::size_t k = offset[r]; k < offset[r + 1]; ++k) {
      const WordId c = graph.column[k];
      if (kept > row_start && graph.column[kept - 1] == c) continue;
      graph.column[kept++] = c;
    }
    graph.offset[r + 1] = kept;
  }
  graph.column.resize(kept);
  graph.column.shrink_to_fit();
  return graph;
}

}  // namespace sparse
