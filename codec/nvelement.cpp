#include "codec/nvelement.h"

NvElement::NvElement(const char* name, std::uint32_t profilerFields)
    : is_in_error(name ? 0 : 1), comp_name(name), profiler(profilerFields) {}

NvElement::~NvElement() = default;

int NvElement::isInError() { return is_in_error; }

void NvElement::enableProfiling() { profiler.enableProfiling(true); }

void NvElement::getProfilingData(NvElementProfiler::NvElementProfilerData& data) { profiler.getProfilerData(data); }

void NvElement::printProfilingStats(std::ostream& out) {
  out << "----------- Element = " << (comp_name ? comp_name : "") << " -----------" << std::endl;
  profiler.printProfilerData(out);
  out << "-------------------------------------" << std::endl;
}

bool NvElement::isProfilingEnabled() { return profiler.isEnabled(); }
