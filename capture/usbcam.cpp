#include "capture/usbcam.h"

#include "capture/cam.h"
#include "capture/missing_store.h"
#include "capture/usbcam_config.h"
#include "config/sketch.h"
#include "core/clock.h"
#include "core/threads.h"
#include "core/working.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <iostream>
#include <mutex>
#include <thread>

namespace {

constexpr std::size_t kErrorTextLimit = 512;
// Set while the grabber's owner stops it: a connection ends after its
// current grab.
std::atomic<bool> stopRequested{false};

std::string lastText(PylonStatus (*get)(char*, std::size_t*)) {
  std::size_t len = 0;
  if (get(nullptr, &len) != kPylonOk || len == 0 || len >= kErrorTextLimit) return {};
  std::string text(len, '\0');
  if (get(text.data(), &len) != kPylonOk || len == 0 || len > text.size()) return {};
  text.resize(len - 1);
  return text;
}

}  // namespace

std::string errbasler(long, unsigned detail) {
  std::string text = lastText(GenApiGetLastErrorMessage);
  if (detail != 0) text += lastText(GenApiGetLastErrorDetail);
  return text;
}

BaslerCamera::BaslerCamera(BaslerConfig& c) : config(c) {}

BaslerCamera::~BaslerCamera() { release(); }

bool BaslerCamera::setEnum(const char* name, const char* value) {
  return PylonDeviceFeatureFromString(device, name, value) == kPylonOk;
}

void BaslerCamera::readText(const char* name, std::string BaslerConfig::*field) {
  if (!PylonDeviceFeatureIsReadable(device, name)) return;
  char text[kTextBuffer];
  std::size_t len = sizeof text;
  if (PylonDeviceFeatureToString(device, name, text, &len) != kPylonOk || len == 0 || len > sizeof text) return;
  config.setText(field, std::string(text, strnlen(text, len)));
}

bool BaslerCamera::open() {
  config.chunks = 0;
  // 1. Find the camera.
  std::size_t count = 0;
  if (PylonEnumerateDevices(&count) != kPylonOk) {
    config.setText(&BaslerConfig::status, "camera open error: " + errbasler(0, 1));
    return false;
  }
  if (count == 0) {
    std::cout << "[BASLER] No devices found!" << std::endl;
    config.setText(&BaslerConfig::status, "camera not found");
    return false;
  }
  // 2. Create and open it.
  state = 1;
  if (PylonStatus st = PylonCreateDeviceByIndex(0, &device); st != kPylonOk) {
    device = nullptr;
    config.setText(&BaslerConfig::status, "camera open error: " + errbasler(st, 1));
    return false;
  }
  if (PylonStatus st = PylonDeviceOpen(device, kPylonAccessControlStream); st != kPylonOk) {
    config.setText(&BaslerConfig::status, "camera open error: " + errbasler(st, 1));
    return false;
  }
  // 3. Identity, pixel format, triggers off, continuous timed acquisition.
  readText("DeviceModelName", &BaslerConfig::model);
  readText("DeviceSerialNumber", &BaslerConfig::serial);
  readText("DeviceFirmwareVersion", &BaslerConfig::firmware);
  readText("DeviceVersion", &BaslerConfig::version);
  if (!PylonDeviceFeatureIsAvailable(device, "EnumEntry_PixelFormat_Mono8") || !setEnum("PixelFormat", "Mono8")) {
    config.setText(&BaslerConfig::status, "unsupported format (Mono8)");
    return false;
  }
  config.setText(&BaslerConfig::status, "unknown open error");
  for (const char* selector : {"AcquisitionStart", "FrameBurstStart", "FrameStart"}) {
    if (PylonDeviceFeatureIsAvailable(device, (std::string("EnumEntry_TriggerSelector_") + selector).c_str())) {
      (void)setEnum("TriggerSelector", selector);
      (void)setEnum("TriggerMode", "Off");
    }
  }
  if (!setEnum("AcquisitionMode", "Continuous") || !setEnum("ExposureMode", "Timed")) return false;
  // 4. Chunks, ranges and the settings.
  if (enableChunks()) config.chunks = 1;
  double lo = 0;
  double hi = 0;
  if (PylonDeviceGetFloatFeatureMin(device, "AutoGainLowerLimit", &lo) != kPylonOk ||
      PylonDeviceGetFloatFeatureMax(device, "AutoGainUpperLimit", &hi) != kPylonOk) {
    return false;
  }
  config.gainmin = static_cast<float>(static_cast<long>(lo));
  config.gainmax = static_cast<float>(static_cast<long>(hi));
  if (!gain(static_cast<float>(config.gain()))) return false;
  if (PylonDeviceGetFloatFeatureMin(device, "AutoExposureTimeLowerLimit", &lo) != kPylonOk ||
      PylonDeviceGetFloatFeatureMax(device, "AutoExposureTimeUpperLimit", &hi) != kPylonOk) {
    return false;
  }
  config.expmin = static_cast<std::uint32_t>(lo);
  config.expmax = static_cast<std::uint32_t>(hi);
  if (PylonDeviceGetFloatFeatureMin(device, "AutoTargetBrightness", &lo) != kPylonOk ||
      PylonDeviceGetFloatFeatureMax(device, "AutoTargetBrightness", &hi) != kPylonOk) {
    return false;
  }
  config.brmin = static_cast<float>(lo);
  config.brmax = static_cast<float>(hi);
  if (!exposure(config.exp()) || !brightness(config.target) || !flasher(config.getflash())) return false;
  (void)fps(config.fps());
  if (!setEnum("AutoFunctionProfile", "MinimizeGain")) return false;
  state = 2;
  // 5. The stream: grabber 0, five buffers of the payload size, queued.
  std::size_t channels = 0;
  if (PylonDeviceGetNumStreamGrabberChannels(device, &channels) != kPylonOk || channels < 1) return false;
  if (PylonDeviceGetStreamGrabber(device, 0, &grabber) != kPylonOk) {
    grabber = nullptr;
    return false;
  }
  grabberOpen = PylonStreamGrabberOpen(grabber) == kPylonOk;
  if (PylonStreamGrabberGetWaitObject(grabber, &waitObject) != kPylonOk) return false;
  std::int32_t payload = 0;
  if (!PylonDeviceFeatureIsReadable(device, "PayloadSize") ||
      PylonDeviceGetIntegerFeatureInt32(device, "PayloadSize", &payload) != kPylonOk || payload <= 0) {
    return false;
  }
  for (auto& b : buffers) {
    b = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(payload)));
    if (b == nullptr) return false;
  }
  payloadSize = static_cast<std::uint32_t>(payload);
  if (PylonStreamGrabberSetMaxNumBuffer(grabber, kBuffers) != kPylonOk ||
      PylonStreamGrabberSetMaxBufferSize(grabber, payloadSize) != kPylonOk ||
      PylonStreamGrabberPrepareGrab(grabber) != kPylonOk) {
    return false;
  }
  for (int i = 0; i < kBuffers; ++i) {
    if (PylonStreamGrabberRegisterBuffer(grabber, buffers[i], payloadSize, &bufferHandles[i]) != kPylonOk) {
      bufferHandles[i] = nullptr;
      continue;
    }
    (void)PylonStreamGrabberQueueBuffer(grabber, bufferHandles[i], reinterpret_cast<const void*>(std::intptr_t{i}));
  }
  acquiring = PylonDeviceExecuteCommandFeature(device, "AcquisitionStart") == kPylonOk;
  return acquiring;
}

bool BaslerCamera::enableChunks() {
  if (!PylonDeviceFeatureIsWritable(device, "ChunkModeActive") ||
      PylonDeviceSetBooleanFeature(device, "ChunkModeActive", true) != kPylonOk) {
    return false;
  }
  for (const char* name : {"Gain", "ExposureTime", "Timestamp"}) {
    if (!setEnum("ChunkSelector", name) || PylonDeviceSetBooleanFeature(device, "ChunkEnable", true) != kPylonOk) {
      return false;
    }
  }
  if (PylonDeviceCreateChunkParser(device, &chunkParser) != kPylonOk) chunkParser = nullptr;
  return chunkParser != nullptr;
}

int BaslerCamera::grab(const Callback& callback) {
  bool ready = false;
  if (PylonWaitObjectWait(waitObject, kWaitMs, &ready) != kPylonOk || !ready) return -1;
  PylonGrabResult r;
  if (PylonStreamGrabberRetrieveResult(grabber, &r, &ready) != kPylonOk || !ready) return -1;
  ++config.grabbed;
  // A result is only trusted when its picture fits inside what it claims to
  // carry and that fits the buffer: anything else is a failed frame.
  const std::uint64_t picture = r.width > 0 && r.height > 0
                                    ? static_cast<std::uint64_t>(r.width) * static_cast<std::uint64_t>(r.height)
                                    : 0;
  const bool sound = r.status != kPylonGrabFailed && picture != 0 && picture <= r.payloadSize &&
                     r.payloadSize <= payloadSize && r.data != nullptr;
  if (!sound) {
    return PylonStreamGrabberQueueBuffer(grabber, r.buffer, r.context) == kPylonOk ? 0 : -1;
  }
  updateMeta();
  std::int64_t stamp = 0;
  unsigned exposureUs = 0;
  unsigned gainValue = 0;
  if (config.chunks != 0 && r.payloadType == kPylonPayloadChunkData) {
    if (PylonChunkParserAttachBuffer(chunkParser, r.data, r.payloadSize) != kPylonOk) return -1;
    double v = 0;
    if (PylonDeviceFeatureIsAvailable(device, "ChunkTimestamp") &&
        PylonDeviceGetIntegerFeature(device, "ChunkTimestamp", &stamp) != kPylonOk) {
      stamp = 0;
    }
    if (PylonDeviceFeatureIsAvailable(device, "ChunkGain") &&
        PylonDeviceGetFloatFeature(device, "ChunkGain", &v) == kPylonOk && v >= 0) {
      gainValue = static_cast<unsigned>(v);
    }
    if (PylonDeviceFeatureIsAvailable(device, "ChunkExposureTime") &&
        PylonDeviceGetFloatFeature(device, "ChunkExposureTime", &v) == kPylonOk && v >= 0) {
      exposureUs = static_cast<unsigned>(v);
    }
    (void)PylonChunkParserDetachBuffer(chunkParser);
  }
  callback(r.width, r.height, static_cast<unsigned char*>(const_cast<void*>(r.data)),
           static_cast<unsigned long>(picture), exposureUs, gainValue, static_cast<long>(stamp));
  if (PylonStreamGrabberQueueBuffer(grabber, r.buffer, r.context) != kPylonOk) return -1;
  (void)changes();
  return static_cast<int>(picture);
}

void BaslerCamera::close() {
  if (streamClosed) return;
  streamClosed = true;
  if (acquiring) (void)PylonDeviceExecuteCommandFeature(device, "AcquisitionStop");
  acquiring = false;
  if (grabber != nullptr) {
    (void)PylonStreamGrabberCancelGrab(grabber);
    PylonGrabResult r;
    bool ready = true;
    while (PylonStreamGrabberRetrieveResult(grabber, &r, &ready) == kPylonOk && ready) {
    }
    for (PylonBufferHandle& h : bufferHandles) {
      if (h != nullptr) (void)PylonStreamGrabberDeregisterBuffer(grabber, h);
      h = nullptr;
    }
    (void)PylonStreamGrabberFinishGrab(grabber);
    if (grabberOpen) (void)PylonStreamGrabberClose(grabber);
    grabberOpen = false;
  }
  if (chunkParser != nullptr) (void)PylonDeviceDestroyChunkParser(device, chunkParser);
  chunkParser = nullptr;
}

void BaslerCamera::release() {
  // The stream part and the chunk parser go whatever state open() reached:
  // only what was acquired is released.
  if (device != nullptr) close();
  if (payloadSize != 0 || buffers[0] != nullptr) {
    for (auto& b : buffers) {
      std::free(b);
      b = nullptr;
    }
    payloadSize = 0;
  }
  if (device != nullptr) {
    (void)PylonDeviceClose(device);
    (void)PylonDestroyDevice(device);
    device = nullptr;
  }
  state = 0;
}

void BaslerCamera::updateMeta() {
  const auto now = static_cast<std::uint32_t>(std::time(nullptr));
  if (now == metaSecond) return;
  metaSecond = now;
  double v = 0;
  if (PylonDeviceGetFloatFeature(device, "ExposureTime", &v) == kPylonOk && v >= 0) {
    config.actexp = static_cast<std::uint32_t>(v);
  }
  if (PylonDeviceGetFloatFeature(device, "Gain", &v) == kPylonOk) config.actgain = static_cast<float>(v);
  if (PylonDeviceGetFloatFeature(device, "DeviceTemperature", &v) == kPylonOk) config.acttemp = static_cast<float>(v);
  if (PylonDeviceGetFloatFeature(device, "ResultingFrameRate", &v) == kPylonOk) config.actfps = static_cast<float>(v);
}

bool BaslerCamera::changes() {
  const std::uint32_t crc = config.changed();
  if (crc == appliedCrc) return true;
  // In this order; the first setting the camera refuses ends the round and
  // the next frame starts it again, until the camera takes them all. The
  // status names the refused setting meanwhile (the frames still flow, so
  // an open error would be a lie); the log has it once per distinct text.
  const char* refused = nullptr;
  if (!fps(config.fps())) refused = "fps";
  else if (!exposure(config.exp())) refused = "exposure";
  else if (!gain(static_cast<float>(config.gain()))) refused = "gain";
  else if (!flasher(config.getflash())) refused = "flasher";
  else if (!brightness(config.target)) refused = "brightness";
  if (refused != nullptr) {
    const std::string text = std::string("camera refused ") + refused + ": " + errbasler(0, 0);
    config.setText(&BaslerConfig::status, text);
    if (text != refusal) config.logme(text);
    refusal = text;
    return false;
  }
  if (!refusal.empty()) config.logme("camera settings applied");
  refusal.clear();
  config.setText(&BaslerConfig::status, "working");
  appliedCrc = crc;
  return true;
}

bool BaslerCamera::fps(unsigned n) {
  if (n == 0) return PylonDeviceSetBooleanFeature(device, "AcquisitionFrameRateEnable", false) == kPylonOk;
  if (PylonDeviceSetBooleanFeature(device, "AcquisitionFrameRateEnable", true) != kPylonOk) return false;
  double lo = 0;
  double hi = 0;
  double rate = n;
  if (PylonDeviceGetFloatFeatureMin(device, "AcquisitionFrameRate", &lo) == kPylonOk &&
      PylonDeviceGetFloatFeatureMax(device, "AcquisitionFrameRate", &hi) == kPylonOk && lo <= hi) {
    rate = std::clamp(rate, lo, hi);
  }
  return PylonDeviceSetFloatFeature(device, "AcquisitionFrameRate", rate) == kPylonOk;
}

bool BaslerCamera::exposure(unsigned us) {
  const unsigned lower = config.expmin + 1;
  unsigned upper = config.expmin <= us && us <= config.expmax ? us : kFallbackExposureUs;
  // Never an inverted range: the upper limit stays above the lower one.
  upper = std::max(upper, lower);
  return PylonDeviceSetFloatFeature(device, "AutoExposureTimeUpperLimit", upper) == kPylonOk &&
         PylonDeviceSetFloatFeature(device, "AutoExposureTimeLowerLimit", lower) == kPylonOk &&
         setEnum("ExposureAuto", "Continuous");
}

bool BaslerCamera::gain(float g) {
  if (!(config.gainmin <= g && g <= config.gainmax && g != 0)) return gainoff();
  return PylonDeviceSetFloatFeature(device, "AutoGainLowerLimit", config.gainmin) == kPylonOk &&
         PylonDeviceSetFloatFeature(device, "AutoGainUpperLimit", g) == kPylonOk && setEnum("GainAuto", "Continuous");
}

bool BaslerCamera::gainoff() {
  return setEnum("GainAuto", "Off") && PylonDeviceSetFloatFeature(device, "Gain", 0) == kPylonOk;
}

bool BaslerCamera::brightness(float b) {
  const float value = config.brmin <= b && b <= config.brmax ? b : kFallbackBrightness;
  if (PylonDeviceSetFloatFeature(device, "AutoTargetBrightness", value) != kPylonOk) return false;
  if (PylonDeviceFeatureIsAvailable(device, "AutoFunctionROISelector") && !setEnum("AutoFunctionROISelector", "ROI1")) {
    return false;
  }
  if (PylonDeviceFeatureIsAvailable(device, "AutoFunctionAOISelector") && !setEnum("AutoFunctionAOISelector", "AOI1")) {
    return false;
  }
  for (const char* name : {"AutoFunctionROIUseBrightness", "AutoFunctionAOIUseBrightness"}) {
    if (PylonDeviceFeatureIsAvailable(device, name) && PylonDeviceSetBooleanFeature(device, name, true) != kPylonOk) {
      return false;
    }
  }
  return true;
}

bool BaslerCamera::flasher(unsigned on) {
  if (!setEnum("LineSelector", "Line4")) return false;
  if (on == 0) return setEnum("LineMode", "Input");
  return setEnum("LineMode", "Output") && setEnum("LineSource", "ExposureActive") &&
         PylonDeviceSetBooleanFeature(device, "LineInverter", true) == kPylonOk;
}

void usbframeplace_basler(int camid, int width, int height, unsigned char* data, unsigned long size,
                          unsigned exposure, unsigned gain, long timestamp) {
  for (const auto& store : kovira::enabledStores(camid)) {
    unsigned sec = 0;
    unsigned usec = 0;
    high_clock(sec, usec);
    kovira::FrameMetadata& rec = store->addFrame(width, height, FRAME_GRAY8, 0, data, size);
    rec.width.store(width);
    rec.height.store(height);
    rec.sec.store(sec);
    rec.usec.store(usec);
    rec.camTimestamp.store(static_cast<std::uint64_t>(timestamp));
    rec.exposure.store(exposure);
    rec.gain.store(gain);
  }
}

int basler_usb3cam(kovira::Camera& camera, BaslerConfig& config, std::uint64_t frameLimit) {
  BaslerCamera cam(config);
  if (!cam.open()) return -1;
  const int camid = camera.camid;
  const BaslerCamera::Callback place = [camid](int w, int h, unsigned char* data, unsigned long size, unsigned e,
                                               unsigned g, long ts) {
    usbframeplace_basler(camid, w, h, data, size, e, g, ts);
  };
  std::uint64_t remain = frameLimit;
  while (working >= 1 && !stopRequested && remain > 0) {
    const int r = cam.grab(place);
    if (r > 0) {
      --remain;
    } else if (r == 0) {
      ++config.errminor;
    } else {
      ++config.errmajor;
      cam.close();
      return r;
    }
  }
  return 1;
}

namespace camera {
namespace {

// Owner of the grabber thread: a function-local static, stopped and joined
// by stopGrabber (exit registry) or at static destruction.
class Grabber {
 public:
  ~Grabber() { stop(); }
  void start(int camid) {
    std::lock_guard lock(mutex_);
    if (thread_.joinable()) return;
    stop_ = false;
    stopRequested = false;
    thread_ = std::thread(basler_usbcam_warp, camid);
  }
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    stopRequested = true;
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  bool stopping() {
    std::lock_guard lock(mutex_);
    return stop_;
  }
  // Sleeps for the pause; false when the thread must end. The wait is cut
  // into slices: a signal handler clears `working` without notifying.
  bool pause(std::chrono::seconds length) {
    const auto end = std::chrono::steady_clock::now() + length;
    std::unique_lock lock(mutex_);
    while (!stop_ && working >= 1) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= end) return true;
      wake_.wait_for(lock, std::min<std::chrono::steady_clock::duration>(std::chrono::milliseconds(100), end - now));
    }
    return false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;  // guarded by mutex_
  std::thread thread_;
};

Grabber& grabber() {
  static Grabber g;
  return g;
}

}  // namespace

void stopGrabber() { grabber().stop(); }

void modinit() {
  attachConfig("usbcam", baslerConfig());
  bool started = false;
  bool ximeaSaid = false;
  for (const kovira::CameraSettings& c : kovira::cameraSettings()) {
    if (c.enabled == 0) continue;
    // The other raw camera source has no driver on this unit.
    if (c.source == "ximea" && !ximeaSaid) {
      std::cout << "[WARNING] cameras of the source \"ximea\" have no driver and get no frames" << std::endl;
      ximeaSaid = true;
    }
    if (c.source != "basler" || started || kovira::missingStoreMiB(c.camid) != 0) continue;
    grabber().start(c.camid);
    started = true;  // one camera per process
  }
}

}  // namespace camera

void basler_usbcam_warp(int camid) {
  thread_name("usbcam: grabber");
  try {
    kovira::Camera& cam = kovira::camera(camid);
    BaslerConfig& config = baslerConfig();
    (void)PylonInitialize();
    while (working >= 1 && !camera::grabber().stopping()) {
      if (basler_usb3cam(cam, config) < 0 && !camera::grabber().pause(std::chrono::seconds(camera::kRetrySeconds))) {
        break;
      }
    }
  } catch (const std::exception& e) {
    std::cout << "[BASLER] grabber stopped: " << e.what() << std::endl;
  } catch (...) {
    std::cout << "[BASLER] grabber stopped" << std::endl;
  }
}
