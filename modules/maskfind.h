// The plate-mask search "maskfind": the shapes ("ssNNNN": letters, digits,
// other bytes) of well-read plate texts that match no plate mask, counted
// per shape, and the page "/debug/mask/" that shows the most frequent.
//
// Threading: funnyt52 runs on the result-queue workers (up to four at once)
// and the page on HTTP threads; the table is guarded by one mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class HttpRequest;
class HttpResponse;
namespace kovira {
class MultiTrack;
}

namespace mask {

struct MaskCollect {
  std::string mask;
  std::uint32_t count = 0;
};

inline constexpr float kMinAccuracy = 3.0f;
inline constexpr std::size_t kMinPoints = 8;
inline constexpr std::size_t kMinTextBytes = 5;
inline constexpr std::size_t kPageRows = 50;
// Shapes beyond this many are not added: a camera reading noise would grow
// the table without end. Shapes already in it keep counting.
inline constexpr std::size_t kMaxRows = 4096;

// "N" for an ASCII digit, "s" for an ASCII letter, "-" for any other byte.
std::string shapeOf(std::string_view text);

// The process's table of shapes, most frequent first.
class MaskTable {
 public:
  // Counts one plate text's shape.
  void add(const std::string& shape);
  // The first n rows.
  std::vector<MaskCollect> rows(std::size_t n) const;

 private:
  mutable std::mutex mutex_;
  std::vector<MaskCollect> rows_;  // guarded by mutex_
};

MaskTable& collected();

int funnyt52(kovira::MultiTrack& group);
int http_mask_collect(const HttpRequest& req, HttpResponse& res);

}  // namespace mask
