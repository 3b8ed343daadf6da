// Traceback entries for the module's functions.
//
// The module's functions do not run in the interpreter's evaluation loop, so
// each failure exit adds one entry itself: a real frame over a synthetic code
// object that names the function, the source file and the line.
#pragma once

#include <source_location>

#include "ref.hpp"

namespace keyword {

// The functions that report failures, each under one fixed entry name.
enum class Entry { init, tfidf, tfidf_lambda, textrank, create_nodes, create_matrix, calculate_pr, textrank_lambda };

// Where a function failed: the source line it reports, and the place in this
// implementation where the failure was detected (shown while the traceback
// switch is on).
struct Site {
  int line = 0;
  int c_line = 0;
  const char* c_file = "";

  // Records the failure and returns the null result of the failing function:
  //   if (!value) return site.fail(12);
  Failed fail(int source_line, std::source_location where = std::source_location::current()) noexcept {
    line = source_line;
    c_line = static_cast<int>(where.line());
    c_file = where.file_name();
    return Failed{};
  }
};

// Adds the entry for `entry` at `site` to the pending exception's traceback.
// Never raises an error of its own; only when the code object or frame cannot
// be made does that error replace the pending one (and no entry is added).
void add_traceback_entry(Entry entry, const Site& site) noexcept;

// Runs a function body that reports failures through a Site, and adds its one
// traceback entry when it fails.
template <typename Statements>
PyObject* run_reporting(Entry entry, Statements&& statements) {
  Site site;
  Ref result = statements(site);
  if (!result) add_traceback_entry(entry, site);
  return result.release();
}

}  // namespace keyword
