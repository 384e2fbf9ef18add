#include "codec/nvlogging.h"

#include <cstdio>
#include <cstring>

std::atomic<int> log_level{0};

namespace nvlog {

void line(Level level, const char* file, int lineNo, const char* component, const char* plane,
          const std::string& text, bool withErrno, int errnoValue) {
  const char* tag = level == kError ? "[LOG_LEVEL_ERROR]" : level == kWarn ? "[LOG_LEVEL_WARN]" : "[LOG_LEVEL_DEBUG]";
  const char* base = std::strrchr(file, '/');
  base = base ? base + 1 : file;
  std::string out;
  out.reserve(text.size() + 96);
  out += tag;
  out += " (";
  out += base;
  out += ':';
  out += std::to_string(lineNo);
  out += ") ";
  if (component) {
    out += '<';
    out += component;
    out += level == kError ? "> " : "> :";
  }
  if (plane) {
    out += plane;
    out += ':';
  }
  out += text;
  if (withErrno) {
    char buf[128];
    out += ": ";
    out += strerror_r(errnoValue, buf, sizeof buf);
  }
  out += '\n';
  std::fputs(out.c_str(), stderr);
  std::fflush(stderr);
}

}  // namespace nvlog
