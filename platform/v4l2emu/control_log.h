// Process-wide record of the controls set on emulated devices (tests read it
// through v4l2emu::controlLog).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace v4l2emu {
void recordControl(const std::string& device, std::uint32_t id, std::int64_t value,
                   std::vector<std::uint8_t> payload = {});
}
