// Program directory and file-system helpers. SetCurrentPath runs once on the
// main thread before other threads start; everything else is thread-safe.
#pragma once

#include <cstdint>
#include <string>

// Remembers argv0's directory with a trailing "/" ("/" for a bare name).
void SetCurrentPath(const char* argv0);
std::string GetCurrentPath();

// Bytes free for unprivileged users on path's file system ("" means ".").
// Throws boost::filesystem::filesystem_error when path does not exist.
std::uint64_t diskfreespace(std::string path);

// Creates path and its missing parents; throws on failure.
void createdirtree(std::string path);

// Total size of the files below path; 0 when it is no directory. Stops at the
// first entry it cannot read and returns what it summed so far.
std::uint64_t directorysize(std::string path);
