// The store's view of the "camera" sections. The camera registry lives a
// floor above (capture/), which implements these calls over it
// (capture/camera_sections.cpp): the store reads and writes camera sections
// without knowing cameras. Cameras are created with their frame store when
// their first section is read and are never removed.
//
// Threading: called by the store with the configuration lock held (write for
// add/update, read for the rest).
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kovira::camera_sections {

// Room of the camera registry.
inline constexpr std::size_t kMaxCameras = 96;

bool exists(int camid);
std::size_t count();
// Ids in registry order (the order cameras were added).
std::vector<int> ids();
// Creates camera `camid` with a frame store of `storeBytes`; the caller has
// tested exists(). False, after the registry's "[WARNING] " line, when the
// registry is full; a store that cannot be allocated throws.
bool add(int camid, std::uint64_t storeBytes);
// Applies one "camera" section to an existing camera; false when a value
// was not applied (reported with a "[WARNING] " line).
bool update(int camid, const nlohmann::json& section);
// The section as a JSON object for the mode ("type" and "camid" included).
void tojson(int camid, nlohmann::json& out, int mode);
// True once the cameras' sources were started (start-up): a camera added
// later gets no frames until the next start.
bool framesAllocated();

// Test support: forgets every camera (no source may be running).
void clearForTests();

}  // namespace kovira::camera_sections
