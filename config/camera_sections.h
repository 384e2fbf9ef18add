// The store's view of the "camera" sections. The camera registry proper
// (frame stores, capture) lives in capture/; the store only needs to know
// which camera ids exist, to create a camera, to hand it its section and to
// get its section text back. Until the registry is wired in, these functions
// keep each camera section's JSON object as read, merged key by key, and
// write it back unchanged, so no operator data is lost.
//
// Threading: called by the store with the configuration lock held (write for
// add/update, read for the rest).
#pragma once

#include <nlohmann/json_fwd.hpp>

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
// tested exists() and that count() < kMaxCameras.
void add(int camid, std::uint64_t storeBytes);
// Applies one "camera" section to an existing camera.
void update(int camid, const nlohmann::json& section);
// The section as a JSON object for the mode ("type" and "camid" included).
void tojson(int camid, nlohmann::json& out, int mode);
// True once frame stores were allocated (start-up): a camera added later
// gets no frames until the next start.
bool framesAllocated();

// Test support: forgets every camera.
void clearForTests();

}  // namespace kovira::camera_sections
