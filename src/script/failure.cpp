#include "script/failure.h"

#include <cstdarg>
#include <cstdio>

#include "script/platform.h"

std::string g_errorMessage;

void ReportLine(const char* format, ...) {
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  // On the stack where it fits: the text that says memory ran out must not need any.
  char line[1024];
  const size_t size = std::vsnprintf(line, sizeof line, format, args);
  std::string longer(size < sizeof line ? 0 : size, '\0');
  if (size >= sizeof line) std::vsnprintf(longer.data(), size + 1, format, again);
  va_end(again);
  va_end(args);
  WriteStandard(size < sizeof line ? std::string_view(line, size) : longer);
}
