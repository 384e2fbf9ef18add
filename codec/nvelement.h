// Common base of the codec elements: a borrowed name (the text must outlive
// the element), an error flag and the element's profiler. Elements never
// throw; their creators test isInError() after construction.
#pragma once

#include "codec/nvelementprofiler.h"

#include <ostream>

class NvElement {
 public:
  NvElement(const char* name, std::uint32_t profilerFields);
  virtual int isInError();
  virtual ~NvElement();
  virtual void enableProfiling();

  void getProfilingData(NvElementProfiler::NvElementProfilerData& data);
  void printProfilingStats(std::ostream& out);
  bool isProfilingEnabled();

 protected:
  int is_in_error;
  const char* comp_name;
  NvElementProfiler profiler;
};
