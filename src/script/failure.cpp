#include "script/failure.h"

#include <cstdarg>
#include <cstdio>

#include "script/platform.h"

std::string g_errorMessage;

void ReportLine(const char* format, ...) {
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  std::string text(std::vsnprintf(nullptr, 0, format, args), '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  va_end(args);
  WriteStandard(text);
}
