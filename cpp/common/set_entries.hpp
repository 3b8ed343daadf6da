// Walking a set's entries in place.
#pragma once

#include "ref.hpp"

#if PY_VERSION_HEX >= 0x030D0000
// CPython 3.13 moved _PySet_NextEntry from the public headers to its internal
// ones, but still exports it (3.13 and 3.14).  It is declared here because
// nothing public does the same job: walking by position needs no iterator
// object (which code that reaches the set could advance), and it hands back
// the hash stored with each entry, so no word's __hash__ runs a second time.
// The test suite runs on every supported version.
extern "C" int _PySet_NextEntry(PyObject* set, Py_ssize_t* position, PyObject** key, Py_hash_t* hash);
#endif

namespace vellumcrest {

// The next entry of `set` after `*position`: a borrowed key and its stored
// hash.  False after the last entry.
inline bool next_set_entry(Borrowed set, Py_ssize_t* position, Borrowed* key, Py_hash_t* hash) {
  return _PySet_NextEntry(set, position, key, hash) != 0;
}

}  // namespace vellumcrest
