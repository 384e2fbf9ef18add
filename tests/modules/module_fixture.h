// A processing-module test over a real calibrated scene (EvidenceScene), a
// real frame store and the shared composition: one action of the module's
// method storing into a scratch folder; the console output of each call.
#pragma once

#include "config/actions.h"
#include "config/config.h"
#include "core/fs.h"
#include "evidence/common.h"
#include "evidence/compose.h"
#include "tests/evidence/shell_helpers.h"
#include "tests/support/evidence_scene.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>
#include <memory>
#include <string>

namespace modtest {

// Each named field of an XML report has its text ("<absent>": no such field).
inline void expectFields(const std::string& xml, const std::map<std::string, std::string>& want) {
  for (const auto& [name, text] : want) EXPECT_EQ(evtest::field(xml, name), text) << name;
}

// Each key of want has its value in the record (null: the key is absent).
inline void expectKeys(const nlohmann::json& record, const nlohmann::json& want) {
  for (const auto& [key, value] : want.items()) {
    if (value.is_null()) EXPECT_FALSE(record.contains(key)) << key;
    else EXPECT_EQ(record.value(key, nlohmann::json()), value) << key;
  }
}

class ModuleTest : public testing::Test {
 protected:
  using Process = int (*)(kovira::Track&, kovira::Action&);

  void SetUp() override {
    ASSERT_GT(diskfreespace("/tmp"), evidence::kComposeFreeSpaceFloor) << "runs through nsrun.sh with a larger /tmp";
    ASSERT_TRUE(evidence::makeCashedDir());
    dir = std::make_unique<evtest::ScratchDir>(testing::UnitTest::GetInstance()->current_test_info()->name());
    kovira::config().ntpsync = 1;
    action.enabled = 1;
    action.zoneA = 1;
    action.threshold = 70;
    action.speed = 60;
    action.path = dir->path().string();
    kovira::ConfigWriteLock lock;
    kovira::actions().clear();
  }
  void TearDown() override {
    evtest::dropScratchCopies();
    kovira::config().ntpsync = 0;
    kovira::ConfigWriteLock lock;
    kovira::actions().clear();
    kovira::config().timezone = 0;
  }

  // process on a copy of the track; the console output in `out`.
  int judge(Process process, const kovira::Track& t) {
    kovira::Track copy = t;
    testing::internal::CaptureStdout();
    const int r = process(copy, action);
    out = testing::internal::GetCapturedStdout();
    return r;
  }
  std::vector<std::filesystem::path> archives() const { return evtest::archivesIn(dir->path()); }
  std::string member(const std::filesystem::path& archive, const std::string& name) const {
    return evtest::run("tar -xOf '" + archive.string() + "' " + name).output;
  }
  nlohmann::json metadata(const std::filesystem::path& archive) const {
    return nlohmann::json::parse(member(archive, "kovira.json"));
  }
  // An action of the registry, as the pages would add it.
  void addAction(int id, const std::string& method, const nlohmann::json& extra = nlohmann::json::object()) {
    nlohmann::json section = {{"type", "action"}, {"actid", id},         {"enabled", 1},
                              {"method", method}, {"zoneA", 1},           {"threshold", 70},
                              {"path", dir->path().string()}};
    section.update(extra);
    ASSERT_TRUE(kovira::config().updSection("action", section));
  }

  kovira::Action action{1};
  std::unique_ptr<evtest::ScratchDir> dir;
  std::string out;
};

}  // namespace modtest
