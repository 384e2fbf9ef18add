// Frame assembly: RTP packets of every camera stream, sorted into frames by
// timestamp and marker bit and rebuilt into one encoded picture (an H.264 Annex-B access
// unit or a JPEG file) once a frame has been quiet for 200 ms.
//
// Pure state machine over packets and a clock value given by the caller;
// not thread-safe (the packet buffer holds its RTP mutex around every call).
//
// Per stream, keyed by (owner, SSRC):
//   open frames ── packet of a new timestamp ──▶ new frame (at most 32; the
//   oldest is dropped to make room); a frame ends at its marker packet:
//   packets after it under the same timestamp (senders that stamp several
//   frames alike) are split off as the next frame when it is judged
//   frame: slots indexed by sequence number from its first packet; a frame
//   holds at most kMaxFrameBytes of payload (a packet beyond that marks it
//   oversize and its stored packets are freed at once) and spans at most
//   half the sequence space; an earlier packet inside that span re-bases
//   it, duplicates are discarded
//   (oldest: the first sent, by sequence number, so that B-frames, stamped
//   with their presentation time, still leave in decoding order)
//   oldest frame quiet 200 ms ──▶ judged: complete → delivered; no start or
//   no marker, a gap it cannot tolerate, or oversize → dropped and counted
//   with its reason
//   stream silent 2 s with no open frame ──▶ erased
//
// Per stream, its sequence numbers (times: the packets' arrival at the
// socket, so that a reading thread held back sees no pause the network
// never had):
//   a packet before the next one expected (its frame was judged) ──▶
//   dropped as late, opening no frame; when nothing in order has come for
//   5 frame intervals (at least 200 ms, at most 2 s) it is a sender
//   numbering anew: the stream starts over, waiting for a key frame. A
//   packet of a frame judged lately is held until the next packet: a copy
//   (late) unless that one follows it in sequence, also behind the judged
//   ones (a sender that starts again with the same numbers)
//   a packet of the frame judged last, which was judged without its end,
//   that is no start packet ──▶ late as well: the frame was counted once
//   a packet the receiver leaves out on purpose (Skip: padding only, a unit
//   it does not assemble, another payload type) ──▶ remembered a while: its
//   sequence number is no hole in a frame nor between frames, and its marker
//   bit ends the frame of its timestamp
//
// Per stream, the H.264 reference chain:
//   in step ── a frame dropped, or a gap in sequence numbers between two
//   judged frames (frames lost whole: counted from the timestamp step over
//   the gap and the stream's frame interval) ──▶ waiting for a key frame:
//   whole frames are refused (counted as such), since they may refer to
//   what was lost and a decoder would smear the loss over them
//   ── a key frame (complete, or with a tolerated gap) ──▶ in step
//   A camera's later streams (back from silence, or a new SSRC however
//   soon) begin waiting for a key frame; only its first does not.
#pragma once

#include "capture/frametypes.h"
#include "rtsp/packets.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

struct AssembledFrame {
  FrameType type = FRAME_UNKNOWN;
  unsigned width = 0;   // from the payload headers (JPEG), else 0
  unsigned height = 0;
  std::uint32_t timestamp = 0;
  std::uint32_t ssrc = 0;
  const std::vector<unsigned char>* bytes = nullptr;  // valid during the call
};

class FrameAssembler {
 public:
  // A frame is bounded by its bytes, not its packets: a 5-megapixel JPEG
  // picture or a large H.264 key frame runs to thousands of packets.
  static constexpr std::size_t kMaxFrameBytes = std::size_t{16} << 20;
  // Sequence numbers further apart than this cannot be ordered (RFC 3550
  // numbers wrap at 2^16).
  static constexpr unsigned kMaxFrameSpan = 1u << 15;
  static constexpr std::size_t kMaxOpenFrames = 32;
  static constexpr std::int64_t kQuietMs = 200;
  static constexpr std::int64_t kSilentStreamMs = 2000;
  // Packets missing between two frames: a longer run is a sender that
  // started again, not frames lost on the way. Also how far behind the next
  // expected packet a late one may be.
  static constexpr unsigned kMaxLossRun = 1024;
  // Packets left out on purpose remembered per stream (Skip).
  static constexpr std::size_t kMaxSkipped = 256;
  // Frames counted lost for one gap at most (10 s at 25 frames a second).
  static constexpr unsigned kMaxLostFramesPerGap = 250;
  // The frame interval is learned from timestamp steps up to this (10 s of
  // the 90 kHz video clock); a longer one is a pause, not a frame rate.
  static constexpr std::uint32_t kMaxFrameInterval = 900000;
  // Frames judged since the last gap whose timestamps are kept.
  static constexpr std::size_t kRecentFrames = 16;
  // The last frames judged, across gaps, whose timestamps give the frame
  // interval (it follows a camera that changes its rate within as many
  // frames) and tell a late copy from a sender numbering anew.
  static constexpr std::size_t kJudgedTimes = 16;
  // Steps within a fifth of each other are one step: a camera's clock
  // jitters by a few milliseconds.
  static constexpr unsigned kStepSlack = 5;
  // A gap's timestamp step further than this from a whole number of frame
  // intervals (in intervals) tells nothing: its least is counted.
  static constexpr double kWholeSlack = 0.25;
  // Nothing in order for this many frame intervals (within kQuietMs and
  // kSilentStreamMs): a packet behind the judged ones is a sender numbering
  // anew. A camera at 4 frames a second pauses 250 ms between frames.
  static constexpr unsigned kRenumberIntervals = 5;
  // Frames lost whole in a gap are counted once this many frames after it
  // have been judged (or at the next gap, or when the stream ends).
  static constexpr std::size_t kSettleFrames = 8;

  enum class Drop {
    Incomplete,  // no start or marker packet, or pushed out by newer frames
    Gap,         // more missing packets than the frame can tolerate
    Oversize,    // more than kMaxFrameBytes of payload
    Missing,     // never arrived: a gap in sequence numbers between two frames (packets 0)
    AfterLoss,   // arrived whole but refused: it follows a loss and precedes the next key frame
    Late,        // a packet of a frame already judged (packets 1, frames 0)
  };
  struct Sink {
    // A complete frame of the stream of owner.
    std::function<void(const void* owner, const AssembledFrame&)> frame;
    // Frames given up: the packets they had, why, and how many frames (1;
    // Missing: the frames lost whole in the gap; Late: 0).
    std::function<void(const void* owner, unsigned packets, Drop why, unsigned frames)> dropped;
  };

  explicit FrameAssembler(Sink sink) : sink_(std::move(sink)) {}

  // Stores a packet whose data is set; false when it was discarded
  // (duplicate, outside its frame's span, its frame oversize).
  bool Add(const void* owner, std::unique_ptr<RtpPacket> packet, std::int64_t nowMs);
  // A well-formed packet whose payload is not stored: it still took a
  // sequence number of its sender. Counts only for a stream that exists.
  void Skip(const void* owner, std::uint32_t ssrc, std::uint16_t sequence, std::uint32_t timestamp, bool marker,
            std::int64_t nowMs);
  // Judges the oldest frame of every stream that has been quiet long
  // enough; true when a frame was judged or a stream erased.
  bool Collect(std::int64_t nowMs);

  std::size_t streams() const { return streams_.size(); }
  std::size_t openFrames() const;

  // A copy of the open frames, for the buffer page.
  struct PacketView {
    std::uint16_t sequence = 0;
    unsigned length = 0;  // payload length
    bool marker = false;
  };
  struct FrameView {
    std::uint32_t timestamp = 0;
    std::int64_t lastUpdate = 0;
    unsigned count = 0;
    // Marker sequence - slot 0 sequence + 1 (mod 2^16); 0 without a marker
    // packet or a slot-0 packet.
    unsigned expected = 0;
    std::size_t bytes = 0;
    bool hasSlots = false;
    bool oversize = false;
    std::vector<PacketView> packets;  // the filled slots
  };
  struct StreamView {
    const void* owner = nullptr;
    std::uint32_t ssrc = 0;
    std::vector<FrameView> frames;
  };
  std::vector<StreamView> Snapshot() const;

 private:
  struct Frame {
    std::uint32_t timestamp = 0;
    std::int64_t lastUpdate = 0;
    std::uint16_t base = 0;  // sequence number of slot 0
    std::uint16_t last = 0;  // highest sequence number received
    unsigned count = 0;
    std::size_t bytes = 0;  // payload bytes stored
    bool oversize = false;  // went over kMaxFrameBytes: slots freed, packets counted only
    std::vector<std::unique_ptr<RtpPacket>> slots;
  };
  struct Skipped {
    std::uint16_t sequence = 0;
    std::uint32_t timestamp = 0;
    bool marker = false;
  };
  struct Stream {
    std::vector<Frame> frames;
    std::int64_t lastDatagram = 0;
    std::int64_t lastInOrder = 0;  // when the last packet that was not late came
    std::uint16_t newest = 0;      // the highest sequence number not late (wherever it jumped)
    // Where the last judged frame ended: nextSeq follows its last packet;
    // clean when that was its marker packet (the frame's true end).
    bool judged = false;
    std::uint16_t nextSeq = 0;
    bool endedClean = false;
    bool awaitKey = false;  // a loss happened since the last key frame
    // A packet behind the judged ones, of a frame judged lately, after a
    // pause: a copy, or the first of a sender that starts again with the
    // same numbers (see late).
    std::unique_ptr<RtpPacket> held;
    std::int64_t heldAt = 0;
    std::deque<Skipped> skipped;  // at or after nextSeq, oldest first; at most kMaxSkipped
    // Timestamps of the frames judged since the last gap, in decoding order
    // (at most kRecentFrames).
    std::deque<std::uint32_t> recent;
    // Timestamps of the last frames judged, gaps or not, in decoding order
    // (at most kJudgedTimes).
    std::deque<std::uint32_t> judgedTimes;
    // The last gap's frames lost whole, until counted (see settleLoss).
    struct Loss {
      double frames = 0;  // the timestamp step in frames, less the offset of the frame before the gap
      unsigned least = 0;
      unsigned most = 0;
      std::uint32_t interval = 0;  // the frame interval it was measured in
    };
    std::optional<Loss> loss;
  };
  using Key = std::pair<const void*, std::uint32_t>;

  enum class Order {
    InOrder,  // to be stored
    Late,     // its frame was judged already: reported as late
    Held,     // a copy or a sender's new first packet: the next packet tells
  };
  Order late(const void* owner, Stream& stream, const RtpPacket& packet, std::int64_t nowMs);
  // Places a packet that is not late into its open frame.
  bool store(const void* owner, Stream& stream, std::unique_ptr<RtpPacket> packet, std::int64_t nowMs);
  // The sender numbers anew from sequence: the stream waits for a key frame.
  void renumber(const void* owner, Stream& stream, std::uint16_t sequence);
  // Whether packet is a straggler of the frame judged last, which was
  // judged without its end.
  static bool endOfJudged(const Stream& stream, const RtpPacket& packet);
  // The frame interval in timestamp ticks: the most common step between the
  // last frames judged in presentation order (0: not known).
  static std::uint32_t frameInterval(const Stream& stream);
  // How long nothing in order makes a packet behind the judged ones a
  // sender numbering anew.
  static std::int64_t renumberWaitMs(const Stream& stream);
  // Splits what follows the frame's end (its marker at index end) off as
  // the next open frame of the stream.
  static void splitAfter(Stream& stream, Frame& frame, std::size_t end);
  // Whether sequence lies before the next packet expected (its frame judged).
  static bool behindJudged(const Stream& stream, std::uint16_t sequence);
  // A packet in order: the stream's newest sequence number and its time.
  static void inOrder(Stream& stream, std::uint16_t sequence, std::int64_t nowMs);
  void judge(const void* owner, Stream& stream, Frame& frame);
  // Whether sequence was left out on purpose (Skip).
  static bool skippedAt(const Stream& stream, std::uint16_t sequence);
  // A gap of missing packets before a frame of timestamp (started: its
  // start packet arrived): the frames lost whole in it, counted now when the
  // stream's frame interval is not known, else once settleLoss tells them.
  void openLoss(const void* owner, Stream& stream, std::uint32_t timestamp, unsigned missing, bool started) const;
  void settleLoss(const void* owner, Stream& stream) const;
  // Delivers a complete frame, or refuses it while the stream waits for a
  // key frame.
  void deliver(const void* owner, Stream& stream, unsigned packets, const AssembledFrame& out);
  void report(const void* owner, unsigned packets, Drop why, unsigned frames = 1) const;
  static std::size_t oldest(const std::vector<Frame>& frames);

  Sink sink_;
  std::map<Key, Stream> streams_;
  std::set<const void*> seen_;  // owners that have had a stream
  std::vector<unsigned char> bytes_;  // reused for every frame
};

// Picture size from the first sequence parameter set of an Annex-B access
// unit (emulation prevention bytes removed first); false when it has none or
// it does not parse.
bool FindSpsPictureSize(std::span<const std::uint8_t> accessUnit, unsigned& width, unsigned& height,
                        unsigned& chroma_format_idc);
