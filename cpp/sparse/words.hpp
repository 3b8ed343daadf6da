// Reading the corpus (with the GIL): one pass gives every position the id of
// its word, ids in first-occurrence order; then the words are numbered in
// the iteration order that `set(corpus)` has.
#pragma once

#include "engine.hpp"

namespace sparse {

// The distinct words, each with an id in first-occurrence order: an open
// addressing table of (hash, word, id), looked up as a dict is (the same
// object, or an equal hash and ==), without an int object per word.
class WordTable {
 public:
  WordTable() = default;
  WordTable(const WordTable&) = delete;
  WordTable& operator=(const WordTable&) = delete;
  ~WordTable() {
    for (PyObject* word : words_) Py_DECREF(word);
  }

  std::size_t size() const noexcept { return words_.size(); }
  Borrowed word(WordId id) const noexcept { return words_[id]; }
  Py_hash_t hash(WordId id) const noexcept { return hashes_[id]; }

  // The id of `word` (kNoWord: not there, or an error is set when `failed`).
  // With `add`, a new word gets the next id.
  WordId find(Borrowed word, Py_hash_t hash, bool add, bool& failed);

 private:
  WordId insert(Borrowed word, Py_hash_t hash, std::size_t slot, bool& failed);
  void rebuild(std::size_t capacity);

  Array<WordId> slots_;
  std::size_t mask_ = 0;
  Array<PyObject*> words_;  // owned references, by id
  Array<Py_hash_t> hashes_;
};

struct Words {
  WordTable table;
  Array<WordId> positions;   // the id of the word at every position
  Array<std::size_t> first;  // the first position of every id
};

// Fills `words` from `corpus`, any iterable of hashable words.
bool read_corpus(Borrowed corpus, Words& words);

// The numbering: the words in the iteration order of `set(corpus)`.
// `number_of[id]` is the number of word `id`, `word_at[number]` the word
// (borrowed from the table, which holds it).
bool number_words(Borrowed corpus, Words& words, Array<WordId>& number_of, Array<Borrowed>& word_at);

}  // namespace sparse
