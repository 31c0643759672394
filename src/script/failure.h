#pragma once

#include <string>
#include <string_view>

// GBK for "configuration file not found", as the fixed output texts have it.
inline constexpr std::string_view kNotFoundWords =
    "\xD5\xD2\xB2\xBB\xB5\xBD\xC5\xE4\xD6\xC3\xCE\xC4\xBC\xFE";

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

// printf-style output to standard output, through WriteStandard.
void ReportLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
