#include "core/threads.h"

#include <cstring>
#include <iostream>

namespace {
constexpr std::size_t kMaxThreadName = 15;  // kernel limit without the NUL
}

void thread_name(pthread_t thread, const std::string& name) {
  if (name.size() > kMaxThreadName) return;
  pthread_setname_np(thread, name.c_str());
}

void thread_name(const std::string& name) { thread_name(pthread_self(), name); }

void thread_name(std::thread& thread, const std::string& name) { thread_name(thread.native_handle(), name); }

void thread_priority(pthread_t thread, int priority) {
  sched_param param{};
  int policy = 0;
  int rc = pthread_getschedparam(thread, &policy, &param);
  if (rc == 0) {
    param.sched_priority = priority;
    rc = pthread_setschedparam(thread, SCHED_FIFO, &param);
  }
  if (rc != 0) std::cout << "Failed to setschedparam: " << std::strerror(rc) << std::endl;
}

void thread_priority(std::thread& thread, int priority) { thread_priority(thread.native_handle(), priority); }

void thread_priority(int priority) { thread_priority(pthread_self(), priority); }
