#include "config/camera_sections.h"

#include "capture/cam.h"
#include "capture/camstart.h"
#include "capture/missing_store.h"
#include "config/config.h"

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <stdexcept>

namespace kovira::camera_sections {

namespace {

constexpr std::uint64_t kMiB = 1048576;
std::atomic<std::uint64_t> physicalForTests{0};

}  // namespace

static_assert(kMaxCameras == kovira::kMaxCameras, "the store and the registry agree on the room");

bool exists(int camid) { return hasCamera(camid); }

std::size_t count() { return cameras().size(); }

std::vector<int> ids() {
  std::vector<int> out;
  for (const Camera& c : cameras()) out.push_back(c.camid);
  return out;
}

bool add(int camid, std::uint64_t storeBytes) {
  // A full registry says so on the console; the rest of the file is still read.
  if (cameras().size() >= kMaxCameras) {
    try {
      addCamera(camid, storeBytes);
    } catch (const std::logic_error&) {
    }
    return false;
  }
  try {
    addCamera(camid, storeBytes);
    return true;
  } catch (const std::exception&) {
    // A store this machine cannot give (a section written for a larger one,
    // or an address-space limit) must not keep the unit from starting: the
    // camera stays without frames, its section is kept as written.
    std::cout << "[ERR] camera " << camid << ": frame store of " << storeBytes / kMiB
              << " MiB cannot be allocated, camera not started" << std::endl;
  }
  markStoreMissing(camid, std::max<std::uint64_t>(storeBytes / kMiB, 1));
  addCamera(camid, 0);
  return true;
}

std::uint64_t storeLimitMiB(std::uint64_t physicalBytes, std::uint64_t maxMiB) {
  const std::uint64_t physical = physicalBytes / kMiB;
  const std::uint64_t usable = physical >= 2 * kStoreMarginMiB ? physical - kStoreMarginMiB : physical / 2;
  return std::min(usable, maxMiB);
}

std::uint64_t storeLimitMiB() {
  std::uint64_t physical = physicalForTests.load();
  if (physical == 0) {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    // Unknown memory refuses nothing: the start-up still survives it.
    if (pages <= 0 || pageSize <= 0) return GlobalConfig::kMaxBufsizeMiB;
    physical = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
  }
  return storeLimitMiB(physical, GlobalConfig::kMaxBufsizeMiB);
}

std::optional<std::string> refusedBufsize(const nlohmann::json& section) {
  const auto it = section.find("bufsize");
  if (it == section.end() || !it->is_number()) return std::nullopt;
  const double mib = it->get<double>();
  const std::uint64_t limit = storeLimitMiB();
  if (!(mib > static_cast<double>(limit)) || mib > static_cast<double>(GlobalConfig::kMaxBufsizeMiB))
    return std::nullopt;
  return "bufsize: " + it->dump() + " MiB is more than this unit can give a frame store (at most " +
         std::to_string(limit) + " MiB)";
}

void setPhysicalMemoryForTests(std::uint64_t bytes) { physicalForTests = bytes; }

bool update(int camid, const nlohmann::json& section) {
  return !hasCamera(camid) || camera(camid).updConfig(section);
}

void tojson(int camid, nlohmann::json& out, int mode) {
  if (hasCamera(camid)) camera(camid).tojson(out, mode);
}

bool framesAllocated() { return kovira::framesAllocated(); }

void clearForTests() {
  cameras().clear();
  clearStoreMissingForTests();
}

}  // namespace kovira::camera_sections
