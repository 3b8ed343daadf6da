// Comparison of the interpreter version the module was built for with the one
// that loads it.  Plain C++: no interpreter needed, so it is unit-tested alone.
#pragma once

#include <cstddef>

namespace keyword {

// True when `running` (as Py_GetVersion() gives it) agrees with `build`
// ("3.11"): the characters of `build` all match the start of `running`.  A
// build version shorter than four characters also needs the next running
// character not to be a digit, so "3.1" does not agree with "3.11".
bool versions_agree(const char* build, const char* running);

// The running version as the warning shows it: at most four leading
// characters, digits and the first '.', up to a second '.' or anything else.
struct ShownVersion {
  char text[5];
};
ShownVersion shown_running_version(const char* running);

// The warning text, cut to at most 199 characters.
constexpr std::size_t kWarningSize = 200;
void format_version_warning(char (&out)[kWarningSize], const char* build, const char* module_name,
                            const char* running);

}  // namespace keyword
