// Test support for the decode stage: a recognition stage whose thread is
// not run, with its queue read out by the test; cameras that leave the
// registry again; frames fed like a capture thread feeds them.
#pragma once

#include "capture/cam.h"
#include "codec/decode.h"
#include "codec/decodedframe.h"
#include "recognition/cnn_library.h"
#include "recognition/cnnproc.h"
#include "recognition/resqueue.h"
#include "platform/v4l2emu/v4l2emu.h"
#include "recognition/scene_access.h"
#include "tests/codec/h264_fixture.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace decodetest {

// The recognition queue is private to the stage. Explicit instantiation
// ignores access checks, which lets a test name the two members it needs
// without any hook in the product.
template <typename Tag, typename Tag::type Member>
struct Expose {
  friend typename Tag::type member(Tag) { return Member; }
};
struct QueueTag {
  using type = std::deque<kovira::DecodedFrame> kovira::CnnProc::*;
  friend type member(QueueTag);
};
struct MutexTag {
  using type = std::mutex kovira::CnnProc::*;
  friend type member(MutexTag);
};
template struct Expose<QueueTag, &kovira::CnnProc::queue>;
template struct Expose<MutexTag, &kovira::CnnProc::queueMutex>;

// Takes every picture waiting in the recognition queue, oldest first.
inline std::vector<kovira::DecodedFrame> drain(kovira::CnnProc& cnn) {
  std::lock_guard lock(cnn.*member(MutexTag{}));
  auto& q = cnn.*member(QueueTag{});
  std::vector<kovira::DecodedFrame> out(q.begin(), q.end());
  q.clear();
  return out;
}

// A recognition stage over a result queue of its own; its thread never runs.
struct Recognition {
  kovira::SceneAccess scene;
  kovira::ResQueue results{scene, [] { return 0u; }};
  kovira::CnnProc cnn{results, kovira::libcnnLibrary()};  // no "cnnconf" section: many per process
};

// Cameras added through it leave the registry when it goes (the registry
// never removes cameras, but tests share one process).
class CameraScope {
 public:
  CameraScope() : size_(kovira::cameras().size()) {}
  ~CameraScope() {
    while (kovira::cameras().size() > size_) kovira::cameras().pop_back();
  }
  kovira::Camera& add(int id, std::uint64_t ringBytes) { return kovira::addCamera(id, ringBytes); }

 private:
  std::size_t size_;
};

// A grey frame whose bytes tell its number and each pixel's place.
inline std::vector<std::uint8_t> greyFrame(int width, int height, unsigned number) {
  std::vector<std::uint8_t> px(static_cast<std::size_t>(width) * height);
  for (std::size_t i = 0; i < px.size(); ++i) px[i] = static_cast<std::uint8_t>(number * 7 + i);
  return px;
}

inline void addGrey(kovira::Camera& cam, int width, int height, unsigned number) {
  const auto px = greyFrame(width, height, number);
  cam.cambuf->addFrame(width, height, FRAME_GRAY8, 0, px.data(), px.size());
}

// Frames [from, to) of a fixture stream, stored as a capture thread stores
// access units.
inline void addUnits(kovira::Camera& cam, const fixture::Stream& s, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to && i < s.units.size(); ++i) {
    const auto& u = s.units[i];
    cam.cambuf->addFrame(s.width, s.height, u.key ? FRAME_I : FRAME_P, 0, s.bytes.data() + u.offset, u.size);
  }
}

// The number a picture's barcode tells, grey or B, G, R, A.
inline int barcodeOf(const kovira::DecodedFrame& p) {
  if (p.format == kovira::PixelAR24) return fixture::readBarcodeBgra(p.pixels.get(), p.width, p.height, p.width * 4);
  return fixture::readBarcode(p.pixels.get(), p.width, p.height, p.width);
}

inline bool frameHas(kovira::Camera& cam, unsigned number, std::uint32_t bits) {
  auto it = cam.cambuf->frame(number);
  return it.valid() && it->hasFlags(bits);
}

// A decode stage over such a recognition stage, its cameras leaving with
// it; device faults a test switched on are cleared after it.
class StageTest : public ::testing::Test {
 protected:
  void TearDown() override { v4l2emu::clearFaults(); }

  Recognition rec;
  kovira::Decode decode{rec.cnn};
  CameraScope scope;
};

}  // namespace decodetest
