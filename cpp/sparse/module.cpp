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
// Memory grows with the number of positions, words and links.
//
// The parts: engine.hpp (arrays, the GIL, errors), words (1), graph (2),
// scores (3 and 4), personalized_pagerank (the keyphrases' ranking), tokens
// (the keyphrases' English cutter) and runs (their candidates), with numbers
// (reading arguments of whole numbers); this file reads the arguments and
// makes the module.
#include "common/recursion.hpp"
#include "engine.hpp"
#include "graph.hpp"
#include "personalized_pagerank.hpp"
#include "runs.hpp"
#include "scores.hpp"
#include "tokens.hpp"
#include "words.hpp"

#include <exception>
#include <stdexcept>

namespace sparse {

namespace {

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

// ---- ranking -------------------------------------------------------------------

std::size_t slice_count(const Settings& settings, std::size_t count) {
  if (settings.all_words) return count;
  if (settings.n_word >= 0)
    return static_cast<unsigned long long>(settings.n_word) < count ? static_cast<std::size_t>(settings.n_word)
                                                                   : count;
  const unsigned long long dropped = 0ULL - static_cast<unsigned long long>(settings.n_word);
  return dropped >= count ? 0 : count - static_cast<std::size_t>(dropped);
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

  return best_pairs(word_at, pr, slice_count(settings, count));
}

// ---- the module ----------------------------------------------------------------

// One call of the engine.  Words' own methods may call back (a __hash__ that
// ranks again): the call counts against the recursion limit and is refused
// near the end of the C stack, so deep recursion ends in RecursionError, not
// a crash.  No C++ exception leaves it: running out of memory is MemoryError,
// anything else a SystemError that names `function`.
template <typename Body>
PyObject* run_call(const char* function, Body&& body) {
  if (!vellumcrest::enter_call()) return nullptr;
  PyObject* result = nullptr;
  try {
    result = body();
  } catch (const std::bad_alloc&) {
    result = PyErr_NoMemory();
  } catch (const std::length_error&) {
    result = PyErr_NoMemory();
  } catch (const std::exception& error) {
    set_error(PyExc_SystemError, "%s(): %s", function, error.what());
  }
  vellumcrest::leave_call();
  return result;
}

PyObject* textrank(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Borrowed values[kParameterCount] = {};
  if (!bind(args, nargs, kwnames, values)) return nullptr;
  return run_call("textrank", [&]() -> PyObject* {
    Settings settings;
    if (!read_settings(values[1], values[2], values[3], values[4], settings)) return nullptr;
    return rank(values[0], settings).release();
  });
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

PyObject* personalized_pagerank(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"keys", "restart", "window", "alpha", "n_iter", nullptr};
  Borrowed keys = nullptr;
  Borrowed restart = nullptr;
  Py_ssize_t window = 3;
  double alpha = 0.85;
  Py_ssize_t n_iter = 30;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|ndn:personalized_pagerank", const_cast<char**>(names), &keys,
                                   &restart, &window, &alpha, &n_iter))
    return nullptr;
  return run_call("personalized_pagerank",
                  [&] { return personalized_pagerank_of(keys, restart, window, alpha, n_iter).release(); });
}

PyDoc_STRVAR(personalized_pagerank_doc,
             "personalized_pagerank(keys, restart, window=3, alpha=0.85, n_iter=30)\n"
             "--\n"
             "\n"
             "PageRank with restarts of the words numbered 0 .. len(restart) - 1.\n"
             "\n"
             "keys holds the word numbers in text order; words within window - 1\n"
             "positions of each other are linked both ways, weighted by how often.\n"
             "restart gives each word's share of the restart vector (finite, >= 0; all\n"
             "zero: equal shares).  n_iter damped updates with factor alpha start from\n"
             "a uniform vector; the mass of words without links restarts.  Returns one\n"
             "float per word; the scores sum to 1.");

PyObject* count_runs(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"keys", "starts", "lengths", "max_words", nullptr};
  Borrowed keys = nullptr;
  Borrowed starts = nullptr;
  Borrowed lengths = nullptr;
  Py_ssize_t max_words = 4;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|n:count_runs", const_cast<char**>(names), &keys, &starts,
                                   &lengths, &max_words))
    return nullptr;
  return run_call("count_runs", [&] { return count_runs_of(keys, starts, lengths, max_words).release(); });
}

PyDoc_STRVAR(count_runs_doc,
             "count_runs(keys, starts, lengths, max_words=4)\n"
             "--\n"
             "\n"
             "The runs of 1 .. max_words consecutive words inside chunks: the\n"
             "keyphrase candidates.\n"
             "\n"
             "keys holds each word's key (below 2**32 - 1) in text order; the chunks\n"
             "are given by their first words' places (increasing) and lengths, none\n"
             "running into the next.  Returns, for each length n that has runs, a\n"
             "tuple of seven bytes objects of native Py_ssize_t (numpy's intp), one\n"
             "entry per distinct run in order of first occurrence: the runs' keys\n"
             "(n each), counts, first and last starts, how often each is a whole\n"
             "chunk, and (empty for n = 1) the numbers, among the runs of n - 1\n"
             "words, of each one's first and last n - 1 words.");

PyObject* tokens(PyObject*, PyObject* text) {
  return run_call("tokens", [&] { return tokens_of(text).release(); });
}

PyDoc_STRVAR(tokens_doc,
             "tokens(text)\n"
             "--\n"
             "\n"
             "The words and marks of text, as the keyphrase method cuts English.\n"
             "\n"
             "A word is a letter or digit, then letters, digits and underscores, with a\n"
             "hyphen or an apostrophe (' or \u2019) between two such runs; a mark is a\n"
             "punctuation mark that ends a chunk, or a paragraph break (a line break,\n"
             "then spacing up to its last line break).  Returns (distinct, numbers):\n"
             "the list of distinct tokens, \"\" (every mark) first, then the words in\n"
             "order of first occurrence; and bytes of one native uint32 per token, its\n"
             "place in distinct.");

PyMethodDef methods[] = {
    {"textrank", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(textrank)),
     METH_FASTCALL | METH_KEYWORDS, textrank_doc},
    {"personalized_pagerank", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(personalized_pagerank)),
     METH_VARARGS | METH_KEYWORDS, personalized_pagerank_doc},
    {"tokens", tokens, METH_O, tokens_doc},
    {"count_runs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(count_runs)),
     METH_VARARGS | METH_KEYWORDS, count_runs_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {0, nullptr},
};

PyDoc_STRVAR(module_doc,
             "TextRank over a sparse word graph: the ranking of keyword.textrank in\n"
             "memory and time that grow with the number of words and links; and the\n"
             "personalised PageRank, the English cutter and the candidate counts of\n"
             "the keyphrase method.");

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
