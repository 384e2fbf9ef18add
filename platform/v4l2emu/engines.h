// Factories of the three emulated devices (one file each).
#pragma once

#include "platform/v4l2emu/v4l2emu.h"

#include <memory>
#include <string>

namespace v4l2emu {
class Device;
std::shared_ptr<Device> makeDecoder(const std::string& path, int flags, const FaultPlan& faults);
std::shared_ptr<Device> makeConverter(const std::string& path, int flags, const FaultPlan& faults);
std::shared_ptr<Device> makeEncoder(const std::string& path, int flags, const FaultPlan& faults);
}  // namespace v4l2emu
