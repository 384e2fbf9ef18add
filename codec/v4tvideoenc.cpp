#include "codec/v4tvideoenc.h"

#include "codec/nvbuffer.h"
#include "codec/nvvideoconverter.h"
#include "codec/nvvideoencoder.h"
#include "platform/nvv4l2_ext.h"

#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>

namespace {

constexpr const char* kEncLabel = "enc0";
constexpr const char* kConvLabel = "conv0";
constexpr std::uint8_t kNeutralChroma = 128;

void encError(const char* text) { std::cerr << "[ERROR] " << kEncLabel << text << std::endl; }

// A zeroed buffer record with its zeroed plane records.
struct Record {
  v4l2_buffer buf;
  v4l2_plane planes[MAX_PLANES];
  Record() { reset(); }
  void reset() {
    std::memset(&buf, 0, sizeof buf);
    std::memset(planes, 0, sizeof planes);
    buf.m.planes = planes;
  }
};

// Waits for a buffer to dequeue from plane, then takes it; false when none
// came within the wait.
bool dequeueWithin(NvV4l2ElementPlane& plane, Record& r, NvBuffer** buffer, std::chrono::milliseconds wait) {
  if (plane.pollBuffer(static_cast<std::uint32_t>(wait.count())) != 1) return false;
  r.buf.m.planes = r.planes;
  r.buf.length = plane.getNumPlanes();
  return plane.dqBuffer(r.buf, buffer, nullptr, 0) == 0;
}

}  // namespace

class V4TVideoEncPrivate {
 public:
  using Callback = std::function<void(unsigned int, unsigned char*, unsigned long)>;

  explicit V4TVideoEncPrivate(Callback& callback)
      : enc(NvVideoEncoder::createVideoEncoder("enc0", 0)),
        conv(NvVideoConverter::createVideoConverter("encconv0", 0)),
        outputCallback(&callback) {}

  ~V4TVideoEncPrivate() {
    if (enc && dqStarted) stopDqThread();
    if (conv && conv->output_plane.setStreamStatus(false) != 0)
      std::cerr << "[ERROR] " << kConvLabel << " - could not stop output plane streaming" << std::endl;
    if (conv && conv->capture_plane.setStreamStatus(false) != 0)
      std::cerr << "[ERROR] " << kConvLabel << " - could not stop capture plane streaming" << std::endl;
    if (enc && enc->output_plane.setStreamStatus(false) != 0) encError(" - could not stop output plane streaming");
    if (enc && enc->capture_plane.setStreamStatus(false) != 0) encError(" - could not stop capture plane streaming");
    delete enc;
    delete conv;
  }

  V4TVideoEncPrivate(const V4TVideoEncPrivate&) = delete;
  V4TVideoEncPrivate& operator=(const V4TVideoEncPrivate&) = delete;

  void initConv(unsigned count, unsigned fourcc, unsigned inW, unsigned inH, unsigned outW, unsigned outH) {
    if (!conv) throw std::logic_error("converter not available");
    conv->output_plane.deinitPlane();
    conv->capture_plane.deinitPlane();
    // The input is filled row by row at the plane's pitch: pitch-linear.
    if (conv->setOutputPlaneFormat(fourcc, inW, inH, nvv4l2::kLayoutPitch) != 0)
      throw std::logic_error("setOutputPlaneFormat() fail");
    if (conv->setCapturePlaneFormat(nvv4l2::kFmtYM12, outW, outH, nvv4l2::kLayoutPitch) != 0)
      throw std::logic_error("setCapturePlaneFormat() fail");
    if (conv->output_plane.setupPlane(V4L2_MEMORY_USERPTR, count, false, true) != 0)
      throw std::logic_error("output_plane.setupPlane() fail : " + std::to_string(count));
    if (conv->capture_plane.setupPlane(V4L2_MEMORY_MMAP, count, true, false) != 0)
      throw std::logic_error("capture_plane.setupPlane() fail : " + std::to_string(count));
    if (conv->output_plane.setStreamStatus(true) != 0) throw std::logic_error("output_plane.setStreamStatus(true) fail");
    if (conv->capture_plane.setStreamStatus(true) != 0)
      throw std::logic_error("capture_plane.setStreamStatus(true) fail");
    for (std::uint32_t i = 0; i < conv->capture_plane.getNumBuffers(); ++i) {
      Record r;
      r.buf.index = i;
      if (conv->capture_plane.qBuffer(r.buf, nullptr) != 0)
        std::cerr << "[ERROR] " << kConvLabel << " - error while queueing buffer at capture plane" << std::endl;
    }
  }

  // Every step runs even when an earlier one failed; failures only print.
  void initEnc(unsigned count, unsigned codec, unsigned width, unsigned height, unsigned bitrate) {
    if (!enc) {
      encError(" - could not open the encoder");
      return;
    }
    if (enc->setCapturePlaneFormat(codec, width, height, 2 * width * height) != 0)
      encError(" - could not set capture plane format");
    if (enc->setOutputPlaneFormat(nvv4l2::kFmtYM12, width, height) != 0) encError(" - could not set output plane format");
    setBitrate(bitrate);
    if (codec == nvv4l2::kFmtH264) {
      if (enc->setLevel(V4L2_MPEG_VIDEO_H264_LEVEL_5_1) != 0) encError(" - could not set encoder level");
      if (enc->setProfile(V4L2_MPEG_VIDEO_H264_PROFILE_BASELINE) != 0) encError(" - could not set encoder profile");
    }
    if (enc->output_plane.setupPlane(V4L2_MEMORY_DMABUF, count, false, false) != 0)
      encError(" - could not setup output plane");
    if (enc->capture_plane.setupPlane(V4L2_MEMORY_MMAP, count, true, false) != 0)
      encError(" - could not setup capture plane");
    if (enc->output_plane.setStreamStatus(true) != 0) encError(" - could not start output plane streaming");
    if (enc->capture_plane.setStreamStatus(true) != 0) encError(" - could not start capture plane streaming");
    enc->capture_plane.setDQThreadCallback(encDqCb);
    dqStarted = enc->capture_plane.startDQThread(this) == 0;
    for (std::uint32_t i = 0; i < enc->capture_plane.getNumBuffers(); ++i) {
      Record r;
      r.buf.index = i;
      if (enc->capture_plane.qBuffer(r.buf, nullptr) != 0) encError(" - error while queueing buffer at capture plane");
    }
  }

  void setBitrate(unsigned bitrate) {
    if (bitrate == 0) {
      if (enc->setRateControlMode(V4L2_MPEG_VIDEO_BITRATE_MODE_VBR) != 0) encError(" - could not set rate control mode");
      return;
    }
    if (enc->setRateControlMode(V4L2_MPEG_VIDEO_BITRATE_MODE_CBR) != 0) encError(" - could not set rate control mode");
    if (enc->setBitrate(bitrate) != 0) encError(" - could not set bitrate");
  }

  // End of stream: one empty picture; the encoder answers with an empty
  // coded buffer, which ends the dequeue thread. Queued once: a second
  // request cannot help an encoder that did not answer the first.
  void stopDqThread() {
    Record eos;
    if (enc->output_plane.qBuffer(eos.buf, nullptr) != 0) std::cerr << "cannot send eos" << std::endl;
    if (enc->capture_plane.waitForDQThread(static_cast<std::uint32_t>(V4TVideoEnc::kEndOfStreamWait.count())) != 0)
      std::cout << "Wait DQThread" << std::endl;
    std::cout << "DQThread stopped" << std::endl;
  }

  static bool encDqCb(v4l2_buffer* v4l2_buf, NvBuffer* buffer, NvBuffer*, void* data) {
    if (!v4l2_buf || !buffer) return false;
    if (buffer->planes[0].bytesused == 0) return false;  // end of stream
    auto* self = static_cast<V4TVideoEncPrivate*>(data);
    v4l2_ctrl_videoenc_outputbuf_metadata_ meta{};
    self->enc->getMetadata(v4l2_buf->index, meta);  // a failed read leaves byte 0 at 0
    if (*self->outputCallback) {
      unsigned char first = 0;
      std::memcpy(&first, &meta, 1);
      (*self->outputCallback)(first, buffer->planes[0].data, buffer->planes[0].bytesused);
    }
    return self->enc->capture_plane.qBuffer(*v4l2_buf, nullptr) == 0;
  }

  NvVideoEncoder* enc;
  NvVideoConverter* conv;
  Callback* outputCallback;
  bool dqStarted = false;
};

V4TVideoEnc::V4TVideoEnc(unsigned int inWidth, unsigned int inHeight, unsigned int outWidth, unsigned int outHeight)
    : priv_(std::make_unique<V4TVideoEncPrivate>(outputCallback)), inPixfmt_(nvv4l2::kFmtYM12), codec_(nvv4l2::kFmtH264) {
  priv_->initConv(1, inPixfmt_, inWidth, inHeight, outWidth, outHeight);
  priv_->initEnc(1, codec_, outWidth, outHeight, bitrate_);
}

V4TVideoEnc::~V4TVideoEnc() {
  // The dequeue thread calls outputCallback: it ends with the private part.
  priv_.reset();
}

int V4TVideoEnc::encode(unsigned char* grey) {
  if (!priv_->enc || !priv_->conv || !grey) return -1;
  NvBuffer* buffer = priv_->conv->output_plane.getNthBuffer(0);
  if (!buffer) return -1;
  copyFrame(buffer->planes[0].fmt.width, buffer->planes[0].fmt.height, grey, 0);
  return encodeFrame(0);
}

void V4TVideoEnc::copyFrame(unsigned int width, unsigned int height, unsigned char* data, int index) {
  NvBuffer* buffer = priv_->conv ? priv_->conv->output_plane.getNthBuffer(static_cast<std::uint32_t>(index)) : nullptr;
  if (!buffer || buffer->n_planes < 3) return;
  NvBuffer::NvBufferPlane& luma = buffer->planes[0];
  luma.bytesused = luma.fmt.stride * luma.fmt.height;
  const std::uint32_t row = width * luma.fmt.bytesperpixel;
  if (row > luma.fmt.stride || height > luma.fmt.height) return;  // would not fit the plane
  for (unsigned int y = 0; y < height; ++y) std::memcpy(luma.data + y * luma.fmt.stride, data + y * row, row);
  for (unsigned p = 1; p < 3; ++p) {
    NvBuffer::NvBufferPlane& chroma = buffer->planes[p];
    chroma.bytesused = chroma.fmt.stride * chroma.fmt.height;
    std::memset(chroma.data, kNeutralChroma, chroma.bytesused);
  }
}

int V4TVideoEnc::encodeFrame(int index) {
  NvVideoConverter* conv = priv_->conv;
  NvVideoEncoder* enc = priv_->enc;
  if (!conv || !enc) return -1;
  Record r;
  r.buf.index = static_cast<std::uint32_t>(index);
  // 1. The picture into the converter (its own memory, by address and size).
  if (NvBuffer* in = conv->output_plane.getNthBuffer(r.buf.index))
    for (std::uint32_t j = 0; j < in->n_planes; ++j) r.planes[j].length = in->planes[j].length;
  if (conv->output_plane.qBuffer(r.buf, nullptr) != 0) return -1;
  // 2. The converted picture out of it.
  r.reset();
  NvBuffer* converted = nullptr;
  if (!dequeueWithin(conv->capture_plane, r, &converted, kPictureWait)) return -1;
  // 3. Handed to the encoder by descriptor; wait until the encoder took it.
  const std::uint32_t convIndex = r.buf.index;
  Record e;
  e.buf.index = 0;
  bool encoded = enc->output_plane.qBuffer(e.buf, converted) == 0;
  if (encoded) {
    e.reset();
    encoded = dequeueWithin(enc->output_plane, e, nullptr, kPictureWait);
  }
  // 4. Both converter buffers free for the next picture.
  r.reset();
  r.buf.index = convIndex;
  if (conv->capture_plane.qBuffer(r.buf, nullptr) != 0) return -1;
  r.reset();
  if (!dequeueWithin(conv->output_plane, r, nullptr, kPictureWait)) return -1;
  return encoded ? 0 : -1;
}
