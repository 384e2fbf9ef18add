// Replacing a file so that a crash or power cut leaves either the old or the
// new text, never a torn one: write "<path>-", fsync it, rename it over the
// path, then fsync the directory so the rename itself is on disk. The
// configuration is the unit's memory, and the board loses power without
// warning. Pure I/O helper; thread-safe for distinct paths.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kovira {

struct WriteResult {
  bool ok = false;
  std::string error;    // the console text after "[FAILURE] " when !ok
  bool changed = false;  // !ok because the file no longer held `expected`
  // The new text is in place but the directory could not be synced: the
  // console text after "[WARNING] " (a file system that cannot sync a
  // directory must not make every save fail).
  std::string warning;
};

// expected: when given, the file is replaced only if it still holds exactly
// these bytes just before the rename (someone may have edited it since it
// was read); otherwise nothing is written and the result says `changed`.
[[nodiscard]] WriteResult writeFileDurably(const std::string& path, std::string_view text,
                                           std::optional<std::string_view> expected = std::nullopt);

}  // namespace kovira
