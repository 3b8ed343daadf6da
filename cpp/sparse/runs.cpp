// The keyphrase candidates: reading the chunks, counting each length's runs
// and their result.
#include "runs.hpp"

#include "numbers.hpp"

namespace sparse {

namespace {

constexpr std::uint32_t kNoRun = std::numeric_limits<std::uint32_t>::max();

// The distinct runs of one length, numbered from 0 in the order they are
// first met; a run is its code: (number of its first n - 1 words) << 32 |
// its last key, or its key alone when n is 1.
class RunTable {
 public:
  RunTable() : slots_(1024, kNoRun), mask_(1023) {}

  // The number of the run `code`, and whether it is new.
  std::uint32_t number(std::uint64_t code, bool& added) {
    for (std::size_t i = spread(code) & mask_;; i = (i + 1) & mask_) {
      const std::uint32_t run = slots_[i];
      if (run == kNoRun) {
        added = true;
        const auto fresh = static_cast<std::uint32_t>(codes_.size());
        codes_.push_back(code);
        slots_[i] = fresh;
        if (2 * codes_.size() > slots_.size()) rebuild(2 * slots_.size());
        return fresh;
      }
      if (codes_[run] == code) {
        added = false;
        return run;
      }
    }
  }

 private:
  static std::size_t spread(std::uint64_t code) noexcept {
    const std::uint64_t mixed = code * 0x9E3779B97F4A7C15ULL;
    return static_cast<std::size_t>(mixed ^ (mixed >> 29));
  }

  void rebuild(std::size_t capacity) {
    Array<std::uint32_t> slots(capacity, kNoRun);
    const std::size_t mask = capacity - 1;
    for (std::size_t run = 0; run < codes_.size(); ++run) {
      std::size_t i = spread(codes_[run]) & mask;
      while (slots[i] != kNoRun) i = (i + 1) & mask;
      slots[i] = static_cast<std::uint32_t>(run);
    }
    slots_.swap(slots);
    mask_ = mask;
  }

  Array<std::uint32_t> slots_;
  std::size_t mask_;
  Array<std::uint64_t> codes_;  // by number
};

// The runs of one length, by number.
struct Runs {
  Array<Py_ssize_t> keys;  // n a run
  Array<Py_ssize_t> times, first, last, whole, prefix, suffix;
};

// Counts the runs of n words; `run_at` holds, at each word where a run of
// n - 1 words starts, that run's number, and is given the runs of n.
void count(const Array<WordId>& keys, const Array<Place>& starts, const Array<Place>& lengths,
           std::size_t n, Array<std::uint32_t>& run_at, Runs& runs) {
  RunTable table;
  Array<std::uint32_t> next_at(keys.size(), kNoRun);
  for (std::size_t c = 0; c < starts.size(); ++c) {
    if (lengths[c] < n) continue;
    const std::size_t end = static_cast<std::size_t>(starts[c]) + lengths[c];
    for (std::size_t i = starts[c]; i + n <= end; ++i) {
      const std::uint64_t code =
          n == 1 ? keys[i] : static_cast<std::uint64_t>(run_at[i]) << 32 | keys[i + n - 1];
      bool added = false;
      const std::uint32_t run = table.number(code, added);
      if (added) {
        for (std::size_t k = 0; k < n; ++k) runs.keys.push_back(static_cast<Py_ssize_t>(keys[i + k]));
        runs.times.push_back(0);
        runs.first.push_back(static_cast<Py_ssize_t>(i));
        runs.last.push_back(0);
        runs.whole.push_back(0);
        if (n > 1) {
          runs.prefix.push_back(static_cast<Py_ssize_t>(run_at[i]));
          runs.suffix.push_back(static_cast<Py_ssize_t>(run_at[i + 1]));
        }
      }
      ++runs.times[run];
      runs.last[run] = static_cast<Py_ssize_t>(i);
      next_at[i] = run;
    }
    if (lengths[c] == n) ++runs.whole[next_at[starts[c]]];
  }
  run_at.swap(next_at);
}

template <typename T>
Ref bytes_of(const Array<T>& values) {
  return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                              static_cast<Py_ssize_t>(values.size() * sizeof(T))));
}

Ref tuple_of(const Runs& runs) {
  const Array<Py_ssize_t>* parts[] = {&runs.keys,  &runs.times,  &runs.first, &runs.last,
                                      &runs.whole, &runs.prefix, &runs.suffix};
  Ref tuple = Ref::steal(PyTuple_New(7));
  if (!tuple) return nullptr;
  for (Py_ssize_t k = 0; k < 7; ++k) {
    Ref part = bytes_of(*parts[k]);
    if (!part) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), k, part.release());
  }
  return tuple;
}

}  // namespace

Ref count_runs_of(Borrowed keys, Borrowed starts, Borrowed lengths, Py_ssize_t max_words) {
  if (max_words < 1) {
    set_error(PyExc_ValueError, "count_runs(): max_words must be at least 1, got %zd", max_words);
    return nullptr;
  }
  // Keys stay below the marker of a missing run; places within the keys.
  const auto key_limit = static_cast<Py_ssize_t>(
      static_cast<std::size_t>(PY_SSIZE_T_MAX) < kMaxWords ? static_cast<std::size_t>(PY_SSIZE_T_MAX) : kMaxWords);
  Array<WordId> key_of;
  if (!read_numbers(NumbersArgument{"count_runs", "keys", "a key", key_limit}, keys, key_of)) return nullptr;
  if (!check_key_count("count_runs", key_of.size())) return nullptr;
  const auto n_keys = static_cast<Py_ssize_t>(key_of.size());
  Array<Place> first_of;
  Array<Place> length_of;
  if (!read_numbers(NumbersArgument{"count_runs", "starts", "a place", n_keys + 1}, starts, first_of)) return nullptr;
  if (!read_numbers(NumbersArgument{"count_runs", "lengths", "a length", n_keys + 1}, lengths, length_of))
    return nullptr;
  if (first_of.size() != length_of.size()) {
    set_error(PyExc_ValueError, "count_runs(): %zd starts but %zd lengths", static_cast<Py_ssize_t>(first_of.size()),
              static_cast<Py_ssize_t>(length_of.size()));
    return nullptr;
  }
  std::size_t end = 0;  // where the chunks so far end
  for (std::size_t c = 0; c < first_of.size(); ++c) {
    if (first_of[c] < end || length_of[c] > key_of.size() - first_of[c]) {
      set_error(PyExc_ValueError, "count_runs(): chunk %zd (start %zd, length %zd) %s", static_cast<Py_ssize_t>(c),
                static_cast<Py_ssize_t>(first_of[c]), static_cast<Py_ssize_t>(length_of[c]),
                first_of[c] < end ? "begins before the one before it ends" : "runs past the keys");
      return nullptr;
    }
    end = static_cast<std::size_t>(first_of[c]) + length_of[c];
  }
  Array<Runs> all;
  {
    ReleasedGil gil;
    Array<std::uint32_t> run_at;
    for (std::size_t n = 1; n <= static_cast<std::size_t>(max_words); ++n) {
      Runs runs;
      count(key_of, first_of, length_of, n, run_at, runs);
      if (runs.times.empty()) break;
      all.push_back(std::move(runs));
    }
  }
  Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(all.size())));
  if (!result) return nullptr;
  for (std::size_t n = 0; n < all.size(); ++n) {
    Ref item = tuple_of(all[n]);
    if (!item) return nullptr;
    PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(n), item.release());
  }
  return result;
}

}  // namespace sparse
