#include "capture/contract.h"

#include <cstdio>
#include <cstdlib>

namespace kovira {

void contractFailed(const char* text, const char* file, int line, const char* func) {
  std::fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", file, line, func, text);
  std::fflush(stderr);
  std::abort();
}

}  // namespace kovira
