#include "rtsp/h264_nal.h"

#include "rtsp/util.h"

#include <vector>

std::size_t H264UnescapeNal(std::span<const std::uint8_t> unit, std::size_t from, std::span<std::uint8_t> out) {
  std::size_t n = 0;
  int zeros = 0;
  for (std::size_t j = from; j < unit.size() && n < out.size(); ++j) {
    if (zeros >= 2 && unit[j] < 3) break;  // the next start code: the NAL ends
    if (zeros >= 2 && unit[j] == 3) {
      zeros = 0;
      continue;
    }
    zeros = unit[j] == 0 ? zeros + 1 : 0;
    out[n++] = unit[j];
  }
  // A start code's zero bytes belong to it, not to this NAL unit.
  while (zeros-- > 0 && n > 0) --n;
  return n;
}

bool H264SpsPictureSize(std::span<const std::uint8_t> nal, unsigned& width, unsigned& height,
                        unsigned& chroma_format_idc) {
  constexpr unsigned kNalSps = 7;
  if (nal.size() < 2 || (nal[0] & 0x1Fu) != kNalSps) return false;
  std::vector<std::uint8_t> rbsp(kMaxSpsBytes);
  rbsp.resize(H264UnescapeNal(nal, 1, rbsp));
  return ParseSps(rbsp, width, height, chroma_format_idc);
}

namespace {

// ff_byte* last_byte (7.3.2.3.1): payload type and payload size are coded
// alike. Nothing when the bytes end first.
std::optional<std::size_t> seiValue(std::span<const std::uint8_t> rbsp, std::size_t& i) {
  std::size_t value = 0;
  while (i < rbsp.size() && rbsp[i] == 0xFF) {
    value += 255;
    ++i;
  }
  if (i >= rbsp.size()) return std::nullopt;
  return value + rbsp[i++];
}

//  sei_rbsp:  { payloadType | payloadSize | payload } ... | 0x80
//  recovery_point (D.1.8):  recovery_frame_cnt ue(v), exact_match_flag,
//                           broken_link_flag, changing_slice_group_idc
std::optional<unsigned> recoveryInSei(std::span<const std::uint8_t> rbsp) {
  constexpr std::size_t kRecoveryPoint = 6;
  std::size_t i = 0;
  while (i < rbsp.size() && !(rbsp[i] == 0x80 && i + 1 == rbsp.size())) {
    const std::optional<std::size_t> type = seiValue(rbsp, i);
    const std::optional<std::size_t> size = type ? seiValue(rbsp, i) : std::nullopt;
    if (!size || *size > rbsp.size() - i) return std::nullopt;
    if (*type == kRecoveryPoint) {
      const std::span<const std::uint8_t> payload = rbsp.subspan(i, *size);
      int pos = 0;
      const unsigned count = ReadExponentialGolombCode(payload, pos);
      if (static_cast<std::size_t>(pos) > payload.size() * 8) return std::nullopt;
      return count;
    }
    i += *size;
  }
  return std::nullopt;
}

}  // namespace

std::optional<unsigned> H264RecoveryFrameCount(std::span<const std::uint8_t> unit) {
  constexpr unsigned kNalSei = 6;
  std::vector<std::uint8_t> rbsp;
  for (std::size_t i = 0; i + 3 < unit.size(); ++i) {
    if (unit[i] != 0 || unit[i + 1] != 0 || unit[i + 2] != 1) continue;
    const std::size_t nal = i + 3;
    const unsigned type = unit[nal] & 0x1Fu;
    if (type >= 1 && type <= 5) return std::nullopt;  // SEI comes before the first slice
    i = nal;
    if (type != kNalSei) continue;
    rbsp.resize(kMaxSeiBytes);
    rbsp.resize(H264UnescapeNal(unit, nal + 1, rbsp));
    if (const std::optional<unsigned> count = recoveryInSei(rbsp)) return count;
  }
  return std::nullopt;
}
