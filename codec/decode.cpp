#include "codec/decode.h"

#include "core/threads.h"

#include <chrono>
#include <thread>

namespace kovira {

namespace {
constexpr auto kIdle = std::chrono::milliseconds(10);
}

Decode::Decode(CnnProc& cnn) : recognition(cnn) {}

void Decode::operator()() {
  thread_name("kovira: decode");
  while (!stop) std::this_thread::sleep_for(kIdle);
}

}  // namespace kovira
