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
#include <optional>
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
// registry is full. A store that cannot be allocated leaves the camera
// without one (one "[ERR] " line; no source is started for it) and is true.
bool add(int camid, std::uint64_t storeBytes);
// Largest frame store (MiB) an edit may ask for on a machine with this much
// physical memory: the memory less kStoreMarginMiB (half of it on a machine
// of less than twice the margin), at most maxMiB. The no-argument form uses
// this machine's memory.
inline constexpr std::uint64_t kStoreMarginMiB = 512;
std::uint64_t storeLimitMiB(std::uint64_t physicalBytes, std::uint64_t maxMiB);
std::uint64_t storeLimitMiB();
// An edit's "bufsize" within the section's range that this machine cannot
// give: "bufsize: ..." saying why; nothing otherwise (a value outside the
// range is the store's own refusal). The next start would find no memory
// for the store.
std::optional<std::string> refusedBufsize(const nlohmann::json& section);
// Test support: the physical memory storeLimitMiB() assumes (0: the machine's).
void setPhysicalMemoryForTests(std::uint64_t bytes);
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
