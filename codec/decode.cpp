#include "codec/decode.h"

#include "capture/cam.h"
#include "codec/decodeseq.h"
#include "codec/parsers.h"
#include "codec/v4tvideoparser.h"
#include "core/threads.h"
#include "core/working.h"
#include "platform/nvv4l2_ext.h"

#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace kovira {

namespace {

// A skipped sequence is reported for the first time and then every this
// many times per camera: a broken device would otherwise print one line per
// group of pictures.
constexpr std::uint64_t kSkipReportEvery = 100;

// What the decoders need of a sequence's first frame, read once.
struct Head {
  FrameType type = FRAME_UNKNOWN;
  int width = 0;
  int height = 0;
};

// The record of the sequence's first frame; none when the camera is gone or
// the store no longer holds the record (it is never dereferenced then).
std::optional<Head> headOf(const FrameSequence& seq) {
  SmartBufferIterator it = storedRecord(seq.cam, seq.first);
  if (!it.valid()) return std::nullopt;
  return Head{it->type, it->width.load(std::memory_order_relaxed), it->height.load(std::memory_order_relaxed)};
}

void reportUnsupported(int cam, FrameType type) {
  std::cout << "[ERROR] cam " << cam << ": " << type << " - unsupported frame type" << std::endl;
}

// A grey frame is the sequence's own copy of its bytes, which was validated
// against the store when it was made (the store itself may have been
// overwritten since): the picture shares that copy instead of copying it
// again. Invalid when the picture would need more bytes than the copy holds.
DecodedFrame rawPicture(const FrameSequence& seq, const Head& head) {
  return DecodedFrame(seq.cam, seq.first, PixelGray8, head.width, head.height, seq.data, seq.size);
}

// The stored frames of an H.264 sequence as units of its byte copy, from
// their records (each knows where it lies after the sequence's start). The
// next key frame the copy may end with is left out. Empty when a record is
// gone or does not fit the copy: the frames can then not be told apart, and
// a picture could be filed under another frame than its own.
std::vector<V4TVideoParser::Unit> unitsOf(const FrameSequence& seq) {
  std::vector<V4TVideoParser::Unit> units;
  units.reserve(seq.frames());
  std::uint8_t* start = nullptr;
  std::uint64_t end = 0;
  for (std::uint32_t n = seq.first; n < seq.end; ++n) {
    SmartBufferIterator it = storedRecord(seq.cam, n);
    if (!it.valid()) return {};
    const FrameBytes bytes = it->liveBytes();
    if (!bytes.present() || bytes.data < bytes.seqStart) return {};
    if (start == nullptr) start = bytes.seqStart;
    const std::uint64_t offset = static_cast<std::uint64_t>(bytes.data - bytes.seqStart);
    if (bytes.seqStart != start || offset < end || offset + bytes.size > seq.size) return {};
    units.push_back(V4TVideoParser::Unit{static_cast<std::size_t>(offset), static_cast<std::size_t>(bytes.size)});
    end = offset + bytes.size;
  }
  return units;
}

// Holds a parser's mutex with a callback installed, and empties the callback
// before the mutex is released on every way out, so it never refers to a
// finished caller's locals.
class ParserSession {
 public:
  ParserSession(V4TVideoParser& parser, V4TVideoParser::Callback cb) : parser_(parser), lock_(parser.mutex) {
    parser_.callback = std::move(cb);
  }
  ~ParserSession() { parser_.callback = nullptr; }
  ParserSession(const ParserSession&) = delete;
  ParserSession& operator=(const ParserSession&) = delete;

 private:
  V4TVideoParser& parser_;
  std::lock_guard<std::mutex> lock_;
};

DecodedFrame decodeOnDemand(Camera& camera, unsigned id) {
  const FrameSequence seq = getSequence(camera, id);
  if (!seq.valid() || id < seq.first || id >= seq.end) return DecodedFrame();
  const std::optional<Head> head = headOf(seq);
  if (!head) return DecodedFrame();
  switch (head->type) {
    case FRAME_I: {
      // A group whose key frame was overwritten, or too long to copy.
      if (!seq.data) return DecodedFrame();
      const std::shared_ptr<V4TVideoParser> parser = hwVideoParser(head->width, head->height, 0);
      if (parser == nullptr) return DecodedFrame();
      DecodedFrame result;
      int count = 0;
      const int limit = static_cast<int>(seq.frames());
      auto keepWanted = [id](unsigned number) { return number == id; };
      auto keep = [](DecodedFrame& target, DecodedFrame& picture) {
        if (picture.isValid()) target = picture;
      };
      const std::vector<V4TVideoParser::Unit> units = unitsOf(seq);
      if (units.empty()) return DecodedFrame();
      int parsed;
      {
        ParserSession session(*parser, [&](int place, int code, V4TVideoParserPlane* planes, int n) {
          _decodeSeqCb(keepWanted, keep, result, seq.cam, seq.first, count, limit, place, code, planes, n);
        });
        parsed = parser->parse(seq.data.get(), seq.size, static_cast<int>(nvv4l2::kFmtAR24), units);
      }
      if (parsed < 0) return DecodedFrame();
      return result;
    }
    case FRAME_GRAY8:
      return rawPicture(seq, *head);
    default:
      reportUnsupported(seq.cam, head->type);
      return DecodedFrame();
  }
}

}  // namespace

Decode::Decode(PictureSink& sink) : recognition(sink) {}

void Decode::operator()() {
  thread_name("kovira: decode");
  while (!stop) {
    const std::chrono::milliseconds pause = pass();
    if (pause.count() > 0) std::this_thread::sleep_for(pause);
  }
}

std::chrono::milliseconds Decode::pass() {
  try {
    return passOnce();
  } catch (const std::exception& e) {
    reportFailure(e.what());
  } catch (...) {
    reportFailure("unknown failure");
  }
  // Whatever failed may fail again at once: pause as if there were nothing
  // to do, and choose the camera afresh.
  turnCamera = 0;
  return kIdlePause;
}

std::chrono::milliseconds Decode::passOnce() {
  if (recognition.queueSize() > kMaxQueued) return kBackPressurePause;
  if (turnCamera == 0 || turnFrames > kTurnFrames) {
    turnCamera = nextUnprocCamera();
    turnFrames = 0;
  }
  if (turnCamera == 0) return kIdlePause;
  FrameSequence seq = findUnprocSeq(turnCamera);
  if (!seq.valid()) {
    watch.idle(turnCamera);
    turnCamera = 0;
    return kIdlePause;
  }
  seq.setFlags(FRAME_DEC);
  if (watch.undecodable(seq)) {
    seq.setFlags(FRAME_SKIP);
    return std::chrono::milliseconds(0);
  }
  if (!seq.data) {
    // The store overwrote the bytes before they could be copied.
    seq.setFlags(FRAME_SKIP);
    return std::chrono::milliseconds(0);
  }
  turnFrames += seq.frames();
  try {
    decode(seq);
  } catch (const std::exception& e) {
    skip(seq, e.what());
  } catch (...) {
    skip(seq, "unknown failure");
  }
  watch.decoded(seq);
  return std::chrono::milliseconds(0);
}

void Decode::reportFailure(const char* what) {
  if (++failures == 1 || failures % kSkipReportEvery == 0)
    std::cout << "[ERROR] decode pass failed (" << what << "), " << failures << " time(s) so far" << std::endl;
}

void Decode::decode(FrameSequence& seq) {
  const std::optional<Head> head = headOf(seq);
  if (!head) {
    skip(seq, "first frame no longer stored");
    return;
  }
  switch (head->type) {
    case FRAME_I:
      decodeH264(seq);
      break;
    case FRAME_GRAY8:
      decodeRAW(seq);
      break;
    default:
      reportUnsupported(seq.cam, head->type);
      break;
  }
}

int Decode::decodeH264(FrameSequence& seq) {
  const std::optional<Head> head = headOf(seq);
  if (!head) {
    skip(seq, "first frame no longer stored");
    return -1;
  }
  if (!seq.data) {
    skip(seq, "no bytes");
    return -1;
  }
  std::shared_ptr<V4TVideoParser> parser;
  try {
    parser = hwVideoParser(head->width, head->height, 0);
  } catch (const std::exception& e) {
    skip(seq, e.what());
    return -1;
  }
  if (parser == nullptr) {
    skip(seq, "no hardware parser for this picture size");
    return -1;
  }

  // Pictures are held until the parse has ended, each in its frame's place:
  // they come in the decoder's output order and go to recognition in the
  // frames' order.
  const int limit = static_cast<int>(seq.frames());
  std::vector<DecodedFrame> pictures(seq.frames());
  int count = 0;
  auto keepAll = [](unsigned) { return true; };
  const unsigned first = seq.first;
  auto collect = [first](std::vector<DecodedFrame>& target, DecodedFrame& picture) {
    if (!picture.isValid()) return;
    DecodedFrame& slot = target[picture.frame - first];
    if (!slot.isValid()) slot = picture;
  };
  const std::vector<V4TVideoParser::Unit> units = unitsOf(seq);
  if (units.empty()) {
    skip(seq, "frame records no longer stored");
    return -1;
  }
  int parsed;
  std::uint64_t flagged;
  {
    ParserSession session(*parser, [&](int place, int code, V4TVideoParserPlane* planes, int n) {
      _decodeSeqCb(keepAll, collect, pictures, seq.cam, seq.first, count, limit, place, code, planes, n);
    });
    parsed = parser->parse(seq.data.get(), seq.size, static_cast<int>(nvv4l2::kFmtNM12), units);
    flagged = parser->lastFlagged();
  }
  if (parsed < 0) {
    // A SIGINT cuts the running parse short (the unit must end at once): the
    // group stays undecoded, but nothing failed, and a decoder error line
    // would say otherwise.
    if (working < 1) {
      seq.setFlags(FRAME_SKIP);
    } else {
      skip(seq, "hardware decoder failed");
    }
    return parsed;
  }
  // A frame without a picture is skipped on its own; the rest of its group
  // is recognised.
  std::uint32_t missing = 0;
  std::uint32_t firstMissing = 0;
  for (std::uint32_t i = 0; i < pictures.size(); ++i) {
    if (pictures[i].isValid()) continue;
    if (missing++ == 0) firstMissing = seq.first + i;
    if (SmartBufferIterator it = storedRecord(seq.cam, seq.first + i); it.valid()) it->setFlags(FRAME_SKIP);
  }
  if (missing > 0) reportMissing(seq, firstMissing, missing, flagged);
  for (DecodedFrame& p : pictures)
    if (p.isValid()) recognition.queueFrame(std::move(p));
  return parsed;
}

void Decode::decodeRAW(FrameSequence& seq) {
  const std::optional<Head> head = headOf(seq);
  if (!head) {
    skip(seq, "first frame no longer stored");
    return;
  }
  DecodedFrame picture = rawPicture(seq, *head);
  if (!picture.isValid()) {
    skip(seq, "grey frame without its bytes");
    return;
  }
  recognition.queueFrame(std::move(picture));
}

void Decode::skip(const FrameSequence& seq, const char* why) {
  seq.setFlags(FRAME_SKIP);
  const std::uint64_t n = ++skipReports[seq.cam];
  if (n == 1 || n % kSkipReportEvery == 0) {
    std::cout << "[ERROR] cam " << seq.cam << ": frames " << seq.first << ".." << seq.end - 1
              << " not decoded (" << why << "), " << n << " sequence(s) skipped so far" << std::endl;
  }
}

void Decode::reportMissing(const FrameSequence& seq, std::uint32_t frame, std::uint32_t missing,
                           std::uint64_t flagged) {
  const std::uint64_t n = ++skipReports[seq.cam];
  if (n == 1 || n % kSkipReportEvery == 0) {
    std::cout << "[ERROR] cam " << seq.cam << ": frame " << frame << " not decoded (the decoder gave no picture for it), "
              << missing << " of frames " << seq.first << ".." << seq.end - 1;
    if (flagged > 0) std::cout << " (" << flagged << " flagged as failed by the decoder)";
    std::cout << ", " << n << " sequence(s) with frames skipped so far" << std::endl;
  }
}

DecodedFrame decodedFrame(Camera& camera, unsigned id) {
  try {
    return decodeOnDemand(camera, id);
  } catch (const std::exception& e) {
    std::cout << "[ERROR] cam " << camera.camid << ": frame " << id << " not decoded (" << e.what() << ")"
              << std::endl;
  } catch (...) {
    std::cout << "[ERROR] cam " << camera.camid << ": frame " << id << " not decoded" << std::endl;
  }
  return DecodedFrame();
}

}  // namespace kovira
