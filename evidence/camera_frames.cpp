// getframe/framedate over a camera's frame store.
#include "capture/cam.h"
#include "evidence/frameaccess.h"

namespace {

// The writer must be further from the frame than this many frames of its
// size: the caller copies the view right away, and the frames the camera
// writes meanwhile must not reach it.
constexpr std::uint64_t kWriterMarginFrames = 2;

bool writerFarFrom(const kovira::CamBuf& store, const std::uint8_t* data, std::uint64_t size) {
  return store.obsDist(data) > kWriterMarginFrames * size;
}

}  // namespace

bool getframe(kovira::Camera& camera, unsigned int frame, cv::Mat& out) {
  const kovira::CamBuf& store = *camera.cambuf;
  // The iterator keeps the record's page alive for the whole call.
  const kovira::SmartBufferIterator it = store.frame(frame);
  if (!it.valid()) return getframe(frame, nullptr, {}, out);

  const kovira::FrameBytes bytes = it->liveBytes();
  RawFrameView view;
  view.type = static_cast<unsigned>(it->type);
  view.width = it->width.load();
  view.height = it->height.load();
  view.data = bytes.data;
  view.size = bytes.size;
  // Read the record again: the bytes must still be the ones taken above,
  // and far enough from the writer to be copied.
  const auto stillStored = [&] {
    const kovira::FrameBytes again = it->liveBytes();
    return again.present() && again.data == view.data && again.size == view.size &&
           writerFarFrom(store, view.data, view.size);
  };
  return getframe(frame, &view, stillStored, out);
}

std::string framedate(kovira::Camera& camera, const char* format, unsigned int frame) {
  const kovira::SmartBufferIterator it = camera.cambuf->frame(frame);
  if (!it.valid()) return {};
  return framedate(format, it->sec.load(), it->usec.load());
}
