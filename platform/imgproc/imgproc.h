// Stand-in for the board's closed image-processing library: grey histograms,
// a brightness figure and in-place brightening of 8-bit grey pictures.
//
// Threading: ImageProcessor holds no state; one object may be used from
// several threads at once, on different images. Records are plain data that
// the caller zero-fills before use, as the vendor interface expects.
#pragma once

#include <cstdint>

struct Gray8Image {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t stride = 0;    // bytes from one row to the next (>= width)
  std::uint32_t reserved = 0;  // always 0
  std::uint8_t* pixels = nullptr;
};

struct ImageHistogram8 {
  std::uint64_t bins[256];
  std::uint64_t total;
};

struct BrightenImageParams {
  std::uint32_t targetBrightness;  // wanted brightness figure (0..255)
  std::uint32_t lowerPercentile;   // 0 means the default, 15
  std::uint32_t upperPercentile;   // 0 means the default, 80
  std::uint32_t measuredBrightness;  // reported: the figure before brightening
  std::uint32_t reserved[4];
};

class ImageProcessor {
 public:
  static constexpr std::uint32_t kDefaultLowerPercentile = 15;
  static constexpr std::uint32_t kDefaultUpperPercentile = 80;

  ImageProcessor() = default;
  ~ImageProcessor() = default;

  // Counts the pixels of image into histogram (overwritten). Returns false
  // for an image without pixels or with a stride below its width.
  bool BuildHistogram(const Gray8Image& image, ImageHistogram8& histogram) const;

  // Mean grey level of the pixels ranked between the lower and upper
  // percentiles (0..100) of the histogram; a uniform picture of value v
  // gives exactly v. 0 for an empty histogram.
  double GetBrightness(const ImageHistogram8& histogram, std::uint32_t lowerPercentile,
                       std::uint32_t upperPercentile) const;

  // Moves the picture's brightness figure to params.targetBrightness with a
  // lookup table (gain, clipped at 255), in place; size and layout stay.
  // report (may be null) receives the measured figure. False on bad input.
  bool BrightenImage(Gray8Image& image, const BrightenImageParams& params, BrightenImageParams* report) const;
  // The same with histogram already built from image by BuildHistogram, for
  // callers that measured first: the pixels are read once less.
  bool BrightenImage(Gray8Image& image, const ImageHistogram8& histogram, const BrightenImageParams& params,
                     BrightenImageParams* report) const;
};
