// Thread naming and real-time priority. Names longer than 15 characters are
// ignored (the thread keeps its old name), as the kernel would refuse them.
#pragma once

#include <pthread.h>

#include <string>
#include <thread>

void thread_name(const std::string& name);
void thread_name(pthread_t thread, const std::string& name);
void thread_name(std::thread& thread, const std::string& name);

// SCHED_FIFO at the given priority; a failure is printed, never thrown.
void thread_priority(pthread_t thread, int priority);
void thread_priority(std::thread& thread, int priority);
void thread_priority(int priority);
