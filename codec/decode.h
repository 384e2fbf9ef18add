// The decode stage: cuts unprocessed frame sequences from the cameras' frame
// stores, decodes them and hands the pictures to a sink (the recognition stage).
//
// The decode thread (operator(), "kovira: decode") serves the most congested
// camera for a turn of up to 26 frames, then chooses again; it holds back
// while more than 25 pictures wait for recognition. H.264 groups go through
// the shared hardware parser of their picture size (codec/parsers.h), grey
// frames are copied as they are. Every stored frame goes to the decoder on
// its own and its picture comes back named after it, so a reading can never
// land on another frame than its own; a frame the decoder gives no picture
// for is marked skipped and the rest of its group is recognised.
//
// Lifetime: the program builds it over the recognition stage, runs operator() on
// its own thread, sets `stop` at shut-down and joins. No exception leaves
// the thread: a sequence that cannot be decoded is reported and skipped.
//
// decodedFrame decodes one stored frame on demand for the frame view; it
// runs on HTTP threads, concurrently with the decode thread (they share the
// parsers, each holding a parser's mutex for one parse), and never throws.
#pragma once

#include "capture/sequence.h"
#include "codec/decodedframe.h"
#include "codec/picture_sink.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>

namespace kovira {

class Camera;

class Decode {
 public:
  // More waiting pictures than this hold the decode thread back.
  static constexpr std::uint32_t kMaxQueued = 25;
  // A camera keeps its turn until more frames than this were taken.
  static constexpr std::uint32_t kTurnFrames = 25;
  static constexpr std::chrono::milliseconds kBackPressurePause{25};
  static constexpr std::chrono::milliseconds kIdlePause{100};

  explicit Decode(PictureSink& sink);
  Decode(const Decode&) = delete;
  Decode& operator=(const Decode&) = delete;

  // Thread body; returns once it finds `stop` set.
  void operator()();
  // One pass of the thread body: at most one sequence taken and decoded.
  // Returns the pause to take before the next pass (zero: go on at once).
  // Never throws: a failure is reported and the pass ends idle.
  std::chrono::milliseconds pass();

  // Decodes one taken sequence by the type of its first frame.
  void decode(FrameSequence& seq);
  // Queues one picture per frame of an H.264 group; returns the parser's
  // result (input bytes, or -1; -1 also when no parser could be had).
  int decodeH264(FrameSequence& seq);
  // Queues the single frame of a raw grey sequence.
  void decodeRAW(FrameSequence& seq);

  std::atomic<bool> stop{false};

 private:
  std::chrono::milliseconds passOnce();
  // Marks the sequence skipped and reports it (rate-limited per camera).
  void skip(const FrameSequence& seq, const char* why);
  // Reports the frames of a group the decoder gave no picture for, starting
  // with `frame`, and how many of their pictures it flagged as failed (at
  // most one line per group, rate-limited as skip).
  void reportMissing(const FrameSequence& seq, std::uint32_t frame, std::uint32_t missing, std::uint64_t flagged);
  // Reports a pass that failed before it had a sequence (rate-limited).
  void reportFailure(const char* what);

  PictureSink& recognition;
  // Decode thread only.
  int turnCamera = 0;
  std::uint32_t turnFrames = 0;
  std::map<int, std::uint64_t> skipReports;  // skipped sequences per camera
  std::uint64_t failures = 0;                // passes that failed
};

// The stored frame `id` of the camera decoded on demand: a B, G, R, A picture
// (format 2) for H.264 frames, the frame's bytes (format 0) for grey frames;
// the invalid picture when that is not possible.
DecodedFrame decodedFrame(Camera& camera, unsigned id);

}  // namespace kovira
