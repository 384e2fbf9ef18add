// Feedback frames of an H.264 camera: the best frame is decoded before it is
// sent; a frame that cannot be decoded whole is never sent (its stored bytes
// are no picture).
#include "modules/postframe.h"
#include "tests/codec/h264_fixture.h"
#include "tests/modules/module_fixture.h"

#include <opencv2/imgcodecs.hpp>

namespace {

using evtest::EvidenceScene;
using PostframeH264 = modtest::ModuleTest;

TEST_F(PostframeH264, AnH264BestFrameIsDecodedOrNeverUploaded) {
  static const fixture::Stream stream = fixture::encode(evtest::kW, evtest::kH, 22, 11, 1);
  struct Row {
    const char* what;
    bool real;          // the encoded stream; else noise of `type`
    FrameType type;
    std::size_t bytes;  // noise bytes; 0: a whole grey picture's worth
  };
  const Row rows[] = {
      {"a whole group", true, FRAME_I, 0},
      {"key frames of noise", false, FRAME_I, 0},
      {"key frames cut short", false, FRAME_I, 16},
      {"predicted frames without a key frame", false, FRAME_P, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EvidenceScene scene(1, 0);  // an H.264 camera: no grey frames
    kovira::CamBuf& store = scene.store();
    kovira::Track t(7, 1, static_cast<std::uint32_t>(scene.camid));
    for (std::size_t i = 0; i < stream.units.size(); ++i) {
      const int line = EvidenceScene::rowOf(static_cast<int>(std::min<std::size_t>(i, 10)), 11);
      const std::uint64_t micros = 1700000000000000ull + 100000ull * i;
      unsigned id = 0;
      if (row.real) {
        const auto& u = stream.units[i];
        id = store.addFrame(stream.width, stream.height, u.key ? FRAME_I : FRAME_P, 0,
                            stream.bytes.data() + u.offset, u.size).position;
      } else {
        id = scene.addFrame(line, micros, row.type, row.bytes);
      }
      if (i < 11) t.join(EvidenceScene::point(id, 1, line));  // the first group; the second closes it
    }
    std::vector<std::string> posted;
    postframe::HttpFeedbackFrame frame([&](const std::string&, const std::string& b) { return posted.push_back(b), 0; },
                                       [] { return std::uint64_t{1700000100}; });
    frame.update([](postframe::FeedbackSettings& s) {
      s.target = "http://127.0.0.1:9/feedback.php";
      s.cnt = 1;
      s.interval = 0;
      s.max = 1000;
    });
    testing::internal::CaptureStdout();
    EXPECT_EQ(frame.processtrack(t), row.real);
    std::uint32_t pause = 0;
    EXPECT_EQ(frame.uploadOnce(pause), row.real);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(posted.size(), row.real ? 1u : 0u);
    if (!row.real) continue;
    evtest::writeBytes(dir->file("h264.tar"), posted[0]);
    ASSERT_EQ(evtest::run("tar -xf '" + dir->file("h264.tar") + "' -C '" + dir->path().string() + "'").status, 0);
    const cv::Mat picture = cv::imread(dir->file("frame.png"), cv::IMREAD_UNCHANGED);
    EXPECT_EQ(picture.cols, evtest::kW);
    EXPECT_EQ(picture.rows, evtest::kH);
    EXPECT_EQ(picture.channels(), 3);  // the decoded colour picture, not stored bytes read as grey
  }
}

}  // namespace
