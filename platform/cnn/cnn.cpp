// The recogniser stand-in: finds the synthetic plates of platform/plate in
// grey frames and reports them per zone polygon, behind the C interface of
// the real library (cnn.h). No exception leaves a C function.
#include "platform/cnn/cnn.h"

#include "platform/cnn/zone_polygon.h"
#include "platform/plate/plate_read.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

namespace {

using kovira::cnn::ZonePolygon;
namespace plate = kovira::plate;

// The largest frame side accepted; anything beyond is a corrupt argument.
constexpr int kMaxFrameSide = 16384;
constexpr int kMaxFramesPerCall = 4096;
constexpr int kMaxPolygonsPerCall = 4096;

struct Recogniser {
  int maxproc = 0;
  int height = 0;
  int width = 0;
  bool classify = false;
  int debug = 0;
};

std::vector<ZonePolygon> parseAll(char** polygons, int count) {
  std::vector<ZonePolygon> out;
  if (polygons == nullptr || count <= 0) return out;
  for (int i = 0; i < count; ++i) {
    if (polygons[i] == nullptr) continue;
    const std::string_view text(polygons[i], strnlen(polygons[i], kovira::cnn::kMaxDescriptionLength + 1));
    if (auto p = kovira::cnn::parseZonePolygon(text)) out.push_back(std::move(*p));
  }
  return out;
}

// The part of the frame to search: the polygons' bounds widened by a margin,
// because a plate whose centre is inside a polygon may reach out of it.
plate::Box searchArea(const std::vector<ZonePolygon>& polygons, int width, int height) {
  const int margin = std::max(width, height) / 6;
  int x0 = width, y0 = height, x1 = 0, y1 = 0;
  for (const ZonePolygon& p : polygons) {
    x0 = std::min(x0, p.bounds.x - margin);
    y0 = std::min(y0, p.bounds.y - margin);
    x1 = std::max(x1, p.bounds.x + p.bounds.w + margin);
    y1 = std::max(y1, p.bounds.y + p.bounds.h + margin);
  }
  x0 = std::max(x0, 0);
  y0 = std::max(y0, 0);
  x1 = std::min(x1, width);
  y1 = std::min(y1, height);
  if (x1 <= x0 || y1 <= y0) return {0, 0, 0, 0};
  return {x0, y0, x1 - x0, y1 - y0};
}

CNN_RESULT toResult(const plate::PlateFound& p, std::uint32_t index, std::uint32_t zoneid, bool classify) {
  CNN_RESULT r;
  std::memset(&r, 0, sizeof r);
  r.index = index;
  r.zoneid = zoneid;
  const std::size_t n = std::min(p.text.size(), sizeof r.text - 1);
  std::memcpy(r.text, p.text.data(), n);
  r.cls = classify ? p.cls : 0;
  r.x = p.box.x;
  r.y = p.box.y;
  r.w = p.box.w;
  r.h = p.box.h;
  r.ox = p.ox;
  r.oy = p.oy;
  return r;
}

// Readings of one frame: one per plate and zone whose polygon holds the
// plate's tracking point (a zone listed twice still gives one reading).
std::vector<CNN_RESULT> readFrame(const Recogniser& rec, const std::uint8_t* pixels, int width, int height,
                                  const std::vector<ZonePolygon>& polygons, plate::Box area,
                                  std::uint32_t index) {
  std::vector<CNN_RESULT> out;
  const plate::GreyView view{pixels, width, height, width};
  for (const plate::PlateFound& p : plate::readPlates(view, area)) {
    std::vector<std::uint32_t> zones;
    for (const ZonePolygon& poly : polygons) {
      if (std::find(zones.begin(), zones.end(), poly.zoneid) != zones.end()) continue;
      if (!kovira::cnn::contains(poly, {p.ox, p.oy})) continue;
      zones.push_back(poly.zoneid);
      out.push_back(toResult(p, index, poly.zoneid, rec.classify));
      if (rec.debug > 0) {
        std::fprintf(stderr, "[cnn] frame %u zone %u: %s class %d at %d,%d %dx%d point %d,%d\n", index,
                     poly.zoneid, p.text.c_str(), p.cls, p.box.x, p.box.y, p.box.w, p.box.h, p.ox, p.oy);
      }
    }
  }
  return out;
}

}  // namespace

extern "C" {

const char* cnn_version(void) { return "kovira-cnn-standin 1.0"; }

void* init_cnn(int maxproc, int height, int width, char** polygons, int count, int mode) {
  try {
    if (width <= 0 || height <= 0 || width > kMaxFrameSide || height > kMaxFrameSide) return nullptr;
    if (parseAll(polygons, count).empty()) return nullptr;
    auto* rec = new Recogniser;
    rec->maxproc = maxproc;
    rec->height = height;
    rec->width = width;
    rec->classify = mode == CNN_MODE_CLASSIFY;
    return rec;
  } catch (...) {
    return nullptr;
  }
}

void cnn_set_debug_level(void* handle, int level) {
  if (handle != nullptr) static_cast<Recogniser*>(handle)->debug = level;
}

int cnn(void* handle, CNN_RESULT* results, int* count, void** frames, int nframes, int width, int height,
        int depth, char** polygons, int npolygons) {
  if (handle == nullptr || results == nullptr || count == nullptr) return -1;
  if (nframes < 0 || nframes > kMaxFramesPerCall || (nframes > 0 && frames == nullptr)) return -1;
  if (width <= 0 || height <= 0 || width > kMaxFrameSide || height > kMaxFrameSide || depth != 1) return -1;
  if (npolygons < 0 || npolygons > kMaxPolygonsPerCall) return -1;
  for (int i = 0; i < nframes; ++i) {
    if (frames[i] == nullptr) return -1;
  }
  try {
    const Recogniser& rec = *static_cast<Recogniser*>(handle);
    const int capacity = std::clamp(*count, 0, CNN_MAX_RESULTS);
    const std::vector<ZonePolygon> polys = parseAll(polygons, npolygons);
    const plate::Box area = searchArea(polys, width, height);

    int filled = 0;
    int walked = 0;
    for (; walked < nframes; ++walked) {
      if (polys.empty()) continue;
      const std::vector<CNN_RESULT> found =
          readFrame(rec, static_cast<const std::uint8_t*>(frames[walked]), width, height, polys, area,
                    static_cast<std::uint32_t>(walked));
      const int room = capacity - filled;
      if (static_cast<int>(found.size()) > room && walked > 0) break;  // hand this frame back
      const int take = std::min(static_cast<int>(found.size()), room);
      std::copy_n(found.begin(), take, results + filled);
      filled += take;
      if (take < static_cast<int>(found.size())) {
        ++walked;  // the first frame alone overflows: keep what fits, go no further
        break;
      }
    }
    *count = filled;
    return walked;
  } catch (...) {
    return -1;
  }
}

void free_cnn(void* handle) { delete static_cast<Recogniser*>(handle); }

}  // extern "C"
