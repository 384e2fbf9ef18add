#include "rtsp/packets.h"

#include "rtsp/util.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

namespace {

// RFC 6184 §5.2 NAL unit types of the payload header.
constexpr std::uint8_t kNalIdr = 5;
constexpr std::uint8_t kNalSps = 7;
constexpr std::uint8_t kStapA = 24;
constexpr std::uint8_t kStapB = 25;
constexpr std::uint8_t kMtap16 = 26;
constexpr std::uint8_t kMtap24 = 27;
constexpr std::uint8_t kFuA = 28;
constexpr std::uint8_t kFuB = 29;
constexpr std::array<unsigned char, 4> kStartCode{0, 0, 0, 1};

bool isKeyNal(std::uint8_t type) { return type == kNalIdr || type == kNalSps; }

// Walks the units of a STAP-A payload after its one-byte header
// (RFC 6184 §5.7.1: 16-bit size, then the NAL unit); false on a size of 0
// or one that runs past the end.
template <typename Visit>
bool forEachAggregatedUnit(std::span<const std::uint8_t> units, Visit visit) {
  std::size_t at = 0;
  if (units.empty()) return false;
  while (at < units.size()) {
    if (units.size() - at < 2) return false;
    const std::size_t size = GetUint16(units.data() + at);
    at += 2;
    if (size == 0 || size > units.size() - at) return false;
    visit(units.subspan(at, size));
    at += size;
  }
  return true;
}

}  // namespace

std::optional<RtpHeader> RtpPacket::ReadHeader(std::span<const std::uint8_t> d) {
  if (d.size() < 12 || d.size() > kMaxDatagram) return std::nullopt;
  if ((d[0] >> 6) != 2) return std::nullopt;
  std::size_t start = 12 + 4u * (d[0] & 0x0Fu);
  if (start > d.size()) return std::nullopt;
  if (d[0] & 0x10u) {  // header extension: 16-bit profile, 16-bit length in words
    if (d.size() - start < 4) return std::nullopt;
    const std::size_t words = GetUint16(d.data() + start + 2);
    start += 4;
    if (words * 4 > d.size() - start) return std::nullopt;
    start += words * 4;
  }
  std::size_t end = d.size();
  if (d[0] & 0x20u) {  // padding: the last byte counts the padding bytes
    const std::size_t pad = d.back();
    if (pad == 0 || pad > end - start) return std::nullopt;
    end -= pad;
  }
  RtpHeader h;
  h.marker = (d[1] & 0x80u) != 0;
  h.payloadType = d[1] & 0x7Fu;
  h.sequence = GetUint16(d.data() + 2);
  h.timestamp = GetUint32(d.data() + 4);
  h.ssrc = GetUint32(d.data() + 8);
  h.payloadOffset = static_cast<unsigned>(start);
  h.payloadLength = static_cast<unsigned>(end - start);
  return h;
}

std::unique_ptr<RtpPacket> RtpPacket::CreatePacket(std::span<const std::uint8_t> d, unsigned payloadType,
                                                   CodecType codec) {
  const auto h = ReadHeader(d);
  if (!h || h->payloadType != payloadType) return nullptr;
  std::unique_ptr<RtpPacket> p;
  if (codec == CodecH264) p = std::make_unique<H264RtpPacket>();
  else if (codec == CodecJpeg) p = std::make_unique<JpegRtpPacket>();
  else return nullptr;
  static_cast<RtpHeader&>(*p) = *h;
  return p;
}

RtpReading ReadRtpDatagram(std::span<const std::uint8_t> datagram, unsigned payloadType, CodecType codec,
                           unsigned width, unsigned height) {
  RtpReading out;
  auto p = RtpPacket::CreatePacket(datagram, payloadType, codec);
  if (!p) {
    // Another payload type of the same sender still took a sequence number.
    out.skipped = RtpPacket::ReadHeader(datagram);
    return out;
  }
  if (codec == CodecJpeg) {
    p->width = width;
    p->height = height;
  }
  const auto payload = datagram.subspan(p->payloadOffset, p->payloadLength);
  if (p->Discarded(payload)) {
    out.skipped = static_cast<const RtpHeader&>(*p);
    return out;
  }
  unsigned header = 0;
  if (!p->ParseHeader(payload, header) || header > payload.size()) return out;
  p->data.assign(payload.begin() + header, payload.end());
  out.packet = std::move(p);
  return out;
}

bool H264RtpPacket::Discarded(std::span<const std::uint8_t> payload) const {
  if (payload.empty()) return true;
  const std::uint8_t t = payload[0] & 0x1Fu;
  switch (t) {
    case 0:
    case kStapB:
    case kMtap16:
    case kMtap24:
    case kFuB:
    case 30:
    case 31:
      return true;
    case kStapA:
    case kFuA:
      return false;  // a header without its units is damage
    default:
      return payload.size() == 1;
  }
}

bool H264RtpPacket::ParseHeader(std::span<const std::uint8_t> payload, unsigned& headerSize) {
  if (payload.size() < 2) return false;
  f = payload[0] >> 7;
  nri = (payload[0] >> 5) & 3u;
  type = payload[0] & 0x1Fu;
  if (type >= 1 && type <= 23) {
    keyUnit = isKeyNal(type);
    headerSize = 0;
    return true;
  }
  if (type == kStapA) {
    bool key = false;
    if (!forEachAggregatedUnit(payload.subspan(1), [&](auto unit) { key = key || isKeyNal(unit[0] & 0x1Fu); }))
      return false;
    keyUnit = key;
    headerSize = 1;
    return true;
  }
  if (type == kFuA) {
    fuHeader = payload[1];
    keyUnit = isKeyNal(fuHeader & 0x1Fu);
    headerSize = 2;
    return true;
  }
  return false;
}

bool H264RtpPacket::StartPacket() const {
  if (type == kFuA) return (fuHeader & 0x80u) != 0;
  return true;
}

FrameType H264RtpPacket::GetFrameType() const { return keyUnit ? FRAME_I : FRAME_P; }

bool H264RtpPacket::ParsePayload(std::vector<unsigned char>& frame) const {
  if (type == kStapA) {
    return forEachAggregatedUnit(data, [&](auto unit) {
      frame.insert(frame.end(), kStartCode.begin(), kStartCode.end());
      frame.insert(frame.end(), unit.begin(), unit.end());
    });
  }
  if (type == kFuA) {
    if (fuHeader == 0) return false;
    if (fuHeader & 0x80u) {
      frame.insert(frame.end(), kStartCode.begin(), kStartCode.end());
      frame.push_back(static_cast<unsigned char>(f << 7 | nri << 5 | (fuHeader & 0x1Fu)));
    }
    frame.insert(frame.end(), data.begin(), data.end());
    return true;
  }
  frame.insert(frame.end(), kStartCode.begin(), kStartCode.end());
  frame.insert(frame.end(), data.begin(), data.end());
  return true;
}

//   0                   1                   2                   3
//  | Type-specific |              Fragment Offset                  |
//  |      Type     |       Q       |     Width     |     Height    |
//  then, for types 64-127: | Restart Interval | F|L| Restart Count |
//  then, at offset 0 with Q >= 128: | MBZ | Precision | Length | tables |
//  RFC 2435 §3.1.
bool JpegRtpPacket::ParseHeader(std::span<const std::uint8_t> p, unsigned& headerSize) {
  if (p.size() <= 8) return false;
  offset = std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
  jpegType = p[4];
  q = p[5];
  // A side over 2040 pixels is 0 in the header: the size then comes from
  // the stream's description, set in width and height before the call.
  if (p[6] != 0 && p[7] != 0) {
    width = p[6] * 8u;
    height = p[7] * 8u;
  }
  if (width == 0 || height == 0 || width > 0xFFFF || height > 0xFFFF) return false;
  std::size_t size = 8;
  unsigned restart = 0;
  if (jpegType >= 64 && jpegType <= 127) {
    if (p.size() < size + 4) return false;
    restart = GetUint16(p.data() + size);
    size += 4;
  }
  if (offset == 0) {
    std::vector<unsigned char> tables;
    if (q >= 128) {
      if (p.size() < size + 4) return false;
      const unsigned mbz = p[size];
      const unsigned precision = p[size + 1];
      const std::size_t length = GetUint16(p.data() + size + 2);
      if (mbz != 0) {
        tables = MakeQTables(q);  // not a table header: the bytes are scan data
      } else {
        size += 4;
        if (p.size() < size + length) return false;
        if (length == 0) {
          tables = MakeQTables(q);
        } else {
          // Only 8-bit tables fit the baseline header we write.
          if (precision != 0 || (length != 64 && length != 128)) return false;
          tables.assign(p.begin() + static_cast<std::ptrdiff_t>(size),
                        p.begin() + static_cast<std::ptrdiff_t>(size + length));
        }
        size += length;
      }
    } else {
      tables = MakeQTables(q);
    }
    header = CreateJpegHeader(jpegType, width, height, tables, restart);
  }
  if (size >= p.size()) return false;  // no scan bytes
  headerSize = static_cast<unsigned>(size);
  return true;
}

bool JpegRtpPacket::ParsePayload(std::vector<unsigned char>& frame) const {
  if (frame.empty()) {
    if (header.empty()) return false;  // the frame does not begin at offset 0
    frame.insert(frame.end(), header.begin(), header.end());
  }
  frame.insert(frame.end(), data.begin(), data.end());
  return true;
}

void JpegRtpPacket::FinishFrame(std::vector<unsigned char>& frame) const {
  const std::size_t n = frame.size();
  if (n < 2 || frame[n - 2] != 0xFF || frame[n - 1] != 0xD9) frame.insert(frame.end(), {0xFF, 0xD9});
}

namespace {

// RFC 2435 Appendix A (ITU-T T.81 Table K.1 and K.2), natural order.
constexpr std::array<unsigned char, 64> kLumaQ{
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,  14, 13, 16, 24,  40,  57,
    69, 56, 14, 17, 22,  29,  51,  87,  80, 62, 18, 22, 37,  56,  68,  109, 103, 77, 24, 35,  55,  64,
    81, 104, 113, 92, 49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr std::array<unsigned char, 64> kChromaQ{
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};
// Natural index of each zig-zag position (T.81 Figure A.6).
constexpr std::array<unsigned char, 64> kZigZag{
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// T.81 Annex K.3 standard Huffman tables: 16 code-length counts, symbols.
constexpr std::array<unsigned char, 16> kDcLumaBits{0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr std::array<unsigned char, 16> kDcChromaBits{0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
constexpr std::array<unsigned char, 12> kDcSymbols{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr std::array<unsigned char, 16> kAcLumaBits{0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
constexpr std::array<unsigned char, 162> kAcLumaSymbols{
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07, 0x22, 0x71,
    0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72,
    0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37,
    0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59,
    0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3,
    0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3,
    0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2,
    0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
constexpr std::array<unsigned char, 16> kAcChromaBits{0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
constexpr std::array<unsigned char, 162> kAcChromaSymbols{
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71, 0x13, 0x22,
    0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1,
    0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36,
    0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58,
    0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a,
    0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba,
    0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda,
    0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

void appendHuffman(std::vector<unsigned char>& out, unsigned classAndId, std::span<const unsigned char> bits,
                   std::span<const unsigned char> symbols) {
  out.insert(out.end(), {0xFF, 0xC4, 0x00, static_cast<unsigned char>(3 + 16 + symbols.size()),
                         static_cast<unsigned char>(classAndId)});
  out.insert(out.end(), bits.begin(), bits.end());
  out.insert(out.end(), symbols.begin(), symbols.end());
}

void appendQuant(std::vector<unsigned char>& out, unsigned id, std::span<const std::uint8_t> table) {
  out.insert(out.end(), {0xFF, 0xDB, 0x00, 0x43, static_cast<unsigned char>(id)});
  out.insert(out.end(), table.begin(), table.end());
}

}  // namespace

std::vector<unsigned char> MakeQTables(unsigned q) {
  int factor = 5000;
  if (q != 0) {
    const int clamped = static_cast<int>(std::min(q, 99u));
    factor = q < 50 ? 5000 / clamped : (100 - clamped) * 2;
  }
  std::vector<unsigned char> tables(128);
  for (int i = 0; i < 128; ++i) {
    const int base = i < 64 ? kLumaQ[kZigZag[i]] : kChromaQ[kZigZag[i - 64]];
    tables[i] = static_cast<unsigned char>(std::clamp((base * factor + 50) / 100, 1, 255));
  }
  return tables;
}

std::vector<unsigned char> CreateJpegHeader(unsigned type, unsigned width, unsigned height,
                                            std::span<const std::uint8_t> tables, unsigned restartInterval) {
  std::vector<unsigned char> h{0xFF, 0xD8};
  const std::size_t half = tables.size() > 64 ? tables.size() / 2 : tables.size();
  appendQuant(h, 0, tables.first(half));
  // The chrominance components use table 1; a single table serves them too.
  appendQuant(h, 1, tables.size() > 64 ? tables.subspan(half) : tables.first(half));
  if (restartInterval != 0)
    h.insert(h.end(), {0xFF, 0xDD, 0x00, 0x04, static_cast<unsigned char>(restartInterval >> 8),
                       static_cast<unsigned char>(restartInterval)});
  h.insert(h.end(), {0xFF, 0xC0, 0x00, 0x11, 0x08, static_cast<unsigned char>(height >> 8),
                     static_cast<unsigned char>(height), static_cast<unsigned char>(width >> 8),
                     static_cast<unsigned char>(width), 0x03, 0x00,
                     static_cast<unsigned char>(type % 64 == 0 ? 0x21 : 0x22), 0x00, 0x01, 0x11, 0x01, 0x02, 0x11,
                     0x01});
  appendHuffman(h, 0x00, kDcLumaBits, kDcSymbols);
  appendHuffman(h, 0x10, kAcLumaBits, kAcLumaSymbols);
  appendHuffman(h, 0x01, kDcChromaBits, kDcSymbols);
  appendHuffman(h, 0x11, kAcChromaBits, kAcChromaSymbols);
  h.insert(h.end(), {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x00, 0x00, 0x01, 0x11, 0x02, 0x11, 0x00, 0x3F, 0x00});
  return h;
}

//  |V=2|P|  RC/SC  |      PT       |     length (words - 1)        |
//  RFC 3550 §6.4.1 (SR), §6.5 (SDES), §6.6 (BYE).
std::unique_ptr<RtcpPacket> RtcpPacket::CreatePacket(std::span<const std::uint8_t> d, unsigned& consumed) {
  if (d.size() < 8 || (d[0] >> 6) != 2) return nullptr;
  const unsigned type = d[1];
  const std::size_t size = (std::size_t{GetUint16(d.data() + 2)} + 1) * 4;
  if (size > d.size() || size < 8) return nullptr;
  if (type != kTypeSr && type != kTypeSdes && type != kTypeBye) return nullptr;
  auto p = std::make_unique<RtcpPacket>();
  p->type = static_cast<int>(type);
  if (type == kTypeSr) {
    if (size < 28) return nullptr;
    p->senderSsrc = GetUint32(d.data() + 4);
    p->ntpSeconds = GetUint32(d.data() + 8);
    p->ntpFraction = GetUint32(d.data() + 12);
    p->rtpTimestamp = GetUint32(d.data() + 16);
  } else if (type == kTypeSdes && (d[0] & 0x1Fu) != 0) {
    // The first chunk only; items stop at a 0 type or the packet's end.
    SdesChunk chunk;
    chunk.ssrc = GetUint32(d.data() + 4);
    std::size_t at = 8;
    while (at < size && d[at] != 0) {
      if (size - at < 2 || d[at + 1] > size - at - 2) break;
      chunk.items.push_back({d[at], std::string(reinterpret_cast<const char*>(d.data() + at + 2), d[at + 1])});
      at += 2u + d[at + 1];
    }
    p->chunks.push_back(std::move(chunk));
  }
  consumed = static_cast<unsigned>(size);
  return p;
}

std::vector<unsigned char> BuildReceiverReport(std::uint32_t ownSsrc, std::uint32_t remoteSsrc, std::uint32_t n,
                                               std::uint32_t t, std::uint32_t now, const std::string& hostName) {
  const std::string name = hostName.substr(0, 255);
  const auto length = static_cast<std::uint8_t>(name.size());
  // F: the fraction of a second of T's microseconds in 16 bits, computed as
  // the unit always has (0xFFFF unless (T × 10^6) mod 2^32 < 10^6).
  const double micros = static_cast<double>((std::uint64_t{t} * 1000000u) & 0xFFFFFFFFu);
  const double scaled = micros / 15625.0 * 67108864.0;
  const std::uint32_t f32 = scaled >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(scaled);
  const std::uint32_t f = f32 >> 16;
  const std::size_t sdesBody = (std::size_t{length} + 3 + 3) / 4 * 4;  // type, length, name, 1-4 NULs

  std::vector<unsigned char> r;
  r.reserve(40 + sdesBody);
  r.insert(r.end(), {0x81, 201});
  AddToBuffer(r, static_cast<unsigned short>(7));
  AddToBuffer(r, static_cast<unsigned>(ownSsrc));
  AddToBuffer(r, static_cast<unsigned>(remoteSsrc));
  AddToBuffer(r, 0u);  // fraction lost, cumulative lost
  AddToBuffer(r, static_cast<unsigned short>(((n >> 16) + 1) & 0xFFFFu));
  AddToBuffer(r, static_cast<unsigned short>(n & 0xFFFFu));
  AddToBuffer(r, 0u);  // jitter
  AddToBuffer(r, static_cast<unsigned short>((t + 384) & 0xFFFFu));
  AddToBuffer(r, static_cast<unsigned short>((f * 255) & 0xFFFFu));
  AddToBuffer(r, static_cast<unsigned>((now - t) << 16));
  r.insert(r.end(), {0x81, 202});
  AddToBuffer(r, static_cast<unsigned short>((8 + sdesBody) / 4 - 1));
  AddToBuffer(r, static_cast<unsigned>(ownSsrc));
  r.insert(r.end(), {1, length});
  AddToBuffer(r, name);
  r.resize(40 + sdesBody, 0);
  return r;
}

namespace {

constexpr std::string_view kStatusPrefix = "RTSP/1.0 ";
// A first line that may still become a request line is awaited this long.
constexpr std::size_t kMaxPendingLine = 1024;

bool equalsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// A decimal number of at most 9 digits; nothing else in the value.
bool parseNumber(std::string_view value, unsigned& out) {
  value = trim(value);
  if (value.empty() || value.size() > 9) return false;
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), out);
  return ec == std::errc() && end == value.data() + value.size();
}

// "METHOD uri RTSP/1.0": a request of the server (RFC 2326 §6.1).
bool isRequestLine(std::string_view line) {
  line = trim(line);
  return !line.empty() && std::isupper(static_cast<unsigned char>(line.front())) && line.size() > 9 &&
         line.substr(line.size() - 9) == " RTSP/1.0";
}

}  // namespace

RtspPacket::Cut RtspPacket::Next(std::string_view s, std::unique_ptr<RtspPacket>& packet, unsigned& consumed) {
  consumed = 0;
  if (s.empty()) return Cut::NeedMore;
  if (s.size() < kStatusPrefix.size() && kStatusPrefix.starts_with(s)) return Cut::NeedMore;
  const std::size_t eol = s.find('\n');
  const bool reply = s.starts_with(kStatusPrefix);
  const bool request = !reply && eol != std::string_view::npos && isRequestLine(s.substr(0, eol));
  if (!reply && !request) {
    const std::size_t next = s.find(kStatusPrefix, 1);
    if (next != std::string_view::npos) {
      consumed = static_cast<unsigned>(next);
      return Cut::Skip;
    }
    if (eol == std::string_view::npos && s.size() < kMaxPendingLine) return Cut::NeedMore;
    // Keep a tail that may be the start of the next status line.
    consumed = static_cast<unsigned>(s.size() > kStatusPrefix.size() ? s.size() - kStatusPrefix.size() + 1 : 1);
    return Cut::Skip;
  }

  const std::size_t headerEnd = s.find("\r\n\r\n");
  if (headerEnd == std::string_view::npos) return Cut::NeedMore;
  const std::size_t block = headerEnd + 4;
  unsigned cseq = 0;
  unsigned length = 0;
  bool bad = false;
  std::string_view headers = s.substr(0, headerEnd);
  while (!headers.empty()) {
    const std::size_t end = headers.find('\n');
    const std::string_view line = headers.substr(0, end);
    headers = end == std::string_view::npos ? std::string_view() : headers.substr(end + 1);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = trim(line.substr(0, colon));
    if (equalsNoCase(name, "CSeq") && !parseNumber(line.substr(colon + 1), cseq)) bad = true;
    if (equalsNoCase(name, "Content-Length") && !parseNumber(line.substr(colon + 1), length)) bad = true;
  }
  if (bad || length > kRtspBufferSize - std::min(block, kRtspBufferSize)) {
    consumed = static_cast<unsigned>(block);
    return Cut::Skip;
  }
  const std::size_t total = block + length;
  if (s.size() < total) return Cut::NeedMore;
  consumed = static_cast<unsigned>(total);
  if (request) return Cut::Skip;
  packet = std::make_unique<RtspPacket>();
  packet->text = std::string(s.substr(0, length > 0 ? total : headerEnd));
  packet->cseq = static_cast<int>(cseq);
  packet->contentLength = length;
  return Cut::Reply;
}

std::unique_ptr<RtspPacket> RtspPacket::CreatePacket(std::string_view data, unsigned& consumed) {
  std::unique_ptr<RtspPacket> packet;
  if (Next(data, packet, consumed) != Cut::Reply) return nullptr;
  return packet;
}

bool RtspReplyCutter::Write(std::string_view bytes, std::vector<std::unique_ptr<RtspPacket>>& replies) {
  bool kept = true;
  if (bytes_.size() + bytes.size() > kRtspBufferSize) {
    kept = false;
    bytes_.clear();
    if (bytes.size() > kRtspBufferSize) return false;
  }
  bytes_.append(bytes);
  std::size_t at = 0;
  for (;;) {
    std::unique_ptr<RtspPacket> packet;
    unsigned used = 0;
    const RtspPacket::Cut cut = RtspPacket::Next(std::string_view(bytes_).substr(at), packet, used);
    if (cut == RtspPacket::Cut::NeedMore) break;
    at += used;
    if (cut == RtspPacket::Cut::Reply) replies.push_back(std::move(packet));
  }
  bytes_.erase(0, at);
  return kept;
}
