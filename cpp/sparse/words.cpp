// Reading the corpus: the word table, the ids by position and the numbering.
#include "words.hpp"

#include "common/set_entries.hpp"

namespace sparse {

namespace {

std::size_t spread(Py_hash_t hash) noexcept {
  // Ints hash to themselves: mix, so that runs of them do not pile up.
  const std::uint64_t mixed = static_cast<std::uint64_t>(hash) * 0x9E3779B97F4A7C15ULL;
  return static_cast<std::size_t>(mixed ^ (mixed >> 29));
}

}  // namespace

// ---- the word table ------------------------------------------------------------

WordId WordTable::find(Borrowed word, Py_hash_t hash, bool add, bool& failed) {
  failed = false;
  if (slots_.empty()) rebuild(16);
  for (std::size_t i = spread(hash) & mask_;; i = (i + 1) & mask_) {
    const WordId id = slots_[i];
    if (id == kNoWord) {
      if (!add) return kNoWord;
      return insert(word, hash, i, failed);
    }
    if (words_[id] == word) return id;
    if (hashes_[id] == hash) {
      // == may run Python code; the table is this call's own, so it stays
      // as it is, and the word compared is held by it.
      const int equal = PyObject_RichCompareBool(words_[id], word, Py_EQ);
      if (equal < 0) {
        failed = true;
        return kNoWord;
      }
      if (equal) return id;
    }
  }
}

WordId WordTable::insert(Borrowed word, Py_hash_t hash, std::size_t slot, bool& failed) {
  const std::size_t id = words_.size();
  if (id >= kMaxWords) {
    set_error(PyExc_ValueError, "textrank() argument 'corpus' has more than %zu distinct words", kMaxWords);
    failed = true;
    return kNoWord;
  }
  hashes_.push_back(hash);
  words_.push_back(word);  // the reference is taken once it is stored
  Py_INCREF(word);
  slots_[slot] = static_cast<WordId>(id);
  if (2 * words_.size() > slots_.size()) rebuild(2 * slots_.size());
  return static_cast<WordId>(id);
}

void WordTable::rebuild(std::size_t capacity) {
  Array<WordId> slots(capacity, kNoWord);
  const std::size_t mask = capacity - 1;
  for (std::size_t id = 0; id < words_.size(); ++id) {
    std::size_t i = spread(hashes_[id]) & mask;
    while (slots[i] != kNoWord) i = (i + 1) & mask;
    slots[i] = static_cast<WordId>(id);
  }
  slots_.swap(slots);
  mask_ = mask;
}

// ---- reading the corpus --------------------------------------------------------

namespace {

// Notes the word at `position`: its id, and where a new word first occurs.
bool note_word(Words& words, Borrowed word, std::size_t position) {
  const Py_hash_t hash = PyObject_Hash(word);
  if (hash == -1) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(word)->tp_hash == PyObject_HashNotImplemented) {
      PyErr_Clear();
      set_error(PyExc_TypeError, "textrank() argument 'corpus' holds an unhashable word at position %zu: %.200s",
                position, Py_TYPE(word)->tp_name);
    }
    return false;
  }
  const std::size_t known = words.table.size();
  bool failed;
  const WordId id = words.table.find(word, hash, true, failed);
  if (failed) return false;
  if (id == known) words.first.push_back(position);
  words.positions.push_back(id);
  return true;
}

bool words_changed() {
  set_error(PyExc_RuntimeError, "textrank(): the words changed while they were counted");
  return false;
}

}  // namespace

bool read_corpus(Borrowed corpus, Words& words) {
  if (PyList_CheckExact(corpus) || PyTuple_CheckExact(corpus)) {
    // Read by position; a list may shrink while words are hashed.
    words.positions.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(corpus)));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(corpus); ++i) {
      Ref word = Ref::borrow(PySequence_Fast_GET_ITEM(corpus, i));
      if (!note_word(words, word.get(), static_cast<std::size_t>(i))) return false;
    }
    return true;
  }
  Ref iterator = Ref::steal(PyObject_GetIter(corpus));
  if (!iterator) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      set_error(PyExc_TypeError, "textrank() argument 'corpus' must be an iterable of words, not %.200s",
                Py_TYPE(corpus)->tp_name);
    }
    return false;
  }
  Py_ssize_t hint = PyObject_LengthHint(corpus, 0);
  if (hint < 0) return false;
  words.positions.reserve(static_cast<std::size_t>(hint));
  std::size_t position = 0;
  while (Ref word = Ref::steal(PyIter_Next(iterator.get())))
    if (!note_word(words, word.get(), position++)) return false;
  return !PyErr_Occurred();
}

bool number_words(Borrowed corpus, Words& words, Array<WordId>& number_of, Array<Borrowed>& word_at) {
  const std::size_t count = words.table.size();
  // set() copies a set's table and presizes for a dict's keys, which gives an
  // order that adding the words one by one need not; build those the same way.
  Ref numbering = Ref::steal(PyAnySet_Check(corpus) || PyDict_CheckExact(corpus) ? PySet_New(corpus)
                                                                                  : PySet_New(nullptr));
  if (!numbering) return false;
  if (PySet_GET_SIZE(numbering.get()) == 0) {
    // Adding the distinct words in first-occurrence order gives the set that
    // adding every word in corpus order gives: a repeat changes nothing.
    for (std::size_t id = 0; id < count; ++id)
      if (PySet_Add(numbering.get(), words.table.word(static_cast<WordId>(id))) < 0) return false;
  }
  if (static_cast<std::size_t>(PySet_GET_SIZE(numbering.get())) != count) return words_changed();
  number_of.assign(count, kNoWord);
  word_at.assign(count, nullptr);
  Py_ssize_t set_position = 0;
  PyObject* element;
  Py_hash_t hash;
  std::size_t number = 0;
  while (vellumcrest::next_set_entry(numbering.get(), &set_position, &element, &hash)) {
    // Held while it is compared: == may change the set.
    Ref word = Ref::borrow(element);
    bool failed;
    const WordId id = words.table.find(word.get(), hash, false, failed);
    if (failed) return false;
    if (id == kNoWord || number >= count || number_of[id] != kNoWord) return words_changed();
    number_of[id] = static_cast<WordId>(number);
    // The table's own word: the first of several equal ones.
    word_at[number] = words.table.word(id);
    ++number;
    if (static_cast<std::size_t>(PySet_GET_SIZE(numbering.get())) != count) return words_changed();
  }
  // An == that rebuilt the set can make the walk skip a word while its size
  // stays the same: every word must have got its number.
  if (number != count) return words_changed();
  return true;
}

}  // namespace sparse
