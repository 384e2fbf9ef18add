// The last step of replacing a file durably: after the rename, the directory
// that holds the name is synced, or a power cut can bring back the old entry
// (or none). Pure I/O helper; thread-safe.
#pragma once

#include <string>

// fsync of the directory that holds path ("." for a bare name). Returns the
// error text ("" on success) so that callers can report it their own way.
std::string syncDirectoryOf(const std::string& path);
