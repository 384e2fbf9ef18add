#include "evidence/brighten.h"

#include "core/log.h"
#include "platform/imgproc/imgproc.h"

#include <opencv2/core.hpp>

#include <cstring>

namespace {

constexpr unsigned kLowerPercentile = 15;
constexpr unsigned kUpperPercentile = 80;
constexpr double kDarkBrightness = 25.0;
constexpr unsigned kTargetBrightness = 48;

ImageProcessor& processor() {
  static ImageProcessor instance;  // thread-safe one-time construction
  return instance;
}

}  // namespace

int miraclefunc(cv::Mat& image) {
  if (image.empty() || image.type() != CV_8UC1) {
    log_error("Brightening skipped: not an 8-bit grey picture");
    return -1;
  }
  Gray8Image gray{};
  gray.width = static_cast<std::uint32_t>(image.cols);
  gray.height = static_cast<std::uint32_t>(image.rows);
  // The real row step: a picture may be a view into a larger one.
  gray.stride = static_cast<std::uint32_t>(image.step[0]);
  gray.reserved = 0;
  gray.pixels = image.data;

  ImageHistogram8 histogram;
  std::memset(&histogram, 0, sizeof histogram);
  ImageProcessor& ip = processor();
  ip.BuildHistogram(gray, histogram);
  const double brightness = ip.GetBrightness(histogram, kLowerPercentile, kUpperPercentile);
  if (brightness <= kDarkBrightness) {
    BrightenImageParams params;
    std::memset(&params, 0, sizeof params);
    params.targetBrightness = kTargetBrightness;
    BrightenImageParams report;
    std::memset(&report, 0, sizeof report);
    ip.BrightenImage(gray, histogram, params, &report);
  }
  return static_cast<int>(brightness);
}
