#include "version.hpp"

#include <cstdio>

namespace keyword {

namespace {
bool is_digit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

bool versions_agree(const char* build, const char* running) {
  std::size_t k = 0;
  for (; build[k] != '\0'; ++k)
    if (running[k] != build[k]) return false;
  return k >= 4 || !is_digit(running[k]);
}

ShownVersion shown_running_version(const char* running) {
  ShownVersion shown{};
  bool seen_dot = false;
  std::size_t k = 0;
  for (; k < 4 && running[k] != '\0'; ++k) {
    char c = running[k];
    if (c == '.') {
      if (seen_dot) break;
      seen_dot = true;
    } else if (!is_digit(c)) {
      break;
    }
    shown.text[k] = c;
  }
  shown.text[k] = '\0';
  return shown;
}

void format_version_warning(char (&out)[kWarningSize], const char* build, const char* module_name,
                            const char* running) {
  std::snprintf(out, kWarningSize, "compile time version %s of module '%.100s' does not match runtime version %s",
                build, module_name, shown_running_version(running).text);
}

}  // namespace keyword
