#include "recognition/track.h"

#include "core/text.h"
#include "recognition/scene_access.h"
#include "recognition/track_mask.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <stdexcept>

namespace kovira {

namespace {

constexpr std::size_t kMinPlateText = 5;   // shorter texts are never "the same plate"
constexpr std::size_t kSamePlateEdits = 3;  // fewer edits: the same plate
constexpr std::size_t kMinMergeText = 5;    // joinTrack needs texts longer than 4
constexpr std::size_t kJoinWindow = 10;     // points averaged by averageJoinDist
constexpr float kMaxAccuracy = 25.0f;
constexpr std::size_t kMinDirectionPoints = 4;
constexpr int kMinSingleClassVotes = 3;

bool byFrame(const TrackPoint& a, const TrackPoint& b) { return a.num < b.num; }

}  // namespace

std::string TrackPoint::plate() const { return std::string(text, strnlen(text, sizeof(text))); }

bool comparePlateText(const std::string& a, const std::string& b) {
  if (a.size() < kMinPlateText || b.size() < kMinPlateText) return false;
  return fuzzyCompare(a, b) < kSamePlateEdits;
}

Track::Track(std::uint32_t id_, std::uint32_t zone_, std::uint32_t camid_)
    : zone(zone_), camid(camid_), id(id_), joinDist(kJoinDist) {}

std::string Track::text() const { return hypotheses.empty() ? std::string() : hypotheses.front().first; }

std::size_t Track::place(std::uint32_t frame) const {
  TrackPoint key;
  key.num = frame;
  return static_cast<std::size_t>(std::lower_bound(points.begin(), points.end(), key, byFrame) - points.begin());
}

void Track::join(const TrackPoint& p) {
  const auto at = points.begin() + static_cast<std::ptrdiff_t>(place(p.num));
  if (at != points.end() && at->num == p.num) {
    // Two readings of one frame: keep the one closer to the voted text.
    const std::string current = text();
    if (fuzzyCompare(at->plate(), current) > fuzzyCompare(p.plate(), current)) *at = p;
    return;
  }
  points.insert(at, p);
  updateHypothesis(p.plate());
}

void Track::sortHypotheses() {
  std::stable_sort(hypotheses.begin(), hypotheses.end(),
                   [](const Hypothesis& a, const Hypothesis& b) { return a.second > b.second; });
}

void Track::updateHypothesis(const std::string& plate) {
  for (auto& h : hypotheses) {
    if (h.first == plate) {
      ++h.second;
      sortHypotheses();
      return;
    }
  }
  hypotheses.emplace_back(plate, 1);
}

bool Track::joinTrack(const Track& other) {
  const std::string mine = text();
  const std::string theirs = other.text();
  if (mine.size() < kMinMergeText || theirs.size() < kMinMergeText) return false;
  if (fuzzyCompare(mine, theirs) >= kSamePlateEdits || zone != other.zone) return false;
  const std::size_t before = points.size();
  for (const auto& p : other.points) {
    const bool known = std::any_of(points.begin(), points.begin() + static_cast<std::ptrdiff_t>(before),
                                   [&](const TrackPoint& q) { return q.num == p.num; });
    if (!known) points.push_back(p);
  }
  // The other track may have started earlier: every reader (bounds, best
  // frame, direction) relies on frame order.
  std::stable_sort(points.begin(), points.end(), byFrame);
  sortHypotheses();
  return true;
}

std::size_t Track::plateCount() const {
  const std::string t = text();
  return static_cast<std::size_t>(
      std::count_if(points.begin(), points.end(), [&](const TrackPoint& p) { return p.plate() == t; }));
}

float Track::absAccuracy() const {
  if (points.empty()) return 0.0f;
  return static_cast<float>(plateCount()) / static_cast<float>(points.size());
}

float Track::advAccuracy() const {
  if (hypotheses.empty()) return 0.0f;
  if (hypotheses.size() == 1) {
    const float c = static_cast<float>(hypotheses.front().second);
    return c < 4.0f ? 0.75f : std::min(c - 2.75f, kMaxAccuracy);
  }
  if (points.empty()) return 0.0f;
  const float c1 = static_cast<float>(hypotheses[0].second);
  const float c2 = static_cast<float>(hypotheses[1].second);
  const float n = static_cast<float>(points.size());
  return std::min((c1 / n) / (c2 / c1), kMaxAccuracy);
}

Track::RecentPath Track::recentPath() const {
  RecentPath path;
  if (points.empty()) return path;
  const std::size_t first = points.size() > kJoinWindow ? points.size() - kJoinWindow : 0;
  path.frames = static_cast<std::int64_t>(points.back().num) - points[first].num;
  for (std::size_t i = first + 1; i < points.size(); ++i) {
    const std::int64_t dx = points[i].ox - points[i - 1].ox;
    const std::int64_t dy = points[i].oy - points[i - 1].oy;
    path.pixels += std::llround(std::sqrt(static_cast<double>(dx * dx + dy * dy)));
  }
  return path;
}

int Track::averageJoinDist() const {
  const RecentPath path = recentPath();
  if (path.frames < 1) return kJoinDist;
  return static_cast<int>(path.pixels / (path.frames + 1));
}

std::optional<double> Track::motionPerFrame() const {
  const RecentPath path = recentPath();
  if (path.frames < 1) return std::nullopt;
  return static_cast<double>(path.pixels) / static_cast<double>(path.frames);
}

std::uint32_t Track::numA() const { return points.empty() ? 0 : points.front().num; }
std::uint32_t Track::numB() const { return points.empty() ? 0 : points.back().num; }

bool Track::contains(std::uint32_t frame) const { return numA() <= frame && frame <= numB(); }

const TrackPoint& Track::getPoint(std::uint32_t frame) const {
  const std::size_t at = place(frame);
  if (at == points.size() || points[at].num != frame)
    throw std::logic_error("getPoint() point was not found [num=" + std::to_string(frame) + "]");
  return points[at];
}

TrackPoint& Track::getPoint(std::uint32_t frame) {
  return const_cast<TrackPoint&>(static_cast<const Track&>(*this).getPoint(frame));
}

std::vector<TrackPoint> Track::onlyValidPoints() const {
  const std::string t = text();
  std::vector<TrackPoint> valid;
  std::copy_if(points.begin(), points.end(), std::back_inserter(valid),
               [&](const TrackPoint& p) { return p.plate() == t; });
  return valid;
}

unsigned Track::direction() const {
  const auto valid = onlyValidPoints();
  if (valid.size() < kMinDirectionPoints) return 0;
  if (valid.front().oy < valid.back().oy) return 1;
  if (valid.front().oy > valid.back().oy) return 2;
  return 0;
}

int Track::type() const {
  std::map<int, int> votes;
  for (const auto& p : points)
    if (p.cls >= 1) ++votes[p.cls];
  if (votes.empty()) return 0;
  std::vector<std::pair<int, int>> ranked(votes.begin(), votes.end());
  std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  if (ranked.size() == 1) return ranked.front().second >= kMinSingleClassVotes ? ranked.front().first : 0;
  const float c1 = static_cast<float>(ranked[0].second);
  const float c2 = static_cast<float>(ranked[1].second);
  const float n = static_cast<float>(points.size());
  const int ratio = static_cast<int>((c1 / n) / (c2 / c1));
  return ratio < 1 ? 0 : ranked.front().first;
}

bool Track::checkMask() const { return plateMatchesMask(text(), sceneAccess().extraMasks()); }

}  // namespace kovira
