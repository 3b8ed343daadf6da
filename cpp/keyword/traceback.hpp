// Traceback entries for the module's functions.
//
// The module's functions do not run in the interpreter's evaluation loop, so
// each failure exit adds one entry itself: a real frame over a synthetic code
// object that names the function, the source file and the line.
#pragma once

#include <source_location>
#include <utility>

#include "shared.hpp"

namespace keyword {

// Where a function failed: the source line it reports, and the place in this
// implementation where the failure was detected (shown while the traceback
// switch is on).
struct Site {
  int line = 0;
  int c_line = 0;
  const char* c_file = "";

  // Records the failure and returns the null result of the failing function:
  //   if (!value) return site.fail(12);
  [[nodiscard]] Failed fail(int source_line, std::source_location where = std::source_location::current()) noexcept {
    line = source_line;
    c_line = static_cast<int>(where.line());
    c_file = where.file_name();
    return Failed{};
  }
};

// What a helper returns that records its own failure line in the Site: done,
// or failed with the line recorded.  It cannot be dropped, and a failure
// offers nothing but being forwarded as it is
// (`if (step.failed()) return step.forward();`): the helper's line stands.
class [[nodiscard]] Recorded {
 public:
  constexpr Recorded(Failed) noexcept : failed_(true) {}
  static constexpr Recorded done() noexcept { return Recorded(false); }
  constexpr bool failed() const noexcept { return failed_; }
  constexpr Failed forward() const noexcept { return Failed{}; }

 private:
  explicit constexpr Recorded(bool failed) noexcept : failed_(failed) {}
  bool failed_;
};

// Adds the entry named `entry` at `site` to the pending exception's
// traceback.  Never raises an error of its own; only when the code object or
// frame cannot be made does that error replace the pending one (and no entry
// is added).
void add_traceback_entry(const char* entry, const Site& site) noexcept;

// Runs a function body that reports failures through a Site, and adds its one
// traceback entry when it fails.
template <typename Statements>
PyObject* run_reporting(const char* entry, Statements&& statements) {
  Site site;
  Ref result = statements(site);
  if (!result) add_traceback_entry(entry, site);
  return result.release();
}

// Runs the body of one call of a module function.  The call counts as one
// level of recursion (common/recursion.hpp); a RecursionError is reported
// at the function's first line, as a binding failure is.
template <typename Statements>
PyObject* run_function_body(const char* entry, int first_line, Statements&& statements) {
  if (!enter_call()) {
    Site site;
    (void)site.fail(first_line);
    // Making the entry calls into the interpreter, one level beyond the
    // limit: allowed, as the interpreter allows it while it reports a
    // RecursionError of its own.
    PyThreadState* thread = PyThreadState_Get();
    ++thread->recursion_headroom;
    add_traceback_entry(entry, site);
    --thread->recursion_headroom;
    return nullptr;
  }
  PyObject* result = run_reporting(entry, std::forward<Statements>(statements));
  leave_call();
  return result;
}

}  // namespace keyword
