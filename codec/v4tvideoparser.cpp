#include "codec/v4tvideoparser.h"

#include "codec/accessunits.h"
#include "codec/nvvideoconverter.h"
#include "codec/nvvideodecoder.h"
#include "core/threads.h"
#include "core/working.h"
#include "platform/nvv4l2_ext.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A cleared multi-planar V4L2 request with its own plane array attached;
// it cannot be copied, since it points into itself.
struct Request : v4l2_buffer {
  v4l2_plane planeArray[MAX_PLANES];
  Request() : v4l2_buffer() {
    std::memset(planeArray, 0, sizeof planeArray);
    m.planes = planeArray;
  }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;
};

constexpr std::uint32_t kInputBufferBytes = 8388608;
// Input buffers, one access unit each: enough that the decoder always has
// the next unit while the parse thread fills another.
constexpr std::uint32_t kInputBuffers = 4;
constexpr std::uint32_t kFirstEventWaitMs = 1000;
// A buffer of the largest size decodes in a few seconds; a device that has
// not finished it after this long is wedged.
constexpr auto kParseTimeLimit = std::chrono::seconds(30);
// Once its input is consumed a decoder drains the few pictures it holds in
// milliseconds; one that has not ended the drain after this long never will.
constexpr auto kDrainTimeLimit = std::chrono::seconds(5);
// The converter turns a picture round in milliseconds; one that has not
// come back after this long never will.
constexpr auto kConvertTimeLimit = std::chrono::seconds(5);
// Every wait is cut into slices this long, so that a stop request or a
// SIGINT is seen at once.
constexpr std::uint32_t kSliceMs = 50;
constexpr auto kMaxBackoff = std::chrono::milliseconds(100);
// Idle polls of the fallback end detection (decoders without the drain).
constexpr int kIdlePolls = 6;

bool shuttingDown() { return working < 1; }

std::uint32_t msUntil(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0u : static_cast<std::uint32_t>(left);
}

void printErr(const char* text) {
  std::fputs(text, stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

// An input buffer's timestamp: the parse in the seconds, the unit's place
// in the microseconds (fewer units than a second has microseconds), so it
// survives a driver's conversion to nanoseconds and back.
timeval unitStamp(std::uint64_t serial, std::size_t place) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(serial);
  tv.tv_usec = static_cast<suseconds_t>(place);
  return tv;
}

enum class Dequeued { Yes, Failed, TimedOut, Stopped };

}  // namespace

class V4TVideoParserPrivate {
 public:
  V4TVideoParserPrivate();

  static std::atomic<std::uint64_t> _num;

  std::string decName;
  std::string convName;
  std::unique_ptr<NvVideoDecoder> dec;
  std::unique_ptr<NvVideoConverter> conv;
  std::atomic<std::uint32_t> wantedFourcc{nvv4l2::kFmtNM12};
  std::uint32_t currentFourcc = nvv4l2::kFmtNM12;  // capture thread only
  std::atomic<bool> stop{false};
  std::atomic<bool> closing{false};
  std::atomic<bool> broken{false};
  std::thread thread;

  // Delivery handshake: the capture thread decides under deliverMu whether
  // a picture is delivered and runs the callback under it, after checking
  // that the parse which wanted the picture is still running; parse ends
  // its run under the same lock, so no callback runs after parse returned.
  // The converter is waited for without the lock, so parse can always give
  // up in time.
  std::mutex deliverMu;
  std::condition_variable deliverCv;
  bool busy = false;                 // guarded by deliverMu
  std::uint64_t parseSerial = 0;     // guarded by deliverMu: names the running parse's input
  std::size_t parseUnits = 0;        // guarded by deliverMu: units the running parse queued
  bool drainAsked = false;           // guarded by deliverMu
  bool drainEnded = false;           // guarded by deliverMu: the LAST buffer of the asked drain came
  std::uint64_t delivered = 0;       // guarded by deliverMu: pictures of the current parse
  bool canDrain = true;              // parse thread only (decided at construction)

  // Input buffers not in the decoder (parse thread only).
  std::vector<std::uint32_t> freeInputs;

  mutable std::mutex timingMu;
  Clock::time_point start;        // guarded by timingMu
  std::uint64_t totalMs = 0;      // guarded by timingMu
  std::uint64_t deliveredAll = 0; // guarded by timingMu

  std::uint32_t decCaptureCount = 0;  // capture thread only

  void run(V4TVideoParser::Callback& cb);
  void loop(V4TVideoParser::Callback& cb);
  void capPlaneStart(std::uint32_t code);
  void initConverter(const v4l2_format& fmt, std::uint32_t count, std::uint32_t code);
  bool reinitConverter();
  bool handlePicture(V4TVideoParser::Callback& cb, v4l2_buffer& decBuf, NvBuffer* decBuffer);
  bool convertPicture(V4TVideoParser::Callback& cb, const v4l2_buffer& decBuf, NvBuffer* decBuffer, std::int32_t place,
                      std::uint64_t serial);
  Dequeued dequeueWithin(NvV4l2ElementPlane& plane, v4l2_buffer& b, NvBuffer** buffer, Clock::duration limit);
  bool pipelineIdle();

  int feed(const std::uint8_t* data, std::uint64_t length, int fourcc, const std::vector<V4TVideoParser::Unit>& units);
  bool abandoned(Clock::time_point deadline) const;
  bool takeInputBack(Clock::time_point deadline);
  bool waitIdle(Clock::time_point deadline);
};

std::atomic<std::uint64_t> V4TVideoParserPrivate::_num{0};

V4TVideoParserPrivate::V4TVideoParserPrivate() {
  const std::uint64_t n = _num.load();
  decName = "dec" + std::to_string(n);
  convName = "conv" + std::to_string(n);
  dec.reset(NvVideoDecoder::createVideoDecoder(decName.c_str(), 0));
  conv.reset(NvVideoConverter::createVideoConverter(convName.c_str(), 0));
  start = Clock::now();
  if (!dec || !conv) throw std::logic_error("Cannot allocate hardware resources (dec, conv)");

  if (dec->disableCompleteFrameInputBuffer() != 0) printErr("disableCompleteFrameInputBuffer() fail");
  if (dec->setOutputPlaneFormat(nvv4l2::kFmtH264, kInputBufferBytes) != 0)
    std::fprintf(stderr, "setOutputPlaneFormat(%u, %u) fail\n", nvv4l2::kFmtH264, kInputBufferBytes);
  if (dec->output_plane.setupPlane(V4L2_MEMORY_MMAP, kInputBuffers, true, false) != 0)
    std::fprintf(stderr, "setupPlane(%u, ...) fail\n", kInputBuffers);
  for (std::uint32_t i = 0; i < dec->output_plane.getNumBuffers(); ++i) freeInputs.push_back(i);
  if (dec->subscribeEvent(nvv4l2::kEventResolutionChange, 0, 0) != 0)
    printErr("subscribeEvent(V4L2_EVENT_RESOLUTION_CHANGE) fail");
  // The end of a drain is the capture buffer flagged LAST; the event is
  // taken so that it does not pile up.
  (void)dec->subscribeEvent(V4L2_EVENT_EOS, 0, 0);
  canDrain = dec->sendCommand(V4L2_DEC_CMD_STOP, /*tryOnly=*/true) == 0;
  (void)dec->enableMetadataReporting();
  if (dec->output_plane.setStreamStatus(true) != 0) printErr("dec.output_plane.setStreamStatus(true) fail");
  ++_num;
}

void V4TVideoParserPrivate::initConverter(const v4l2_format& fmt, std::uint32_t count, std::uint32_t code) {
  conv->output_plane.deinitPlane();
  conv->capture_plane.deinitPlane();
  const auto& pm = fmt.fmt.pix_mp;
  if (conv->setOutputPlaneFormat(pm.pixelformat, pm.width, pm.height, nvv4l2::kLayoutBlockLinear) != 0)
    throw std::logic_error("setOutputPlaneFormat() fail");
  if (conv->setCapturePlaneFormat(code, pm.width, pm.height, nvv4l2::kLayoutPitch) != 0)
    throw std::logic_error("setCapturePlaneFormat() fail");
  if (conv->output_plane.setupPlane(V4L2_MEMORY_DMABUF, count, false, false) != 0)
    throw std::logic_error("output_plane.setupPlane() fail : " + std::to_string(count));
  if (conv->capture_plane.setupPlane(V4L2_MEMORY_MMAP, count, true, false) != 0)
    throw std::logic_error("capture_plane.setupPlane() fail : " + std::to_string(count));
  // The decoder's buffers go to the converter under their own index.
  if (conv->output_plane.getNumBuffers() < count)
    throw std::logic_error("output_plane.setupPlane() fail : " + std::to_string(count));
  if (conv->output_plane.setStreamStatus(true) != 0) throw std::logic_error("output_plane.setStreamStatus(true) fail");
  if (conv->capture_plane.setStreamStatus(true) != 0) throw std::logic_error("capture_plane.setStreamStatus(true) fail");
  const std::uint32_t n = conv->capture_plane.getNumBuffers();
  for (std::uint32_t i = 0; i < n; ++i) {
    Request b;
    b.index = i;
    if (conv->capture_plane.qBuffer(b, nullptr) != 0) throw std::logic_error("qBuf(conv->capture_plane) fail");
  }
  currentFourcc = code;
}

bool V4TVideoParserPrivate::reinitConverter() {
  v4l2_format fmt;
  std::memset(&fmt, 0, sizeof fmt);
  if (dec->capture_plane.getFormat(fmt) != 0) return false;
  initConverter(fmt, decCaptureCount, wantedFourcc.load());
  return true;
}

void V4TVideoParserPrivate::capPlaneStart(std::uint32_t code) {
  v4l2_format fmt;
  std::memset(&fmt, 0, sizeof fmt);
  if (dec->capture_plane.getFormat(fmt) != 0) return;
  dec->capture_plane.deinitPlane();
  const auto& pm = fmt.fmt.pix_mp;
  if (dec->setCapturePlaneFormat(pm.pixelformat, pm.width, pm.height) != 0) return;
  (void)dec->setSkipFrames(0);
  int minBuffers = -1;
  if (dec->getMinimumCapturePlaneBuffers(minBuffers) != 0) minBuffers = -1;
  if (dec->capture_plane.setupPlane(V4L2_MEMORY_MMAP, static_cast<std::uint32_t>(minBuffers), false, false) != 0)
    throw std::logic_error("dec.capture_plane.setupPlane() fail");
  // The converter takes the decoder's buffers by index, so it needs as many
  // as the decoder was granted, not as many as were asked for.
  decCaptureCount = dec->capture_plane.getNumBuffers();
  initConverter(fmt, decCaptureCount, code);
  if (dec->capture_plane.setStreamStatus(true) != 0) return;
  for (std::uint32_t i = 0; i < decCaptureCount; ++i) {
    Request b;
    b.index = i;
    if (dec->capture_plane.qBuffer(b, nullptr) != 0) throw std::logic_error("qBuf(conv->capture_plane) fail");
  }
}

// Waits for a buffer of a plane of the pipeline and dequeues it.
Dequeued V4TVideoParserPrivate::dequeueWithin(NvV4l2ElementPlane& plane, v4l2_buffer& b, NvBuffer** buffer,
                                              Clock::duration limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    const int ready = plane.pollBuffer(kSliceMs);
    if (ready > 0) return plane.dqBuffer(b, buffer, nullptr, 0) == 0 ? Dequeued::Yes : Dequeued::Failed;
    if (ready < 0) return Dequeued::Failed;
    if (stop) return Dequeued::Stopped;
    if (Clock::now() >= deadline) return Dequeued::TimedOut;
  }
}

// Moves one decoded picture through the converter and hands it to the
// callback when the parse `serial` still waits for it. False: the converter
// failed. Throws when the converter does not answer: the parser is then
// broken, since the converter's queues hold buffers nobody can take back.
bool V4TVideoParserPrivate::convertPicture(V4TVideoParser::Callback& cb, const v4l2_buffer& decBuf,
                                           NvBuffer* decBuffer, std::int32_t place, std::uint64_t serial) {
  auto settle = [this](Dequeued r) {
    if (r == Dequeued::TimedOut) throw std::logic_error("the converter does not answer");
    return r == Dequeued::Yes;
  };
  Request in;
  in.index = decBuf.index;
  if (conv->output_plane.qBuffer(in, decBuffer) != 0) return false;
  Request out;
  out.length = MAX_PLANES;
  NvBuffer* convBuffer = nullptr;
  if (!settle(dequeueWithin(conv->capture_plane, out, &convBuffer, kConvertTimeLimit)) || !convBuffer) return false;
  if (!(out.flags & V4L2_BUF_FLAG_ERROR)) {
    V4TVideoParserPlane planes[MAX_PLANES];
    const int n = static_cast<int>(convBuffer->n_planes);
    for (int j = 0; j < n; ++j) {
      const auto& p = convBuffer->planes[j];
      planes[j] = V4TVideoParserPlane{p.fmt.width, p.fmt.height, p.fmt.bytesperpixel, p.fmt.stride,
                                      p.data + p.mem_offset, p.fmt.sizeimage};
    }
    std::lock_guard lk(deliverMu);
    if (busy && parseSerial == serial && !closing) {
      try {
        if (cb) cb(place, static_cast<int>(currentFourcc), planes, n);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "picture callback failed: %s\n", e.what());
      } catch (...) {
        printErr("picture callback failed");
      }
      ++delivered;
      std::lock_guard tl(timingMu);
      const auto now = Clock::now();
      totalMs += static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count());
      ++deliveredAll;
      start = now;
    }
  }
  Request back;
  back.index = out.index;
  if (conv->capture_plane.qBuffer(back, nullptr) != 0) return false;
  Request ret;
  ret.length = MAX_PLANES;
  return settle(dequeueWithin(conv->output_plane, ret, nullptr, kConvertTimeLimit));
}

// One capture buffer: its picture is delivered when its timestamp names a
// unit of the running parse, then the decoder buffer goes back; the buffer
// flagged LAST ends the drain. False: the converter failed.
bool V4TVideoParserPrivate::handlePicture(V4TVideoParser::Callback& cb, v4l2_buffer& decBuf, NvBuffer* decBuffer) {
  const bool isPicture = decBuffer->planes[0].bytesused > 0;
  const bool last = (decBuf.flags & V4L2_BUF_FLAG_LAST) != 0;
  bool ok = true;
  if (isPicture) {
    bool deliver;
    std::uint64_t serial;
    std::size_t place = 0;
    {
      std::lock_guard lk(deliverMu);
      serial = parseSerial;
      deliver = busy && decBuf.timestamp.tv_sec >= 0 && static_cast<std::uint64_t>(decBuf.timestamp.tv_sec) == serial &&
                decBuf.timestamp.tv_usec >= 0 && static_cast<std::size_t>(decBuf.timestamp.tv_usec) < parseUnits;
      if (deliver) place = static_cast<std::size_t>(decBuf.timestamp.tv_usec);
    }
    if (deliver) {
      ok = convertPicture(cb, decBuf, decBuffer, static_cast<std::int32_t>(place), serial);
      if (!ok && !stop) printErr("cannot get frame");
    }
  }
  // Decoder buffers go back even after a converter failure, or the decoder
  // would run dry; the converter is rebuilt before the next picture.
  Request back;
  back.index = decBuf.index;
  const bool requeued = dec->capture_plane.qBuffer(back, nullptr) == 0;
  if (last) {
    {
      std::lock_guard lk(deliverMu);
      if (drainAsked) drainEnded = true;
    }
    deliverCv.notify_all();
  }
  if (!ok) currentFourcc = 0;
  return ok && requeued;
}

void V4TVideoParserPrivate::run(V4TVideoParser::Callback& cb) {
  v4l2_event ev;
  // 1. Nothing can be set up before the decoder knows the picture size.
  while (!stop) {
    std::memset(&ev, 0, sizeof ev);
    if (dec->dqEvent(ev, kFirstEventWaitMs) == 0) {
      if (ev.type == nvv4l2::kEventResolutionChange) break;
      // A drain of input without any picture: no capture buffer can carry
      // the LAST flag, the event alone ends it.
      if (ev.type == V4L2_EVENT_EOS) {
        {
          std::lock_guard lk(deliverMu);
          if (drainAsked) drainEnded = true;
        }
        deliverCv.notify_all();
      }
    } else if (errno != EAGAIN) {
      printErr("dqEvent() error");
      break;
    }
  }
  if (stop) return;
  capPlaneStart(wantedFourcc.load());

  auto backoff = std::chrono::milliseconds(1);
  while (!stop) {
    // a. Events first: a resolution change rebuilds the capture side.
    std::memset(&ev, 0, sizeof ev);
    while (dec->dqEvent(ev, 0) == 0) {
      if (ev.type == nvv4l2::kEventResolutionChange) {
        capPlaneStart(wantedFourcc.load());
        if (stop) return;
      } else if (ev.type == V4L2_EVENT_EOS) {
        // The drain's end is taken from the LAST buffer, which the event follows.
      } else {
        printErr("Unknown event");
        break;
      }
    }
    // b. Pictures, waited for in slices so that stop is seen.
    for (;;) {
      if (wantedFourcc.load() != currentFourcc && !reinitConverter()) break;
      // An event (2) is handled first: a blocking dequeue would not see it.
      const int ready = dec->capture_plane.pollBuffer(kSliceMs, /*orEvent=*/true);
      if (ready == 0 || ready == 2) break;
      Request b;
      b.length = MAX_PLANES;
      NvBuffer* buffer = nullptr;
      if (ready < 0 || dec->capture_plane.dqBuffer(b, &buffer, nullptr, 0) != 0 || !buffer) {
        // The capture side is being rebuilt or failed: back off.
        std::this_thread::sleep_for(backoff);
        backoff = std::min(backoff * 2, std::chrono::duration_cast<std::chrono::milliseconds>(kMaxBackoff));
        break;
      }
      // The wanted code may have changed while this thread waited for the
      // picture; convert it the way the running parse asked.
      if (wantedFourcc.load() != currentFourcc) reinitConverter();
      if (handlePicture(cb, b, buffer)) {
        backoff = std::chrono::milliseconds(1);
      } else {
        std::this_thread::sleep_for(backoff);
        backoff = std::min(backoff * 2, std::chrono::duration_cast<std::chrono::milliseconds>(kMaxBackoff));
      }
      if (stop) return;
    }
  }
}

void V4TVideoParserPrivate::loop(V4TVideoParser::Callback& cb) {
  thread_name("decCapture");
  try {
    run(cb);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", decName.c_str(), e.what());
    broken = true;
  } catch (...) {
    printErr("decoder capture thread failed");
    broken = true;
  }
  // Taking the lock orders the flag before a waiting parse's next check.
  { std::lock_guard lk(deliverMu); }
  deliverCv.notify_all();
}

bool V4TVideoParserPrivate::pipelineIdle() {
  return conv->output_plane.getNumQueuedBuffers() == 0 &&
         conv->capture_plane.getNumQueuedBuffers() == conv->capture_plane.getNumBuffers() &&
         dec->capture_plane.getNumQueuedBuffers() == dec->capture_plane.getNumBuffers();
}

V4TVideoParser::V4TVideoParser() : d(new V4TVideoParserPrivate) {
  V4TVideoParserPrivate* p = d;
  p->thread = std::thread([p, this] { p->loop(callback); });
  if (d->dec->output_plane.setStreamStatus(true) != 0) printErr("setStreamStatus(true) fail");
}

V4TVideoParser::~V4TVideoParser() {
  d->closing = true;
  std::lock_guard lk(mutex);
  d->stop = true;
  // Every wait of the capture thread is a short slice that looks at stop;
  // nothing is delivered once closing is set.
  if (d->thread.joinable()) d->thread.join();
  delete d;
  d = nullptr;
}

// True when a running parse must give up: the parser broke or closes, the
// unit shuts down, or the time limit passed.
bool V4TVideoParserPrivate::abandoned(Clock::time_point deadline) const {
  return broken || closing || shuttingDown() || Clock::now() >= deadline;
}

// Waits for the decoder to give an input buffer back, i.e. to have taken
// its bytes, and keeps it for the next unit.
bool V4TVideoParserPrivate::takeInputBack(Clock::time_point deadline) {
  for (;;) {
    const int ready = dec->output_plane.pollBuffer(std::min(kSliceMs, msUntil(deadline)));
    if (ready > 0) {
      Request b;
      b.length = 1;
      if (dec->output_plane.dqBuffer(b, nullptr, nullptr, 0) != 0) return false;
      freeInputs.push_back(b.index);
      return true;
    }
    if (ready < 0 || abandoned(deadline)) return false;
  }
}

// Devices without the drain: waits until the pipeline stays idle.
bool V4TVideoParserPrivate::waitIdle(Clock::time_point deadline) {
  while (conv->output_plane.waitAllBuffersDequeued(kSliceMs) != 0)
    if (abandoned(deadline)) return false;
  while (conv->capture_plane.waitAllBuffersQueued(kSliceMs) != 0)
    if (abandoned(deadline)) return false;
  for (int idle = 0; !stop && idle < kIdlePolls;) {
    if (abandoned(deadline)) return false;
    idle = pipelineIdle() ? idle + 1 : 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

int V4TVideoParser::parse(const std::uint8_t* data, std::uint64_t length, int fourcc, std::span<const Unit> units) {
  if (d->closing || d->broken) return -1;
  NvBuffer* buffer = d->dec->output_plane.getNthBuffer(0);
  if (!buffer) return -1;
  const std::uint64_t capacity = buffer->planes[0].length;
  if (!data || length == 0 || length > capacity) throw std::logic_error("HWDEC input wrong");
  std::vector<Unit> list;
  if (units.empty()) {
    const auto found = kovira::splitAccessUnits(data, static_cast<std::size_t>(length));
    for (const auto& u : found) list.push_back(Unit{u.offset, u.size});
    // The next group's key frame at the end goes as the remainder.
    if (found.size() > 1 && found.back().key) list.pop_back();
  } else {
    std::uint64_t end = 0;
    for (const Unit& u : units) {
      if (u.size == 0 || u.offset < end || u.offset + u.size > length) throw std::logic_error("HWDEC input wrong");
      end = u.offset + u.size;
    }
    list.assign(units.begin(), units.end());
  }
  return d->feed(data, length, fourcc, list);
}

int V4TVideoParserPrivate::feed(const std::uint8_t* data, std::uint64_t length, int fourcc,
                                const std::vector<V4TVideoParser::Unit>& given) {
  if (closing || broken) return -1;
  {
    std::lock_guard tl(timingMu);
    start = Clock::now();
  }
  // A decoder that cannot drain gets the remainder (the next group's key
  // frame) as one unit more: it pushes the group's last pictures out, and
  // its own picture is not one of the caller's units.
  std::vector<V4TVideoParser::Unit> units = given;
  const std::size_t wanted = units.size();
  const std::size_t tail = units.empty() ? 0 : units.back().offset + units.back().size;
  if (!canDrain && tail < length) units.push_back(V4TVideoParser::Unit{tail, static_cast<std::size_t>(length - tail)});

  std::uint64_t serial;
  {
    std::lock_guard lk(deliverMu);
    serial = ++parseSerial;
    parseUnits = wanted;
    busy = true;
    drainAsked = false;
    drainEnded = false;
    delivered = 0;
    wantedFourcc = static_cast<std::uint32_t>(fourcc);
  }
  auto finish = [&](int result) {
    std::lock_guard lk(deliverMu);
    busy = false;
    drainAsked = false;
    return result;
  };
  // Gives up on the buffer: the input is taken back so the next parse starts
  // clean. A parser that ran out of time, or whose drain did not end, is not
  // trusted again (its decoder may still hold and stamp anything).
  auto giveUp = [&](Clock::time_point deadline) {
    bool drainPending;
    {
      std::lock_guard lk(deliverMu);
      drainPending = drainAsked && !drainEnded;
    }
    if (drainPending || (Clock::now() >= deadline && !shuttingDown() && !closing)) broken = true;
    dec->output_plane.setStreamStatus(false);
    dec->output_plane.setStreamStatus(true);
    freeInputs.clear();
    for (std::uint32_t i = 0; i < dec->output_plane.getNumBuffers(); ++i) freeInputs.push_back(i);
    return finish(-1);
  };

  const auto deadline = Clock::now() + kParseTimeLimit;
  const std::size_t inputs = freeInputs.size();
  for (std::size_t i = 0; i < units.size(); ++i) {
    if (freeInputs.empty() && !takeInputBack(deadline)) return giveUp(deadline);
    const std::uint32_t index = freeInputs.back();
    NvBuffer* buffer = dec->output_plane.getNthBuffer(index);
    if (!buffer || units[i].size > buffer->planes[0].length) return giveUp(deadline);
    freeInputs.pop_back();
    std::memcpy(buffer->planes[0].data, data + units[i].offset, units[i].size);
    buffer->planes[0].bytesused = static_cast<std::uint32_t>(units[i].size);
    Request b;
    b.index = index;
    b.timestamp = unitStamp(serial, i);
    if (dec->output_plane.qBuffer(b, nullptr) != 0) {
      freeInputs.push_back(index);
      return giveUp(deadline);
    }
  }
  if (!canDrain) {
    // Every unit taken: before the first picture the decoder gives its input
    // back only after it announced the size and the capture side was built,
    // so a decoder without capture buffers now gave no picture.
    while (freeInputs.size() < inputs)
      if (!takeInputBack(deadline)) return giveUp(deadline);
    if (dec->capture_plane.getNumBuffers() == 0) return finish(static_cast<int>(length));
    if (!waitIdle(deadline)) return giveUp(deadline);
    return finish(static_cast<int>(length));
  }
  // The drain: a decoder that announces the picture size only now (it held
  // the stream's only pictures back) builds the capture side during it; one
  // that never found a picture ends it with the event alone.
  {
    std::lock_guard lk(deliverMu);
    drainAsked = true;
  }
  if (dec->sendCommand(V4L2_DEC_CMD_STOP) != 0) {
    printErr("decoder drain (V4L2_DEC_CMD_STOP) fail");
    broken = true;
    return giveUp(deadline);
  }
  const auto drainDeadline = std::min(deadline, Clock::now() + kDrainTimeLimit);
  {
    std::unique_lock lk(deliverMu);
    for (;;) {
      const auto slice = std::min(drainDeadline, Clock::now() + std::chrono::milliseconds(kSliceMs));
      if (deliverCv.wait_until(lk, slice, [&] { return drainEnded; })) break;
      if (abandoned(drainDeadline)) {
        lk.unlock();
        if (Clock::now() >= drainDeadline && !shuttingDown()) printErr("decoder drain does not end");
        return giveUp(drainDeadline);
      }
    }
  }
  // The decoder gave every input buffer back before it drained.
  while (freeInputs.size() < inputs)
    if (!takeInputBack(deadline)) return giveUp(deadline);
  if (dec->sendCommand(V4L2_DEC_CMD_START) != 0) {
    printErr("decoder resume (V4L2_DEC_CMD_START) fail");
    broken = true;
  }
  return finish(static_cast<int>(length));
}

std::uint64_t V4TVideoParser::averageTime() const {
  std::lock_guard tl(d->timingMu);
  return d->deliveredAll ? d->totalMs / d->deliveredAll : 0;
}

std::uint64_t V4TVideoParser::lastDelivered() const {
  std::lock_guard lk(d->deliverMu);
  return d->delivered;
}

const std::string& V4TVideoParser::decoderName() const { return d->decName; }
const std::string& V4TVideoParser::converterName() const { return d->convName; }
bool V4TVideoParser::broken() const { return d->broken; }
