#include "platform/scene/scene_render.h"

#include "platform/plate/plate_draw.h"
#include "platform/plate/plate_layout.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kovira::scenegen {
namespace {

// Road brightness stays well below the plate reader's bright threshold, so
// only plates form bright fields.
constexpr int kRoadBase = 100;
constexpr int kRoadMin = 40;
constexpr int kRoadMax = 150;
constexpr std::uint8_t kLaneMark = 150;
constexpr std::uint8_t kLamp = 150;

std::uint32_t hash(std::uint32_t x, std::uint32_t y, std::uint32_t salt) {
  std::uint32_t h = x * 0x9E3779B1u ^ (y + 0x7F4A7C15u) * 0x85EBCA77u ^ salt * 0xC2B2AE3Du;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  h *= 0x297A2D39u;
  h ^= h >> 15;
  return h;
}

// Smooth noise in -1..1 from a grid of random values `cell` pixels apart.
double valueNoise(int x, int y, int cell, std::uint32_t salt) {
  const int gx = x / cell, gy = y / cell;
  const double fx = static_cast<double>(x % cell) / cell, fy = static_cast<double>(y % cell) / cell;
  auto at = [&](int i, int j) {
    return static_cast<double>(hash(static_cast<std::uint32_t>(gx + i), static_cast<std::uint32_t>(gy + j), salt) &
                               0xFFFF) / 32767.5 - 1.0;
  };
  const double top = at(0, 0) * (1 - fx) + at(1, 0) * fx;
  const double bottom = at(0, 1) * (1 - fx) + at(1, 1) * fx;
  return top * (1 - fy) + bottom * fy;
}

bool intersects(const plate::Box& a, const plate::Box& b) {
  return a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h;
}

}  // namespace

SceneRenderer::SceneRenderer(const Scene& scene)
    : scene_(scene),
      road_(scene.rows, scene.metres),
      plateW_(plate::kWidthModules * scene.module),
      plateH_(plate::kHeightModules * scene.module),
      bodyAbove_(plateW_ * 6 / 5),
      bodyBelow_(plateH_ * 3 / 10),
      truth_(scene.vehicles.size()),
      readings_(scene.vehicles.size(), 0) {
  buildBackground();
}

void SceneRenderer::buildBackground() {
  const int w = scene_.width, h = scene_.height;
  background_.resize(static_cast<std::size_t>(w) * h);
  const int edgeL = w * 3 / 100, edgeR = w - w * 3 / 100;
  const int markW = std::max(2, w / 200);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      double v = kRoadBase + 18 * valueNoise(x, y, 48, 1) + 9 * valueNoise(x, y, 12, 2) +
                 2 * valueNoise(x, y, 4, 3);
      int g = std::clamp(static_cast<int>(std::lround(v)), kRoadMin, kRoadMax);
      const bool edge = std::abs(x - edgeL) < markW || std::abs(x - edgeR) < markW;
      const bool lane = (std::abs(x - w / 3) < markW || std::abs(x - 2 * w / 3) < markW) && (y / 40) % 2 == 0;
      if (edge || lane) g = kLaneMark;
      background_[static_cast<std::size_t>(y) * w + x] = static_cast<std::uint8_t>(g);
    }
  }
}

double SceneRenderer::plateCentreRow(const Vehicle& v, double t) const {
  const double metresPerSecond = v.kmh / 3.6;
  if (v.direction == 1) {
    const double enter = road_.metresAt(-plateH_ / 2.0);
    return road_.rowAt(enter + metresPerSecond * (t - v.start));
  }
  const double enter = road_.metresAt(scene_.height + plateH_ / 2.0);
  return road_.rowAt(enter - metresPerSecond * (t - v.start));
}

SceneRenderer::Placement SceneRenderer::place(std::size_t vehicle, double t) const {
  const Vehicle& v = scene_.vehicles[vehicle];
  const double centre = plateCentreRow(v, t);
  Placement p;
  p.vehicle = vehicle;
  const int top = static_cast<int>(std::floor(centre - plateH_ / 2.0 + 0.5));
  p.plate = {v.x - plateW_ / 2, top, plateW_, plateH_};
  p.body = {v.x - plateW_, top - bodyAbove_, 2 * plateW_, bodyAbove_ + plateH_ + bodyBelow_};
  return p;
}

double SceneRenderer::exitSecond(std::size_t vehicle) const {
  const Vehicle& v = scene_.vehicles[vehicle];
  const double metresPerSecond = v.kmh / 3.6;
  if (v.direction == 1) {
    // Out when the top of the body has passed the bottom row.
    const double centre = scene_.height + plateH_ / 2.0 + bodyAbove_ + 1;
    return v.start + (road_.metresAt(centre) - road_.metresAt(-plateH_ / 2.0)) / metresPerSecond;
  }
  const double centre = -(plateH_ / 2.0 + bodyBelow_ + 1);
  return v.start + (road_.metresAt(scene_.height + plateH_ / 2.0) - road_.metresAt(centre)) / metresPerSecond;
}

void SceneRenderer::drawVehicle(plate::GreyCanvas out, const Placement& p, int damaged,
                                const std::string& plateText) const {
  const Vehicle& v = scene_.vehicles[p.vehicle];
  const auto shade = static_cast<std::uint8_t>(55 + 17 * (p.vehicle % 4));
  const plate::Box& b = p.body;
  plate::fillRect(out, b.x, b.y, b.w, b.h, shade);
  // Windshield (front view) or rear window.
  plate::fillRect(out, b.x + b.w / 8, b.y + plateW_ / 6, b.w * 3 / 4, plateW_ / 2,
                  static_cast<std::uint8_t>(shade - 25));
  // Lamps beside the plate.
  const int lampW = plateW_ / 4, lampH = plateH_ * 2 / 3;
  plate::fillRect(out, b.x + plateW_ / 10, p.plate.y - lampH, lampW, lampH, kLamp);
  plate::fillRect(out, b.x + b.w - plateW_ / 10 - lampW, p.plate.y - lampH, lampW, lampH, kLamp);
  plate::drawPlate(out, {p.plate.x, p.plate.y, scene_.module, plateText, v.cls, damaged});
}

void SceneRenderer::render(int k, plate::GreyCanvas out) {
  for (int y = 0; y < scene_.height; ++y) {
    std::memcpy(out.data + static_cast<long>(y) * out.stride,
                background_.data() + static_cast<std::size_t>(y) * scene_.width,
                static_cast<std::size_t>(scene_.width));
  }
  const double t = static_cast<double>(k) / scene_.fps;
  const plate::Box picture{0, 0, scene_.width, scene_.height};
  std::vector<Placement> placed;
  for (std::size_t i = 0; i < scene_.vehicles.size(); ++i) {
    Placement p = place(i, t);
    if (intersects(p.body, picture)) placed.push_back(p);
  }
  // Farther vehicles (higher in the picture) first, so nearer ones cover them.
  std::stable_sort(placed.begin(), placed.end(),
                   [](const Placement& a, const Placement& b) { return a.plate.y < b.plate.y; });

  for (std::size_t n = 0; n < placed.size(); ++n) {
    const Placement& p = placed[n];
    const Vehicle& v = scene_.vehicles[p.vehicle];
    const plate::Box& pb = p.plate;
    bool visible = pb.x >= 0 && pb.y >= 0 && pb.x + pb.w <= scene_.width && pb.y + pb.h <= scene_.height;
    for (std::size_t m = n + 1; visible && m < placed.size(); ++m) {
      if (intersects(placed[m].body, pb)) visible = false;
    }
    int damaged = -1;
    std::string shown = v.plate;
    if (visible) {
      const int reading = ++readings_[p.vehicle];
      if (v.misread > 0 && reading % v.misread == 0) {
        damaged = (reading / v.misread - 1) % static_cast<int>(v.plate.size());
        shown[static_cast<std::size_t>(damaged)] = plate::kUnreadable;
      }
      truth_[p.vehicle].push_back({k, pb, pb.x + pb.w / 2, pb.y + pb.h / 2, shown});
    }
    drawVehicle(out, p, damaged, v.plate);
  }
}

}  // namespace kovira::scenegen
