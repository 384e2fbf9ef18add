// Renders the frames of a scene: a fixed textured road and, per frame, the
// vehicles at their exact positions with their plates. Records the truth
// (where each plate is wholly visible and what it shows). Pure computation
// over caller-supplied canvases; one renderer is used by one thread.
#pragma once

#include "platform/plate/grey_image.h"
#include "platform/scene/road_map.h"
#include "platform/scene/scene.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kovira::scenegen {

struct PlateTruth {
  int frame = 0;
  plate::Box box;
  int ox = 0;  // tracking point: the plate centre as the recogniser reports it
  int oy = 0;
  std::string text;  // what the frame shows, '?' for a glyph drawn unreadable
};

class SceneRenderer {
 public:
  explicit SceneRenderer(const Scene& scene);

  // Draws frame k (0-based) into out, which must be width x height, and adds
  // the plates wholly visible in it to truth().
  void render(int k, plate::GreyCanvas out);

  // Per vehicle, in scene order: the frames rendered so far where its plate
  // was wholly visible.
  const std::vector<std::vector<PlateTruth>>& truth() const { return truth_; }

  // The second from which no part of the vehicle is in the picture any more.
  double exitSecond(std::size_t vehicle) const;

  const RoadMap& road() const { return road_; }
  int plateWidth() const { return plateW_; }
  int plateHeight() const { return plateH_; }

 private:
  struct Placement {
    std::size_t vehicle = 0;
    plate::Box plate;
    plate::Box body;
  };

  double plateCentreRow(const Vehicle& v, double t) const;
  Placement place(std::size_t vehicle, double t) const;
  void drawVehicle(plate::GreyCanvas out, const Placement& p, int damaged, const std::string& plateText) const;
  void buildBackground();

  Scene scene_;
  RoadMap road_;
  int plateW_;
  int plateH_;
  int bodyAbove_;
  int bodyBelow_;
  std::vector<std::uint8_t> background_;
  std::vector<std::vector<PlateTruth>> truth_;
  std::vector<int> readings_;  // per vehicle: frames with the plate wholly visible so far
};

}  // namespace kovira::scenegen
