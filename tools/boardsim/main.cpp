// boardsim: the controller-board simulator as a program. Serves --link PATH
// or --port PATH until SIGINT/SIGTERM; control lines come on standard input
// (see boardsim.h); every command received is printed with its time.
//
//   boardsim (--link PATH | --port PATH) [--absent] [--mode M] [--set K=V]...
#include "tools/boardsim/boardsim.h"

#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

namespace {

volatile std::sig_atomic_t quit = 0;
std::mutex printMutex;

void print(const std::string& line) {
  std::lock_guard lock(printMutex);
  std::cout << line << std::endl;
}

int usage(const std::string& why) {
  std::cerr << "boardsim: " << why << "\nusage: boardsim (--link PATH | --port PATH) [--absent] [--mode M] [--set K=V]...\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  boardsim::Options options;
  options.log = print;
  std::vector<std::string> controls;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--link" && hasValue) options.link = argv[++i];
    else if (arg == "--port" && hasValue) options.port = argv[++i];
    else if (arg == "--absent") options.absent = true;
    else if (arg == "--mode" && hasValue) controls.push_back(std::string("mode ") + argv[++i]);
    else if (arg == "--set" && hasValue) controls.push_back(std::string("set ") + argv[++i]);
    else return usage("bad argument " + arg);
  }
  boardsim::Simulator sim(options);
  for (const auto& c : controls)
    if (!sim.control(c)) return usage("bad setting: " + c);
  std::string error;
  if (!sim.start(error)) return usage(error);
  std::signal(SIGINT, [](int) { quit = 1; });
  std::signal(SIGTERM, [](int) { quit = 1; });
  print("boardsim ready");
  std::string pending;
  bool input = true;
  while (!quit) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    if (!input || ::poll(&p, 1, 200) <= 0) {
      if (!input) ::poll(nullptr, 0, 200);
      continue;
    }
    char chunk[512];
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n <= 0) {
      input = false;  // keep serving without control
      continue;
    }
    pending.append(chunk, static_cast<std::size_t>(n));
    for (auto at = pending.find('\n'); at != std::string::npos; at = pending.find('\n')) {
      const std::string line = pending.substr(0, at);
      pending.erase(0, at + 1);
      if (!line.empty()) print(sim.control(line) ? "ok " + line : "ERR control: " + line);
    }
  }
  sim.stop();
  return 0;
}
