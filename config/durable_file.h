// Replacing a file so that a crash or power cut leaves either the old or the
// new text, never a torn one: write "<path>-", fsync it, rename it over the
// path, then fsync the directory so the rename itself is on disk. The
// configuration is the unit's memory, and the board loses power without
// warning. Pure I/O helper; thread-safe for distinct paths.
#pragma once

#include <string>
#include <string_view>

namespace kovira {

struct WriteResult {
  bool ok = false;
  std::string error;  // the console text after "[FAILURE] " when !ok
};

[[nodiscard]] WriteResult writeFileDurably(const std::string& path, std::string_view text);

}  // namespace kovira
