// libFuzzer entry: datagrams (2-byte big-endian length, then the bytes) read
// as RTP of the codec chosen by the first input byte, stored into frames (or
// accounted for as left out) and judged on a clock that the input advances.
// Checks the assembler's bounds.
#include "rtsp/assembly.h"
#include "rtsp/packets.h"

#include <cstdint>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const CodecType codec = (data[0] & 1) ? CodecJpeg : CodecH264;
  std::size_t delivered = 0;
  FrameAssembler assembler(FrameAssembler::Sink{
      [&](const void*, const AssembledFrame& f) {
        if (f.bytes == nullptr) __builtin_trap();
        ++delivered;
      },
      [](const void*, unsigned, FrameAssembler::Drop, unsigned) {}});
  std::span<const std::uint8_t> rest(data + 1, size - 1);
  std::int64_t now = 0;
  while (rest.size() >= 2) {
    const std::size_t n = std::min<std::size_t>(rest[0] << 8 | rest[1], rest.size() - 2);
    const auto datagram = rest.subspan(2, n);
    rest = rest.subspan(2 + n);
    if (datagram.size() < 2) continue;
    auto read = ReadRtpDatagram(datagram, datagram[1] & 0x7Fu, codec);
    now += datagram.back() & 0x3F;
    if (read.skipped) {
      const RtpHeader& h = *read.skipped;
      if (h.payloadOffset + h.payloadLength > datagram.size()) __builtin_trap();
      assembler.Skip(nullptr, h.ssrc, h.sequence, h.timestamp, h.marker, now);
      continue;
    }
    if (!read.packet) continue;
    if (read.packet->payloadOffset + read.packet->payloadLength > datagram.size()) __builtin_trap();
    assembler.Add(nullptr, std::move(read.packet), now);
    if (assembler.openFrames() > FrameAssembler::kMaxOpenFrames) __builtin_trap();
    while (assembler.Collect(now)) {
    }
  }
  while (assembler.Collect(now + 10000)) {
  }
  if (assembler.openFrames() != 0) __builtin_trap();
  return 0;
}
