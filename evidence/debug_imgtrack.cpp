#include "evidence/debug_imgtrack.h"

#include "capture/cam.h"
#include "config/config.h"
#include "config/zones.h"
#include "evidence/compose_frame.h"
#include "evidence/frameaccess.h"
#include "recognition/bestframe.h"
#include "recognition/track.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const cv::Scalar kRed(0, 0, 255);
const cv::Scalar kGreen(0, 255, 0);
const cv::Scalar kBlue(255, 0, 0);
const cv::Scalar kYellow(0, 255, 255);
const cv::Scalar kBlack(0, 0, 0);
const cv::Scalar kGrey(128, 128, 128);

constexpr int kPointRadius = 7;
constexpr int kMarkerRadius = 6;
constexpr int kCalibrationHalf = 8;
constexpr int kCellBorder = 3;
constexpr double kLabelScale = 0.6;
constexpr int kLabelThickness = 2;

// The scene around the track, copied under the read lock.
struct SceneCopy {
  std::vector<kovira::Point> calibration;
  std::vector<kovira::Point> outline;
  std::vector<kovira::Point> markers;
};

SceneCopy sceneOf(const kovira::Track& track) {
  kovira::ConfigReadLock lock;
  SceneCopy s;
  if (kovira::hasZone(static_cast<int>(track.zone))) {
    const kovira::Zone& z = kovira::zone(static_cast<int>(track.zone));
    s.calibration = z.calpolygon.points;
    s.outline = z.polygon.points;
  }
  s.markers = kovira::config().redpoly.points;
  return s;
}

// Copies src into dst with its top-left corner at (x, y), as far as it fits.
void pasteClipped(const cv::Mat& src, cv::Mat& dst, int x, int y) {
  const cv::Rect target = cv::Rect(x, y, src.cols, src.rows) & cv::Rect(0, 0, dst.cols, dst.rows);
  if (target.empty()) return;
  src(cv::Rect(target.x - x, target.y - y, target.width, target.height)).copyTo(dst(target));
}

void drawAnnotations(cv::Mat& pic, const kovira::Track& track, unsigned frame, const SceneCopy& scene) {
  const std::string text = track.text();
  // 3. Track points.
  for (const kovira::TrackPoint& p : track.points)
    cv::circle(pic, cv::Point(p.ox, p.oy), kPointRadius, p.plate() == text ? kGreen : kRed, 2, cv::LINE_8);
  // 4. Calibration points.
  for (const kovira::Point& c : scene.calibration)
    cv::rectangle(pic, cv::Rect(c.x - kCalibrationHalf, c.y - kCalibrationHalf, 2 * kCalibrationHalf,
                                2 * kCalibrationHalf),
                  kBlue, 2, cv::LINE_8);
  // 5. Marker points.
  for (const kovira::Point& m : scene.markers) cv::circle(pic, cv::Point(m.x, m.y), kMarkerRadius, kRed, cv::FILLED, cv::LINE_8);
  // 6. Vehicle rectangle of the evidence frame's point.
  const kovira::TrackPoint* best = nullptr;
  if (track.contains(frame)) best = &track.getPoint(frame);
  if (best != nullptr) {
    const kovira::IntRect car = kovira::carRect(best->w, best->ox, best->oy, pic.cols, pic.rows, 1.0f);
    cv::rectangle(pic, cv::Rect(car.x, car.y, car.width, car.height), kRed, 2, cv::LINE_8);
  }
  // 7. Zone outline, closed.
  for (std::size_t i = 0; i < scene.outline.size(); ++i) {
    const kovira::Point& a = scene.outline[i];
    const kovira::Point& b = scene.outline[(i + 1) % scene.outline.size()];
    cv::line(pic, cv::Point(a.x, a.y), cv::Point(b.x, b.y), kYellow, 1, cv::LINE_8);
  }
  // 8. Plate rectangle.
  if (best != nullptr) cv::rectangle(pic, cv::Rect(best->x, best->y, best->w, best->h), kGreen, 1, cv::LINE_8);
}

// 9. One cell per point whose frame is still stored, at most kStripMaxCells.
std::vector<cv::Mat> stripCells(const kovira::CamBuf& store, const kovira::Track& track, int maxW, int maxH) {
  using namespace evidence;
  const std::string text = track.text();
  const int cellW = std::max(kStripMinPlateWidth, maxW) + 20;
  const int cellH = std::max(kStripMinPlateHeight, maxH) + 40;
  const int plateRows = std::max(kStripMinPlateHeight, maxH);
  const double accuracy = static_cast<double>(track.advAccuracy());
  std::vector<cv::Mat> cells;
  int number = 0;
  for (const kovira::TrackPoint& p : track.points) {
    if (number >= kStripMaxCells) break;
    ++number;
    cv::Mat crop;
    if (!copyFrameRegion(store, p.num, cv::Rect(p.x, p.y, p.w, p.h), crop)) continue;

    cv::Mat cell(cellH, cellW, CV_8UC3, kGrey);
    const bool agrees = p.plate() == text;
    const cv::Scalar border = accuracy > kStripAccuracyFloor ? (agrees ? kGreen : kRed) : kBlue;
    cv::rectangle(cell, cv::Rect(0, 0, cellW, cellH), border, kCellBorder, cv::LINE_8);

    // The clipped crop, centred by its own size.
    cv::Mat colour;
    cv::cvtColor(crop, colour, cv::COLOR_GRAY2BGR);
    pasteClipped(colour, cell, cellW / 2 - colour.cols / 2, (plateRows + 10) / 2 - colour.rows / 2);

    const std::string caption = std::to_string(number) + ": " + p.plate();
    int baseline = 0;
    const cv::Size size = cv::getTextSize(caption, cv::FONT_HERSHEY_SIMPLEX, kLabelScale, kLabelThickness, &baseline);
    cv::putText(cell, caption, cv::Point(cellW / 2 - size.width / 2, plateRows + 25 - size.height / 2),
                cv::FONT_HERSHEY_SIMPLEX, kLabelScale, kBlack, kLabelThickness, cv::LINE_8);
    cells.push_back(std::move(cell));
  }
  return cells;
}

}  // namespace

bool debug_imgtrack(int camid, unsigned int frame, cv::Mat& out, kovira::Track& track) {
  using namespace evidence;
  const std::string text = track.text();
  const kovira::CamBuf* found = kovira::storeOf(camid);
  if (found == nullptr) {
    reportFrameCopy(FrameCopyStatus::Gone, text);
    return false;
  }
  const kovira::CamBuf& store = *found;

  // 1-2. The evidence frame in colour.
  EvidenceFrame evidence;
  const FrameCopyStatus copied = copyEvidenceFrame(store, frame, evidence);
  if (copied != FrameCopyStatus::Copied) {
    reportFrameCopy(copied, text);
    return false;
  }
  cv::Mat pic;
  cv::cvtColor(evidence.grey(), pic, cv::COLOR_GRAY2BGR);
  const int frameW = pic.cols;
  const int frameH = pic.rows;

  drawAnnotations(pic, track, frame, sceneOf(track));

  int maxW = 0, maxH = 0;
  for (const kovira::TrackPoint& p : track.points) {
    maxW = std::max(maxW, p.w);
    maxH = std::max(maxH, p.h);
  }
  maxW = std::min({maxW, kStripMaxPlateWidth, frameW});
  maxH = std::min({maxH, kStripMaxPlateHeight, frameH});
  const std::vector<cv::Mat> cells = stripCells(store, track, maxW, maxH);

  // 10. The strip under the frame, rows of cells centred.
  if (!cells.empty()) {
    const int cellW = std::max(kStripMinPlateWidth, maxW) + 20;
    const int cellH = std::max(kStripMinPlateHeight, maxH) + 40;
    // A frame narrower than one cell still gets one cell per row.
    const int perRow = std::max(1, frameW / (std::max(kStripMinPlateWidth, maxW) + 40));
    const int rows = (static_cast<int>(cells.size()) + perRow - 1) / perRow;
    resizeRow(pic, static_cast<unsigned>(rows * cellH + (rows + 1) * kStripGap), kBlack);
    const int left = (frameW - perRow * cellW - (perRow - 1) * kStripGap) / 2;
    for (std::size_t i = 0; i < cells.size(); ++i) {
      const int row = static_cast<int>(i) / perRow;
      const int col = static_cast<int>(i) % perRow;
      pasteClipped(cells[i], pic, left + col * (cellW + kStripGap), frameH + kStripGap + row * (cellH + kStripGap));
    }
  }

  // 11.
  out = std::move(pic);
  return true;
}
