// Test helpers: RTP datagrams built by hand and a frame assembler driven
// by a clock the test sets.
#pragma once

#include "rtsp/assembly.h"
#include "rtsp/packets.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>
#include <vector>

namespace rtsptest {

using Bytes = std::vector<std::uint8_t>;

inline Bytes rtp(std::uint16_t seq, std::uint32_t ts, bool marker, const Bytes& payload, std::uint32_t ssrc = 0x1234,
                 std::uint8_t pt = 96) {
  Bytes d{0x80, static_cast<std::uint8_t>((marker ? 0x80 : 0) | pt), static_cast<std::uint8_t>(seq >> 8),
          static_cast<std::uint8_t>(seq)};
  for (int s = 24; s >= 0; s -= 8) d.push_back(static_cast<std::uint8_t>(ts >> s));
  for (int s = 24; s >= 0; s -= 8) d.push_back(static_cast<std::uint8_t>(ssrc >> s));
  d.insert(d.end(), payload.begin(), payload.end());
  return d;
}

// A packet ready for assembly (payload header parsed, data stored), or null.
inline std::unique_ptr<RtpPacket> packet(const Bytes& datagram, CodecType codec, std::uint8_t pt = 96) {
  return ReadRtpDatagram(datagram, pt, codec).packet;
}

// Annex-B bytes with every 3-byte start code written in 4 bytes, as the
// receiver delivers access units.
inline Bytes fourByteStartCodes(std::span<const std::uint8_t> b) {
  Bytes out;
  for (std::size_t k = 0; k < b.size(); ++k) {
    if (k + 2 < b.size() && b[k] == 0 && b[k + 1] == 0 && b[k + 2] == 1 && (k == 0 || b[k - 1] != 0)) out.push_back(0);
    out.push_back(b[k]);
  }
  return out;
}

inline std::string writeFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return path.string();
}

struct Delivered {
  const void* owner;
  FrameType type;
  unsigned width, height;
  std::uint32_t timestamp;
  Bytes bytes;
};

// An assembler that records what it delivers and drops.
struct Recorder {
  std::vector<Delivered> frames;
  unsigned dropped = 0;
  unsigned gapPackets = 0;
  unsigned oversize = 0;
  unsigned missing = 0;    // whole frames lost between two frames
  unsigned afterLoss = 0;  // whole frames refused while waiting for a key frame
  unsigned late = 0;       // packets after their frame was judged
  FrameAssembler assembler{FrameAssembler::Sink{
      [this](const void* o, const AssembledFrame& f) {
        frames.push_back({o, f.type, f.width, f.height, f.timestamp, *f.bytes});
      },
      [this](const void*, unsigned packets, FrameAssembler::Drop why, unsigned n) {
        dropped += why == FrameAssembler::Drop::Missing ? n : 1;
        if (why == FrameAssembler::Drop::Gap) gapPackets += packets;
        if (why == FrameAssembler::Drop::Oversize) ++oversize;
        if (why == FrameAssembler::Drop::Missing) missing += n;
        if (why == FrameAssembler::Drop::AfterLoss) ++afterLoss;
        if (why == FrameAssembler::Drop::Late) ++late;
      }}};

  bool add(const Bytes& datagram, CodecType codec, std::int64_t now, const void* owner = nullptr) {
    auto p = packet(datagram, codec);
    return p && assembler.Add(owner, std::move(p), now);
  }
  // A datagram of payload type 96 as the packet buffer takes it: stored,
  // or accounted for as left out on purpose.
  void receive(const Bytes& datagram, CodecType codec, std::int64_t now) {
    auto read = ReadRtpDatagram(datagram, 96, codec);
    if (read.skipped)
      assembler.Skip(nullptr, read.skipped->ssrc, read.skipped->sequence, read.skipped->timestamp,
                     read.skipped->marker, now);
    else if (read.packet)
      assembler.Add(nullptr, std::move(read.packet), now);
  }
  // Judges everything that is quiet at now.
  void collect(std::int64_t now) {
    while (assembler.Collect(now)) {
    }
  }
};

}  // namespace rtsptest
