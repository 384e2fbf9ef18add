#include "core/scheduler.h"

#include "core/console.h"

#include <algorithm>
#include <iostream>
#include <system_error>

SimpleScheduler scheduler;

namespace {
constexpr auto kEmptyListNap = std::chrono::milliseconds(500);
constexpr auto kJustDueNap = std::chrono::milliseconds(100);

// Runs one task's callback; nothing it throws leaves here.
void runGuarded(const SimpleScheduler::Callback& callback, unsigned int elapsed, const std::string& name) {
  try {
    callback(elapsed);
  } catch (const std::exception& e) {
    consoleLine("[ERR] task " + name + ": " + e.what());
  } catch (...) {
    consoleLine("[ERR] task " + name + ": unknown exception");
  }
}
}  // namespace

SimpleScheduler::~SimpleScheduler() { stop(); }

void SimpleScheduler::add(Callback callback, Clock::duration period, bool async, std::string name) {
  std::lock_guard<std::mutex> lock(mutex);
  const auto t = Clock::now();
  tasks.push_back(SimpleTask{std::move(callback), t + period, t, period, async, true, std::move(name)});
  sortTasks();
}

bool SimpleScheduler::start() {
  {
    std::lock_guard<std::mutex> lock(wakeMutex);
    if (running) return true;
    running = true;
    wake.clear();
  }
  try {
    thread = std::make_unique<std::thread>(&SimpleScheduler::loop, this);
  } catch (const std::system_error& e) {
    std::cout << "[ERR] scheduler thread not started: " << e.what() << std::endl;
    std::lock_guard<std::mutex> lock(wakeMutex);
    running = false;
    return false;
  }
  return true;
}

void SimpleScheduler::stop() {
  {
    std::lock_guard<std::mutex> lock(wakeMutex);
    running = false;
  }
  wake.raise();
  if (thread && thread->joinable() && thread->get_id() != std::this_thread::get_id()) thread->join();
  thread.reset();
}

bool SimpleScheduler::isRunning() const {
  std::lock_guard<std::mutex> lock(wakeMutex);
  return running;
}

std::size_t SimpleScheduler::size() const {
  std::lock_guard<std::mutex> lock(mutex);
  return tasks.size();
}

SimpleScheduler::SimpleTask& SimpleScheduler::obtainfirst() {
  static SimpleTask invalidTask;
  return tasks.empty() ? invalidTask : tasks.front();
}

void SimpleScheduler::sortTasks() {
  std::sort(tasks.begin(), tasks.end(), [](const SimpleTask& a, const SimpleTask& b) { return a.next < b.next; });
}

bool SimpleScheduler::sleepUntil(Clock::time_point until) {
  wake.sleepUntil(until);
  return isRunning();
}

void SimpleScheduler::runDue(Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex);
  SimpleTask& task = obtainfirst();
  if (!task.valid || now < task.next) return;

  const auto elapsed = static_cast<unsigned int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now - task.last).count());
  task.last = Clock::now();
  if (!task.async) {
    runGuarded(task.callback, elapsed, task.name);
  } else {
    try {
      std::thread([cb = task.callback, elapsed, name = task.name] { runGuarded(cb, elapsed, name); }).detach();
    } catch (const std::exception& e) {
      // Out of threads (or of memory for the copy): skip this run, the task
      // comes round again.
      consoleLine(std::string("[ERR] scheduler: task thread not started: ") + e.what());
    }
  }

  task.next += task.period;
  const auto after = Clock::now();
  if (task.next < after) task.next = after + task.period;
  sortTasks();
}

void SimpleScheduler::loop() {
  while (isRunning()) {
    bool valid = false;
    Clock::time_point next;
    {
      std::lock_guard<std::mutex> lock(mutex);
      const SimpleTask& first = obtainfirst();
      valid = first.valid;
      next = first.next;
    }
    if (!valid) {
      if (!sleepUntil(Clock::now() + kEmptyListNap)) return;
      continue;
    }
    const auto t = Clock::now();
    if (t >= next) {
      runDue(t);
      continue;
    }
    const auto again = Clock::now();
    sleepUntil(next <= again ? again + kJustDueNap : next);
  }
}
