// Reporting an exception that ends a round, without letting it reach a thread that cannot
// take it.
//
// ReportCurrentException must be called inside a catch block. It names the exception in flight
// in one console line built in a fixed buffer, so it allocates nothing and works while memory
// is exhausted (std::bad_alloc), and it never throws.
#pragma once

#include <cstdio>
#include <exception>
#include <iostream>

#include "util/console_line.h"

inline void ReportCurrentException(const char* what_failed) noexcept {
  const char* reason = "unknown exception";
  try {
    throw;
  } catch (const std::exception& e) {
    reason = e.what();
  } catch (...) {
  }
  char line[512];
  int n = std::snprintf(line, sizeof line, "%s: %s\n", what_failed, reason);
  if (n < 0) return;
  if (static_cast<std::size_t>(n) >= sizeof line) {  // cut, but keep the line end
    n = sizeof line - 1;
    line[n - 1] = '\n';
  }
  try {
    ConsoleWrite(std::cout, line, static_cast<std::size_t>(n));
  } catch (...) {  // a stream set to throw: the line is lost, the thread lives
  }
}
