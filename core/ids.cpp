#include "core/ids.h"

#include <atomic>
#include <ctime>
#include <random>

namespace {
constexpr std::size_t kMaxRandomString = 256;
}

unsigned simpleuniqid() {
  static std::atomic<unsigned> last{1};
  unsigned prev = last.load(std::memory_order_relaxed);
  unsigned next = 0;
  do {
    const auto t = static_cast<unsigned>(std::time(nullptr));
    next = t > prev + 1 ? t : prev + 1;
  } while (!last.compare_exchange_weak(prev, next, std::memory_order_relaxed));
  return next;
}

std::string randomstring(std::size_t n) {
  static const char alphanum[] = "0123456789abcdef";
  if (n > kMaxRandomString) return {};
  std::random_device device("/dev/urandom");
  std::uniform_int_distribution<int> pick(0, 15);
  std::string out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) out += alphanum[pick(device)];
  return out;
}

std::string genrandom32af() { return randomstring(32); }
