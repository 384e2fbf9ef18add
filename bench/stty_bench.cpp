// Round trip of one "EXT" status exchange through SttyDev::process against
// the board simulator on its own pseudo-terminal, and, as the anchor, a bare
// write of "EXT\n" with poll/read to the line feed on the same terminal.
// Prints both means and their ratio (aim: at most 1.5).
#include "devices/sttydev.h"
#include "tools/boardsim/boardsim.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 2000;

double bareMeanUs(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  termios tio{};
  tcgetattr(fd, &tio);
  cfmakeraw(&tio);
  tcsetattr(fd, TCSANOW, &tio);
  const auto t0 = Clock::now();
  for (int i = 0; i < kRounds; ++i) {
    if (::write(fd, "EXT\n", 4) != 4) break;
    char buf[256];
    for (bool done = false; !done;) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 1000) <= 0) break;
      const ssize_t n = ::read(fd, buf, sizeof buf);
      done = n > 0 && buf[n - 1] == '\n';
    }
  }
  const auto us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
  ::close(fd);
  return us / kRounds;
}

}  // namespace

int main() {
  const auto dir = std::filesystem::temp_directory_path() / ("kovira-stty-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string link = (dir / "tty").string();
  double exchange = -1, bare = -1;
  {
    boardsim::Simulator sim(boardsim::Options{.link = link});
    std::string error;
    if (!sim.start(error)) {
      std::fprintf(stderr, "simulator: %s\n", error.c_str());
      return 1;
    }
    SttyDev dev;
    if (dev.open(link + ",9600") < 0) return 1;
    int good = 0;
    const auto t0 = Clock::now();
    for (int i = 0; i < kRounds; ++i) good += dev.status().time != 0;
    exchange = std::chrono::duration<double, std::micro>(Clock::now() - t0).count() / kRounds;
    dev.reset();
    bare = bareMeanUs(link);
    std::printf("stty exchange: %d of %d good\n", good, kRounds);
  }
  std::filesystem::remove_all(dir);
  std::printf("SttyDev::process EXT round trip: %.1f us\n", exchange);
  std::printf("bare write/poll/read round trip:  %.1f us\n", bare);
  std::printf("ratio: %.2f (aim <= 1.5)\n", exchange / bare);
  return 0;
}
