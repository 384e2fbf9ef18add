// Frame assembly: RTP packets of every camera stream, sorted into frames by
// timestamp and rebuilt into one encoded picture (an H.264 Annex-B access
// unit or a JPEG file) once a frame has been quiet for 200 ms.
//
// Pure state machine over packets and a clock value given by the caller;
// not thread-safe (the packet buffer holds its RTP mutex around every call).
//
// Per stream, keyed by (owner, SSRC):
//   open frames ── packet of a new timestamp ──▶ new frame (at most 32; the
//   oldest is dropped to make room)
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
// Per stream, the H.264 reference chain:
//   in step ── a frame dropped, or a gap in sequence numbers between two
//   judged frames (whole frames lost: counted as one) ──▶ waiting for a key
//   frame: whole frames are refused (counted as such), since they may
//   refer to what was lost and a decoder would smear the loss over them
//   ── a key frame (complete, or with a tolerated gap) ──▶ in step
//   A stream erased for silence comes back waiting for a key frame.
#pragma once

#include "capture/frametypes.h"
#include "rtsp/packets.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
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
  // started again, not frames lost on the way.
  static constexpr unsigned kMaxLossRun = 1024;

  enum class Drop {
    Incomplete,  // no start or marker packet, or pushed out by newer frames
    Gap,         // more missing packets than the frame can tolerate
    Oversize,    // more than kMaxFrameBytes of payload
    Missing,     // never arrived: a gap in sequence numbers between two frames (packets 0)
    AfterLoss,   // arrived whole but refused: it follows a loss and precedes the next key frame
  };
  struct Sink {
    // A complete frame of the stream of owner.
    std::function<void(const void* owner, const AssembledFrame&)> frame;
    // A frame given up: the packets it had and why.
    std::function<void(const void* owner, unsigned packets, Drop why)> dropped;
  };

  explicit FrameAssembler(Sink sink) : sink_(std::move(sink)) {}

  // Stores a packet whose data is set; false when it was discarded
  // (duplicate, outside its frame's span, its frame oversize).
  bool Add(const void* owner, std::unique_ptr<RtpPacket> packet, std::int64_t nowMs);
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
  struct Stream {
    std::vector<Frame> frames;
    std::int64_t lastDatagram = 0;
    // Where the last judged frame ended: nextSeq follows its last packet;
    // clean when that was its marker packet (the frame's true end).
    bool judged = false;
    std::uint16_t nextSeq = 0;
    bool endedClean = false;
    bool awaitKey = false;  // a loss happened since the last key frame
  };
  using Key = std::pair<const void*, std::uint32_t>;

  void judge(const void* owner, Stream& stream, Frame& frame);
  // Delivers a complete frame, or refuses it while the stream waits for a
  // key frame.
  void deliver(const void* owner, Stream& stream, unsigned packets, const AssembledFrame& out);
  void report(const void* owner, unsigned packets, Drop why) const;
  static std::size_t oldest(const std::vector<Frame>& frames);

  Sink sink_;
  std::map<Key, Stream> streams_;
  std::set<const void*> silenced_;  // owners whose stream was erased for silence
  std::vector<unsigned char> bytes_;  // reused for every frame
};

// Picture size from the first sequence parameter set of an Annex-B access
// unit (emulation prevention bytes removed first); false when it has none or
// it does not parse.
bool FindSpsPictureSize(std::span<const std::uint8_t> accessUnit, unsigned& width, unsigned& height,
                        unsigned& chroma_format_idc);
