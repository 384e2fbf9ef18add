// Taking evidence pictures out of a camera's frame store: the whole
// evidence frame, and small regions of other frames (plate crops of the
// track debug picture).
//
// The store's writer keeps writing while these run and nothing is locked,
// so every copy is bracketed by two looks at the record and at the writer's
// distance (CamBuf::obsDist): bytes are used only when the record still
// holds the same bytes after the copy and the writer has neither come close
// before nor passed them during the copy.
//
// Threading: any thread; the results are private copies.
#pragma once

#include "capture/framecopy.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kovira {
class CamBuf;
}

namespace evidence {

using kovira::kWriterMarginFrames;
using FrameCopyStatus = kovira::FrameCopyStatus;

// One evidence frame, copied out of the store.
struct EvidenceFrame {
  std::vector<std::uint8_t> bytes;  // as many bytes as the record held
  unsigned type = 0;                // FrameType
  int width = 0;
  int height = 0;
  std::uint32_t sec = 0;  // capture time
  std::uint32_t usec = 0;

  // One-channel view (height x width, step width) over `bytes`; valid while
  // this object lives and `bytes` is not changed. Only for Copied frames.
  cv::Mat grey();
};

// The record holds the frame with its bytes (step 1 of the composition:
// modules look before they measure).
bool framePresent(const kovira::CamBuf& store, unsigned frame);

// Copies the frame's bytes into out, whose byte buffer is used again (a
// worker keeps one for event after event); Copied only for a whole raw grey
// picture. On any other result out's fields are unchanged except its bytes,
// which are left empty (memory kept).
// duringCopy, when set, runs between the copy and the second look (tests use
// it to overwrite the frame at exactly that moment).
FrameCopyStatus copyEvidenceFrame(const kovira::CamBuf& store, unsigned frame, EvidenceFrame& out,
                                  const std::function<void()>& duringCopy = {});

// Copies the part of rect that lies inside a raw grey frame into out (one
// channel, its own bytes). False, out untouched, when the frame is gone,
// not grey, overwritten during the copy, or rect misses the picture.
bool copyFrameRegion(const kovira::CamBuf& store, unsigned frame, const cv::Rect& rect, cv::Mat& out);

// The console line of a failed copy, followed by the plate text (one write,
// so that lines of several workers do not mix).
void reportFrameCopy(FrameCopyStatus status, const std::string& plate);

}  // namespace evidence
