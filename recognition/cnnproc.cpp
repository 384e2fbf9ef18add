#include "recognition/cnnproc.h"

#include "core/threads.h"

#include <chrono>
#include <thread>

namespace kovira {

namespace {
constexpr auto kIdle = std::chrono::milliseconds(10);
}

CnnProc::CnnProc(ResQueue& queue) : results(queue) {}

void CnnProc::operator()() {
  thread_name("kovira: cnnproc");
  while (!stop) std::this_thread::sleep_for(kIdle);
}

}  // namespace kovira
