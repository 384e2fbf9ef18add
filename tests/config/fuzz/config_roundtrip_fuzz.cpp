// libFuzzer entry for the configuration file: whatever file the store
// accepts, the text it then writes (whole(0)) must be accepted again, by a
// fresh store (the next start) and on top of the same objects (a reload),
// and must come out unchanged: the written file is a fixed point.
#include "capture/camstart.h"
#include "config/actions.h"
#include "config/camera_sections.h"
#include "config/config.h"
#include "config/zones.h"

#include <nlohmann/json.hpp>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>

// Camera start-up is not linked in: stores are made as after start-up, with
// no bytes, so a "bufsize" of 4096 costs nothing.
bool kovira::framesAllocated() { return true; }

namespace {

// A module section that keeps what it reads and writes it back: the store's
// path for module sections, with any JSON a module could hold.
class EchoSketch final : public ConfigSketch {
 public:
  void tojson(nlohmann::json& section, int /*mode*/) override { section = held; }
  void fromjson(const nlohmann::json& section) override { held = section; }
  nlohmann::json held;
};

// The bytes as a file the store can open, without touching the disk.
class MemoryFile {
 public:
  explicit MemoryFile(const std::string& bytes) : fd_(::memfd_create("config", MFD_CLOEXEC)) {
    if (fd_ < 0 || ::write(fd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
  }
  ~MemoryFile() { ::close(fd_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_;
};

void clearScene() {
  kovira::ConfigWriteLock lock;
  kovira::zones().clear();
  kovira::actions().clear();
  kovira::camera_sections::clearForTests();
}

const kovira::IdentityPaths kNoIdentity{"/nonexistent/kovira.conf", "/nonexistent/skygateway.conf"};

// A new store with the module attached, as the unit has it once started.
struct Store {
  Store() { cfg.attach("echo", echo); }
  EchoSketch echo;
  kovira::GlobalConfig cfg{kNoIdentity};
};

void mustEqual(const std::string& what, const std::string& expected, const std::string& got) {
  if (expected == got) return;
  std::cerr << what << " changed the written file.\n--- written\n" << expected << "\n--- then\n" << got << "\n";
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::cout.setstate(std::ios::badbit);  // the store's console lines
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  clearScene();
  std::string written;
  {
    Store first;
    const MemoryFile input(std::string(reinterpret_cast<const char*>(data), size));
    if (!first.cfg.read(input.path())) return 0;
    written = first.cfg.whole(0);
    const MemoryFile again(written);
    if (!first.cfg.read(again.path())) mustEqual("a reload refused it; the reload", written, "");
    mustEqual("a reload", written, first.cfg.whole(0));
  }
  clearScene();
  Store next;
  const MemoryFile file(written);
  if (!next.cfg.read(file.path())) mustEqual("the next start refused it; the next start", written, "");
  mustEqual("the next start", written, next.cfg.whole(0));
  return 0;
}
