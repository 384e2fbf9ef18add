// platereader VIDEO POLYGON... [--mode 2|6] [--truth truth.json] [--min-rate R] [--quiet]
//
// Reads a video through the recogniser library (libcnn.so, linked as the unit
// links it) with the given polygon descriptions "zoneid,scale,x1,y1,...", and
// prints one line per reading. With --truth it scores the readings against
// a scene's truth.json: a plate counts where it lies wholly inside a polygon;
// it is read when a reading of that frame shows its text at its tracking
// point. Every reading that belongs to no plate is a false reading. With
// --min-rate the exit status is 1 when the rate is lower or any reading is
// false.
#include "platform/cnn/cnn.h"
#include "platform/cnn/zone_polygon.h"

#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using kovira::cnn::ZonePolygon;

namespace {

// A reading's tracking point may be off the true one by this many pixels
// (lossy video moves the plate's edges).
constexpr int kPointTolerance = 3;
constexpr int kCapacity = 512;

struct Expected {
  std::string text;
  int ox = 0;
  int oy = 0;
  bool counted = false;  // wholly inside a polygon
};

struct Handle {
  void* h = nullptr;
  ~Handle() { free_cnn(h); }
};

int usage() {
  std::cerr << "usage: platereader VIDEO POLYGON... [--mode 2|6] [--truth truth.json] [--min-rate R] [--quiet]\n";
  return 2;
}

bool wholeBoxInside(const std::vector<ZonePolygon>& polys, int x, int y, int w, int h) {
  for (const ZonePolygon& p : polys) {
    if (kovira::cnn::contains(p, {x, y}) && kovira::cnn::contains(p, {x + w - 1, y}) &&
        kovira::cnn::contains(p, {x, y + h - 1}) && kovira::cnn::contains(p, {x + w - 1, y + h - 1})) {
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> descriptions;
  std::string video, truthPath;
  int mode = CNN_MODE_PLATES;
  double minRate = -1;
  bool quiet = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= argc) return std::nullopt;
      return std::string(argv[++i]);
    };
    if (a == "--mode") {
      auto v = value();
      if (!v) return usage();
      mode = std::atoi(v->c_str());
    } else if (a == "--truth") {
      auto v = value();
      if (!v) return usage();
      truthPath = *v;
    } else if (a == "--min-rate") {
      auto v = value();
      if (!v) return usage();
      minRate = std::atof(v->c_str());
    } else if (a == "--quiet") {
      quiet = true;
    } else if (video.empty()) {
      video = a;
    } else {
      descriptions.push_back(a);
    }
  }
  if (video.empty() || descriptions.empty()) return usage();

  std::vector<ZonePolygon> polys;
  std::vector<char*> cpolys;
  for (std::string& d : descriptions) {
    auto p = kovira::cnn::parseZonePolygon(d);
    if (!p) {
      std::cerr << "platereader: not a polygon description: " << d << "\n";
      return 2;
    }
    polys.push_back(*p);
    cpolys.push_back(d.data());
  }

  // Truth per frame.
  std::map<int, std::vector<Expected>> truth;
  if (!truthPath.empty()) {
    std::ifstream in(truthPath);
    nlohmann::json t;
    try {
      in >> t;
      for (const auto& v : t.at("vehicles")) {
        for (const auto& f : v.at("frames")) {
          const auto& b = f.at("box");
          Expected e{f.at("text").get<std::string>(), f.at("point")[0].get<int>(), f.at("point")[1].get<int>(),
                     false};
          e.counted = wholeBoxInside(polys, b[0].get<int>(), b[1].get<int>(), b[2].get<int>(), b[3].get<int>());
          truth[f.at("frame").get<int>()].push_back(e);
        }
      }
    } catch (const std::exception& e) {
      std::cerr << "platereader: cannot read " << truthPath << ": " << e.what() << "\n";
      return 2;
    }
  }

  cv::VideoCapture cap(video, cv::CAP_FFMPEG);
  if (!cap.isOpened()) {
    std::cerr << "platereader: cannot open " << video << "\n";
    return 2;
  }
  Handle handle;
  cv::Mat frame, grey;
  std::vector<CNN_RESULT> results(kCapacity);
  long expected = 0, correct = 0, falseReadings = 0, frames = 0;
  for (int k = 0; cap.read(frame); ++k, ++frames) {
    if (frame.channels() == 3) {
      cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
    } else {
      grey = frame;
    }
    if (!grey.isContinuous()) grey = grey.clone();
    if (handle.h == nullptr) {
      handle.h = init_cnn(6, grey.rows, grey.cols, cpolys.data(), static_cast<int>(cpolys.size()), mode);
      if (handle.h == nullptr) {
        std::cerr << "platereader: the recogniser refused the polygons\n";
        return 2;
      }
      cnn_set_debug_level(handle.h, 0);
    }
    void* pixels = grey.data;
    int count = kCapacity;
    const int walked = cnn(handle.h, results.data(), &count, &pixels, 1, grey.cols, grey.rows, 1, cpolys.data(),
                           static_cast<int>(cpolys.size()));
    if (walked != 1) {
      std::cerr << "platereader: the recogniser failed on frame " << k << "\n";
      return 2;
    }
    auto& here = truth[k];
    std::vector<bool> matched(here.size(), false);
    for (int r = 0; r < count; ++r) {
      const CNN_RESULT& res = results[static_cast<std::size_t>(r)];
      if (!quiet) {
        std::printf("frame %d zone %u text %s class %d box %d,%d,%d,%d point %d,%d\n", k, res.zoneid, res.text,
                    res.cls, res.x, res.y, res.w, res.h, res.ox, res.oy);
      }
      if (truthPath.empty()) continue;
      bool belongs = false;
      for (std::size_t i = 0; i < here.size(); ++i) {
        if (std::abs(here[i].ox - res.ox) <= kPointTolerance && std::abs(here[i].oy - res.oy) <= kPointTolerance) {
          belongs = true;
          if (here[i].text == res.text) matched[i] = true;
        }
      }
      if (!belongs) ++falseReadings;
    }
    for (std::size_t i = 0; i < here.size(); ++i) {
      if (!here[i].counted) continue;
      ++expected;
      if (matched[i]) ++correct;
    }
  }
  if (truthPath.empty()) return 0;
  const double rate = expected > 0 ? static_cast<double>(correct) / expected : 0.0;
  std::printf("frames %ld expected %ld correct %ld rate %.4f false %ld\n", frames, expected, correct, rate,
              falseReadings);
  if (minRate >= 0 && (rate < minRate || falseReadings > 0 || expected == 0)) return 1;
  return 0;
}
