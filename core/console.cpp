#include "core/console.h"

#include <cstdio>
#include <string>

void consoleLine(std::string_view line) {
  std::string text;
  text.reserve(line.size() + 1);
  text.append(line);
  text += '\n';
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}
