// libFuzzer entry: one RTCP compound datagram cut into packets as the RTCP
// socket thread does; then the input's head as a host name in our receiver
// report, which must stay a whole number of 32-bit words.
#include "rtsp/packets.h"

#include <cstdint>
#include <span>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> rest(data, size);
  while (!rest.empty()) {
    unsigned used = 0;
    auto packet = RtcpPacket::CreatePacket(rest, used);
    if (!packet) break;
    if (used < 8 || used > rest.size() || used % 4 != 0) __builtin_trap();
    for (const auto& chunk : packet->chunks)
      for (const auto& item : chunk.items)
        if (item.text.size() > used) __builtin_trap();
    rest = rest.subspan(used);
  }
  const std::string host(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 64));
  const auto report = BuildReceiverReport(1, 2, static_cast<std::uint32_t>(size), 3, 4, host);
  if (report.size() % 4 != 0 || report.size() < 44) __builtin_trap();
  unsigned used = 0;
  if (RtcpPacket::CreatePacket(std::span(report).subspan(32), used) == nullptr || used != report.size() - 32)
    __builtin_trap();
  return 0;
}
