// Small free functions shared by the HTTP server and the page handlers:
// URL decoding and encoding, HTML links, raw images to JPEG or PNG.
// All are pure and thread-safe.
#pragma once

#include <string>
#include <vector>

namespace cv { class Mat; }

// "%XY" becomes the byte strtol(XY, 16) (low byte; a valid prefix counts,
// no valid digit gives 0), "+" a space; a "%" with fewer than two
// characters after it is copied.
std::string urldecode(const std::string& s);
// Letters, digits and "-._~" are kept, a space becomes "+", every other
// byte "%xx" in lower case. Stops at the first zero byte.
std::string urlencode(const std::string& s);

// <a href="url">text</a>; nothing is escaped.
std::string taglink(std::string url, std::string text);
std::string taglink(std::string url);

// Encodes 8-bit pixels (1 channel grey, 3 blue-green-red, 4 red-green-blue-
// alpha) as "png", or "jpeg"/"jpg" at quality 80. On success out is a
// malloc'ed block the caller frees and the result its size; -1 for an
// unknown format, another channel count, bad sizes or a failed encoding
// (out untouched then).
int imgcompress(unsigned char* data, int width, int height, int channels, const char* format,
                unsigned char*& out);
// The same for an OpenCV image, which must be 8-bit and continuous.
int imgcompress(cv::Mat& image, const char* format, unsigned char*& out);
// The same into out, whose memory is reused (pages encode one picture per
// request): false where imgcompress gives -1.
bool imgencode(const unsigned char* data, int width, int height, int channels, const char* format,
               std::vector<unsigned char>& out);
bool imgencode(const cv::Mat& image, const char* format, std::vector<unsigned char>& out);
