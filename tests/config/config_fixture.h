// Shared set-up of the configuration tests: empty registries, a private
// temporary directory, and identity files that the test chooses (never the
// machine's /etc).
#pragma once

#include "capture/cam.h"
#include "config/actions.h"
#include "config/camera_sections.h"
#include "config/config.h"
#include "config/zones.h"
#include "tests/support/text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace kovira::testing {

inline void clearScene() {
  ConfigWriteLock lock;
  zones().clear();
  actions().clear();
  camera_sections::clearForTests();
}

using testsupport::readFile;

inline void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline std::filesystem::path dataDir() { return std::filesystem::path(KOVIRA_SOURCE_DIR) / "tests/data/config"; }

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clearScene();
    char pattern[] = "/tmp/kovira-config-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    identity.kovira = (dir / "kovira.conf").string();
    identity.skygateway = (dir / "skygateway.conf").string();
  }
  void TearDown() override {
    clearScene();
    std::error_code ec;
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(dir, ec);
  }

  // A file in the test's directory holding text; returns its path.
  std::string file(const std::string& name, const std::string& text) {
    const auto path = dir / name;
    writeFile(path, text);
    return path.string();
  }

  std::filesystem::path dir;
  IdentityPaths identity;
};

// Captures what the store prints on standard output during its lifetime.
class StdoutCapture {
 public:
  StdoutCapture() { ::testing::internal::CaptureStdout(); }
  ~StdoutCapture() {
    if (!taken_) ::testing::internal::GetCapturedStdout();
  }
  std::string text() {
    taken_ = true;
    return ::testing::internal::GetCapturedStdout();
  }

 private:
  bool taken_ = false;
};

}  // namespace kovira::testing
