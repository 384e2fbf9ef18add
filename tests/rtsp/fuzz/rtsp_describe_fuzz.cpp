// libFuzzer entry: one reply text read as a DESCRIBE reply (challenge, base,
// SDP), as a SETUP reply and as a camera URL. Parsing is a function of the
// text: the same text read twice gives the same record, and what the
// parsers keep stays inside the text.
#include "rtsp/rtsp_message.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kRtspBufferSize) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);

  RtspProtocol::DescribeResponse a, b;
  const bool ok = a.ParseResponse(text);
  if (b.ParseResponse(text) != ok || a.media.size() != b.media.size()) __builtin_trap();
  if (!ok && !a.media.empty()) __builtin_trap();
  for (const auto& m : a.media) {
    if (m.type < 1 || m.type > 3 || m.control.size() > size || m.sps.size() > size) __builtin_trap();
    if (m.codec > CodecJpeg) __builtin_trap();
  }
  if (a.baseUrl.size() > size || a.realm.size() > size || a.nonce.size() > size) __builtin_trap();
  if (!a.media.empty()) (void)RtspProtocol::ResolveUrl(a.baseUrl, a.media[0].control);

  RtspProtocol::SetupResponse s;
  if (s.ParseResponse(text) && (s.serverRtpPort > 0xFFFF || s.sessionId.find(';') != std::string::npos))
    __builtin_trap();

  std::string user, password, host, path;
  unsigned port = 0;
  if (RtspProtocol::ParseRtspUrl(text, user, password, host, port, path) && (host.empty() || port == 0 || port > 0xFFFF))
    __builtin_trap();
  return 0;
}
