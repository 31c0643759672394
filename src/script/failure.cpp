#include "script/failure.h"

#include <cstdarg>
#include <cstdio>

std::string g_errorMessage;

void ReportLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
}
