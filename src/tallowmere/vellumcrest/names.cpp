#include "names.hpp"

namespace keyword {
namespace tables {
PyObject* names[static_cast<int>(Name::count)];
PyObject* texts[static_cast<int>(Text::count)];
PyObject* constants[static_cast<int>(Constant::count)];
}  // namespace tables

namespace {

const char* const kNameTexts[] = {
#define KEYWORD_NAME_TEXT(id, text) text,
    KEYWORD_NAMES(KEYWORD_NAME_TEXT)
#undef KEYWORD_NAME_TEXT
};
static_assert(sizeof(kNameTexts) / sizeof(kNameTexts[0]) == static_cast<int>(Name::count));

const char* const kTexts[] = {
    "\n        #根据窗口，构建每个节点的相邻节点,返回边的集合 \n        ",
    "\n        #根据边的相连关系，构建矩阵 \n        ",
    "\n        #根据textrank公式计算权重 \n        ",
    "tallowmere\\vellumcrest\\keyword.py",
};
static_assert(sizeof(kTexts) / sizeof(kTexts[0]) == static_cast<int>(Text::count));

// A failed earlier load may have filled a slot already: store the new object,
// then release the old one.
void replace_slot(PyObject*& slot, Ref value) { Py_XSETREF(slot, value.release()); }

}  // namespace

bool create_names_and_constants() {
  for (int k = 0; k < static_cast<int>(Name::count); ++k) {
    Ref s = Ref::steal(PyUnicode_InternFromString(kNameTexts[k]));
    if (!s || PyObject_Hash(s.get()) == -1) return false;
    replace_slot(tables::names[k], std::move(s));
  }
  for (int k = 0; k < static_cast<int>(Text::count); ++k) {
    Ref s = Ref::steal(PyUnicode_FromString(kTexts[k]));
    if (!s) return false;
    // The docstrings are interned like the names; the source path is not.
    if (k != static_cast<int>(Text::source_path)) {
      PyObject* raw = s.release();
      PyUnicode_InternInPlace(&raw);
      s = Ref::steal(raw);
    }
    if (PyObject_Hash(s.get()) == -1) return false;
    replace_slot(tables::texts[k], std::move(s));
  }
  const long kInts[] = {0, 1, 5, 10};
  Ref c = Ref::steal(PyFloat_FromDouble(0.8));
  if (!c) return false;
  replace_slot(tables::constants[static_cast<int>(Constant::float_0_8)], std::move(c));
  for (int k = 0; k < 4; ++k) {
    Ref n = Ref::steal(PyLong_FromLong(kInts[k]));
    if (!n) return false;
    replace_slot(tables::constants[static_cast<int>(Constant::int_0) + k], std::move(n));
  }
  return true;
}

}  // namespace keyword
