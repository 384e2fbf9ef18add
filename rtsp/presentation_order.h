// Presentation order of a raw H.264 stream (Annex-B, no container times):
// how many frames each access unit's picture is shown after (or before) its
// place in decoding order, from its picture order count (ITU-T H.264 8.2.1).
// A raw file is paced in decoding order; with B-frames the picture of the
// third unit may be the one shown first, and a frame stamped with its
// decoding slot would carry another picture's time.
//
//   PresentationOrder      the bookkeeping: counts in, frames out (pure)
//   H264PresentationOrder  reads each unit's count with libavcodec's H.264
//                          parser (which follows the count's wrap and all
//                          three count types) and feeds the bookkeeping
//
// Neither is thread-safe; one object per play of a file, fed every unit in
// decoding order.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

struct AVCodecContext;
struct AVCodecParserContext;

class PresentationOrder {
 public:
  // x264, like most encoders, counts two per frame (one per field); a stream
  // that counts one per frame shows it with its first odd difference.
  static constexpr std::int64_t kInitialStep = 2;
  // A picture is shown at most this many frames away from its decoding slot
  // (a decoder holds at most 16 frames). A count further off does not step
  // by frames as assumed: that unit keeps its decoding slot.
  static constexpr std::int64_t kMaxDistanceFrames = 16;

  // Frames from the unit's decoding slot (decodeIndex: 0 for the play's first
  // unit, one more for each unit after it) to its presentation slot. An IDR
  // picture starts the count again: every picture before it in decoding
  // order is shown before it, so it is shown in its own slot, and the count
  // of the pictures after it is measured from it. Before the first IDR the
  // first unit given stands in for it.
  std::int64_t Distance(std::int64_t decodeIndex, std::int64_t poc, bool idr);

 private:
  bool anchored_ = false;
  std::int64_t anchorSlot_ = 0;  // presentation slot of the picture of count anchorPoc_
  std::int64_t anchorPoc_ = 0;
  std::int64_t step_ = kInitialStep;  // count difference of consecutive frames
};

class H264PresentationOrder {
 public:
  // Throws std::runtime_error when libavcodec has no H.264 parser.
  H264PresentationOrder();
  ~H264PresentationOrder();
  H264PresentationOrder(const H264PresentationOrder&) = delete;
  H264PresentationOrder& operator=(const H264PresentationOrder&) = delete;

  // PresentationOrder::Distance of one whole access unit in Annex-B form;
  // 0 for a unit without a slice.
  std::int64_t Distance(std::span<const std::uint8_t> unit, std::int64_t decodeIndex);

 private:
  struct ParserClose {
    void operator()(AVCodecParserContext* p) const;
  };
  struct ContextFree {
    void operator()(AVCodecContext* c) const;
  };

  std::unique_ptr<AVCodecParserContext, ParserClose> parser_;
  std::unique_ptr<AVCodecContext, ContextFree> context_;  // written by the parser, never read
  std::vector<std::uint8_t> padded_;  // the unit with the zeroed tail the parser may read into
  PresentationOrder order_;
};
