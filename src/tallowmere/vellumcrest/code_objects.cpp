// Code objects: made empty with PyCode_NewEmpty, then given their fields with
// `replace`, so that they describe each function's parameters and locals.
#include "code_objects.hpp"

#include <initializer_list>

#include "module.hpp"

namespace keyword {

namespace tables {
PyObject* codes[static_cast<int>(Code::count)];
}

namespace {

struct CodeTable {
  Code which;
  Name name;
  int argcount;
  int first_line;
  std::initializer_list<Name> varnames;
};

const CodeTable kCreateNodes{Code::create_nodes, Name::create_nodes, 2, 33,
                             {Name::corpus, Name::window, Name::edge_dict, Name::tmp_list, Name::word_list_len,
                              Name::index, Name::word, Name::tmp_set, Name::left, Name::right, Name::i}};
const CodeTable kCreateMatrix{Code::create_matrix, Name::create_matrix, 2, 55,
                              {Name::corpus, Name::edge_dict, Name::matrix, Name::word_index, Name::index_dict,
                               Name::i, Name::v, Name::key, Name::w}};
const CodeTable kCalculatePr{Code::calculate_pr, Name::calculate_pr, 3, 80,
                             {Name::matrix, Name::alpha, Name::n_iter, Name::pr, Name::i}};
const CodeTable kTfidf{Code::tfidf, Name::tfidf, 3, 10,
                       {Name::corpus, Name::idf, Name::n_word, Name::bow, Name::tf_idf, Name::w, Name::f}};
// Each nested function's name stands twice among textrank's locals.
const CodeTable kTextrank{Code::textrank, Name::textrank, 5, 32,
                          {Name::corpus, Name::window, Name::alpha, Name::n_word, Name::n_iter, Name::create_nodes,
                           Name::create_nodes, Name::create_matrix, Name::create_matrix, Name::calculate_pr,
                           Name::calculate_pr, Name::edge_dict, Name::index_dict, Name::matrix, Name::pr,
                           Name::word_pr, Name::i}};

constexpr int kOptimizedNewLocals = 3;  // CO_OPTIMIZED | CO_NEWLOCALS

Ref make_code(const CodeTable& table) {
  Ref varnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(table.varnames.size())));
  if (!varnames) return nullptr;
  Py_ssize_t k = 0;
  for (Name local : table.varnames) PyTuple_SET_ITEM(varnames.get(), k++, Py_NewRef(name(local)));

  // Made with any pending exception set aside; it comes back afterwards
  // unless making the code object fails, whose error then stands.
  SavedError pending;
  Ref source_path = Ref::borrow(text(Text::source_path));
  Ref empty = Ref::steal(reinterpret_cast<PyObject*>(
      PyCode_NewEmpty(PyUnicode_AsUTF8(source_path.get()), PyUnicode_AsUTF8(name(table.name)), table.first_line)));
  Ref replace, result;
  if (empty) replace = Ref::steal(PyObject_GetAttr(empty.get(), name(Name::replace)));
  if (replace) {
    Ref argcount = Ref::steal(PyLong_FromLong(table.argcount));
    Ref nlocals = Ref::steal(PyLong_FromSsize_t(PyTuple_GET_SIZE(varnames.get())));
    Ref flags = Ref::steal(PyLong_FromLong(kOptimizedNewLocals));
    Ref first_line = Ref::steal(PyLong_FromLong(table.first_line));
    Ref zero = Ref::borrow(constant(Constant::int_0));
    const Name keywords[] = {Name::co_argcount,  Name::co_posonlyargcount, Name::co_kwonlyargcount,
                             Name::co_nlocals,   Name::co_stacksize,       Name::co_flags,
                             Name::co_code,      Name::co_consts,          Name::co_names,
                             Name::co_varnames,  Name::co_freevars,        Name::co_cellvars,
                             Name::co_filename,  Name::co_name,            Name::co_qualname,
                             Name::co_firstlineno, Name::co_linetable,     Name::co_exceptiontable};
    constexpr Py_ssize_t kCount = sizeof(keywords) / sizeof(keywords[0]);
    Ref kwnames = Ref::steal(PyTuple_New(kCount));
    if (argcount && nlocals && flags && first_line && kwnames) {
      for (Py_ssize_t j = 0; j < kCount; ++j) PyTuple_SET_ITEM(kwnames.get(), j, Py_NewRef(name(keywords[j])));
      PyObject* values[] = {argcount.get(),         zero.get(),          zero.get(),          nlocals.get(),
                            zero.get(),             flags.get(),         state.empty_bytes,   state.empty_tuple,
                            state.empty_tuple,      varnames.get(),      state.empty_tuple,   state.empty_tuple,
                            source_path.get(),      name(table.name),    name(table.name),    first_line.get(),
                            state.empty_bytes,      state.empty_bytes};
      result = Ref::steal(PyObject_Vectorcall(replace.get(), values, 0, kwnames.get()));
    }
  }
  if (!result) {
    pending.discard();
    return nullptr;
  }
  pending.restore();
  return result;
}

bool store_code(const CodeTable& table) {
  Ref made = make_code(table);
  if (!made) return false;
  Py_XSETREF(tables::codes[static_cast<int>(table.which)], made.release());
  return true;
}

bool store_defaults(PyObject*& slot, std::initializer_list<Constant> values) {
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
  if (!tuple) return false;
  Py_ssize_t k = 0;
  for (Constant value : values) PyTuple_SET_ITEM(tuple.get(), k++, Py_NewRef(constant(value)));
  Py_XSETREF(slot, tuple.release());
  return true;
}

}  // namespace

bool create_code_objects_and_defaults() {
  return store_code(kCreateNodes) && store_code(kCreateMatrix) && store_code(kCalculatePr) && store_code(kTfidf) &&
         store_defaults(state.tfidf_defaults, {Constant::int_10}) && store_code(kTextrank) &&
         store_defaults(state.textrank_defaults,
                        {Constant::int_5, Constant::float_0_8, Constant::int_10, Constant::int_10});
}

}  // namespace keyword
