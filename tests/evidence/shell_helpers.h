// Test helpers: run a shell command and collect its output; scratch folders.
#pragma once

#include "tests/support/text.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>
#include <unistd.h>

namespace evtest {

using testsupport::CommandResult;
inline CommandResult run(const std::string& command) { return testsupport::runCommand(command); }

// A fresh folder under the build tree, removed with the object.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& tag)
      : path_(std::filesystem::path(KOVIRA_BINARY_DIR) / "test-scratch" /
              (tag + "-" + std::to_string(::getpid()))) {
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline void writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string readBytes(const std::string& path) { return testsupport::readFile(path); }

// Member names of a tar archive, in archive order.
inline std::vector<std::string> members(const std::filesystem::path& archive) {
  const auto r = run("tar -tf '" + archive.string() + "'");
  std::vector<std::string> names;
  std::size_t from = 0;
  while (from < r.output.size()) {
    const std::size_t end = r.output.find('\n', from);
    names.push_back(r.output.substr(from, end - from));
    if (end == std::string::npos) break;
    from = end + 1;
  }
  return names;
}

// Text of one field of an XML report; "<absent>" when it has none.
inline std::string field(const std::string& xml, const std::string& name) {
  const std::string open = "<" + name + ">";
  const auto a = xml.find(open);
  if (a == std::string::npos) return "<absent>";
  const auto b = xml.find("</" + name + ">", a);
  return xml.substr(a + open.size(), b - a - open.size());
}

}  // namespace evtest
