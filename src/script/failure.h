#pragma once

#include <string>

// The text of the failure being reported; the update appends to it or replaces
// it, and main prints it when the update gives up.
extern std::string g_errorMessage;

// Raised by the update, once, when it gives up; caught only in main. `text`
// points at g_errorMessage's zero-terminated text; `status` is the exit status;
// `reason`, when a system call failed, names what it failed on and the system's
// own words for why ("a.config: Permission denied"), for standard error.
struct ScriptFailure {
  const char* text;
  int status = 1;
  std::string reason;
};

// printf-style output to standard output.
void ReportLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
