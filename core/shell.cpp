#include "core/shell.h"

#include <cstdio>
#include <iostream>
#include <memory>

std::string cmdrunsimple(std::string cmd) {
  cmd += " 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(cmd.c_str(), "r"), pclose);
  if (!pipe) {
    std::cerr << "[DBG] Could not start command: " << cmd << std::endl;
    return {};
  }
  std::string out;
  char chunk[128];
  std::size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe.get())) > 0) out.append(chunk, n);
  return out;
}
