// The shared evidence composition over a real frame store: archive layout
// read back with tar, report and metadata fields, the signature checked with
// openssl, the frame checks, and several workers composing at once.
#include "evidence/compose.h"

#include "config/actions.h"
#include "config/config.h"
#include "core/fs.h"
#include "evidence/common.h"
#include "evidence/compose_frame.h"
#include "evidence/compose_geometry.h"
#include "evidence/labelformat.h"
#include "evidence/tar.h"
#include "evidence/tickets.h"
#include "tests/evidence/shell_helpers.h"
#include "tests/support/evidence_scene.h"
#include "tests/support/text.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>

namespace {

namespace fs = std::filesystem;
using evtest::EvidenceScene;
using evtest::readAll;

const evidence::ModuleSettings& speedRow() { return *evidence::moduleSettings("speed"); }

using evtest::field;
using evtest::members;

class ComposeTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GT(diskfreespace("/tmp"), evidence::kComposeFreeSpaceFloor) << "runs through nsrun.sh with a larger /tmp";
    ASSERT_TRUE(evidence::makeCashedDir());
    dir = std::make_unique<evtest::ScratchDir>(testing::UnitTest::GetInstance()->current_test_info()->name());
    action.method = "speed";
    action.speed = 60;
    action.path = (dir->path() / "a").string() + ";" + (dir->path() / "b").string();
    setConfig("", 0, "Moscow");
  }
  void TearDown() override {
    evtest::dropScratchCopies();
    setConfig("", 0, "");
  }

  static void setConfig(const std::string& key, int devid, const std::string& address) {
    kovira::ConfigWriteLock lock;
    kovira::config().signkey = key;
    kovira::config().devid = devid;
    kovira::config().address = address;
  }

  int compose(kovira::Track& t, unsigned frame, float speed = 92.5f) {
    evidence::EventValues v;
    v.speed = speed;
    v.caption = [](LabelFormat& l, std::uint32_t usec) { l.emplace("f", std::to_string(usec)); };
    v.metadata.push_back({"spdlim", std::int64_t{60}});
    v.metadata.push_back({"spdtext", std::string("measured")});
    return evidence::composeEvidence(speedRow(), t, action, frame, v);
  }

  // The one archive in "a", the same bytes in "b"; extracted into "x".
  fs::path onlyArchive() {
    const auto a = evtest::archivesIn(dir->path() / "a");
    const auto b = evtest::archivesIn(dir->path() / "b");
    EXPECT_EQ(a.size(), 1u);
    EXPECT_EQ(b.size(), 1u);
    if (a.size() != 1 || b.size() != 1) return {};
    EXPECT_EQ(a[0].filename(), b[0].filename());
    EXPECT_EQ(readAll(a[0]), readAll(b[0]));
    fs::create_directories(dir->path() / "x");
    EXPECT_EQ(evtest::run("tar -xf '" + a[0].string() + "' -C '" + (dir->path() / "x").string() + "'").status, 0);
    return a[0];
  }
  fs::path extracted(const std::string& name) const { return dir->path() / "x" / name; }

  EvidenceScene scene;
  kovira::Action action{1};
  std::unique_ptr<evtest::ScratchDir> dir;
};

TEST_F(ComposeTest, AllFeaturesGiveSixMembersInOrderAndAVerifiableSignature) {
  const fs::path key = dir->path() / "key.pem";
  ASSERT_EQ(evtest::run("openssl genrsa -out '" + key.string() + "' 2048").status, 0);
  ASSERT_EQ(evtest::run("openssl rsa -in '" + key.string() + "' -pubout -out '" + (dir->path() / "pub.pem").string() +
                        "'")
                .status,
            0);
  setConfig(key.string(), 4711, "bad \xff\xfe byte");
  action.extra = "redbox crosshair fullframe angelsign";
  kovira::Track t = scene.track();
  testing::internal::CaptureStdout();
  ASSERT_EQ(compose(t, scene.nums[8]), 1) << testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStdout();

  const fs::path archive = onlyArchive();
  EXPECT_EQ(members(archive),
            (std::vector<std::string>{"m.jpg", "plate.jpg", "big.jpg", "angel.xml", "signature.sign", "kovira.json"}));
  const std::string signedBytes = readAll(extracted("angel.xml")) + readAll(extracted("m.jpg"));
  std::ofstream(dir->path() / "signed.bin", std::ios::binary) << signedBytes;
  const auto verify = evtest::run("openssl dgst -sha1 -verify '" + (dir->path() / "pub.pem").string() +
                                  "' -signature '" + extracted("signature.sign").string() + "' '" +
                                  (dir->path() / "signed.bin").string() + "'");
  EXPECT_NE(verify.output.find("Verified OK"), std::string::npos) << verify.output;

  const cv::Mat big = cv::imread(extracted("big.jpg").string(), cv::IMREAD_UNCHANGED);
  EXPECT_EQ(big.cols, evtest::kW);
  EXPECT_EQ(big.channels(), 1);
  const cv::Mat plate = cv::imread(extracted("plate.jpg").string(), cv::IMREAD_UNCHANGED);
  EXPECT_EQ(plate.cols, evtest::kPlateW + 40);  // grown by 20 on each side
  EXPECT_EQ(plate.rows, evtest::kPlateH + 40);
  // The device id, and texts with bytes that are not UTF-8.
  const auto meta = nlohmann::json::parse(readAll(extracted("kovira.json")));
  EXPECT_EQ(meta["camid"], 4711);
  EXPECT_EQ(meta["address"], "bad \xEF\xBF\xBD\xEF\xBF\xBD byte");

  // The marked points of the report are the plate's corners in the collage.
  const std::string xml = readAll(extracted("angel.xml"));
  const cv::Mat m = cv::imread(extracted("m.jpg").string(), cv::IMREAD_GRAYSCALE);
  ASSERT_FALSE(m.empty());
  // The plate is the only bright thing in the picture.
  int minX = m.cols, minY = m.rows, maxX = -1, maxY = -1;
  for (int y = 0; y < m.rows; ++y)
    for (int x = 0; x < m.cols; ++x)
      if (m.at<std::uint8_t>(y, x) > 150) {
        minX = std::min(minX, x), minY = std::min(minY, y);
        maxX = std::max(maxX, x), maxY = std::max(maxY, y);
      }
  ASSERT_GE(maxX, 0);
  const std::pair<const char*, int> marks[] = {{"nRectNumX1", minX},     {"nRectNumY1", minY},
                                               {"nRectNumX2", minX},     {"nRectNumY2", maxY + 1},
                                               {"nRectNumX3", maxX + 1}, {"nRectNumY3", minY}};
  for (const auto& [name, at] : marks) EXPECT_NEAR(std::stoi(field(xml, name)), at, 2) << name;
}

TEST_F(ComposeTest, ReportAndMetadataFields) {
  action.imgw = 0;       // clamped to the smallest collage
  action.imgh = 100000;  // and the largest
  kovira::Track t = scene.track();
  testing::internal::CaptureStdout();
  ASSERT_EQ(compose(t, scene.nums[8]), 1);
  testing::internal::GetCapturedStdout();
  // No features: no full frame, no signature.
  EXPECT_EQ(members(onlyArchive()), (std::vector<std::string>{"m.jpg", "plate.jpg", "angel.xml", "kovira.json"}));

  const std::string xml = readAll(extracted("angel.xml"));
  const std::string metaText = readAll(extracted("kovira.json"));
  const auto meta = nlohmann::json::parse(metaText);
  EXPECT_EQ(field(xml, "tTargetGlobalUID"), meta["uid"].get<std::string>());
  EXPECT_EQ(meta["uid"].get<std::string>().find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(meta["uid"].get<std::string>().size(), 32u);
  const std::pair<const char*, std::string> xmlFields[] = {
      {"tLicenseNumber", "\xD0\x90" "123\xD0\x92\xD0\xA1" "77"},  // Cyrillic look-alikes
      {"nDisplaySpeed", "92"}, {"nSpeedThreshold", "60"}, {"nOverSpeed", "1"}, {"nDirection", "1"},
      {"nImagePresent", "1"}, {"nImageWidth", "64"}, {"nImageHeight", "4096"}, {"nDatetime", "1700000000"},
      {"nSize", std::to_string(fs::file_size(extracted("m.jpg")))}};
  for (const auto& [name, value] : xmlFields) EXPECT_EQ(field(xml, name), value) << name;
  const cv::Mat m = cv::imread(extracted("m.jpg").string(), cv::IMREAD_GRAYSCALE);
  EXPECT_EQ(m.cols, 64);
  EXPECT_EQ(m.rows, 4096);

  const nlohmann::json expected = {{"version", 2}, {"type", "speed"}, {"txt", "A123BC77"}, {"spd", 92},
                                   {"spdlim", 60}, {"spdtext", "measured"}, {"tm", 1700000000u},
                                   {"direction", 1}, {"address", "Moscow"}};
  for (const auto& [key, value] : expected.items()) EXPECT_EQ(meta[key], value) << key;
  EXPECT_FALSE(meta.contains("camid"));  // device id 0
  // Keys alphabetically, indented by four spaces.
  EXPECT_EQ(metaText.rfind("{\n    \"acc\": ", 0), 0u) << metaText;
  EXPECT_LT(metaText.find("\"address\""), metaText.find("\"direction\""));
  EXPECT_LT(metaText.find("\"uid\""), metaText.find("\"version\""));

  // The passage, with its scratch copies.
  const ticket_t ticket = webtickets().newest(1).at(0);
  EXPECT_EQ(ticket.type + " " + ticket.plate, "speed A123BC77");
  EXPECT_EQ(std::vector<unsigned>({ticket.track, ticket.vclass, ticket.cnt, ticket.way, ticket.alert}),
            std::vector<unsigned>({7, 2, 11, 1, 1}));
  EXPECT_FLOAT_EQ(ticket.speed, 92.5f);
  for (const std::string* name : {&ticket.collage, &ticket.tar, &ticket.frame}) {
    ASSERT_FALSE(name->empty());
    EXPECT_TRUE(fs::exists("/tmp/cashed/" + *name)) << *name;
  }
  EXPECT_EQ(readAll("/tmp/cashed/" + ticket.tar), readAll(evtest::archivesIn(dir->path() / "a")[0]));
}

// A passage is marked as a violation (a pink row) only where the module
// reports one: the bus-lane modules record who drove in the lane.
TEST_F(ComposeTest, PassagesAreMarkedAsViolationsOnlyWhereTheModuleReportsOne) {
  const struct {
    const char* module;
    unsigned alert, vclass;
  } cases[] = {{"speed", 1, 2}, {"wrongdir", 1, 0}, {"busline", 0, 0}, {"busline-kormelino", 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.module);
    action.method = c.module;
    kovira::Track t = scene.track();
    evidence::EventValues v;
    v.speed = 40.0f;
    v.firstFrame = scene.nums[2];  // the four-photo collage's measured frames
    v.lastFrame = scene.nums[9];
    ASSERT_EQ(evidence::composeEvidence(*evidence::moduleSettings(c.module), t, action, scene.nums[8], v), 1);
    const ticket_t ticket = webtickets().newest(1).at(0);
    EXPECT_EQ(std::make_tuple(ticket.track, ticket.alert, ticket.vclass), std::make_tuple(t.id, c.alert, c.vclass));
  }
}

// Picture settings out of range are used as the nearest good value; the
// operator hears of it once per action and set of values, not per event.
TEST_F(ComposeTest, ClampedPictureSettingsAreReportedOncePerAction) {
  const struct {
    std::int32_t actid;
    std::uint32_t imgw, imgh, quality;
    const char* line;  // "": no line
  } cases[] = {
      {1, 960, 600, 0, ""},
      {1, 960, 600, 100, ""},
      {1, 10, 99999, 0, "[WARNING] action 1: imgw 10 -> 64, imgh 99999 -> 4096\n"},
      {1, 10, 99999, 0, ""},  // said already
      {1, 960, 600, 150, "[WARNING] action 1: quality 150 -> 100\n"},
      {1, 5000, 600, 150, "[WARNING] action 1: imgw 5000 -> 4096, quality 150 -> 100\n"},
      {2, 10, 99999, 0, "[WARNING] action 2: imgw 10 -> 64, imgh 99999 -> 4096\n"},  // its own line
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.imgw) + "x" + std::to_string(c.imgh) + " q" + std::to_string(c.quality));
    action.actid = c.actid;
    action.imgw = c.imgw;
    action.imgh = c.imgh;
    action.quality = c.quality;
    kovira::Track t = scene.track();
    const std::string out = testsupport::stdoutOf([&] { EXPECT_EQ(compose(t, scene.nums[8]), 1); });
    EXPECT_EQ(testsupport::occurrences(out, "[WARNING] action"), *c.line ? 1u : 0u) << out;
    EXPECT_NE(out.find(c.line), std::string::npos) << out;
  }
}

TEST_F(ComposeTest, PlateOutsideThePictureLeavesOutThePlatePicture) {
  kovira::Track t = scene.track();
  kovira::TrackPoint& p = t.getPoint(scene.nums[8]);
  p.x = evtest::kW + 50;  // the crop is empty; the collage still shows the vehicle
  testing::internal::CaptureStdout();
  ASSERT_EQ(compose(t, scene.nums[8]), 1);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(members(onlyArchive()), (std::vector<std::string>{"m.jpg", "angel.xml", "kovira.json"}));
}

TEST_F(ComposeTest, FramesThatCannotBeUsedGiveMinusTwoAndNothingStored) {
  // An H.264 frame, a grey frame with too few bytes, and a frame whose bytes
  // the ring has already overwritten.
  const unsigned h264 = scene.addFrame(260, evtest::kBase, FRAME_I, 5000);
  const unsigned shortGrey = scene.addFrame(260, evtest::kBase, FRAME_GRAY8, evtest::kW * evtest::kH - 1);
  for (unsigned f : {h264, shortGrey}) {
    kovira::Track t = scene.track();
    t.join(EvidenceScene::point(f, scene.zone, 260));
    testing::internal::CaptureStdout();
    EXPECT_EQ(compose(t, f), -2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[ERR] invalid frametype: A123BC77\n");
  }
  const unsigned old = scene.nums[8];
  while (evidence::framePresent(scene.store(), old)) scene.addFrame(300, evtest::kBase);
  kovira::Track t = scene.track();
  testing::internal::CaptureStdout();
  EXPECT_EQ(compose(t, old), -2);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[ERR] кадр уже устарел: A123BC77\n");
  testing::internal::CaptureStdout();
  EXPECT_EQ(evidence::checkEvidenceFrame(t, old), -2);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[ERR] кадр уже устарел: A123BC77\n");
  EXPECT_TRUE(evtest::archivesIn(dir->path() / "a").empty());
}

TEST_F(ComposeTest, ABuildingBlockThatThrowsEndsTheEventWithALine) {
  kovira::Track t = scene.track();
  t.zone = 99;  // no such zone
  testing::internal::CaptureStdout();
  EXPECT_EQ(compose(t, scene.nums[8]), -2);
  EXPECT_EQ(testing::internal::GetCapturedStdout().rfind("[ERR] evidence (speed) A123BC77: ", 0), 0u);
}

TEST_F(ComposeTest, FourWorkersComposeDistinctArchives) {
  constexpr int kWorkers = 4;
  constexpr int kEach = 25;
  testing::internal::CaptureStdout();
  std::vector<std::thread> workers;
  std::atomic<int> stored{0};
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        kovira::Track t = scene.track();
        if (compose(t, scene.nums[8]) == 1) ++stored;
      }
    });
  }
  for (auto& w : workers) w.join();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(stored.load(), kWorkers * kEach);
  const auto archives = evtest::archivesIn(dir->path() / "a");
  ASSERT_EQ(archives.size(), static_cast<std::size_t>(kWorkers * kEach));
  std::set<std::string> uids;
  for (const auto& a : archives) {
    const std::string bytes = readAll(a);
    const Tar reader(bytes.data(), static_cast<int>(bytes.size()));
    const auto files = reader.files();
    ASSERT_EQ(files.size(), 4u) << a;
    EXPECT_EQ(files[3].name, "kovira.json");
    const auto meta = nlohmann::json::parse(std::string(files[3].data, files[3].size));
    uids.insert(meta["uid"].get<std::string>());
  }
  EXPECT_EQ(uids.size(), archives.size());
}

// ---- the free-space floor -------------------------------------------------

// Runs inside tests/fixtures/nsrun.sh with a tmpfs /tmp of exactly 2^31
// bytes (KOVIRA_FLOOR=proceed) or one page less (KOVIRA_FLOOR=refuse);
// nothing may be written to /tmp before the composition looks.
TEST(ComposeFloor, TwoGibibytesFreeProceedsOnePageLessIsRefused) {
  const char* expect = std::getenv("KOVIRA_FLOOR");
  ASSERT_TRUE(std::getenv("KOVIRA_IN_NS") != nullptr && expect != nullptr) << "runs inside nsrun.sh";
  const bool proceed = std::string(expect) == "proceed";
  ASSERT_EQ(diskfreespace("/tmp"), proceed ? 2147483648ull : 2147483648ull - 4096);
  EvidenceScene scene;
  evtest::ScratchDir dir("floor");
  kovira::Action action(1);
  action.method = "speed";
  action.path = (dir.path() / "a").string();
  ASSERT_TRUE(evidence::makeCashedDir());
  kovira::Track t = scene.track();
  evidence::EventValues v;
  v.speed = 90;
  testing::internal::CaptureStdout();
  const int result = evidence::composeEvidence(speedRow(), t, action, scene.nums[8], v);
  const std::string out = testing::internal::GetCapturedStdout();
  if (proceed) {
    EXPECT_EQ(result, 1) << out;
    EXPECT_EQ(evtest::archivesIn(dir.path() / "a").size(), 1u);
  } else {
    EXPECT_EQ(result, -3);
    EXPECT_EQ(out, "[DBG] недостаточно пространства в /tmp\n");
    EXPECT_TRUE(evtest::archivesIn(dir.path() / "a").empty());
    // The passage stays, without scratch copies.
    const ticket_t ticket = webtickets().newest(1).at(0);
    EXPECT_EQ(ticket.plate, "A123BC77");
    EXPECT_TRUE(ticket.collage.empty() && ticket.tar.empty() && ticket.frame.empty());
  }
}

// ---- the frame copy --------------------------------------------------------

TEST(EvidenceFrameCopy, AFrameOverwrittenDuringTheCopyIsRefused) {
  EvidenceScene scene;
  const unsigned target = scene.nums[5];
  evidence::EvidenceFrame copy;
  const auto overwrite = [&] {
    while (evidence::framePresent(scene.store(), target)) scene.addFrame(300, evtest::kBase);
  };
  EXPECT_EQ(evidence::copyEvidenceFrame(scene.store(), target, copy, overwrite),
            evidence::FrameCopyStatus::Overwritten);
  EXPECT_TRUE(copy.bytes.empty());
}

TEST(EvidenceFrameCopy, AFrameTheWriterIsAboutToReachIsRefused) {
  EvidenceScene scene;
  const unsigned target = scene.nums[0];
  const auto it = scene.store().frame(target);
  const std::uint8_t* data = it->liveBytes().data;
  const std::uint64_t size = it->liveBytes().size;
  while (scene.store().obsDist(data) > evidence::kWriterMarginFrames * size) scene.addFrame(300, evtest::kBase);
  ASSERT_TRUE(evidence::framePresent(scene.store(), target));
  evidence::EvidenceFrame copy;
  EXPECT_EQ(evidence::copyEvidenceFrame(scene.store(), target, copy), evidence::FrameCopyStatus::Overwritten);
  // A frame far from the writer copies with its capture time.
  const unsigned fresh = scene.addFrame(300, evtest::kBase + 123456);
  ASSERT_EQ(evidence::copyEvidenceFrame(scene.store(), fresh, copy), evidence::FrameCopyStatus::Copied);
  EXPECT_EQ(copy.usec, 123456u);
  EXPECT_EQ(copy.grey().at<std::uint8_t>(300, 320), 250);
}

// ---- geometry --------------------------------------------------------------

kovira::TrackPoint plateAt(int x, int y, int w, int h) {
  CNN_RESULT r{};
  r.x = x;
  r.y = y;
  r.w = w;
  r.h = h;
  r.ox = x + w / 2;
  r.oy = y + h / 2;
  return kovira::TrackPoint(r, 1);
}

TEST(EvidenceGeometry, PlateBoxGrowsOnlyBeyondFortyPixels) {
  const auto at40 = evidence::evidenceGeometry(plateAt(40, 100, 80, 20), 640, 480);
  EXPECT_EQ(at40.plateBox, (kovira::IntRect{40, 100, 80, 20}));
  const auto at41 = evidence::evidenceGeometry(plateAt(41, 41, 80, 20), 640, 480);
  EXPECT_EQ(at41.plateBox, (kovira::IntRect{21, 21, 120, 60}));
  EXPECT_EQ(at41.markX[1], 41);
  EXPECT_EQ(at41.markY[1], 61);
  EXPECT_EQ(at41.markX[2], 121);
  EXPECT_EQ(at41.crossY, 51 + 45);
}

TEST(EvidenceGeometry, CropIsClippedAtTheEdgeAndEmptyOutside) {
  const auto edge = evidence::evidenceGeometry(plateAt(600, 450, 80, 20), 640, 480);
  EXPECT_EQ(edge.plateBox, (kovira::IntRect{580, 430, 120, 60}));  // the red box is not clipped
  EXPECT_EQ(edge.plateCrop, (kovira::IntRect{580, 430, 60, 50}));
  const auto outside = evidence::evidenceGeometry(plateAt(700, 100, 80, 20), 640, 480);
  EXPECT_EQ(outside.plateCrop, (kovira::IntRect{}));
}

}  // namespace
