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
  std::vector<std::uint32_t> ids;
  for (int i = 0; i < 6; ++i) {
    const std::uint32_t id = list.add("speed", "P" + std::to_string(i))->id;
    ids.push_back(id);
    const std::string collage = std::to_string(i) + ".jpg", tar = std::to_string(i) + ".tar";
    write(collage, 3000);
    write(tar, 2000);
    list.attach(id, ScratchCopy::Collage, collage);
    list.attach(id, ScratchCopy::Tar, tar);

    // Always: within the cap, and exactly the linked files on disk.
    std::uint64_t total = 0;
    std::set<std::string> onDisk;
    for (const auto& [name, size] : files()) {
      total += size;
      onDisk.insert(name);
    }
    EXPECT_LE(total, kCap) << "after ticket " << i;
    EXPECT_EQ(onDisk, linked(list)) << "after ticket " << i;
  }
  EXPECT_EQ(list.size(), 6u);  // lines stay, only their links go
  const auto all = list.newest(6);
  EXPECT_EQ(all[0].collage, "5.jpg");
  EXPECT_EQ(all[0].tar, "5.tar");
  EXPECT_EQ(all[1].tar, "4.tar");
  EXPECT_TRUE(all[5].collage.empty() && all[5].tar.empty());
}

TEST_F(ScratchFolder, CopiesWithoutATicketAreDeletedAndPathsNeverTouched) {
  TicketList list(dir);
  const std::string outside = root + "/keep.txt";
  std::ofstream(outside) << "keep";
  for (std::size_t i = 0; i < TicketList::kKeep + 2; ++i) list.add("speed", "P");
  write("late.tar", 10);
  write("fresh.tar", 10);
  list.attach(1, ScratchCopy::Tar, "late.tar");  // dropped long ago
  list.attach(static_cast<std::uint32_t>(TicketList::kKeep + 2), ScratchCopy::Tar, "fresh.tar");
  list.attach(static_cast<std::uint32_t>(TicketList::kKeep + 2), ScratchCopy::Frame, "");  // a failed write
  list.attach(static_cast<std::uint32_t>(TicketList::kKeep + 2), ScratchCopy::Collage, "../keep.txt");
  EXPECT_EQ(files(), (std::map<std::string, std::uintmax_t>{{"fresh.tar", 10}}));
  EXPECT_TRUE(fs::exists(outside));
  EXPECT_EQ(list.newest(1)[0].tar, "fresh.tar");
}

TEST_F(ScratchFolder, SweepKeepsOnlyLinkedCopiesAndFollowsNoLink) {
  TicketList list(dir);
  const std::string outside = root + "/target.txt";
  std::ofstream(outside) << "keep";
  for (const char* name : {"1.jpg", "2.tar", ".3.tar.tmp", "linked.tar"}) write(name, 5);
  fs::create_symlink(outside, dir + "link");
  fs::create_directory(dir + "sub");
  std::ofstream(dir + "sub/inner") << "x";
  list.attach(list.add("speed", "P")->id, ScratchCopy::Tar, "linked.tar");

  EXPECT_EQ(list.sweep(), 4u);
  EXPECT_EQ(files(), (std::map<std::string, std::uintmax_t>{{"linked.tar", 5}, {"sub", 0}}));
  EXPECT_TRUE(fs::exists(outside));
  EXPECT_TRUE(fs::exists(dir + "sub/inner"));

  // A scratch folder that is itself a link is not swept.
  const std::string elsewhere = root + "/elsewhere/";
  fs::create_directory(elsewhere);
  std::ofstream(elsewhere + "x.jpg") << "x";
  fs::create_directory_symlink(elsewhere, root + "/linked-folder");
  EXPECT_EQ(TicketList(root + "/linked-folder/").sweep(), 0u);
  EXPECT_TRUE(fs::exists(elsewhere + "x.jpg"));
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
