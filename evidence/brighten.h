// Night-frame brightening of grey evidence pictures through the board's
// image-processing library. Safe to call from several threads at once on
// different pictures (the library object is stateless).
#pragma once

namespace cv {
class Mat;
}

// Measures the brightness of an 8-bit one-channel picture and, when it is
// 25 or darker, brightens it in place towards 48. Returns the measured
// figure truncated; -1 (logged, picture untouched) for any other picture.
int miraclefunc(cv::Mat& image);
