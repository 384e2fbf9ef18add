// redbox PICTURE.jpg
// Finds the red plate box drawn into an evidence collage and prints the
// centre lines of its four strokes: "top bottom left right" (pixels, one
// decimal). The box is the only long straight red line in the picture; the
// red crosshair that may cross its bottom stroke is shorter, so rows and
// columns are told apart by their longest red run. Exit 1 when the picture
// cannot be read or does not hold exactly one such box.
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// Lines whose longest run reaches this share of the longest run of all are
// strokes of the box.
constexpr double kStrokeShare = 0.7;
// Red after JPEG compression: strong red, weak green and blue.
constexpr int kMinRed = 140;
constexpr int kMinLead = 80;

bool red(const cv::Vec3b& p) {
  const int b = p[0], g = p[1], r = p[2];
  return r >= kMinRed && r - std::max(g, b) >= kMinLead;
}

// Centres of the bands of consecutive lines whose run is long enough.
std::vector<double> strokeCentres(const std::vector<int>& runs) {
  const int longest = *std::max_element(runs.begin(), runs.end());
  std::vector<double> centres;
  if (longest == 0) return centres;
  const double need = kStrokeShare * longest;
  for (std::size_t i = 0; i < runs.size();) {
    if (runs[i] < need) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < runs.size() && runs[j] >= need) ++j;
    centres.push_back((static_cast<double>(i) + static_cast<double>(j - 1)) / 2.0);
    i = j;
  }
  return centres;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: redbox PICTURE.jpg\n");
    return 2;
  }
  const cv::Mat img = cv::imread(argv[1], cv::IMREAD_COLOR);
  if (img.empty()) {
    std::fprintf(stderr, "redbox: cannot read %s\n", argv[1]);
    return 1;
  }
  std::vector<int> rowRun(static_cast<std::size_t>(img.rows), 0);
  std::vector<int> colRun(static_cast<std::size_t>(img.cols), 0);
  std::vector<int> colCur(static_cast<std::size_t>(img.cols), 0);
  for (int y = 0; y < img.rows; ++y) {
    int cur = 0;
    for (int x = 0; x < img.cols; ++x) {
      const bool r = red(img.at<cv::Vec3b>(y, x));
      cur = r ? cur + 1 : 0;
      rowRun[static_cast<std::size_t>(y)] = std::max(rowRun[static_cast<std::size_t>(y)], cur);
      int& c = colCur[static_cast<std::size_t>(x)];
      c = r ? c + 1 : 0;
      colRun[static_cast<std::size_t>(x)] = std::max(colRun[static_cast<std::size_t>(x)], c);
    }
  }
  const std::vector<double> rows = strokeCentres(rowRun);
  const std::vector<double> cols = strokeCentres(colRun);
  if (rows.size() != 2 || cols.size() != 2) {
    std::fprintf(stderr, "redbox: %zu horizontal and %zu vertical red strokes in %s, want 2 and 2\n", rows.size(),
                 cols.size(), argv[1]);
    return 1;
  }
  std::printf("%.1f %.1f %.1f %.1f\n", rows[0], rows[1], cols[0], cols[1]);
  return 0;
}
