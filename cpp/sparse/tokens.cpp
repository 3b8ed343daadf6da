// The English cutter: the scan (without the GIL) and its result.
#include "tokens.hpp"

#include <stdexcept>
#include <string_view>

namespace sparse {

namespace {

// A token as a place in the text: its first code unit and its length.
struct Span {
  std::size_t start;
  std::size_t length;
};

// ASCII letters and digits, looked up; the rest asks CPython's tables.
constexpr bool ascii_alnum(Py_UCS4 c) noexcept {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

inline bool is_alnum(Py_UCS4 c) noexcept { return c < 128 ? ascii_alnum(c) : Py_UNICODE_ISALNUM(c) != 0; }

// The re module's \w for str: a letter, a digit or the underscore.
inline bool is_word(Py_UCS4 c) noexcept { return c == '_' || is_alnum(c); }

// Joins two runs of word characters into one word.
constexpr bool is_joiner(Py_UCS4 c) noexcept { return c == '\'' || c == 0x2019 || c == '-'; }

// The punctuation marks that end a chunk.
constexpr bool is_mark(Py_UCS4 c) noexcept {
  if (c < 128) {
    constexpr std::string_view marks = ".,;:!?()[]{}\"|/\\<>=+*&%$#@~^";
    return c != 0 && marks.find(static_cast<char>(c)) != std::string_view::npos;
  }
  return c == 0x201c || c == 0x201d || c == 0x2018 || c == 0x2026 || c == 0x2014 || c == 0x2013 ||
         (c >= 0x3001 && c <= 0x303f) || (c >= 0xff01 && c <= 0xff0f) || (c >= 0xff1a && c <= 0xff20);
}

// The distinct words, each with its number (from 1: 0 is every mark), as an
// open addressing table over their first spans.
class Distinct {
 public:
  Distinct(const char* data, int kind) : data_(data), kind_(static_cast<std::size_t>(kind)) {
    spans_.push_back(Span{0, 0});
    hashes_.push_back(0);
    rebuild(1024);
  }

  WordId number(Span span) {
    const std::string_view bytes = view(span);
    const std::size_t hash = std::hash<std::string_view>{}(bytes);
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const WordId id = slots_[i];
      if (id == kNoWord) return insert(span, hash, i);
      if (hashes_[id] == hash && view(spans_[id]) == bytes) return id;
    }
  }

  const Array<Span>& spans() const noexcept { return spans_; }

 private:
  std::string_view view(Span span) const noexcept {
    return std::string_view(data_ + span.start * kind_, span.length * kind_);
  }

  WordId insert(Span span, std::size_t hash, std::size_t slot) {
    const std::size_t id = spans_.size();
    if (id >= kMaxWords) throw std::length_error("more distinct tokens than 32-bit numbers");
    spans_.push_back(span);
    hashes_.push_back(hash);
    slots_[slot] = static_cast<WordId>(id);
    if (2 * spans_.size() > slots_.size()) rebuild(2 * slots_.size());
    return static_cast<WordId>(id);
  }

  void rebuild(std::size_t capacity) {
    Array<WordId> slots(capacity, kNoWord);
    const std::size_t mask = capacity - 1;
    for (std::size_t id = 1; id < spans_.size(); ++id) {
      std::size_t i = hashes_[id] & mask;
      while (slots[i] != kNoWord) i = (i + 1) & mask;
      slots[i] = static_cast<WordId>(id);
    }
    slots_.swap(slots);
    mask_ = mask;
  }

  const char* data_;
  std::size_t kind_;
  Array<Span> spans_;  // by number
  Array<std::size_t> hashes_;
  Array<WordId> slots_;
  std::size_t mask_ = 0;
};

// The end of the word that starts at `i` (a letter or digit).
template <typename Unit>
std::size_t word_end(const Unit* text, std::size_t n, std::size_t i) {
  std::size_t j = i + 1;
  for (;;) {
    while (j < n && is_word(text[j])) ++j;
    if (j + 1 < n && is_joiner(text[j]) && is_word(text[j + 1])) {
      j += 2;
      continue;
    }
    return j;
  }
}

template <typename Unit>
void scan(const Unit* text, std::size_t n, Distinct& distinct, Array<WordId>& numbers) {
  for (std::size_t i = 0; i < n;) {
    const Py_UCS4 c = text[i];
    if (is_alnum(c)) {
      const std::size_t end = word_end(text, n, i);
      numbers.push_back(distinct.number(Span{i, end - i}));
      i = end;
    } else if (is_mark(c)) {
      numbers.push_back(0);
      ++i;
    } else if (c == '\n') {
      // A paragraph break runs to the last line break of the spacing after it.
      std::size_t last = i;
      std::size_t j = i + 1;
      for (; j < n && Py_UNICODE_ISSPACE(text[j]); ++j)
        if (text[j] == '\n') last = j;
      if (last > i) numbers.push_back(0);
      i = last + 1;
    } else {
      ++i;
    }
  }
}

}  // namespace

Ref tokens_of(Borrowed text) {
  if (!PyUnicode_Check(text)) {
    set_error(PyExc_TypeError, "tokens() argument must be str, not %.200s", Py_TYPE(text)->tp_name);
    return nullptr;
  }
  const int kind = PyUnicode_KIND(text);
  const char* data = static_cast<const char*>(PyUnicode_DATA(text));
  const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
  Distinct distinct(data, kind);
  Array<WordId> numbers;
  {
    // The string is immutable and held by the caller: it is read without the GIL.
    ReleasedGil gil;
    if (kind == PyUnicode_1BYTE_KIND) {
      scan(reinterpret_cast<const Py_UCS1*>(data), n, distinct, numbers);
    } else if (kind == PyUnicode_2BYTE_KIND) {
      scan(reinterpret_cast<const Py_UCS2*>(data), n, distinct, numbers);
    } else {
      scan(reinterpret_cast<const Py_UCS4*>(data), n, distinct, numbers);
    }
  }
  const Array<Span>& spans = distinct.spans();
  Ref words = Ref::steal(PyList_New(static_cast<Py_ssize_t>(spans.size())));
  if (!words) return nullptr;
  for (std::size_t k = 0; k < spans.size(); ++k) {
    PyObject* word = PyUnicode_FromKindAndData(kind, data + spans[k].start * static_cast<std::size_t>(kind),
                                               static_cast<Py_ssize_t>(spans[k].length));
    if (!word) return nullptr;
    PyList_SET_ITEM(words.get(), static_cast<Py_ssize_t>(k), word);
  }
  Ref packed = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(numbers.data()),
                                                    static_cast<Py_ssize_t>(numbers.size() * sizeof(WordId))));
  if (!packed) return nullptr;
  return Ref::steal(PyTuple_Pack(2, words.get(), packed.get()));
}

}  // namespace sparse
