// Configuration backups against the loopback collector.
#include "config/config_backup.h"
#include "evidence/crypto.h"
#include "support/collector.h"
#include "tests/config/config_fixture.h"

#include <nlohmann/json.hpp>

#include <thread>

namespace kovira {
namespace {

using namespace std::chrono_literals;
using testsupport::Collector;

class ConfigBackupTest : public testing::ConfigTest {
 protected:
  std::unique_ptr<GlobalConfig> makeConfig(const std::string& token) {
    testing::writeFile(identity.kovira, nlohmann::json{{"token", token}}.dump());
    auto cfg = std::make_unique<GlobalConfig>(identity);
    cfg->hostname = "cam 7&x";
    EXPECT_TRUE(cfg->read(file("cfg.json", R"([{"type": "global", "timezone": 3}])")));
    return cfg;
  }
};

TEST_F(ConfigBackupTest, PostsTheWholeTextOnlyWhenItChanged) {
  Collector collector;
  ASSERT_TRUE(collector.ok());
  auto cfg = makeConfig("t0k=n");
  ConfigBackup backup(ConfigBackup::kPeriod, cfg.get());
  backup.configure(collector.base() + "/confback.php");

  testing::StdoutCapture out;
  EXPECT_EQ(backup.check(), ConfigBackup::Result::Sent);
  const std::string first = cfg->whole(0);
  EXPECT_EQ(backup.check(), ConfigBackup::Result::Unchanged);
  cfg->updSection("global", {{"timezone", 5}});
  EXPECT_EQ(backup.check(), ConfigBackup::Result::Sent);
  const std::string second = cfg->whole(0);
  ASSERT_NE(first, second);

  ASSERT_TRUE(collector.waitForRecords(2, 5s));
  collector.stop();
  const auto records = collector.records();
  ASSERT_EQ(records.size(), 2u);
  for (const auto& r : records) {
    EXPECT_EQ(r["method"], "POST");
    EXPECT_EQ(r["path"], "/confback.php");
    EXPECT_EQ(r["query"], "hostname=cam+7%26x&token=t0k%3dn");
    EXPECT_EQ(r["headers"]["content-type"], "application/octet-stream");
    EXPECT_EQ(r["headers"]["x-hash"], r["md5"]);
  }
  EXPECT_EQ(collector.body(records[0]), first);
  EXPECT_EQ(collector.body(records[1]), second);
  const std::string url = collector.base() + "/confback.php";
  EXPECT_EQ(out.text(), "[DBG] Successful sent " + std::to_string(first.size()) + " bytes to " + url + "\n" +
                            "[DBG] Successful sent " + std::to_string(second.size()) + " bytes to " + url + "\n");
}

TEST_F(ConfigBackupTest, FailedPostIsRetriedAtTheNextCheck) {
  Collector collector(R"({"/confback.php": {"status": [500, 200]}})");
  ASSERT_TRUE(collector.ok());
  auto cfg = makeConfig("");
  ConfigBackup backup(ConfigBackup::kPeriod, cfg.get());
  backup.configure(collector.base() + "/confback.php");
  const std::string size = std::to_string(cfg->whole(0).size());
  const std::string url = collector.base() + "/confback.php";

  testing::StdoutCapture out;
  EXPECT_EQ(backup.check(), ConfigBackup::Result::Failed);
  EXPECT_EQ(backup.check(), ConfigBackup::Result::Sent);
  EXPECT_EQ(backup.check(), ConfigBackup::Result::Unchanged);
  EXPECT_EQ(out.text(), "[DBG] fail send " + size + " bytes to " + url + "\n[DBG] Successful sent " + size +
                            " bytes to " + url + "\n");
  ASSERT_TRUE(collector.waitForRecords(2, 5s));
  EXPECT_EQ(collector.records()[1]["query"], "hostname=cam+7%26x");  // no token: no token key
}

TEST_F(ConfigBackupTest, ThreadChecksEveryPeriodAndStopsPromptly) {
  Collector collector;
  ASSERT_TRUE(collector.ok());
  auto cfg = makeConfig("abc");
  ConfigBackup backup(std::chrono::milliseconds(100), cfg.get());
  backup.configure(collector.base() + "/confback.php");
  testing::StdoutCapture out;
  const auto started = std::chrono::steady_clock::now();
  backup.start();
  ASSERT_TRUE(collector.waitForRecords(1, 5s));
  EXPECT_GE(std::chrono::steady_clock::now() - started, 100ms);  // not before one period
  cfg->updSection("global", {{"timezone", 7}});
  ASSERT_TRUE(collector.waitForRecords(2, 5s));
  const auto t0 = std::chrono::steady_clock::now();
  backup.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
  EXPECT_EQ(collector.records().size(), 2u);
}

}  // namespace
}  // namespace kovira
