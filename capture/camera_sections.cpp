#include "config/camera_sections.h"

#include "capture/cam.h"
#include "capture/camstart.h"

#include <nlohmann/json.hpp>

#include <stdexcept>

namespace kovira::camera_sections {

static_assert(kMaxCameras == kovira::kMaxCameras, "the store and the registry agree on the room");

bool exists(int camid) { return hasCamera(camid); }

std::size_t count() { return cameras().size(); }

std::vector<int> ids() {
  std::vector<int> out;
  for (const Camera& c : cameras()) out.push_back(c.camid);
  return out;
}

bool add(int camid, std::uint64_t storeBytes) {
  try {
    addCamera(camid, storeBytes);
    return true;
  } catch (const std::logic_error&) {
    // A full registry has said so on the console; the rest of the file is
    // still read. Anything else (a store that cannot be allocated) fails
    // the read like every other error of a section's owner.
    if (cameras().size() >= kMaxCameras) return false;
    throw;
  }
}

bool update(int camid, const nlohmann::json& section) {
  return !hasCamera(camid) || camera(camid).updConfig(section);
}

void tojson(int camid, nlohmann::json& out, int mode) {
  if (hasCamera(camid)) camera(camid).tojson(out, mode);
}

bool framesAllocated() { return kovira::framesAllocated(); }

void clearForTests() { cameras().clear(); }

}  // namespace kovira::camera_sections
