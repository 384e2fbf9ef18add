#include "codec/v4tvideoparser.h"

#include "codec/accessunits.h"
#include "codec/nvdevice.h"
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
#include <poll.h>
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

// Input buffers, one access unit each: enough that the decoder always has
// the next unit while the parse thread fills another. Each holds the largest
// unit a parse brought so far, in whole MiB: a parser costs what its
// cameras' frames need, and grows for a larger frame (up to the largest the
// receiver accepts, with its start codes) instead of refusing it.
constexpr std::uint32_t kInputBuffers = 4;
constexpr std::uint64_t kInputGrain = 1u << 20;
constexpr std::uint64_t kMaxUnitBytes = 32u << 20;
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
// A decoder announces the picture size when it reads the stream's first
// headers, before or soon after it gives that input back; input that has
// not brought the capture side up this long after it was all taken holds no
// picture.
constexpr auto kSetupGrace = std::chrono::seconds(1);
// After a source change the decoder ends the old capture buffers with one
// flagged LAST; one that has not come after this long is not waited for.
constexpr auto kChangeLastLimit = std::chrono::seconds(1);
// Decoders without the drain: once every input is back and no picture came
// for this long (and for four times the longest gap between the pictures
// of this parse), the decoder holds no more of them.
constexpr auto kQuietFloor = std::chrono::milliseconds(250);

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
  std::size_t parseFed = 0;          // guarded by deliverMu: units fed, the trailer included
  bool drainAsked = false;           // guarded by deliverMu
  bool drainEnded = false;           // guarded by deliverMu: the LAST buffer of the asked drain came
  std::uint64_t delivered = 0;       // guarded by deliverMu: pictures of the current parse
  std::uint64_t flagged = 0;         // guarded by deliverMu: pictures of the current parse flagged ERROR
  std::vector<bool> seen;            // guarded by deliverMu: places the decoder gave a picture for
  std::size_t seenCount = 0;         // guarded by deliverMu: places of the caller's units among them
  Clock::duration longestGap{};      // guarded by deliverMu: between two pictures of the current parse
  Clock::time_point lastPicture;     // guarded by deliverMu
  // The capture side: set up and streaming with no source change pending
  // (ready), and whether it ever was.
  bool captureReady = false;         // guarded by deliverMu
  bool everReady = false;            // guarded by deliverMu
  bool settingUp = false;            // guarded by deliverMu: the capture thread builds the capture side
  // The capture thread has a decoded picture to dequeue or in hand.
  std::atomic<bool> pictureInHand{false};
  bool canDrain = true;              // parse thread only (decided at construction)

  // Input buffers not in the decoder (parse thread only).
  std::vector<std::uint32_t> freeInputs;

  mutable std::mutex timingMu;
  Clock::time_point start;        // guarded by timingMu
  std::uint64_t totalMs = 0;      // guarded by timingMu
  std::uint64_t deliveredAll = 0; // guarded by timingMu

  std::uint32_t decCaptureCount = 0;  // capture thread only
  // A source change was taken while the old capture buffers still stream:
  // they end with one flagged LAST, and the capture side is rebuilt then.
  bool changePending = false;          // capture thread only
  Clock::time_point changeSince;       // capture thread only

  void run(V4TVideoParser::Callback& cb);
  void loop(V4TVideoParser::Callback& cb);
  void capPlaneStart(std::uint32_t code);
  void initConverter(const v4l2_format& fmt, std::uint32_t count, std::uint32_t code);
  bool reinitConverter();
  bool handlePicture(V4TVideoParser::Callback& cb, v4l2_buffer& decBuf, NvBuffer* decBuffer);
  void setCaptureReady(bool ready);
  void sourceChange();
  void rebuildCapture();
  bool eventPending();
  void onLast();
  bool convertPicture(V4TVideoParser::Callback& cb, const v4l2_buffer& decBuf, NvBuffer* decBuffer, std::int32_t place,
                      std::uint64_t serial);
  Dequeued dequeueWithin(NvV4l2ElementPlane& plane, v4l2_buffer& b, NvBuffer** buffer, Clock::duration limit);
  bool pipelineIdle();

  int feed(const std::uint8_t* data, std::uint64_t length, int fourcc, const std::vector<V4TVideoParser::Unit>& units);
  bool abandoned(Clock::time_point deadline) const;
  bool takeInputBack(Clock::time_point deadline);
  bool takeAllInputsBack(Clock::time_point deadline);
  bool fitInputs(std::uint64_t largest);
  bool waitCaptureReady(Clock::time_point deadline, bool& none);
  bool waitPicturesOut(Clock::time_point deadline, std::size_t wanted, bool withTrailer);
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
  if (dec->setOutputPlaneFormat(nvv4l2::kFmtH264, static_cast<std::uint32_t>(kInputGrain)) != 0)
    std::fprintf(stderr, "setOutputPlaneFormat(%u, %u) fail\n", nvv4l2::kFmtH264, static_cast<unsigned>(kInputGrain));
  if (dec->output_plane.setupPlane(V4L2_MEMORY_MMAP, kInputBuffers, true, false) != 0)
    std::fprintf(stderr, "setupPlane(%u, ...) fail\n", kInputBuffers);
  for (std::uint32_t i = 0; i < dec->output_plane.getNumBuffers(); ++i) freeInputs.push_back(i);
  if (dec->subscribeEvent(nvv4l2::kEventResolutionChange, 0, 0) != 0)
    printErr("subscribeEvent(V4L2_EVENT_RESOLUTION_CHANGE) fail");
  canDrain = dec->sendCommand(V4L2_DEC_CMD_STOP, /*tryOnly=*/true) == 0;
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
// unit of the running parse and the decoder did not flag it as failed (a
// failed or concealed decode is no picture of its frame), then the decoder
// buffer goes back. False: the converter failed.
bool V4TVideoParserPrivate::handlePicture(V4TVideoParser::Callback& cb, v4l2_buffer& decBuf, NvBuffer* decBuffer) {
  bool ok = true;
  if (decBuffer->planes[0].bytesused > 0) {
    const bool failed = (decBuf.flags & V4L2_BUF_FLAG_ERROR) != 0;
    bool ours;
    std::uint64_t serial;
    std::size_t place = 0;
    std::size_t wanted;
    {
      std::lock_guard lk(deliverMu);
      serial = parseSerial;
      wanted = parseUnits;
      ours = busy && decBuf.timestamp.tv_sec >= 0 && static_cast<std::uint64_t>(decBuf.timestamp.tv_sec) == serial &&
             decBuf.timestamp.tv_usec >= 0 && static_cast<std::size_t>(decBuf.timestamp.tv_usec) < parseFed;
      if (ours) place = static_cast<std::size_t>(decBuf.timestamp.tv_usec);
    }
    if (ours && !failed && place < wanted) {
      ok = convertPicture(cb, decBuf, decBuffer, static_cast<std::int32_t>(place), serial);
      if (!ok && !stop) printErr("cannot get frame");
    }
    // Counted once handed over, so that a parse that ends on the count never
    // ends before the callback ran.
    if (ours) {
      {
        std::lock_guard lk(deliverMu);
        if (parseSerial == serial) {
          const auto now = Clock::now();
          if (seenCount > 0 || flagged > 0) longestGap = std::max(longestGap, now - lastPicture);
          lastPicture = now;
          if (!seen[place]) {
            seen[place] = true;
            if (place < parseUnits) ++seenCount;
          }
          if (failed && place < parseUnits) ++flagged;
        }
      }
      deliverCv.notify_all();
    }
  }
  // Decoder buffers go back even after a converter failure, or the decoder
  // would run dry; the converter is rebuilt before the next picture.
  Request back;
  back.index = decBuf.index;
  const bool requeued = dec->capture_plane.qBuffer(back, nullptr) == 0;
  if (!ok) currentFourcc = 0;
  return ok && requeued;
}

void V4TVideoParserPrivate::setCaptureReady(bool ready) {
  {
    std::lock_guard lk(deliverMu);
    captureReady = ready;
    everReady = everReady || ready;
    settingUp = false;
  }
  deliverCv.notify_all();
}

void V4TVideoParserPrivate::rebuildCapture() {
  changePending = false;
  {
    std::lock_guard lk(deliverMu);
    settingUp = true;
  }
  capPlaneStart(wantedFourcc.load());
  setCaptureReady(dec->capture_plane.getStreamStatus() && dec->capture_plane.getNumBuffers() > 0);
}

// V4L2_EVENT_SOURCE_CHANGE: the capture side must be set up (again). While
// buffers of the old format stream, the decoder still ends them with one
// flagged LAST; the pictures before it belong to the old format.
void V4TVideoParserPrivate::sourceChange() {
  setCaptureReady(false);
  if (dec->capture_plane.getStreamStatus() && dec->capture_plane.getNumBuffers() > 0) {
    changePending = true;
    changeSince = Clock::now();
    return;
  }
  rebuildCapture();
}

bool V4TVideoParserPrivate::eventPending() {
  short revents = 0;
  return devPoll(dec->getFd(), POLLPRI, revents, 0) > 0 && (revents & POLLPRI) != 0;
}

// A buffer flagged LAST ends either the old format's buffers before a source
// change (the change's event is taken or pending then) or a drain.
void V4TVideoParserPrivate::onLast() {
  v4l2_event ev;
  while (!changePending && eventPending()) {
    std::memset(&ev, 0, sizeof ev);
    if (dec->dqEvent(ev, 0) != 0) break;
    if (ev.type == nvv4l2::kEventResolutionChange) sourceChange();
  }
  if (changePending) {
    rebuildCapture();
    return;
  }
  {
    std::lock_guard lk(deliverMu);
    if (drainAsked) drainEnded = true;
  }
  deliverCv.notify_all();
}

void V4TVideoParserPrivate::run(V4TVideoParser::Callback& cb) {
  v4l2_event ev;
  // 1. Nothing can be set up before the decoder knows the picture size.
  while (!stop) {
    std::memset(&ev, 0, sizeof ev);
    if (dec->dqEvent(ev, kFirstEventWaitMs) == 0) {
      if (ev.type == nvv4l2::kEventResolutionChange) break;
    } else if (errno != EAGAIN) {
      printErr("dqEvent() error");
      break;
    }
  }
  if (stop) return;
  rebuildCapture();

  auto backoff = std::chrono::milliseconds(1);
  while (!stop) {
    // a. Events first: a source change rebuilds the capture side, at once
    // or at the old buffers' LAST.
    std::memset(&ev, 0, sizeof ev);
    while (dec->dqEvent(ev, 0) == 0) {
      if (ev.type == nvv4l2::kEventResolutionChange) {
        sourceChange();
        if (stop) return;
      } else {
        printErr("Unknown event");
        break;
      }
    }
    if (changePending && Clock::now() - changeSince > kChangeLastLimit) rebuildCapture();
    // b. Pictures, waited for in slices so that stop is seen.
    for (;;) {
      if (wantedFourcc.load() != currentFourcc && !reinitConverter()) break;
      // An event (2) is handled first: a blocking dequeue would not see it.
      const int ready = dec->capture_plane.pollBuffer(kSliceMs, /*orEvent=*/true);
      if (ready == 0 || ready == 2) break;
      pictureInHand = true;
      Request b;
      b.length = MAX_PLANES;
      NvBuffer* buffer = nullptr;
      if (ready < 0 || dec->capture_plane.dqBuffer(b, &buffer, nullptr, 0) != 0 || !buffer) {
        // The capture side is being rebuilt or failed: back off.
        pictureInHand = false;
        std::this_thread::sleep_for(backoff);
        backoff = std::min(backoff * 2, std::chrono::duration_cast<std::chrono::milliseconds>(kMaxBackoff));
        break;
      }
      // The wanted code may have changed while this thread waited for the
      // picture; convert it the way the running parse asked.
      if (wantedFourcc.load() != currentFourcc) reinitConverter();
      const bool last = (b.flags & V4L2_BUF_FLAG_LAST) != 0;
      const bool handled = handlePicture(cb, b, buffer);
      pictureInHand = false;
      if (handled) {
        backoff = std::chrono::milliseconds(1);
      } else {
        std::this_thread::sleep_for(backoff);
        backoff = std::min(backoff * 2, std::chrono::duration_cast<std::chrono::milliseconds>(kMaxBackoff));
      }
      if (last) onLast();
      if (stop) return;
      if (last) break;
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

V4TVideoParser::V4TVideoParser() : d(new V4TVideoParserPrivate) {
  V4TVideoParserPrivate* p = d;
  p->thread = std::thread([p, this] { p->loop(callback); });
  if (d->dec->output_plane.setStreamStatus(true) != 0) printErr("setStreamStatus(true) fail");
}

V4TVideoParser::~V4TVideoParser() {
  d->closing = true;
  std::lock_guard lk(mutex);
  d->stop = true;
  // The capture thread waits in short slices that look at stop, but a
  // dequeue it starts once a poll said "ready" blocks in the driver: the
  // queue can change in between (a START after a drain takes back the LAST
  // that made the poll ready). Stopping the capture queue wakes such a
  // dequeue, as a driver does; nothing is delivered once closing is set.
  if (d->dec) (void)d->dec->capture_plane.setStreamStatus(false);
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

// Waits until the decoder has given back every input buffer.
bool V4TVideoParserPrivate::takeAllInputsBack(Clock::time_point deadline) {
  while (freeInputs.size() < dec->output_plane.getNumBuffers())
    if (!takeInputBack(deadline)) return false;
  return true;
}

// Gives the input buffers room for a unit of `largest` bytes; done between
// parses, when the decoder holds none of them.
bool V4TVideoParserPrivate::fitInputs(std::uint64_t largest) {
  NvBuffer* buffer = dec->output_plane.getNthBuffer(0);
  if (buffer && buffer->planes[0].length >= largest) return true;
  if (largest > kMaxUnitBytes) return false;
  const std::uint64_t size = (largest + kInputGrain - 1) / kInputGrain * kInputGrain;
  freeInputs.clear();
  dec->output_plane.deinitPlane();
  // A refused size leaves buffers of the old one: this parse fails, later
  // parses of smaller frames still have their inputs.
  const bool sized = dec->setOutputPlaneFormat(nvv4l2::kFmtH264, static_cast<std::uint32_t>(size)) == 0;
  const bool ok = dec->output_plane.setupPlane(V4L2_MEMORY_MMAP, kInputBuffers, true, false) == 0 && sized;
  for (std::uint32_t i = 0; i < dec->output_plane.getNumBuffers(); ++i) freeInputs.push_back(i);
  if (dec->output_plane.setStreamStatus(true) != 0) return false;
  buffer = dec->output_plane.getNthBuffer(0);
  return ok && buffer && buffer->planes[0].length >= largest;
}

// After the input was all taken: waits until the capture side is ready, so
// that the pictures can come out (and a drain can start, which the decoder
// refuses while its capture queue does not stream). none: the input brought
// no picture size within the grace, so it holds no picture.
bool V4TVideoParserPrivate::waitCaptureReady(Clock::time_point deadline, bool& none) {
  none = false;
  const auto graceEnd = Clock::now() + kSetupGrace;
  std::unique_lock lk(deliverMu);
  for (;;) {
    // An event not yet taken is a source change the capture thread is about
    // to handle: the capture side is not ready for what follows it. Neither
    // that nor a set-up under way (which a loaded machine can stretch
    // beyond the grace) means the input brought no picture size.
    lk.unlock();
    const bool pending = eventPending();
    lk.lock();
    if (!pending && captureReady) return true;
    if (!everReady && !settingUp && !pending && Clock::now() >= graceEnd) {
      none = true;
      return true;
    }
    const auto slice = std::min(deadline, Clock::now() + std::chrono::milliseconds(kSliceMs));
    deliverCv.wait_until(lk, slice);
    if (abandoned(deadline)) return false;
  }
}

// Decoders without the drain: every input is back; waits until the decoder
// gave a picture for each of the caller's units, or for the trailing key
// frame (which comes out after every picture before it), or went quiet.
bool V4TVideoParserPrivate::waitPicturesOut(Clock::time_point deadline, std::size_t wanted, bool withTrailer) {
  std::unique_lock lk(deliverMu);
  auto quietSince = Clock::now();
  for (;;) {
    if (seenCount >= wanted || (withTrailer && seen[wanted])) return true;
    // A picture the decoder gave out that the capture thread has not handled
    // yet (a loaded machine can hold that thread back for long) is no
    // silence of the decoder.
    lk.unlock();
    const bool waiting = pictureInHand || dec->capture_plane.pollBuffer(0) == 1;
    lk.lock();
    if (waiting) quietSince = Clock::now();
    const auto since = std::max(quietSince, lastPicture);
    const auto quiet = std::max<Clock::duration>(kQuietFloor, 4 * longestGap);
    if (Clock::now() - since >= quiet) return true;
    const auto slice = std::min({deadline, since + quiet, Clock::now() + std::chrono::milliseconds(kSliceMs)});
    deliverCv.wait_until(lk, slice);
    if (abandoned(deadline)) return false;
  }
}

int V4TVideoParser::parse(const std::uint8_t* data, std::uint64_t length, int fourcc, std::span<const Unit> units) {
  if (d->closing || d->broken) return -1;
  if (!data || length == 0) throw std::logic_error("HWDEC input wrong");
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
  // A decoder that cannot drain gets a key frame after the caller's units:
  // the remainder (the next group's key frame) or, for a group still open,
  // its own key frame again. It pushes the group's last pictures out; its
  // own picture is not one of the caller's units.
  std::vector<V4TVideoParser::Unit> units = given;
  const std::size_t wanted = units.size();
  const std::size_t tail = units.empty() ? 0 : units.back().offset + units.back().size;
  bool withTrailer = false;
  if (!canDrain && tail < length) {
    units.push_back(V4TVideoParser::Unit{tail, static_cast<std::size_t>(length - tail)});
    withTrailer = true;
  } else if (!canDrain && !units.empty()) {
    units.push_back(units.front());
    withTrailer = true;
  }
  std::uint64_t largest = 0;
  for (const auto& u : units) largest = std::max<std::uint64_t>(largest, u.size);

  std::uint64_t serial;
  {
    std::lock_guard lk(deliverMu);
    serial = ++parseSerial;
    parseUnits = wanted;
    parseFed = units.size();
    busy = true;
    drainAsked = false;
    drainEnded = false;
    delivered = 0;
    flagged = 0;
    seen.assign(units.size(), false);
    seenCount = 0;
    longestGap = Clock::duration::zero();
    lastPicture = Clock::now();
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
  if (!fitInputs(largest)) {
    std::fprintf(stderr, "%s: no input buffer for a frame of %llu bytes\n", decName.c_str(),
                 static_cast<unsigned long long>(largest));
    return giveUp(deadline);
  }
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
  // Every unit taken, and the capture side up for what the input announced.
  bool none = false;
  if (!takeAllInputsBack(deadline) || !waitCaptureReady(deadline, none)) return giveUp(deadline);
  if (none) return finish(static_cast<int>(length));
  if (!canDrain) {
    if (!waitPicturesOut(deadline, wanted, withTrailer)) return giveUp(deadline);
    return finish(static_cast<int>(length));
  }
  // The drain: both queues stream now, so the decoder starts it.
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

std::uint64_t V4TVideoParser::lastFlagged() const {
  std::lock_guard lk(d->deliverMu);
  return d->flagged;
}

const std::string& V4TVideoParser::decoderName() const { return d->decName; }
const std::string& V4TVideoParser::converterName() const { return d->convName; }
bool V4TVideoParser::broken() const { return d->broken; }
