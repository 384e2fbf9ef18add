// Bounds on the log files: every request writes an access record, so a
// client looping on the server would otherwise fill the partition that
// evidence is stored on. The file is rotated at kLimits.rotationBytes; when a
// new file opens, the oldest files are deleted so that this run keeps at
// most filesPerRun files (the open one included) and all runs together stay
// within totalBytes, counting the open file at its full rotation size.
//
// The rule (filesToDelete) is pure; pruneLogFiles applies it to a folder.
// Threading: pruneLogFiles runs inside the file sink (its lock held), never
// logs and never throws.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace logfiles {

struct Limits {
  std::uintmax_t rotationBytes;
  std::size_t filesPerRun;
  std::uintmax_t totalBytes;
};
inline constexpr Limits kLimits{30ull << 20, 3, 150ull << 20};

struct File {
  std::string name;
  std::uintmax_t size = 0;
  std::int64_t mtimeNs = 0;  // orders the files, newest kept first
  bool own = false;          // written by this run
};

// "RtspClient_<time>.<n>.log": the names of our log files; nothing else in
// the folder is touched.
bool isLogFileName(const std::string& name);

// The files to delete, given every log file in the folder except the open
// one (named `current`, never deleted, whether or not it is listed).
std::vector<std::string> filesToDelete(std::vector<File> files, const std::string& current, const Limits& limits);

// Lists the folder of `currentPath`, deletes what filesToDelete names and
// remembers currentPath as a file of this run.
void pruneLogFiles(const std::string& currentPath, const Limits& limits = kLimits);

}  // namespace logfiles
