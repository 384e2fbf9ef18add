// Replacing a file so that a crash or power cut leaves either the old or the
// new text, never a torn one: write "<path>-", fsync it, switch it with the
// path, then fsync the directory so the switch itself is on disk. The
// configuration is the unit's memory, and the board loses power without
// warning. Pure I/O helper; thread-safe for distinct paths.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kovira {

struct WriteResult {
  bool ok = false;
  std::string error;    // the console text after "[FAILURE] " when !ok
  bool changed = false;  // !ok because the file no longer held `expected`
  // !ok because the file could not be read to compare it with `expected`
  // (error gives the system's reason); nothing was replaced, and a later
  // try may succeed.
  bool unreadable = false;
  // The new text is in place but the directory could not be synced: the
  // console text after "[WARNING] " (a file system that cannot sync a
  // directory must not make every save fail).
  std::string warning;
};

// expected: when given, the file is replaced only if it holds exactly these
// bytes when it is replaced (someone may have edited it since it was read);
// otherwise the file is left as it is and the result says `changed`. The
// switch exchanges the two files and compares what it took out, so an edit
// saved while the new text was being written is put back, not lost (on a
// file system that cannot exchange, only the look just before the rename
// protects it). A missing file holds no bytes.
// beforeSwitch: called between that look and the switch (tests put a hand
// edit there).
[[nodiscard]] WriteResult writeFileDurably(const std::string& path, std::string_view text,
                                           std::optional<std::string_view> expected = std::nullopt,
                                           const std::function<void()>& beforeSwitch = {});

}  // namespace kovira
