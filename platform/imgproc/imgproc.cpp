#include "platform/imgproc/imgproc.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace {

bool usable(const Gray8Image& image) {
  return image.pixels != nullptr && image.width > 0 && image.height > 0 && image.stride >= image.width;
}

}  // namespace

bool ImageProcessor::BuildHistogram(const Gray8Image& image, ImageHistogram8& histogram) const {
  std::memset(&histogram, 0, sizeof histogram);
  if (!usable(image)) return false;
  // Four interleaved tables: night frames put most pixels into a few bins,
  // and one table would stall on every repeated increment of the same bin.
  std::array<std::uint32_t, 4 * 256> tables{};
  std::uint32_t* t0 = tables.data();
  std::uint32_t* t1 = t0 + 256;
  std::uint32_t* t2 = t1 + 256;
  std::uint32_t* t3 = t2 + 256;
  // 32-bit counters are flushed every few rows so they cannot overflow.
  constexpr std::uint64_t kFlushPixels = 1u << 30;
  std::uint64_t pending = 0;
  auto flush = [&] {
    for (int v = 0; v < 256; ++v) {
      histogram.bins[v] += static_cast<std::uint64_t>(t0[v]) + t1[v] + t2[v] + t3[v];
    }
    std::fill(tables.begin(), tables.end(), 0u);
    pending = 0;
  };
  for (std::uint32_t row = 0; row < image.height; ++row) {
    const std::uint8_t* p = image.pixels + static_cast<std::size_t>(row) * image.stride;
    std::uint32_t col = 0;
    for (; col + 4 <= image.width; col += 4) {
      ++t0[p[col]];
      ++t1[p[col + 1]];
      ++t2[p[col + 2]];
      ++t3[p[col + 3]];
    }
    for (; col < image.width; ++col) ++t0[p[col]];
    pending += image.width;
    if (pending >= kFlushPixels) flush();
  }
  flush();
  histogram.total = static_cast<std::uint64_t>(image.width) * image.height;
  return true;
}

double ImageProcessor::GetBrightness(const ImageHistogram8& histogram, std::uint32_t lowerPercentile,
                                     std::uint32_t upperPercentile) const {
  const std::uint64_t total = histogram.total;
  if (total == 0) return 0.0;
  lowerPercentile = std::min<std::uint32_t>(lowerPercentile, 100);
  upperPercentile = std::clamp<std::uint32_t>(upperPercentile, lowerPercentile, 100);
  // Ranks [lo, hi) of the sorted pixels; at least one pixel is always taken.
  std::uint64_t lo = total * lowerPercentile / 100;
  std::uint64_t hi = total * upperPercentile / 100;
  if (lo >= total) lo = total - 1;
  if (hi <= lo) hi = lo + 1;

  double sum = 0.0;
  std::uint64_t taken = 0;
  std::uint64_t rank = 0;  // rank of the first pixel of the current bin
  for (int value = 0; value < 256 && rank < hi; ++value) {
    const std::uint64_t count = histogram.bins[value];
    const std::uint64_t from = std::max(rank, lo);
    const std::uint64_t to = std::min(rank + count, hi);
    if (to > from) {
      sum += static_cast<double>(to - from) * value;
      taken += to - from;
    }
    rank += count;
  }
  return taken == 0 ? 0.0 : sum / static_cast<double>(taken);
}

bool ImageProcessor::BrightenImage(Gray8Image& image, const BrightenImageParams& params,
                                   BrightenImageParams* report) const {
  ImageHistogram8 histogram;
  if (!BuildHistogram(image, histogram)) return false;
  return BrightenImage(image, histogram, params, report);
}

bool ImageProcessor::BrightenImage(Gray8Image& image, const ImageHistogram8& histogram,
                                   const BrightenImageParams& params, BrightenImageParams* report) const {
  if (!usable(image) || histogram.total != static_cast<std::uint64_t>(image.width) * image.height) return false;
  const std::uint32_t lower = params.lowerPercentile ? params.lowerPercentile : kDefaultLowerPercentile;
  const std::uint32_t upper = params.upperPercentile ? params.upperPercentile : kDefaultUpperPercentile;
  const double measured = GetBrightness(histogram, lower, upper);
  if (report) {
    std::memset(report, 0, sizeof *report);
    report->targetBrightness = params.targetBrightness;
    report->measuredBrightness = static_cast<std::uint32_t>(measured);
  }

  // A black picture has no level to scale: it stays black.
  const double gain = static_cast<double>(params.targetBrightness) / std::max(measured, 1.0);
  std::array<std::uint8_t, 256> lut{};
  for (int v = 0; v < 256; ++v) {
    lut[v] = static_cast<std::uint8_t>(std::min(255.0, std::floor(v * gain + 0.5)));
  }
  // Four lookups before their four stores: no store has to wait for the
  // next pixel's load.
  for (std::uint32_t row = 0; row < image.height; ++row) {
    std::uint8_t* p = image.pixels + static_cast<std::size_t>(row) * image.stride;
    std::uint32_t col = 0;
    for (; col + 4 <= image.width; col += 4) {
      const std::uint8_t a = lut[p[col]], b = lut[p[col + 1]], c = lut[p[col + 2]], d = lut[p[col + 3]];
      p[col] = a;
      p[col + 1] = b;
      p[col + 2] = c;
      p[col + 3] = d;
    }
    for (; col < image.width; ++col) p[col] = lut[p[col]];
  }
  return true;
}
