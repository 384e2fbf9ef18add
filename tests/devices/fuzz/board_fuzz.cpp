// libFuzzer entry for the board's reply and status parsers and the NMEA
// readers: every input goes through all of them; the reply rule's verdicts
// are checked against each other.
#include "devices/board_reply.h"
#include "devices/nmea.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (std::string_view command : {"EXT", "CAMF 100", ""}) {
    const std::string line = board::lastLine(text);
    if (board::complete(text, command) && !board::answers(line, command)) std::abort();
    if (line.size() > text.size()) std::abort();
  }
  const board::Status st = board::parseStatus(board::lastLine(text));
  if (st.time != 0) std::abort();
  std::string value;
  if (board::getValueStr(text, value) && value.size() >= text.size()) std::abort();
  int n = 0;
  (void)board::toInt(text, n);
  const std::string pos = nmea::position(text);
  if (pos.empty() || pos.size() > text.size() + 16) std::abort();
  std::string degrees;
  (void)NmeaToDecimal(text, degrees);
  return 0;
}
