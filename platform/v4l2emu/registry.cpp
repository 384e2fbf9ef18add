// The table of open emulated instances and the process-wide test switches.
#include "platform/v4l2emu/control_log.h"
#include "platform/v4l2emu/device.h"
#include "platform/v4l2emu/engines.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace v4l2emu {

namespace {

constexpr std::size_t kMaxControlLog = 4096;

// The plan KOVIRA_V4L2EMU asks for, read once; envError says why it
// cannot be used.
struct EnvPlan {
  FaultPlan plan;
  std::string error;
};

const EnvPlan& envPlan() {
  static const EnvPlan env = [] {
    EnvPlan e;
    const char* text = std::getenv("KOVIRA_V4L2EMU");
    if (text != nullptr && *text != '\0' && !parseFaultPlan(text, e.plan, e.error)) {
      e.error = "KOVIRA_V4L2EMU: " + e.error;
      e.plan = FaultPlan{};
    }
    return e;
  }();
  return env;
}

struct Registry {
  std::mutex mu;
  std::map<int, std::shared_ptr<Device>> devices;  // guarded by mu
  FaultPlan faults = envPlan().plan;               // guarded by mu
  std::vector<ControlRecord> controls;             // guarded by mu
};

// Never destroyed: hardware parsers live until the process ends, so their
// capture threads still talk to the devices while static objects are torn
// down at exit.
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

std::shared_ptr<Device> find(int fd) {
  Registry& r = registry();
  std::lock_guard lk(r.mu);
  auto it = r.devices.find(fd);
  return it == r.devices.end() ? nullptr : it->second;
}

}  // namespace

void recordControl(const std::string& device, std::uint32_t id, std::int64_t value,
                   std::vector<std::uint8_t> payload) {
  Registry& r = registry();
  std::lock_guard lk(r.mu);
  if (r.controls.size() >= kMaxControlLog) r.controls.erase(r.controls.begin());
  r.controls.push_back(ControlRecord{device, id, value, std::move(payload)});
}

int open(const char* path, int flags) {
  if (!path) return kNotEmulated;
  const std::string p(path);
  if (p != nvv4l2::kDecoderPath && p != nvv4l2::kConverterPath && p != nvv4l2::kEncoderPath) return kNotEmulated;
  if (!envPlan().error.empty()) {
    // The devices the user asked for cannot be had: no device at all
    // rather than one that behaves otherwise than asked.
    errno = EINVAL;
    return -1;
  }
  Registry& r = registry();
  FaultPlan faults;
  {
    std::lock_guard lk(r.mu);
    if (r.faults.device.empty() || p.find(r.faults.device) != std::string::npos) faults = r.faults;
  }
  // The instance's descriptor number is a real descriptor so that it is
  // unique in the process and shows in descriptor counts.
  const int fd = eventfd(0, EFD_CLOEXEC);
  if (fd < 0) return -1;
  std::shared_ptr<Device> dev;
  if (p == nvv4l2::kDecoderPath) dev = makeDecoder(p, flags, faults);
  else if (p == nvv4l2::kConverterPath) dev = makeConverter(p, flags, faults);
  else dev = makeEncoder(p, flags, faults);
  dev->start();
  std::lock_guard lk(r.mu);
  r.devices[fd] = std::move(dev);
  return fd;
}

bool owns(int fd) { return find(fd) != nullptr; }

int ioctl(int fd, unsigned long request, void* arg) {
  auto dev = find(fd);
  if (!dev) {
    errno = EBADF;
    return -1;
  }
  const int err = dev->ioctl(request, arg);
  if (err == 0) return 0;
  errno = err;
  return -1;
}

int close(int fd) {
  std::shared_ptr<Device> dev;
  {
    Registry& r = registry();
    std::lock_guard lk(r.mu);
    auto it = r.devices.find(fd);
    if (it == r.devices.end()) {
      errno = EBADF;
      return -1;
    }
    dev = std::move(it->second);
    r.devices.erase(it);
  }
  dev->shutdown();
  dev.reset();
  return ::close(fd);
}

int poll(int fd, short events, short& revents, int timeoutMs) {
  auto dev = find(fd);
  if (!dev) {
    errno = EBADF;
    return -1;
  }
  revents = dev->poll(events, timeoutMs);
  return revents != 0 ? 1 : 0;
}

void setFaults(const FaultPlan& plan) {
  Registry& r = registry();
  std::lock_guard lk(r.mu);
  r.faults = plan;
}

void clearFaults() { setFaults(envPlan().plan); }

std::string envFaultsError() { return envPlan().error; }

std::vector<ControlRecord> controlLog() {
  Registry& r = registry();
  std::lock_guard lk(r.mu);
  return r.controls;
}

void clearControlLog() {
  Registry& r = registry();
  std::lock_guard lk(r.mu);
  r.controls.clear();
}

int openInstances() {
  Registry& r = registry();
  std::lock_guard lk(r.mu);
  return static_cast<int>(r.devices.size());
}

}  // namespace v4l2emu
