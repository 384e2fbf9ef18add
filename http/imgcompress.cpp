// Image encoding for the image endpoints; OpenCV stays in this file.
#include "http/webutil.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

constexpr int kJpegQuality = 80;

enum class ImageFormat { Png, Jpeg, Unknown };

ImageFormat formatOf(const char* format) {
  if (format == nullptr) return ImageFormat::Unknown;
  const std::string_view f(format);
  if (f == "png") return ImageFormat::Png;
  if (f == "jpeg" || f == "jpg") return ImageFormat::Jpeg;
  return ImageFormat::Unknown;
}

}  // namespace

bool imgencode(const unsigned char* data, int width, int height, int channels, const char* format,
               std::vector<unsigned char>& out) {
  // Built once: a page answers many requests.
  static const std::vector<int> kJpegParams = {cv::IMWRITE_JPEG_QUALITY, kJpegQuality};
  static const std::vector<int> kPngParams;
  const ImageFormat kind = formatOf(format);
  if (kind == ImageFormat::Unknown) return false;
  if (data == nullptr || width < 1 || height < 1) return false;
  if (channels != 1 && channels != 3 && channels != 4) return false;

  try {
    // Wrapped without copying; the caller's pixels are never written.
    const cv::Mat wrapped(height, width, CV_8UC(channels), const_cast<unsigned char*>(data));
    cv::Mat image = wrapped;
    if (channels == 4) {
      // Four-channel data is red-green-blue-alpha; the encoders want
      // blue-green-red.
      cv::cvtColor(wrapped, image, cv::COLOR_RGBA2BGR);
    }
    const bool jpeg = kind == ImageFormat::Jpeg;
    return cv::imencode(jpeg ? ".jpg" : ".png", image, out, jpeg ? kJpegParams : kPngParams) && !out.empty();
  } catch (const cv::Exception&) {
    return false;
  }
}

int imgcompress(unsigned char* data, int width, int height, int channels, const char* format,
                unsigned char*& out) {
  std::vector<unsigned char> encoded;
  if (!imgencode(data, width, height, channels, format, encoded)) return -1;
  auto* block = static_cast<unsigned char*>(std::malloc(encoded.size()));
  if (block == nullptr) return -1;
  std::memcpy(block, encoded.data(), encoded.size());
  out = block;
  return static_cast<int>(encoded.size());
}

int imgcompress(cv::Mat& image, const char* format, unsigned char*& out) {
  if (image.depth() != CV_8U || !image.isContinuous()) return -1;
  return imgcompress(image.data, image.cols, image.rows, image.channels(), format, out);
}

bool imgencode(const cv::Mat& image, const char* format, std::vector<unsigned char>& out) {
  if (image.depth() != CV_8U || !image.isContinuous()) return false;
  return imgencode(image.data, image.cols, image.rows, image.channels(), format, out);
}
