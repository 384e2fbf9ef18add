// What evidence may take of the board: the scratch folder holds only what
// tickets link to, within its cap; the debug picture and the collage stay
// bounded whatever sizes the recogniser or a page hand in.
#include "config/actions.h"
#include "evidence/collage.h"
#include "evidence/common.h"
#include "evidence/compose.h"
#include "evidence/debug_imgtrack.h"
#include "evidence/tickets.h"
#include "tests/evidence/shell_helpers.h"
#include "tests/support/evidence_scene.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>

namespace {

namespace fs = std::filesystem;

class ScratchFolder : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kovira-scratch-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root = pattern;
    dir = root + "/cashed/";
    fs::create_directory(dir);
  }
  void TearDown() override { fs::remove_all(root); }

  void write(const std::string& name, std::size_t bytes) const {
    std::ofstream(dir + name, std::ios::binary) << std::string(bytes, 'x');
  }
  std::map<std::string, std::uintmax_t> files() const {
    std::map<std::string, std::uintmax_t> out;
    for (const auto& e : fs::directory_iterator(dir))
      out[e.path().filename().string()] = e.is_regular_file() ? e.file_size() : 0;
    return out;
  }
  static std::set<std::string> linked(const TicketList& list) {
    std::set<std::string> out;
    for (const ticket_t& t : list.newest(TicketList::kKeep + 1))
      for (const std::string* name : {&t.collage, &t.frame, &t.tar})
        if (!name->empty()) out.insert(*name);
    return out;
  }

  std::string root;
  std::string dir;
};

TEST_F(ScratchFolder, CapDropsTheOldestCopiesAndKeepsEveryLine) {
  constexpr std::uint64_t kCap = 10000;
  TicketList list(dir, kCap);
  for (int i = 0; i < 6; ++i) {
    const std::uint32_t id = list.add("speed", "P")->id;
    const std::string collage = std::to_string(i) + ".jpg", tar = std::to_string(i) + ".tar";
    write(collage, 3000);
    write(tar, 2000);
    list.attach(id, ScratchCopy::Collage, collage);
    list.attach(id, ScratchCopy::Tar, tar);
    // Always within the cap, with exactly the linked files on disk.
    std::uint64_t total = 0;
    std::set<std::string> onDisk;
    for (const auto& [name, size] : files()) total += size, onDisk.insert(name);
    EXPECT_LE(total, kCap) << "after ticket " << i;
    EXPECT_EQ(onDisk, linked(list)) << "after ticket " << i;
  }
  const auto all = list.newest(6);  // every line stays, the oldest lose their links
  EXPECT_EQ(all[0].collage + all[0].tar + all[1].tar, "5.jpg5.tar4.tar");
  EXPECT_EQ(all[5].collage + all[5].tar, "");
}

TEST_F(ScratchFolder, CopiesWithoutATicketGoAndOnlyLinkedOnesSurviveTheSweep) {
  TicketList list(dir);
  const std::string outside = root + "/keep.txt";
  std::ofstream(outside) << "keep";
  for (std::size_t i = 0; i < TicketList::kKeep + 2; ++i) list.add("speed", "P");
  const auto newest = static_cast<std::uint32_t>(TicketList::kKeep + 2);
  for (const char* name : {"late.tar", "linked.tar", "old.jpg", ".old.tar.tmp"}) write(name, 10);
  fs::create_directory(dir + "sub");
  list.attach(1, ScratchCopy::Tar, "late.tar");  // its ticket was dropped long ago
  list.attach(newest, ScratchCopy::Tar, "linked.tar");
  list.attach(newest, ScratchCopy::Frame, "");  // a failed write
  list.attach(newest, ScratchCopy::Collage, "../keep.txt");  // never a path
  EXPECT_FALSE(fs::exists(dir + "late.tar"));

  EXPECT_EQ(list.sweep(), 2u);  // what an earlier run left
  EXPECT_EQ(files(), (std::map<std::string, std::uintmax_t>{{"linked.tar", 10}, {"sub", 0}}));
  EXPECT_TRUE(fs::exists(outside));
  // A scratch folder that is itself a link is not swept.
  fs::create_directory_symlink(root + "/cashed", root + "/link");
  write("old.jpg", 10);
  EXPECT_EQ(TicketList(root + "/link/").sweep(), 0u);
  EXPECT_TRUE(fs::exists(dir + "old.jpg"));
  EXPECT_EQ(TicketList(root + "/missing/").sweep(), 0u);
}

// The recogniser's plate sizes set the strip's cells; absurd ones (a
// misreading) must neither exhaust memory nor cost the stored event.
TEST(EvidenceBounds, AbsurdPlateSizesGiveABoundedDebugPictureAndTheEventStands) {
  evtest::EvidenceScene scene;
  kovira::Track t = scene.track();
  for (kovira::TrackPoint& p : t.points) {
    p.w = 1 << 20;
    p.h = 1 << 20;
  }
  cv::Mat out;
  ASSERT_TRUE(debug_imgtrack(scene.camid, scene.nums[8], out, t));
  EXPECT_EQ(out.cols, evtest::kW);
  EXPECT_LT(out.total() * out.elemSize(), std::size_t{16} << 20);

  ASSERT_TRUE(evidence::makeCashedDir());
  evtest::ScratchDir archives("bounds");
  kovira::Action action(1);
  action.method = "speed";
  action.path = archives.path().string();
  evidence::EventValues v;
  v.speed = 90;
  testing::internal::CaptureStdout();
  const int result = evidence::composeEvidence(*evidence::moduleSettings("speed"), t, action, scene.nums[8], v);
  const std::string said = testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, 1) << said;
  EXPECT_EQ(evtest::archivesIn(archives.path()).size(), 1u);
  EXPECT_FALSE(webtickets().newest(1).at(0).frame.empty());
  evtest::dropScratchCopies();
}

TEST(EvidenceBounds, CollageSidesAboveTheBoardLimitAreRefused) {
  EXPECT_NO_THROW(Collage(1, Collage::kMaxSide, Collage::kMaxSide));
  for (const auto& [w, h] : {std::pair{Collage::kMaxSide + 1, 600}, std::pair{800, Collage::kMaxSide + 1},
                             std::pair{1 << 20, 1 << 20}})
    EXPECT_THROW(Collage(1, w, h), std::out_of_range) << w << " x " << h;
}

}  // namespace
