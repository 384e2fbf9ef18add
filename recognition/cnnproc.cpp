#include "recognition/cnnproc.h"

#include "core/threads.h"

#include <chrono>
#include <thread>

namespace kovira {

namespace {
constexpr auto kIdle = std::chrono::milliseconds(10);
}

CnnProc::CnnProc(ResQueue& queue) : results(queue) {}

void CnnProc::queueFrame(DecodedFrame& frame) {
  std::lock_guard<std::mutex> lock(queueMutex);
  queue.push_back(frame);
}

std::uint32_t CnnProc::queueSize() {
  std::lock_guard<std::mutex> lock(queueMutex);
  return static_cast<std::uint32_t>(queue.size());
}

// Until the recogniser is wired in, pictures are taken off the queue unread.
void CnnProc::operator()() {
  thread_name("kovira: cnnproc");
  while (!stop) {
    {
      std::lock_guard<std::mutex> lock(queueMutex);
      queue.clear();
    }
    std::this_thread::sleep_for(kIdle);
  }
}

}  // namespace kovira
