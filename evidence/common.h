// Storing evidence: the finished archive of an event goes into every target
// directory of its action and, when the action asks for it, onto the upload
// queue. Beside it, the helpers the modules use while composing: scratch
// copies in "/tmp/cashed/" (the tickets page links to them) and the signing
// step that adds "signature.sign".
//
// Threading: everything here runs on the result-queue workers, several at
// once; no state of its own (ids come from simpleuniqid, which hands each
// value out once).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class SimpleFile;
class Tar;
namespace cv {
class Mat;
}
namespace kovira {
class Action;
}

namespace evidence {
// Nothing is stored while the file system of "/tmp" has less than this
// available: the scratch copies and the system itself live there.
inline constexpr std::uint64_t kFreeSpaceFloor = 1073741824;
inline constexpr const char* kFreeSpacePath = "/tmp";
inline constexpr const char* kCashedDir = "/tmp/cashed/";
// Ids tried before giving up when archive names keep colliding with files
// left by an earlier run.
inline constexpr int kMaxNameAttempts = 100000;
// procscript gives up on a listener that takes nothing for this long.
inline constexpr int kScriptStallMs = 5000;

// Creates the scratch folder (mode 0775); false when it cannot.
bool makeCashedDir();
}  // namespace evidence

// Writes "<id>.tar" into each directory of action.path (";"-separated,
// trimmed, empty entries skipped) under the free-space floor and the
// `suspended` rule, never replacing an existing file, and queues the archive
// for upload when action.upload is set.
void procTrackRes(kovira::Action& action, SimpleFile& archive);

// Removes the hidden temporaries (".<id>.tar~") that a save interrupted by
// the end of the process left in the target directories of the actions, with
// one warning line each; returns how many. Run at start, before any worker
// stores (the start-up function of this module).
std::size_t removeLeftoverTemporaries();

// Writes the image (cv::imwrite, format by extension) to folder + "<id>.ext"
// and returns "<id>.ext" whether or not the write worked.
std::string tempSave(const cv::Mat& image, std::string folder, std::string ext);
// safeSave of the bytes to folder + "<id>.ext"; the name, or "" on failure.
std::string tempSave(const char* data, std::size_t len, std::string folder, std::string ext);

// Signs data with the PEM key at keypath and adds "signature.sign" to the
// archive; nothing when the path is empty or the key or signing fails.
void signAngelMe(std::string keypath, Tar& archive, SimpleFile& data);

// Sends the bytes to a TCP listener on 127.0.0.1 at the port of "host:port"
// (the host is ignored); "Fail" on standard output when it does not parse,
// nothing for an empty address.
void procscript(const char* data, std::size_t len, std::string address);
