// Camera sections through the real camera registry: stores sized from the
// section, cameras that arrive after start-up, the full export, and URL
// bytes that are not UTF-8.
#include "capture/camstart.h"
#include "core/startup_functions.h"
#include "capture/receiver.h"
#include "tests/config/config_fixture.h"

#include <nlohmann/json.hpp>

namespace kovira {
namespace {

using Json = nlohmann::json;
using testing::readFile;
using testing::StdoutCapture;

class CameraRegistryTest : public testing::ConfigTest {};

TEST_F(CameraRegistryTest, SectionsCreateCamerasWithStoresOfTheirSizeAndUpdatesKeepTheStore) {
  GlobalConfig cfg(identity);
  ASSERT_TRUE(cfg.read(file("c.json", R"([
    {"type": "camera", "camid": 7, "bufsize": 3, "source": "rtsp", "url": "rtsp://127.0.0.1/s", "enabled": 1},
    {"type": "camera", "camid": 2, "bufsize": 1, "source": "nonsense", "url": "u", "enabled": 1}])")));
  ASSERT_EQ(camera_sections::ids(), (std::vector<int>{7, 2}));
  Camera& seven = camera(7);
  EXPECT_EQ(seven.cambuf->bytes().capacity, ByteRing::capacityFor(3u << 20));
  EXPECT_EQ(seven.bufsize, 3u);
  EXPECT_EQ(camera(2).source, "default");
  EXPECT_EQ(camera(2).enabled, 0u);

  const auto* store = seven.cambuf.get();
  EXPECT_TRUE(cfg.updSection("camera", {{"type", "camera"}, {"camid", 7}, {"bufsize", 9}, {"fps", 5}}));
  EXPECT_EQ(seven.cambuf.get(), store);  // an existing camera keeps its store
  EXPECT_EQ(seven.fps, 5u);
  EXPECT_EQ(cfg.exportSection("camera", 7, 0), R"({
    "bufsize": 9,
    "camid": 7,
    "enabled": 1,
    "fps": 5,
    "source": "rtsp",
    "type": "camera",
    "url": "rtsp://127.0.0.1/s"
})");
}

TEST_F(CameraRegistryTest, UrlBytesThatAreNotUtf8AreWrittenAsReplacementCharacters) {
  const std::string url = std::string("file:///v/\xC3\x28\xFF") + "ok.mp4";
  Json section = {{"type", "camera"}, {"camid", 4}, {"bufsize", 1}, {"source", "file"}, {"enabled", 1}};
  GlobalConfig cfg(identity);
  // The parser refuses such bytes in a file, but the registry can hold them
  // (a page sets fields directly): the text writer must not throw, and must
  // write what the parser reads again.
  ASSERT_TRUE(cfg.updSection("camera", section));
  camera(4).url = url;
  std::string text;
  ASSERT_NO_THROW(text = cfg.whole(0));
  EXPECT_NE(text.find("\"url\": \"file:///v/\xEF\xBF\xBD(\xEF\xBF\xBDok.mp4\""), std::string::npos) << text;
  EXPECT_NO_THROW(camera(4).tojson(1));
}

TEST_F(CameraRegistryTest, CameraArrivingAfterStartUpIsKeptWithoutAStoreAndSaidSo) {
  GlobalConfig cfg(identity);
  ASSERT_TRUE(cfg.read(file("c.json", R"([{"type": "camera", "camid": 1, "bufsize": 2, "source": "opencv",
                                          "url": "/nonexistent/x.mp4", "enabled": 0}])")));
  frames::init_frames();  // no receiver camera: nothing is bound
  ASSERT_TRUE(framesAllocated());
  StdoutCapture out;
  EXPECT_TRUE(cfg.updSection("camera", {{"type", "camera"}, {"camid", 9}, {"bufsize", 64}, {"source", "rtsp"},
                                        {"url", "rtsp://x"}, {"enabled", 1}}));
  EXPECT_EQ(out.text(),
            "[WARNING] camera [id=9] is new: its section is kept, it gets frames after the next start\n");
  EXPECT_EQ(camera(9).cambuf->bytes().capacity, ByteRing::capacityFor(0));
  EXPECT_EQ(camera(1).cambuf->bytes().capacity, ByteRing::capacityFor(2u << 20));
  EXPECT_NE(cfg.whole(0).find("\"bufsize\": 64,\n    \"camid\": 9"), std::string::npos);
  // The largest store is accepted (checked here, where accepting it does not
  // allocate its 4 GiB).
  EXPECT_TRUE(cfg.updSection("camera", {{"type", "camera"}, {"camid", 10}, {"bufsize", 4096}}));
  EXPECT_EQ(camera(10).bufsize, 4096u);
}

TEST(CameraStoreLimitTest, PhysicalMemoryLessAMarginAtMostTheSectionsMaximum) {
  constexpr std::uint64_t kMiB = 1 << 20;
  const std::pair<std::uint64_t, std::uint64_t> cases[] = {
      {0, 0}, {512 * kMiB, 256}, {1024 * kMiB, 512}, {3072 * kMiB, 2560}, {64 * 1024 * kMiB, 4096},
  };
  for (const auto& [physical, limit] : cases)
    EXPECT_EQ(camera_sections::storeLimitMiB(physical, GlobalConfig::kMaxBufsizeMiB), limit) << physical;
}

TEST_F(CameraRegistryTest, FullRegistryRefusesTheSectionAndTheReadGoesOn) {
  Json file = Json::array();
  for (int id = 1; id <= 98; ++id) file.push_back({{"type", "camera"}, {"camid", id}, {"bufsize", 1}});
  file.push_back({{"type", "global"}, {"timezone", 5}});
  GlobalConfig cfg(identity);
  StdoutCapture out;
  EXPECT_TRUE(cfg.read(this->file("c.json", file.dump())));
  const std::string text = out.text();
  EXPECT_NE(text.find("[WARNING] camera registry is full (96 cameras), camera skipped [id=97]"), std::string::npos);
  EXPECT_NE(text.find("camera skipped [id=98]"), std::string::npos);
  EXPECT_EQ(camera_sections::count(), 96u);
  EXPECT_FALSE(hasCamera(97));
  EXPECT_EQ(cfg.timezone, 5);  // sections after the refused ones were applied
  // An id already held still updates.
  EXPECT_TRUE(cfg.updSection("camera", {{"type", "camera"}, {"camid", 96}, {"bufsize", 1}, {"fps", 7}}));
  EXPECT_EQ(camera(96).fps, 7u);
}

}  // namespace
}  // namespace kovira
