#include "rtsp/consumers.h"

#include "core/clock.h"
#include "core/fs.h"
#include "core/log.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <sys/stat.h>

#include <cstdio>
#include <fstream>

ClientDecoder::ClientDecoder() : ClientPoint(3), picture_(av_frame_alloc()), packet_(av_packet_alloc()) {}

ClientDecoder::~ClientDecoder() {
  // Leave the publishers first: no frame may arrive while contexts go.
  UnsubscribeFrames();
  UnsubscribeStates();
  for (auto& [id, cam] : cameras_) {
    sws_freeContext(cam.scaler);
    avcodec_free_context(&cam.context);
  }
  av_packet_free(&packet_);
  av_frame_free(&picture_);
}

void ClientDecoder::Subscribe(ClientPoint* publisher, unsigned camid) {
  if (publisher != nullptr) SubscribeFrames(publisher, camid);
}

bool ClientDecoder::open(Camera& cam, FrameType type) {
  const AVCodec* codec = avcodec_find_decoder(type == FRAME_MJPEG ? AV_CODEC_ID_MJPEG : AV_CODEC_ID_H264);
  if (codec == nullptr) return false;
  cam.context = avcodec_alloc_context3(codec);
  if (cam.context == nullptr) return false;
  // A live picture is wanted now: no reordering delay, no frame threads.
  cam.context->flags |= AV_CODEC_FLAG_LOW_DELAY;
  cam.context->thread_count = 1;
  if (avcodec_open2(cam.context, codec, nullptr) < 0) {
    avcodec_free_context(&cam.context);
    return false;
  }
  cam.type = type == FRAME_MJPEG ? FRAME_MJPEG : FRAME_I;
  return true;
}

void ClientDecoder::FramesCallback(unsigned camid, FrameType type, unsigned width, unsigned height,
                                   unsigned timestamp, double ntp, unsigned char* data, unsigned size) {
  if (width == 0 || height == 0) return;
  if (type == FRAME_RAW) {
    PublishFrame(camid, type, width, height, timestamp, ntp, data, size);
    return;
  }
  if (type < FRAME_I || type > FRAME_MJPEG || picture_ == nullptr || packet_ == nullptr) return;
  Camera& cam = cameras_[camid];
  if (cam.context != nullptr && (type == FRAME_MJPEG) != (cam.type == FRAME_MJPEG)) {
    // The camera changed its codec: decode with the one its frames need.
    sws_freeContext(cam.scaler);
    cam.scaler = nullptr;
    avcodec_free_context(&cam.context);
  }
  if (cam.context == nullptr && !open(cam, type)) return;

  packet_->data = data;
  packet_->size = static_cast<int>(size);
  output_.clear();
  bool lastGavePicture = false;
  if (avcodec_send_packet(cam.context, packet_) < 0) return;
  for (;;) {
    const int got = avcodec_receive_frame(cam.context, picture_);
    if (got < 0) break;
    // Scaled by each picture's own size: the stream may change it.
    const int w = picture_->width;
    const int h = picture_->height;
    cam.scaler = sws_getCachedContext(cam.scaler, w, h, static_cast<AVPixelFormat>(picture_->format), w, h,
                                      AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (cam.scaler == nullptr) break;
    const std::size_t at = output_.size();
    output_.resize(at + std::size_t{3} * static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    std::uint8_t* dst[1] = {output_.data() + at};
    const int stride[1] = {3 * w};
    sws_scale(cam.scaler, picture_->data, picture_->linesize, 0, h, dst, stride);
    width = static_cast<unsigned>(w);
    height = static_cast<unsigned>(h);
    lastGavePicture = true;
    av_frame_unref(picture_);
  }
  if (lastGavePicture)
    PublishFrame(camid, FRAME_RAW, width, height, timestamp, ntp, output_.data(),
                 static_cast<unsigned>(output_.size()));
}

ClientFile::~ClientFile() {
  UnsubscribeFrames();
  UnsubscribeStates();
}

void ClientFile::Subscribe(ClientPoint* publisher, unsigned camid) {
  if (publisher != nullptr) SubscribeFrames(publisher, camid);
}

void ClientFile::FramesCallback(unsigned camid, FrameType type, unsigned width, unsigned height, unsigned timestamp,
                                double /*ntp*/, unsigned char* data, unsigned size) {
  if (type != FRAME_MJPEG && type != FRAME_RAW) return;
  const std::string root = root_.empty() ? GetCurrentPath() + "/../tmp" : root_;
  const std::string frames = root + "/frames/";
  const std::string dir = frames + std::to_string(camid);
  ::mkdir(frames.c_str(), 0775);
  ::mkdir(dir.c_str(), 0775);
  const std::string name = dir + "/frame_" + std::to_string(timestamp) + "_0_0";
  std::ofstream out(name + (type == FRAME_MJPEG ? ".jpg" : ".ppm"), std::ios::binary | std::ios::trunc);
  if (!out) return;
  if (type == FRAME_RAW) {
    char header[64];
    const int n = std::snprintf(header, sizeof header, "P6\n%u %u\n255\n", width, height);
    out.write(header, n);
  }
  out.write(reinterpret_cast<const char*>(data), size);
}

ClientFramesInfo::~ClientFramesInfo() {
  UnsubscribeFrames();
  UnsubscribeStates();
}

void ClientFramesInfo::Subscribe(ClientPoint* publisher, unsigned camid) {
  if (publisher != nullptr) SubscribeFrames(publisher, camid);
}

void ClientFramesInfo::FramesCallback(unsigned /*camid*/, FrameType type, unsigned /*width*/, unsigned /*height*/,
                                      unsigned /*timestamp*/, double /*ntp*/, unsigned char* /*data*/,
                                      unsigned size) {
  const std::int64_t now = NowSec();
  if (frames == 0) firstSecond = windowStart = now;
  ++frames;
  if (type == FRAME_I || type == FRAME_MJPEG) ++keyFrames;
  if (type == FRAME_P || type == FRAME_B) ++deltaFrames;
  bytes += size;
  if (now - windowStart >= 60) {
    frames = keyFrames = deltaFrames = 0;
    bytes = 0;
    windowStart = now;
  }
}
