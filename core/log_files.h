// Bounds on the log files: every request writes an access record, so a
// client looping on the server would otherwise fill the partition that
// evidence is stored on. The file is rotated at kLimits.rotationBytes; when a
// new file opens, files are deleted so that this run keeps at most
// filesPerRun files (the open one included) and all runs together stay
// within totalBytes, counting the open file at its full rotation size.
//
// What is kept, in this order: the open file, this run's other files newest
// first, then earlier runs' files newest first. "Newest" is the order of
// writing as the names tell it, never a modification time: a board without a
// battery clock writes 1970 stamps until the time daemon syncs, and a clock
// stepped back makes a fresh file look old, so stamps would delete the very
// log of the boot an operator wants to read.
//
// Names: "RtspClient_run<R>_<time>.<n>.log". R numbers the runs (one more than
// the highest in the folder when the log starts), n is the rotation counter
// within the run; <time> is the clock at opening, for people only. Names of
// earlier versions, "RtspClient_<time>.<n>.log", count as run 0 (older than
// any numbered run), ordered among themselves by <time>, then n.
//
// The rule (filesToDelete) and the names are pure; pruneLogFiles and
// nextRunIn apply them to a folder. Threading: pruneLogFiles runs inside the
// file sink (its lock held), never logs and never throws.
#pragma once

#include <compare>
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
  bool own = false;  // written by this run
};

// "RtspClient_<anything>.log": the names of our log files; nothing else in
// the folder is touched.
bool isLogFileName(const std::string& name);

// Where a log file stands in the order of writing (greater is newer).
struct Order {
  std::uint64_t run = 0;  // 0: a name without a run number
  std::string stamp;      // the time in the name, compared only within run 0
  std::uint64_t counter = 0;
  auto operator<=>(const Order&) const = default;
};
Order writingOrder(const std::string& name);

// The pattern of this run's names for the file sink ("%N" the counter).
std::string fileNamePattern(std::uint64_t run);
// One more than the highest run among the names (1 when there is none).
std::uint64_t nextRun(const std::vector<std::string>& names);
// nextRun over the log files in `dir` (1 when it cannot be listed).
std::uint64_t nextRunIn(const std::string& dir);

// The files to delete, given every log file in the folder except the open
// one (named `current`, never deleted, whether or not it is listed).
std::vector<std::string> filesToDelete(std::vector<File> files, const std::string& current, const Limits& limits);

// Lists the folder of `currentPath`, deletes what filesToDelete names and
// remembers currentPath as a file of this run.
void pruneLogFiles(const std::string& currentPath, const Limits& limits = kLimits);

}  // namespace logfiles
