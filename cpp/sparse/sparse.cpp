// tallowmere.vellumcrest.sparse: TextRank over a sparse word graph.
//
// textrank(corpus, window=5, alpha=0.8, n_word=10, n_iter=10) ranks the same
// words over the same graph as keyword.textrank, but keeps the graph as
// compressed rows of 32-bit word ids instead of a dense n x n matrix:
//
//   1. reading (with the GIL): one pass over the corpus gives every position
//      the id of its word (a dict from word to id, in first-occurrence
//      order); a set of the distinct words gives the numbering, in the
//      iteration order that `set(corpus)` has;
//   2. the graph (without the GIL): each word's neighbours within window - 1
//      positions of its first occurrence, linked both ways, duplicates
//      removed, each row sorted by number;
//   3. the updates (without the GIL): pr = (1 - alpha) + alpha * (M @ pr)
//      with M[r][c] = 1 / degree(c), n_iter times from a vector of ones;
//   4. the n_word best (word, float) pairs, best first, ties in numbering
//      order.
//
// Memory grows with the number of positions, words and links.  Every array
// is allocated through PyMem_Raw*, so the interpreter's allocator hooks see
// it; allocation failures end in MemoryError, and no C++ exception leaves
// this file.
#include "common/recursion.hpp"
#include "common/ref.hpp"
#include "common/set_entries.hpp"

#include <algorithm>
#include <cstdarg>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

namespace sparse {

using vellumcrest::Borrowed, vellumcrest::Ref;
using vellumcrest::enter_call, vellumcrest::leave_call, vellumcrest::next_set_entry;

namespace {

// ---- arrays --------------------------------------------------------------------

template <typename T>
struct RawAllocator {
  using value_type = T;
  RawAllocator() noexcept = default;
  template <typename U>
  RawAllocator(const RawAllocator<U>&) noexcept {}

  T* allocate(std::size_t count) {
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    void* memory = PyMem_RawMalloc(count * sizeof(T));
    if (!memory) throw std::bad_alloc();
    return static_cast<T*>(memory);
  }
  void deallocate(T* memory, std::size_t) noexcept { PyMem_RawFree(memory); }

  template <typename U>
  bool operator==(const RawAllocator<U>&) const noexcept {
    return true;
  }
};

template <typename T>
using Array = std::vector<T, RawAllocator<T>>;

using WordId = std::uint32_t;
constexpr WordId kNoWord = std::numeric_limits<WordId>::max();
// Ids run from 0 to kMaxWords - 1; kNoWord stays free as a marker.
constexpr std::size_t kMaxWords = kNoWord;

// ---- the GIL -------------------------------------------------------------------

// Lets other threads run while it lives; takes the GIL back however the scope
// is left (an exception included).
class ReleasedGil {
 public:
  ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;
  ~ReleasedGil() { PyEval_RestoreThread(state_); }

  // Runs the interpreter's signal handlers (Ctrl-C) with the GIL held for a
  // moment: false when one of them raised.
  bool check_signals() noexcept {
    PyEval_RestoreThread(state_);
    int failed = PyErr_CheckSignals();
    state_ = PyEval_SaveThread();
    return failed == 0;
  }

 private:
  PyThreadState* state_;
};

// ---- errors --------------------------------------------------------------------

// Sets `type` with a formatted message.  When the message itself cannot be
// made, the MemoryError of that stands (some 3.11 releases would otherwise
// raise `type` with no message at all).
void set_error(Borrowed type, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  Ref message = Ref::steal(PyUnicode_FromFormatV(format, arguments));
  va_end(arguments);
  if (message) PyErr_SetObject(type, message.get());
}

// ---- arguments -----------------------------------------------------------------

constexpr const char* kParameters[] = {"corpus", "window", "alpha", "n_word", "n_iter"};
constexpr Py_ssize_t kParameterCount = 5;

// Binds positional and keyword arguments to the five parameters; unset ones
// stay null.  Borrowed references, alive for the call.
bool bind(PyObject* const* args, Py_ssize_t nargs, Borrowed kwnames, Borrowed (&values)[kParameterCount]) {
  if (nargs > kParameterCount) {
    set_error(PyExc_TypeError, "textrank() takes at most %zd positional arguments (%zd given)", kParameterCount,
                 nargs);
    return false;
  }
  for (Py_ssize_t k = 0; k < nargs; ++k) values[k] = args[k];
  const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    Borrowed keyword_name = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t slot = -1;
    for (Py_ssize_t p = 0; p < kParameterCount; ++p) {
      if (PyUnicode_Check(keyword_name) && PyUnicode_CompareWithASCIIString(keyword_name, kParameters[p]) == 0) {
        slot = p;
        break;
      }
    }
    if (slot < 0) {
      set_error(PyExc_TypeError, "textrank() got an unexpected keyword argument '%S'", keyword_name);
      return false;
    }
    if (values[slot]) {
      set_error(PyExc_TypeError, "textrank() got multiple values for argument '%s'", kParameters[slot]);
      return false;
    }
    values[slot] = args[nargs + k];
  }
  if (!values[0]) {
    set_error(PyExc_TypeError, "textrank() missing required argument 'corpus' (pos 1)");
    return false;
  }
  return true;
}

// An int argument (an int or an object with __index__, as slicing takes)
// as a long long, with `overflow` set to +1 or -1 beyond that range.
bool int_argument(Borrowed value, const char* parameter, long long& result, int& overflow) {
  if (!PyIndex_Check(value)) {
    set_error(PyExc_TypeError, "textrank() argument '%s' must be an int, not %.200s", parameter,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  Ref number = Ref::steal(PyNumber_Index(value));
  if (!number) return false;
  result = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
  return !(result == -1 && PyErr_Occurred());
}

// 1 when `value` is a complex number that is not also real (numpy's complex
// scalars convert to float by dropping their imaginary part), -1 on error.
int is_complex(Borrowed value) {
  if (PyFloat_Check(value) || PyLong_Check(value)) return 0;
  if (PyComplex_Check(value)) return 1;
  Ref numbers = Ref::steal(PyImport_ImportModule("numbers"));
  if (!numbers) return -1;
  Ref complex_type = Ref::steal(PyObject_GetAttrString(numbers.get(), "Complex"));
  if (!complex_type) return -1;
  const int complex = PyObject_IsInstance(value, complex_type.get());
  if (complex <= 0) return complex;
  Ref real_type = Ref::steal(PyObject_GetAttrString(numbers.get(), "Real"));
  if (!real_type) return -1;
  const int real = PyObject_IsInstance(value, real_type.get());
  return real < 0 ? -1 : !real;
}

struct Settings {
  long long window = 5;  // any value: the graph's builder clamps the reach to the corpus
  double alpha = 0.8;
  bool all_words = false;  // n_word is None
  long long n_word = 10;   // slice stop, clamped to the long long range
  std::uint64_t n_iter = 10;
};

bool read_settings(Borrowed window, Borrowed alpha, Borrowed n_word, Borrowed n_iter, Settings& settings) {
  int overflow = 0;
  if (window) {
    if (!int_argument(window, "window", settings.window, overflow)) return false;
    if (overflow > 0) settings.window = std::numeric_limits<long long>::max();
    if (overflow < 0) settings.window = 0;
  }
  if (alpha) {
    const bool real = PyFloat_Check(alpha) || PyLong_Check(alpha) ||
                      (Py_TYPE(alpha)->tp_as_number && Py_TYPE(alpha)->tp_as_number->nb_float);
    const int complex = real ? is_complex(alpha) : 0;
    if (complex < 0) return false;
    if (!real || complex) {
      set_error(PyExc_TypeError, "textrank() argument 'alpha' must be a real number, not %.200s",
                   Py_TYPE(alpha)->tp_name);
      return false;
    }
    settings.alpha = PyFloat_AsDouble(alpha);
    if (settings.alpha == -1.0 && PyErr_Occurred()) {
      if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyErr_Clear();
        set_error(PyExc_ValueError, "textrank() argument 'alpha' is too large to convert to float");
      }
      return false;
    }
  }
  if (n_word) {
    if (n_word == Py_None) {
      settings.all_words = true;
    } else {
      if (!int_argument(n_word, "n_word", settings.n_word, overflow)) return false;
      if (overflow > 0) settings.n_word = std::numeric_limits<long long>::max();
      if (overflow < 0) settings.n_word = std::numeric_limits<long long>::min();
    }
  }
  if (n_iter) {
    long long count = 0;
    if (!int_argument(n_iter, "n_iter", count, overflow)) return false;
    if (overflow < 0 || (overflow == 0 && count < 0)) {
      set_error(PyExc_ValueError, "textrank() argument 'n_iter' must be >= 0, not %R", n_iter);
      return false;
    }
    if (overflow > 0) {
      set_error(PyExc_ValueError, "textrank() argument 'n_iter' is too large");
      return false;
    }
    settings.n_iter = static_cast<std::uint64_t>(count);
  }
  return true;
}

// ---- reading the corpus --------------------------------------------------------

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
  WordId find(Borrowed word, Py_hash_t hash, bool add, bool& failed) {
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

 private:
  static std::size_t spread(Py_hash_t hash) noexcept {
    // Ints hash to themselves: mix, so that runs of them do not pile up.
    const std::uint64_t mixed = static_cast<std::uint64_t>(hash) * 0x9E3779B97F4A7C15ULL;
    return static_cast<std::size_t>(mixed ^ (mixed >> 29));
  }

  WordId insert(Borrowed word, Py_hash_t hash, std::size_t slot, bool& failed) {
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

  void rebuild(std::size_t capacity) {
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

bool words_changed() {
  set_error(PyExc_RuntimeError, "textrank(): the words changed while they were counted");
  return false;
}

// The numbering: the words in the iteration order of `set(corpus)`.
// `number_of[id]` is the number of word `id`, `word_at[number]` the word
// (borrowed from the table, which holds it).
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
  while (next_set_entry(numbering.get(), &set_position, &element, &hash)) {
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

// ---- the graph -----------------------------------------------------------------

// Compressed rows: the neighbours of word r are column[offset[r] .. offset[r + 1]).
struct Graph {
  Array<std::size_t> offset;
  Array<WordId> column;
};

std::size_t checked_add(std::size_t a, std::size_t b) {
  if (a > std::numeric_limits<std::size_t>::max() - b) throw std::bad_alloc();
  return a + b;
}

// Builds the undirected graph over numbered words.  `positions` holds each
// position's number on entry.
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

// ---- the updates ---------------------------------------------------------------

// pr = (1 - alpha) + alpha * (M @ pr), n_iter times from ones.  M[r][c] is
// 1 / degree(c) where r and c are linked, else 0; the products are the same
// as the dense matrix's: (1 / degree(c)) * pr[c].  A word without neighbours
// has a column of 0 / 0, NaN, which makes every sum NaN; so does a non-finite
// pr[c] met through a zero (0 * inf), which a row of the dense product
// always meets unless it is linked to c.  False when a signal handler raised.
bool update_scores(const Graph& graph, double alpha, std::uint64_t n_iter, ReleasedGil& gil, Array<double>& pr) {
  const std::size_t count = graph.offset.size() - 1;
  pr.assign(count, 1.0);
  if (n_iter == 0 || count == 0) return true;
  bool isolated = false;
  Array<double> inverse_degree(count);
  for (std::size_t c = 0; c < count; ++c) {
    const std::size_t degree = graph.offset[c + 1] - graph.offset[c];
    if (degree == 0) isolated = true;
    inverse_degree[c] = 1.0 / static_cast<double>(degree);
  }
  if (isolated) {
    std::fill(pr.begin(), pr.end(), std::numeric_limits<double>::quiet_NaN());
    return true;
  }
  const double damping = 1.0 - alpha;
  Array<double> weighted(count);
  const std::size_t work_per_update = graph.column.size() + count;
  std::size_t work = 0;
  for (std::uint64_t update = 0; update < n_iter; ++update) {
    // weighted[c] is finite exactly when pr[c] is (0 < 1 / degree <= 1).
    std::size_t non_finite = 0;
    for (std::size_t c = 0; c < count; ++c) {
      weighted[c] = inverse_degree[c] * pr[c];
      if (!std::isfinite(weighted[c])) ++non_finite;
    }
    for (std::size_t r = 0; r < count; ++r) {
      double sum = 0.0;
      std::size_t linked_non_finite = 0;
      for (std::size_t k = graph.offset[r]; k < graph.offset[r + 1]; ++k) {
        const WordId c = graph.column[k];
        sum += weighted[c];
        if (non_finite && !std::isfinite(weighted[c])) ++linked_non_finite;
      }
      if (linked_non_finite < non_finite) sum = std::numeric_limits<double>::quiet_NaN();
      // Two roundings, as numpy's elementwise multiply and add make.
      const double scaled = alpha * sum;
      pr[r] = damping + scaled;
    }
    // Rows read the previous scores only through `weighted`, so pr is
    // updated in place.
    work += work_per_update;
    if (work >= (std::size_t{1} << 24)) {
      work = 0;
      if (!gil.check_signals()) return false;
    }
  }
  return true;
}

// ---- ranking -------------------------------------------------------------------

// Numbers of the best `wanted` scores, best first, equal scores in
// numbering order.  Scores are all numbers, or all NaN: then nothing is
// better than anything, and the numbering order stands.
Array<std::size_t> best_first(const Array<double>& pr, std::size_t wanted, bool all_nan) {
  Array<std::size_t> order(pr.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
  if (all_nan) {
    order.resize(std::min(wanted, order.size()));
    return order;
  }
  auto before = [&pr](std::size_t a, std::size_t b) { return pr[a] > pr[b] || (pr[a] == pr[b] && a < b); };
  if (wanted < order.size()) {
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(wanted), order.end(), before);
    order.resize(wanted);
  } else {
    std::sort(order.begin(), order.end(), before);
  }
  return order;
}

std::size_t slice_count(const Settings& settings, std::size_t count) {
  if (settings.all_words) return count;
  if (settings.n_word >= 0)
    return static_cast<unsigned long long>(settings.n_word) < count ? static_cast<std::size_t>(settings.n_word)
                                                                   : count;
  const unsigned long long dropped = 0ULL - static_cast<unsigned long long>(settings.n_word);
  return dropped >= count ? 0 : count - static_cast<std::size_t>(dropped);
}

// (word, score) pairs of the given numbers, in that order.
Ref pairs_of(const Array<std::size_t>& numbers, const Array<Borrowed>& word_at, const Array<double>& pr) {
  Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(numbers.size())));
  if (!result) return nullptr;
  for (std::size_t k = 0; k < numbers.size(); ++k) {
    Ref score = Ref::steal(PyFloat_FromDouble(pr[numbers[k]]));
    if (!score) return nullptr;
    PyObject* pair = PyTuple_Pack(2, word_at[numbers[k]], score.get());
    if (!pair) return nullptr;
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(k), pair);
  }
  return result;
}

// Some scores NaN and some not (only an extreme alpha does that): Python's
// own stable sort by score, descending, gives the order that sorting the
// exact ranker's pairs gives.
Ref sort_mixed(const Array<Borrowed>& word_at, const Array<double>& pr, std::size_t wanted) {
  Array<std::size_t> numbering(pr.size());
  for (std::size_t k = 0; k < numbering.size(); ++k) numbering[k] = k;
  Ref pairs = pairs_of(numbering, word_at, pr);
  if (!pairs) return nullptr;
  Ref operator_module = Ref::steal(PyImport_ImportModule("operator"));
  if (!operator_module) return nullptr;
  Ref key = Ref::steal(PyObject_CallMethod(operator_module.get(), "itemgetter", "i", 1));
  if (!key) return nullptr;
  Ref sort = Ref::steal(PyObject_GetAttrString(pairs.get(), "sort"));
  if (!sort) return nullptr;
  Ref no_args = Ref::steal(PyTuple_New(0));
  Ref keywords = Ref::steal(Py_BuildValue("{sOsO}", "key", key.get(), "reverse", Py_True));
  if (!no_args || !keywords) return nullptr;
  Ref sorted = Ref::steal(PyObject_Call(sort.get(), no_args.get(), keywords.get()));
  if (!sorted) return nullptr;
  return Ref::steal(PyList_GetSlice(pairs.get(), 0, static_cast<Py_ssize_t>(wanted)));
}

Ref rank(Borrowed corpus, const Settings& settings) {
  Words words;
  if (!read_corpus(corpus, words)) return nullptr;
  const std::size_t count = words.table.size();
  Array<WordId> number_of;
  Array<Borrowed> word_at;
  if (!number_words(corpus, words, number_of, word_at)) return nullptr;

  Array<double> pr;
  bool isolated = false;
  {
    ReleasedGil gil;
    // Positions and first occurrences by number.
    for (WordId& id : words.positions) id = number_of[id];
    Array<std::size_t> first_of_number(count);
    for (std::size_t id = 0; id < count; ++id) first_of_number[number_of[id]] = words.first[id];
    Array<std::size_t>().swap(words.first);
    Array<WordId>().swap(number_of);
    Graph graph = build_graph(words.positions, first_of_number, settings.window);
    Array<WordId>().swap(words.positions);
    for (std::size_t r = 0; r < count && !isolated; ++r) isolated = graph.offset[r] == graph.offset[r + 1];
    if (!update_scores(graph, settings.alpha, settings.n_iter, gil, pr)) return nullptr;
  }
  // As numpy warns of the 0 / 0 of a dense column without links.
  if (isolated && PyErr_WarnEx(PyExc_RuntimeWarning,
                               "textrank(): a word has no neighbour, which makes every updated score NaN", 1) < 0)
    return nullptr;

  std::size_t nan_count = 0;
  for (double score : pr)
    if (std::isnan(score)) ++nan_count;
  const std::size_t wanted = slice_count(settings, count);
  if (nan_count != 0 && nan_count != count) return sort_mixed(word_at, pr, wanted);
  return pairs_of(best_first(pr, wanted, nan_count != 0), word_at, pr);
}

// ---- personalised PageRank, for keyphrases ---------------------------------------

#include "personalized_pagerank.hpp"

// ---- the module ----------------------------------------------------------------

PyObject* textrank_call(PyObject* const* values) {
  try {
    Settings settings;
    if (!read_settings(values[1], values[2], values[3], values[4], settings)) return nullptr;
    return rank(values[0], settings).release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    set_error(PyExc_SystemError, "textrank(): %s", error.what());
    return nullptr;
  }
}

PyObject* textrank(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Borrowed values[kParameterCount] = {};
  if (!bind(args, nargs, kwnames, values)) return nullptr;
  // Words' own methods may call back (a __hash__ that ranks again): the call
  // counts against the recursion limit and is refused near the end of the C
  // stack, so deep recursion ends in RecursionError, not a crash.
  if (!enter_call()) return nullptr;
  PyObject* result = textrank_call(values);
  leave_call();
  return result;
}

PyDoc_STRVAR(textrank_doc,
             "textrank(corpus, window=5, alpha=0.8, n_word=10, n_iter=10)\n"
             "--\n"
             "\n"
             "Rank the distinct words of corpus by TextRank over a sparse co-occurrence\n"
             "graph, best first.\n"
             "\n"
             "Words within window - 1 positions of a word's first occurrence are its\n"
             "neighbours; links go both ways.  n_iter updates\n"
             "pr = (1 - alpha) + alpha * (M @ pr), with M[r][c] = 1 / degree(c), start\n"
             "from ones.  Returns the n_word best (word, score) pairs (None: all; the\n"
             "meaning of [:n_word]), equal scores in the iteration order of set(corpus).\n"
             "Scores are floats; a word without neighbours makes every score NaN.\n"
             "corpus may be any iterable of hashable words; it is read once.");

PyMethodDef methods[] = {
    {"textrank", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(textrank)),
     METH_FASTCALL | METH_KEYWORDS, textrank_doc},
    {"personalized_pagerank", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(personalized_pagerank)),
     METH_VARARGS | METH_KEYWORDS, personalized_pagerank_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {0, nullptr},
};

PyDoc_STRVAR(module_doc,
             "TextRank over a sparse word graph: the ranking of keyword.textrank in\n"
             "memory and time that grow with the number of words and links; and the\n"
             "personalised PageRank of the keyphrase method.");

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tallowmere.vellumcrest.sparse",
    module_doc,
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace sparse

PyMODINIT_FUNC PyInit_sparse() { return PyModuleDef_Init(&sparse::module_def); }
