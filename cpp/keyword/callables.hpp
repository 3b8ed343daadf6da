// One description per callable of the module.
//
// Everything the module makes for a callable comes from its description: its
// code object (names, first line, parameters and locals), its __defaults__,
// the binding of its calls, its function objects and its traceback entries.
// A new parameter is one more name in `parameters` (and, if it has one, its
// default at the end of `defaults`).
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>

#include "names.hpp"
#include "rankers/rankers.hpp"

namespace keyword {

// A list of at most N values, written as a braced list in a constant.
template <typename T, std::size_t N>
class FixedList {
 public:
  constexpr FixedList() = default;
  constexpr FixedList(std::initializer_list<T> values) {
    if (values.size() > N) throw "too many values for this list";  // a compile-time error in a constant
    for (T value : values) items_[size_++] = value;
  }
  constexpr Py_ssize_t size() const { return static_cast<Py_ssize_t>(size_); }
  constexpr bool empty() const { return size_ == 0; }
  constexpr T operator[](Py_ssize_t k) const { return items_[static_cast<std::size_t>(k)]; }
  constexpr const T* begin() const { return items_.data(); }
  constexpr const T* end() const { return items_.data() + size_; }

 private:
  std::array<T, N> items_{};
  std::size_t size_ = 0;
};

constexpr Py_ssize_t kMaxParameters = 5;
constexpr std::size_t kMaxLocals = 16;

// The callables defined with `def`, which have a code object (and, with
// defaults, a defaults tuple) made at load, in this order.  The sort keys are
// lambdas made per call and have none.
enum class Code { create_nodes, create_matrix, calculate_pr, tfidf, textrank, count, none = count };

struct Callable {
  Name name;         // __name__, and the name in binding messages
  Name qualname;     // __qualname__
  const char* entry;  // the name of its traceback entries
  int first_line;     // of its code object; binding failures report it
  FixedList<Name, kMaxParameters> parameters;
  FixedList<Constant, kMaxParameters> defaults;  // of the last parameters
  FixedList<Name, kMaxLocals> locals;             // after the parameters, as co_varnames lists them
  const char* doc;    // null: no docstring
  Code code;
  vectorcallfunc call;

  constexpr Py_ssize_t count() const { return parameters.size(); }
  // The first `required` parameters have no default.
  constexpr Py_ssize_t required() const { return parameters.size() - defaults.size(); }
  constexpr Constant default_of(Py_ssize_t parameter) const { return defaults[parameter - required()]; }
};

inline constexpr Callable kTfidf{
    .name = Name::tfidf, .qualname = Name::tfidf, .entry = "tallowmere.vellumcrest.keyword.tfidf", .first_line = 10,
    .parameters = {Name::corpus, Name::idf, Name::n_word}, .defaults = {Constant::int_10},
    .locals = {Name::bow, Name::tf_idf, Name::w, Name::f},
    .doc = nullptr, .code = Code::tfidf, .call = tfidf_vectorcall};

inline constexpr Callable kTfidfSortKey{
    .name = Name::lambda, .qualname = Name::tfidf_lambda_qualname,
    .entry = "tallowmere.vellumcrest.keyword.tfidf.lambda", .first_line = 13,
    .parameters = {Name::x}, .defaults = {}, .locals = {},
    .doc = nullptr, .code = Code::none, .call = tfidf_sort_key_vectorcall};

// Each nested function's name stands twice among textrank's locals.
inline constexpr Callable kTextrank{
    .name = Name::textrank, .qualname = Name::textrank, .entry = "tallowmere.vellumcrest.keyword.textrank",
    .first_line = 32,
    .parameters = {Name::corpus, Name::window, Name::alpha, Name::n_word, Name::n_iter},
    .defaults = {Constant::int_5, Constant::float_0_8, Constant::int_10, Constant::int_10},
    .locals = {Name::create_nodes, Name::create_nodes, Name::create_matrix, Name::create_matrix, Name::calculate_pr,
               Name::calculate_pr, Name::edge_dict, Name::index_dict, Name::matrix, Name::pr, Name::word_pr, Name::i},
    .doc = nullptr, .code = Code::textrank, .call = textrank_vectorcall};

inline constexpr Callable kCreateNodes{
    .name = Name::create_nodes, .qualname = Name::create_nodes_qualname,
    .entry = "tallowmere.vellumcrest.keyword.textrank.create_nodes", .first_line = 33,
    .parameters = {Name::corpus, Name::window}, .defaults = {},
    .locals = {Name::edge_dict, Name::tmp_list, Name::word_list_len, Name::index, Name::word, Name::tmp_set,
               Name::left, Name::right, Name::i},
    .doc = "\n        #根据窗口，构建每个节点的相邻节点,返回边的集合 \n        ",
    .code = Code::create_nodes, .call = create_nodes_vectorcall};

inline constexpr Callable kCreateMatrix{
    .name = Name::create_matrix, .qualname = Name::create_matrix_qualname,
    .entry = "tallowmere.vellumcrest.keyword.textrank.create_matrix", .first_line = 55,
    .parameters = {Name::corpus, Name::edge_dict}, .defaults = {},
    .locals = {Name::matrix, Name::word_index, Name::index_dict, Name::i, Name::v, Name::key, Name::w},
    .doc = "\n        #根据边的相连关系，构建矩阵 \n        ", .code = Code::create_matrix,
    .call = create_matrix_vectorcall};

inline constexpr Callable kCalculatePr{
    .name = Name::calculate_pr, .qualname = Name::calculate_pr_qualname,
    .entry = "tallowmere.vellumcrest.keyword.textrank.calculate_pr", .first_line = 80,
    .parameters = {Name::matrix, Name::alpha, Name::n_iter}, .defaults = {}, .locals = {Name::pr, Name::i},
    .doc = "\n        #根据textrank公式计算权重 \n        ", .code = Code::calculate_pr,
    .call = calculate_pr_vectorcall};

inline constexpr Callable kTextrankSortKey{
    .name = Name::lambda1, .qualname = Name::textrank_lambda_qualname,
    .entry = "tallowmere.vellumcrest.keyword.textrank.lambda1", .first_line = 97,
    .parameters = {Name::x}, .defaults = {}, .locals = {},
    .doc = nullptr, .code = Code::none, .call = textrank_sort_key_vectorcall};

// The callables with a code object, in the order of their Code.
inline constexpr const Callable* kDefined[] = {&kCreateNodes, &kCreateMatrix, &kCalculatePr, &kTfidf, &kTextrank};

constexpr bool described_in_order() {
  if (std::size(kDefined) != static_cast<std::size_t>(Code::count)) return false;
  for (std::size_t k = 0; k < std::size(kDefined); ++k)
    if (kDefined[k]->code != static_cast<Code>(k)) return false;
  return true;
}
static_assert(described_in_order());
static_assert(kTfidfSortKey.code == Code::none && kTextrankSortKey.code == Code::none);

}  // namespace keyword
