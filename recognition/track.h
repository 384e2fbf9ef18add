// A vehicle track: the plate readings of one vehicle in one zone, in frame
// order, with the plate-text hypotheses voted from them.
//
// Threading: a track has no lock. The result-queue thread grows the
// unfinished tracks; everybody else works on copies.
#pragma once

#include "platform/cnn/cnn_result.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kovira {

// One reading with the frame-store position of the frame it was read on.
struct TrackPoint : CNN_RESULT {
  std::uint32_t num = 0;

  TrackPoint() : CNN_RESULT{} {}
  TrackPoint(const CNN_RESULT& r, std::uint32_t frame) : CNN_RESULT(r), num(frame) {}

  // The plate text, never reading past the 20-byte field.
  std::string plate() const;
};
static_assert(sizeof(TrackPoint) == 60);

// Same plate: both texts have 5 characters or more and differ by fewer
// than 3 edits.
bool comparePlateText(const std::string& a, const std::string& b);

class Track {
 public:
  using Hypothesis = std::pair<std::string, int>;

  static constexpr int kJoinDist = 150;

  // The empty track: "no track found".
  Track() = default;
  Track(std::uint32_t id, std::uint32_t zone, std::uint32_t camid);

  std::string text() const;
  const std::vector<Hypothesis>& getHypothesis() const { return hypotheses; }

  // Index of the first point whose frame is at least `frame`.
  std::size_t place(std::uint32_t frame) const;
  void join(const TrackPoint& p);
  // Merges another track of the same plate and zone; false changes nothing.
  bool joinTrack(const Track& other);

  std::size_t plateCount() const;
  float absAccuracy() const;
  float advAccuracy() const;
  int averageJoinDist() const;
  // How far the tracking point moves per frame over the same recent points,
  // counting the frames between them (also those the recognition stage
  // skipped); none until two points lie on different frames.
  std::optional<double> motionPerFrame() const;

  std::uint32_t numA() const;
  std::uint32_t numB() const;
  bool contains(std::uint32_t frame) const;
  // Throws std::logic_error when no point was read on that frame.
  TrackPoint& getPoint(std::uint32_t frame);
  const TrackPoint& getPoint(std::uint32_t frame) const;
  std::vector<TrackPoint> onlyValidPoints() const;

  // 0 undetermined, 1 the plate moves down the image, 2 up.
  unsigned direction() const;
  // Vehicle class by vote; 0 undecided.
  int type() const;
  // The text fits a built-in or configured plate pattern.
  bool checkMask() const;
  void calc() {}

  std::uint32_t zone = 0;
  std::uint32_t camid = 0;
  std::uint32_t id = 0;
  std::int32_t joinDist = 0;
  std::vector<Hypothesis> hypotheses;  // most votes first; ties keep their order
  std::vector<TrackPoint> points;      // ascending frame numbers, one per frame

 private:
  struct RecentPath {
    std::int64_t pixels = 0;  // sum of the rounded steps between the points
    std::int64_t frames = 0;  // frames from the first to the last of them
  };
  RecentPath recentPath() const;
  void updateHypothesis(const std::string& text);
  void sortHypotheses();
};

}  // namespace kovira
