// Driver of the industrial USB3 camera: opens the one camera with the
// "usbcam" settings (capture/usbcam_config.h), grabs 8-bit grey frames with
// their chunk data (camera stamp, exposure, gain) and appends them to the
// frame store of the configured camera of source "basler". Settings changed
// by the pages or the automatic control reach the camera between two frames.
//
// Threading: one grabber thread ("usbcam: grabber") per process, owned by
// this module: camera::stopGrabber (or static destruction) stops and joins
// it; every library wait is bounded (1 s). BaslerCamera lives on that
// thread's stack for one connection and is not shared.
#pragma once

#include "platform/usb3cam/pylonc.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>

class BaslerConfig;
namespace kovira { class Camera; }

class BaslerCamera {
 public:
  using Callback = std::function<void(int width, int height, unsigned char* data, unsigned long size,
                                      unsigned int exposure, unsigned int gain, long timestamp)>;
  static constexpr int kBuffers = 5;
  static constexpr unsigned kWaitMs = 1000;
  // Identity texts longer than this are not read.
  static constexpr std::size_t kTextBuffer = 256;
  // Exposure upper limit sent when the setting is outside the camera's range.
  static constexpr unsigned kFallbackExposureUs = 3500;
  static constexpr float kFallbackBrightness = 0.5f;

  explicit BaslerCamera(BaslerConfig& config);
  ~BaslerCamera();
  BaslerCamera(const BaslerCamera&) = delete;
  BaslerCamera& operator=(const BaslerCamera&) = delete;

  bool open();
  // Frame bytes delivered, 0 for a failed frame (buffer queued again), -1 on
  // an error or a time-out.
  int grab(const Callback& callback);
  void close();
  // Applies the settings when their checksum changed, stopping at the first
  // one the camera refuses (then tried again after the next frame); false
  // while one is refused.
  bool changes();
  void updateMeta();

  bool exposure(unsigned us);
  bool gain(float g);
  bool gainoff();
  bool brightness(float b);
  bool flasher(unsigned on);
  bool fps(unsigned n);
  bool enableChunks();

 private:
  bool setEnum(const char* name, const char* value);
  void readText(const char* name, std::string BaslerConfig::*field);
  void release();

  BaslerConfig& config;
  PylonDeviceHandle device = nullptr;
  std::array<PylonBufferHandle, kBuffers> bufferHandles{};
  PylonGrabberHandle grabber = nullptr;
  PylonWaitHandle waitObject = nullptr;
  PylonParserHandle chunkParser = nullptr;
  std::array<unsigned char*, kBuffers> buffers{};
  std::uint32_t payloadSize = 0;
  std::uint32_t metaSecond = 0;
  std::uint32_t appliedCrc = 0;
  std::string refusal;  // the status text of the last refused setting
  std::uint32_t state = 0;
  bool grabberOpen = false;
  bool streamClosed = false;
  bool acquiring = false;
};

// Frames one connection delivers before the camera is opened again.
inline constexpr std::uint64_t kFramesPerConnection = 1000000;

// One connection: -1 when the camera cannot be opened, the (negative) grab
// result after a grab error, 1 when the frame allowance ran out or the unit
// stops. frameLimit is kFramesPerConnection except in tests.
int basler_usb3cam(kovira::Camera& camera, BaslerConfig& config,
                   std::uint64_t frameLimit = kFramesPerConnection);
// The grabber thread's body: connections in turn, a 10 s pause after a
// failed one, until the unit stops or stopGrabber is called.
void basler_usbcam_warp(int camid);
void usbframeplace_basler(int camid, int width, int height, unsigned char* data, unsigned long size,
                          unsigned exposure, unsigned gain, long timestamp);
// The library's last error message (when shorter than 512 bytes) and, with
// detail, its detail.
std::string errbasler(long code, unsigned detail);

namespace camera {
// Pause after a failed connection.
inline constexpr unsigned kRetrySeconds = 10;
void modinit();
// Stops the grabber thread and joins it (it ends within about a second).
void stopGrabber();
}  // namespace camera
