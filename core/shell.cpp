#include "core/shell.h"

#include "core/child_process.h"

#include <iostream>

std::string cmdrunsimple(std::string cmd, std::chrono::milliseconds limit) {
  CommandResult r = childProcesses().run(cmd, limit);
  if (r.end == CommandResult::End::kNotStarted) {
    std::cerr << "[DBG] Could not start command: " << cmd << std::endl;
    return {};
  }
  return std::move(r.output);
}
