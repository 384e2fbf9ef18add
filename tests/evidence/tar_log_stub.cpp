// The sanitizer build of the archive test links tar.cpp alone; its log
// lines go to standard error here instead of the structured log.
#include "core/log.h"

#include <cstdarg>
#include <cstdio>

void log_error(const char* msg) { std::fprintf(stderr, "[error] %s\n", msg); }

void log_error_format(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::fputs("[error] ", stderr);
  std::vfprintf(stderr, fmt, ap);
  std::fputc('\n', stderr);
  va_end(ap);
}
