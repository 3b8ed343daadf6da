// The name and constant tables, and the docstrings, made at load.
#include "names.hpp"

#include "module.hpp"

namespace keyword {

namespace {

constexpr const char* kNameTexts[] = {
#define KEYWORD_NAME_TEXT(id, text) text,
    KEYWORD_NAMES(KEYWORD_NAME_TEXT)
#undef KEYWORD_NAME_TEXT
};
static_assert(std::size(kNameTexts) == static_cast<std::size_t>(Name::count));

constexpr const char kSourcePath[] = "tallowmere\\vellumcrest\\keyword.py";

// A new str, interned when asked, and hashed.
Ref hashed_str(const char* text, bool interned) {
  Ref s = Ref::steal(PyUnicode_FromString(text));
  if (!s) return nullptr;
  if (interned) {
    PyObject* raw = s.release();
    PyUnicode_InternInPlace(&raw);
    s = Ref::steal(raw);
  }
  if (PyObject_Hash(s.get()) == -1) return nullptr;
  return s;
}

}  // namespace

const char* name_text(Name which) noexcept { return kNameTexts[static_cast<int>(which)]; }

bool create_names_and_constants() {
  for (int k = 0; k < static_cast<int>(Name::count); ++k) {
    Ref s = Ref::steal(PyUnicode_InternFromString(kNameTexts[k]));
    if (!s || PyObject_Hash(s.get()) == -1) return false;
    store(state.names[k], std::move(s));
  }
  for (const Callable* callable : kDefined) {
    if (!callable->doc) continue;
    Ref doc = hashed_str(callable->doc, /*interned=*/true);
    if (!doc) return false;
    store(state.docs[static_cast<int>(callable->code)], std::move(doc));
  }
  Ref source_path = hashed_str(kSourcePath, /*interned=*/false);
  if (!source_path) return false;
  store(state.source_path, std::move(source_path));

  Ref c = Ref::steal(PyFloat_FromDouble(0.8));
  if (!c) return false;
  store(state.constants[static_cast<int>(Constant::float_0_8)], std::move(c));
  const long kInts[] = {0, 1, 5, 10};
  for (int k = 0; k < 4; ++k) {
    Ref n = Ref::steal(PyLong_FromLong(kInts[k]));
    if (!n) return false;
    store(state.constants[static_cast<int>(Constant::int_0) + k], std::move(n));
  }
  return true;
}

}  // namespace keyword
