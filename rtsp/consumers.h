// Ready-made consumers of published frames, each a ClientPoint that
// subscribes to a publisher for one camera (or 99 for all):
//  - ClientDecoder (identity 3) decodes H.264 and MJPEG frames with
//    libavcodec and republishes them as RGB24 pictures (type 7);
//  - ClientFile (identity 4) writes JPEG and raw frames into
//    "../tmp/frames/<camid>/" beside the program;
//  - ClientFramesInfo (identity 8) counts frames per minute.
// Each runs in the publisher's delivery thread; none is thread-safe beyond
// that (one publisher thread at a time). Every one unsubscribes when it is
// destroyed.
#pragma once

#include "rtsp/points.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct AVCodecContext;
struct SwsContext;
struct AVFrame;
struct AVPacket;

class ClientDecoder : public ClientPoint {
 public:
  ClientDecoder();
  ~ClientDecoder() override;

  void Subscribe(ClientPoint* publisher, unsigned camid) override;
  void FramesCallback(unsigned camid, FrameType type, unsigned width, unsigned height, unsigned timestamp, double ntp,
                      unsigned char* data, unsigned size) override;

 private:
  struct Camera {
    AVCodecContext* context = nullptr;
    SwsContext* scaler = nullptr;
    FrameType type = FRAME_UNKNOWN;
  };
  bool open(Camera& camera, FrameType type);

  std::map<unsigned, Camera> cameras_;
  AVFrame* picture_ = nullptr;
  AVPacket* packet_ = nullptr;
  std::vector<unsigned char> output_;
};

class ClientFile : public ClientPoint {
 public:
  ClientFile() : ClientPoint(4) {}
  // Folder under which frames/<camid>/ is made; the default is ../tmp
  // beside the program.
  explicit ClientFile(std::string root) : ClientPoint(4), root_(std::move(root)) {}
  ~ClientFile() override;

  void Subscribe(ClientPoint* publisher, unsigned camid) override;
  void FramesCallback(unsigned camid, FrameType type, unsigned width, unsigned height, unsigned timestamp, double ntp,
                      unsigned char* data, unsigned size) override;

 private:
  std::string root_;
};

class ClientFramesInfo : public ClientPoint {
 public:
  ClientFramesInfo() : ClientPoint(8) {}
  ~ClientFramesInfo() override;

  void Subscribe(ClientPoint* publisher, unsigned camid) override;
  void FramesCallback(unsigned camid, FrameType type, unsigned width, unsigned height, unsigned timestamp, double ntp,
                      unsigned char* data, unsigned size) override;

  std::atomic<std::uint32_t> frames{0};
  std::atomic<std::uint32_t> keyFrames{0};
  std::atomic<std::uint32_t> deltaFrames{0};
  std::atomic<std::uint64_t> bytes{0};
  std::int64_t firstSecond = 0;
  std::int64_t windowStart = 0;
};
