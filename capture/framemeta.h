// kovira::FrameMetadata: the record kept beside every stored frame.
//
// Threading: the camera's writer thread builds a record completely and then
// publishes it (SmartBuffer::push_back). After that, several threads touch it
// without a lock: the writer clears the byte fields when the bytes are
// overwritten and shifts them when its sequence moves, the decode and
// recognition stages OR bits into `flags`, the capture placements fill the
// camera values right after addFrame, and readers of every kind look at it.
// Every field that changes after publication is therefore an atomic
// (implicit reads are plain loads; the store uses relaxed stores where the
// order does not matter). `type`, `ts` and `position` never change after
// publication.
//
// Lifetime: a record lives in a SmartPage and dies with it; a reader keeps
// it alive by holding an iterator on its page.
#pragma once

#include "capture/frametypes.h"
#include "platform/cnn/cnn_result.h"

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

namespace kovira {

// The byte fields of a record read at one moment.
struct FrameBytes {
  std::uint8_t* seqStart = nullptr;
  std::uint8_t* data = nullptr;
  std::uint64_t size = 0;

  // seqStart, data and size all non-zero.
  bool present() const { return seqStart != nullptr && data != nullptr && size != 0; }
  // Bytes from the start of the frame's sequence to the end of the frame.
  std::uint64_t sequenceBytes() const {
    if (!present() || data < seqStart) return 0;
    return static_cast<std::uint64_t>(data - seqStart) + size;
  }
};

struct FrameMetadata {
  FrameType type = FRAME_UNKNOWN;
  std::atomic<std::int32_t> width{0};
  std::atomic<std::int32_t> height{0};
  std::atomic<std::uint8_t*> seqStart{nullptr};  // first byte of the frame's sequence
  std::atomic<std::uint8_t*> data{nullptr};      // first byte of the frame
  std::atomic<std::uint64_t> size{0};
  std::atomic<std::uint32_t> sec{0};   // capture time, Unix seconds
  std::atomic<std::uint32_t> usec{0};  // microseconds within sec
  std::uint32_t ts = 0;                // source time stamp (RTP), 0 otherwise
  std::uint32_t position = 0;          // frame index, from 1 per camera
  std::atomic<std::uint64_t> camTimestamp{0};  // camera's clock, ns
  std::atomic<std::uint32_t> exposure{0};      // microseconds
  std::atomic<std::uint32_t> gain{0};
  std::atomic<std::uint32_t> flags{0};  // FrameMetaFlags bits

  FrameMetadata() = default;
  FrameMetadata(const FrameMetadata& other);
  FrameMetadata& operator=(const FrameMetadata& other);
  ~FrameMetadata();

  // ORs bits into flags atomically: several stages mark the same record.
  void setFlags(std::uint32_t bits) { flags.fetch_or(bits, std::memory_order_relaxed); }
  bool hasFlags(std::uint32_t bits) const {
    return (flags.load(std::memory_order_relaxed) & bits) == bits;
  }

  // The record has bytes (is live): seqStart, data and size non-zero and
  // bit 8 clear. Every reader that touches frame bytes tests this first,
  // and again after using them.
  bool hasBytes() const { return liveBytes().present(); }
  // The byte fields when the record is live, else all zero.
  FrameBytes liveBytes() const;

  // Plate readings of this frame. Recognition publishes them once
  // (publishResults); readers then see the complete list or none.
  std::span<const CNN_RESULT> results() const;
  std::size_t resultCount() const { return results().size(); }
  // Publishes the readings; false (nothing changed) when readings were
  // already published for this frame.
  bool publishResults(std::vector<CNN_RESULT> readings);

 private:
  void copyFrom(const FrameMetadata& other);

  std::atomic<const std::vector<CNN_RESULT>*> results_{nullptr};  // owned
};

// Bytes from the start of the record's sequence to the end of the record
// (data + size - seqStart); 0 when the record has no bytes.
std::uint64_t seqenceSizeBeforeFrame(const FrameMetadata& record);

}  // namespace kovira
