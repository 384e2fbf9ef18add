// Shared set-up of the camera start-up tests: an empty camera registry, a
// recording stand-in for the RTSP receiver, and short videos made with the
// ffmpeg command line.
#pragma once

#include "capture/cam.h"
#include "core/working.h"
#include "capture/receiver.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace kovira::testing {

// Every call the start-up code makes on the receiver, as text.
struct ReceiverCalls {
  std::vector<std::string> calls;
  std::vector<SimpleFrameCallback> callbacks;
  int built = 0;
};

class RecordingReceiver final : public RtspReceiver {
 public:
  explicit RecordingReceiver(std::shared_ptr<ReceiverCalls> calls) : calls_(std::move(calls)) {}
  void AddSession(int camid) override { note("AddSession " + std::to_string(camid)); }
  bool Connect(int camid, const std::string& url) override {
    note("Connect " + std::to_string(camid) + " " + url);
    return true;
  }
  bool PlayFile(int camid, const std::string& path, unsigned fps) override {
    note("PlayFile " + std::to_string(camid) + " " + path + " " + std::to_string(fps));
    return true;
  }
  bool Disconnect(int camid) override {
    note("Disconnect " + std::to_string(camid));
    return true;
  }
  void DisconnectAll() override { note("DisconnectAll"); }
  void SimpleSubscribe(SimpleFrameCallback callback) override {
    note("SimpleSubscribe");
    calls_->callbacks.push_back(callback);
  }

 private:
  void note(std::string text) { calls_->calls.push_back(std::move(text)); }
  std::shared_ptr<ReceiverCalls> calls_;
};

// Installs the recording receiver for the test's lifetime.
inline std::shared_ptr<ReceiverCalls> installRecordingReceiver() {
  auto calls = std::make_shared<ReceiverCalls>();
  rtsp::replaceReceiverFactory([calls] {
    ++calls->built;
    return std::make_unique<RecordingReceiver>(calls);
  });
  return calls;
}

// A camera made the way the configuration store makes it.
inline Camera& configuredCamera(int id, const nlohmann::json& section, std::uint64_t bytes = 1 << 20) {
  Camera& cam = addCamera(id, bytes);
  cam.updConfig(section);
  return cam;
}

class CameraStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cameras().clear();
    working = 1;
    char pattern[] = "/tmp/kovira-camstart-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  }
  void TearDown() override {
    rtsp::replaceReceiverFactory({});
    working = 1;
    cameras().clear();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  // A video of `frames` uniform BGR pictures (colour "0xRRGGBB") of
  // width x height made by the ffmpeg command line; its path.
  std::string makeVideo(const std::string& name, int frames, const std::string& colour = "0x808080",
                        int width = 64, int height = 48) {
    const std::string path = (dir / name).string();
    const std::string cmd = "ffmpeg -nostdin -v error -f lavfi -i color=c=" + colour + ":s=" +
                            std::to_string(width) + "x" + std::to_string(height) + ":r=25 -frames:v " +
                            std::to_string(frames) + " -c:v mpeg4 -q:v 2 -y " + path;
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return path;
  }

  std::filesystem::path dir;
};

}  // namespace kovira::testing
