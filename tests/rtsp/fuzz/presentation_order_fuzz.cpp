// libFuzzer entry: the input cut into access units, each read for its
// picture order count in turn (libavcodec's H.264 parser keeps the sets and
// the previous count between them), as a raw file's play does. No distance
// may exceed what a decoder can hold.
#include "rtsp/presentation_order.h"
#include "tests/support/h264_units.h"

#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> bytes(data, data + size);
  H264PresentationOrder order;
  std::int64_t slot = 0;
  for (const testsupport::AccessUnit& u : testsupport::splitAccessUnits(bytes)) {
    const std::int64_t distance = order.Distance(std::span(bytes).subspan(u.offset, u.size), slot++);
    if (std::llabs(distance) > PresentationOrder::kMaxDistanceFrames) __builtin_trap();
  }
  order.Distance(bytes, slot);  // the whole input as one unit
  return 0;
}
