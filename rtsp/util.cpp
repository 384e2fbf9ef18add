#include "rtsp/util.h"

#include "rtsp/h264_nal.h"

extern "C" {
#include <libavutil/md5.h>
}

#include <boost/date_time/posix_time/posix_time.hpp>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// getaddrinfo over IPv4 only; the list is freed on every path.
std::vector<in_addr> resolve(const std::string& host) {
  std::vector<in_addr> out;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* list = nullptr;
  if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) return out;
  for (const addrinfo* a = list; a != nullptr; a = a->ai_next)
    if (a->ai_family == AF_INET) out.push_back(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr);
  ::freeaddrinfo(list);
  return out;
}

sockaddr_in makeAddress(in_addr ip, unsigned port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr = ip;
  return addr;
}

// An H.264 scaling list of size entries: only the bits are walked.
void skipScalingList(std::span<const std::uint8_t> sps, int& pos, int size) {
  std::int64_t last = 8;
  std::int64_t next = 8;
  for (int j = 0; j < size && next != 0; ++j) {
    next = ((last + ReadSE(sps, pos)) % 256 + 256) % 256;
    if (next != 0) last = next;
  }
}

bool overran(std::span<const std::uint8_t> bytes, int pos) {
  return static_cast<std::size_t>(pos) > bytes.size() * 8;
}

}  // namespace

std::string Base64Encode(const std::string& bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::optional<std::string> Base64Decode(const std::string& text) {
  std::size_t end = text.size();
  while (end > 0 && text[end - 1] == '=' && text.size() - end < 2) --end;
  // Padding only completes a group of four.
  if (end != text.size() && text.size() % 4 != 0) return std::nullopt;
  if (end % 4 == 1) return std::nullopt;
  std::string out;
  out.reserve(end * 3 / 4);
  unsigned acc = 0;
  int bits = 0;
  for (std::size_t i = 0; i < end; ++i) {
    const int v = base64Value(text[i]);
    if (v < 0) return std::nullopt;
    acc = (acc << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

std::string Md5(const std::string& bytes) {
  std::array<std::uint8_t, 16> digest{};
  av_md5_sum(digest.data(), reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  std::string hex;
  char two[3];
  for (std::uint8_t b : digest) {
    std::snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  return hex;
}

bool GetAddress(const std::string& host, unsigned port, sockaddr_in& addr) {
  const std::vector<in_addr> ips = resolve(host);
  if (ips.empty()) return false;
  addr = makeAddress(ips.back(), port);
  return true;
}

void GetAddresses(const std::string& host, unsigned port, std::vector<sockaddr_in>& out) {
  for (in_addr ip : resolve(host)) out.push_back(makeAddress(ip, port));
}

void AddToBuffer(std::vector<unsigned char>& buf, const char* data, unsigned size) {
  buf.insert(buf.end(), data, data + size);
}
void AddToBuffer(std::vector<unsigned char>& buf, const std::vector<unsigned char>& data) {
  buf.insert(buf.end(), data.begin(), data.end());
}
void AddToBuffer(std::vector<unsigned char>& buf, const std::string& data) {
  buf.insert(buf.end(), data.begin(), data.end());
}
void AddToBuffer(std::vector<unsigned char>& buf, unsigned short value) {
  buf.push_back(static_cast<unsigned char>(value >> 8));
  buf.push_back(static_cast<unsigned char>(value));
}
void AddToBuffer(std::vector<unsigned char>& buf, unsigned int value) {
  for (int shift = 24; shift >= 0; shift -= 8) buf.push_back(static_cast<unsigned char>(value >> shift));
}

std::uint16_t GetUint16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }
std::uint32_t GetUint32(const unsigned char* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}
std::uint64_t GetUint64(const unsigned char* p) { return std::uint64_t{GetUint32(p)} << 32 | GetUint32(p + 4); }

unsigned ReadBit(std::span<const std::uint8_t> bytes, int& pos) {
  const std::size_t at = static_cast<std::size_t>(pos);
  ++pos;
  if (at >= bytes.size() * 8) return 0;
  return (bytes[at / 8] >> (7 - at % 8)) & 1u;
}

unsigned ReadBits(int n, std::span<const std::uint8_t> bytes, int& pos) {
  unsigned value = 0;
  for (int i = 0; i < n && i < 32; ++i) value = (value << 1) | ReadBit(bytes, pos);
  return value;
}

unsigned ReadExponentialGolombCode(std::span<const std::uint8_t> bytes, int& pos) {
  int zeros = 0;
  while (zeros < 32 && ReadBit(bytes, pos) == 0) ++zeros;
  const std::uint64_t value = (std::uint64_t{1} << zeros) - 1 + ReadBits(zeros, bytes, pos);
  return static_cast<unsigned>(value);
}

int ReadSE(std::span<const std::uint8_t> bytes, int& pos) {
  const unsigned k = ReadExponentialGolombCode(bytes, pos);
  if (k & 1u) return static_cast<int>((std::uint64_t{k} + 1) / 2);  // 2^31 wraps: a hostile code
  return -static_cast<int>(k / 2);
}

// ITU-T H.264 7.3.2.1.1: only the fields up to frame cropping are read.
bool ParseSps(std::span<const std::uint8_t> sps, unsigned& width, unsigned& height, unsigned& chroma_format_idc) {
  if (sps.size() < 4) return false;
  const unsigned profile = sps[0];
  int pos = 24;
  ReadExponentialGolombCode(sps, pos);  // seq_parameter_set_id
  unsigned chroma = 1;                  // 4:2:0 unless the profile says otherwise
  bool chromaPresent = false;
  bool separatePlanes = false;
  switch (profile) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: {
      chromaPresent = true;
      chroma = ReadExponentialGolombCode(sps, pos);
      if (chroma > 3) return false;
      if (chroma == 3) separatePlanes = ReadBit(sps, pos) != 0;
      ReadExponentialGolombCode(sps, pos);  // bit_depth_luma_minus8
      ReadExponentialGolombCode(sps, pos);  // bit_depth_chroma_minus8
      ReadBit(sps, pos);                    // qpprime_y_zero_transform_bypass_flag
      if (ReadBit(sps, pos)) {              // seq_scaling_matrix_present_flag
        const int lists = chroma == 3 ? 12 : 8;
        for (int i = 0; i < lists && !overran(sps, pos); ++i)
          if (ReadBit(sps, pos)) skipScalingList(sps, pos, i < 6 ? 16 : 64);
      }
      break;
    }
    default:
      break;
  }
  ReadExponentialGolombCode(sps, pos);  // log2_max_frame_num_minus4
  const unsigned pocType = ReadExponentialGolombCode(sps, pos);
  if (pocType == 0) {
    ReadExponentialGolombCode(sps, pos);
  } else if (pocType == 1) {
    ReadBit(sps, pos);
    ReadSE(sps, pos);
    ReadSE(sps, pos);
    const unsigned cycle = ReadExponentialGolombCode(sps, pos);
    if (cycle > 255) return false;
    for (unsigned i = 0; i < cycle; ++i) ReadSE(sps, pos);
  }
  ReadExponentialGolombCode(sps, pos);  // max_num_ref_frames
  ReadBit(sps, pos);                    // gaps_in_frame_num_value_allowed_flag
  const std::uint64_t widthMbs = std::uint64_t{ReadExponentialGolombCode(sps, pos)} + 1;
  const std::uint64_t heightUnits = std::uint64_t{ReadExponentialGolombCode(sps, pos)} + 1;
  const unsigned frameMbsOnly = ReadBit(sps, pos);
  if (!frameMbsOnly) ReadBit(sps, pos);  // mb_adaptive_frame_field_flag
  ReadBit(sps, pos);                     // direct_8x8_inference_flag
  std::uint64_t left = 0, right = 0, top = 0, bottom = 0;
  if (ReadBit(sps, pos)) {
    left = ReadExponentialGolombCode(sps, pos);
    right = ReadExponentialGolombCode(sps, pos);
    top = ReadExponentialGolombCode(sps, pos);
    bottom = ReadExponentialGolombCode(sps, pos);
  }
  if (overran(sps, pos)) return false;

  // Crop offsets count chroma samples (Table 6-1, equations 7-19 to 7-22).
  const unsigned arrayType = separatePlanes ? 0 : chroma;
  const std::uint64_t cropX = arrayType == 1 || arrayType == 2 ? 2 : 1;
  const std::uint64_t cropY = (arrayType == 1 ? 2 : 1) * (2 - frameMbsOnly);
  const std::uint64_t fullW = widthMbs * 16;
  const std::uint64_t fullH = (2 - frameMbsOnly) * heightUnits * 16;
  const std::uint64_t cutW = cropX * (left + right);
  const std::uint64_t cutH = cropY * (top + bottom);
  if (fullW > 4 * kMaxSpsPictureSide || fullH > 4 * kMaxSpsPictureSide || cutW >= fullW || cutH >= fullH) return false;
  const std::uint64_t w = fullW - cutW;
  const std::uint64_t h = fullH - cutH;
  if (w > kMaxSpsPictureSide || h > kMaxSpsPictureSide) return false;
  width = static_cast<unsigned>(w);
  height = static_cast<unsigned>(h);
  if (chromaPresent) chroma_format_idc = chroma;
  return true;
}

//  Annex B:  00 00 01 | NAL header | slice header ...
//  slice header (7.3.3): first_mb_in_slice ue(v), slice_type ue(v), ...
// Only the first bytes of the header are unescaped: two Exp-Golomb codes of
// at most 65 bits each fit in them.
FrameType H264FrameType(std::span<const std::uint8_t> unit, FrameType fallback) {
  constexpr std::uint8_t kNalSlice = 1, kNalPartitionA = 2, kNalIdr = 5;
  constexpr std::size_t kSliceHeadBytes = 17;
  for (std::size_t i = 0; i + 3 < unit.size(); ++i) {
    if (unit[i] != 0 || unit[i + 1] != 0 || unit[i + 2] != 1) continue;
    const std::size_t nal = i + 3;
    const unsigned type = unit[nal] & 0x1Fu;
    if (type == kNalIdr) return FRAME_I;
    if (type != kNalSlice && type != kNalPartitionA) {
      i = nal;
      continue;
    }
    std::array<std::uint8_t, kSliceHeadBytes> head{};
    const std::span<const std::uint8_t> bits(head.data(), H264UnescapeNal(unit, nal + 1, head));
    int pos = 0;
    ReadExponentialGolombCode(bits, pos);  // first_mb_in_slice
    const unsigned sliceType = ReadExponentialGolombCode(bits, pos);
    if (overran(bits, pos) || sliceType > 9) return fallback;
    switch (sliceType % 5) {
      case 0:  // P
      case 3:  // SP: predicted like P, switching aside
        return FRAME_P;
      case 1:
        return FRAME_B;
      default:
        // I, SI: decoding can start here only when the encoder says so
        // with a recovery point of 0 frames (an open-GOP key frame). A
        // plain I picture leaves the pictures before it in use as
        // references for the ones after it (x264 --ref 4 with a forced
        // I frame does this): it continues its group.
        return H264RecoveryFrameCount(unit) == 0u ? FRAME_I : FRAME_P;
    }
  }
  return fallback;
}

H264ParameterSets H264LeadingParameterSets(std::span<const std::uint8_t> unit) {
  constexpr unsigned kNalSps = 7, kNalPps = 8;
  H264ParameterSets out;
  // Start codes (three bytes; a four-byte one is a zero byte and a three-byte
  // one) up to the first slice; each NAL unit ends where the next begins.
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i + 3 < unit.size(); ++i) {
    if (unit[i] != 0 || unit[i + 1] != 0 || unit[i + 2] != 1) continue;
    const unsigned type = unit[i + 3] & 0x1Fu;
    starts.push_back(i > 0 && unit[i - 1] == 0 ? i - 1 : i);
    if (type >= 1 && type <= 5) break;
    i += 2;
  }
  for (std::size_t n = 0; n + 1 < starts.size(); ++n) {
    const std::size_t at = starts[n];
    const std::size_t header = at + (unit[at + 2] == 1 ? 3 : 4);
    const unsigned type = unit[header] & 0x1Fu;
    if (type != kNalSps && type != kNalPps) continue;
    const std::size_t size = starts[n + 1] - at;
    if (out.bytes.size() + size > kMaxParameterSetBytes) break;
    out.bytes.insert(out.bytes.end(), unit.begin() + static_cast<std::ptrdiff_t>(at),
                     unit.begin() + static_cast<std::ptrdiff_t>(at + size));
    (type == kNalSps ? out.sps : out.pps) = true;
  }
  return out;
}

double NtpTimeToDouble(unsigned seconds, unsigned fraction) {
  return static_cast<double>(seconds) + static_cast<double>(fraction) / 4294967295.0;
}

std::string NtpTimeToString(double seconds) {
  using namespace boost::posix_time;
  const ptime epoch(boost::gregorian::date(1900, 1, 1));
  if (!(seconds >= 0) || seconds > 1e12) return to_simple_string(epoch);
  const auto whole = static_cast<long long>(seconds);
  const auto micro = static_cast<long long>((seconds - static_cast<double>(whole)) * 1e6);
  return to_simple_string(epoch + boost::posix_time::seconds(static_cast<long>(whole)) + microseconds(micro));
}

std::string NtpTimeToString(unsigned seconds, unsigned fraction) {
  return NtpTimeToString(NtpTimeToDouble(seconds, fraction));
}

namespace {
template <typename E>
std::string lookup(const std::map<E, const char*>& table, E value) {
  const auto it = table.find(value);
  return it == table.end() ? std::string() : std::string(it->second);
}
}  // namespace

std::string ReceiverStateToString(ReceiverState state) {
  static const std::map<ReceiverState, const char*> table{{ReceiverStateNone, "None"},
                                                          {ReceiverStateDisconnected, "Disconnected"},
                                                          {ReceiverStateConnecting, "Connecting"},
                                                          {ReceiverStateConnected, "Connected"}};
  return lookup(table, state);
}

std::string ReceiverErrorToString(ReceiverError error) {
  static const std::map<ReceiverError, const char*> table{
      {ReceiverErrorNone, "None"},
      {ReceiverErrorConnection, "Connection error"},
      {ReceiverErrorParseResponse, "Parse response error"},
      {ReceiverErrorResponseNotOk, "Response not OK"},
      {ReceiverErrorAuthentication, "Authentication error"},
      {ReceiverErrorCodecNotFound, "Codec not found"},
      {ReceiverErrorRtpServerPortNotFound, "RTP server port not found"}};
  return lookup(table, error);
}

std::string FrameTypeToString(FrameType type) {
  static const std::map<FrameType, const char*> table{{FRAME_UNKNOWN, "None"}, {FRAME_I, "I"},
                                                      {FRAME_P, "P"},         {FRAME_B, "B"},
                                                      {FRAME_MJPEG, "MJPEG"}, {FRAME_RAW, "Raw"}};
  return lookup(table, type);
}
