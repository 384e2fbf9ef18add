// libFuzzer entry: a control stream cut at chosen points. The first byte
// gives the number of cuts, the next bytes their positions (one byte each,
// scaled to the stream); the rest is the stream. Every reply cut off must
// be a status line with its Content-Length body; a stream made only of
// replies gives the same replies in pieces as at once (where garbage is
// skipped depends on how it arrives).
#include "rtsp/packets.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {
std::vector<std::string> texts(const std::vector<std::unique_ptr<RtspPacket>>& replies) {
  std::vector<std::string> out;
  for (const auto& r : replies) {
    if (!r->text.starts_with("RTSP/1.0 ")) __builtin_trap();
    if (r->contentLength > kRtspBufferSize) __builtin_trap();
    out.push_back(r->text);
  }
  return out;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t cuts = std::min<std::size_t>(data[0] % 8, size - 1);
  const std::string_view stream(reinterpret_cast<const char*>(data) + 1 + cuts, size - 1 - cuts);
  if (stream.size() > 4 * kRtspBufferSize) return 0;
  std::vector<std::size_t> at{0, stream.size()};
  for (std::size_t i = 0; i < cuts; ++i) at.push_back(stream.size() * data[1 + i] / 256);
  std::sort(at.begin(), at.end());

  RtspReplyCutter whole;
  std::vector<std::unique_ptr<RtspPacket>> a;
  const bool wholeKept = whole.Write(stream, a);
  RtspReplyCutter pieces;
  std::vector<std::unique_ptr<RtspPacket>> b;
  bool piecesKept = true;
  for (std::size_t i = 0; i + 1 < at.size(); ++i)
    piecesKept = pieces.Write(stream.substr(at[i], at[i + 1] - at[i]), b) && piecesKept;
  const auto ta = texts(a);
  const auto tb = texts(b);
  std::size_t covered = 0;
  for (const auto& r : a) covered += r->text.size() + (r->contentLength == 0 ? 4 : 0);
  if (wholeKept && piecesKept && covered == stream.size() && ta != tb) __builtin_trap();
  if (pieces.pending() > kRtspBufferSize) __builtin_trap();
  return 0;
}
