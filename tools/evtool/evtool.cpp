// evtool: composes one sample evidence collage the way a processing module
// does (night frame brightened, red plate box, crosshair, vehicle crop
// filling the cell, upper-cased two-line caption, marked points) from a
// drawn grey road scene, and writes it as a JPEG for a person to look at.
//
// Usage: evtool [OUTPUT.jpg] [--grid]
//        evtool zip OUT FILE...   (packs the files, stored, into OUT)
//        evtool --photos DIR
// Prints where the marked points (plate centre, plate top-left, plate
// bottom-right) landed in the collage; with --grid they are circled too.
// --photos writes the five colour test photographs of the collage preview
// page (DIR/photo_1.jpg to photo_5.jpg, each of another size) instead.
#include "core/text.h"
#include "evidence/brighten.h"
#include "evidence/collage.h"
#include "evidence/labelformat.h"
#include "evidence/simplefile.h"
#include "evidence/zip.h"

#include <opencv2/imgproc.hpp>

#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int kFrameW = 1280;
constexpr int kFrameH = 720;
constexpr int kCollageW = 960;
constexpr int kCollageH = 600;
constexpr unsigned kEventTime = 1700000000;

// A dark grey road with lane marks, a car body and a white plate.
cv::Mat drawScene(cv::Rect& plate, cv::Rect& car) {
  cv::Mat frame(kFrameH, kFrameW, CV_8UC1, cv::Scalar(12));
  cv::fillConvexPoly(frame, std::vector<cv::Point>{{420, 0}, {860, 0}, {1280, 720}, {0, 720}}, cv::Scalar(22));
  for (int y = 20; y < kFrameH; y += 120) cv::line(frame, {640, y}, {640, y + 60}, cv::Scalar(60), 6);
  car = cv::Rect(470, 300, 360, 300);
  cv::rectangle(frame, car, cv::Scalar(30), cv::FILLED);
  cv::rectangle(frame, cv::Rect(500, 330, 300, 110), cv::Scalar(16), cv::FILLED);  // windscreen
  plate = cv::Rect(585, 520, 130, 30);
  cv::rectangle(frame, plate, cv::Scalar(70), cv::FILLED);
  cv::putText(frame, "A123BC77", {plate.x + 6, plate.y + 23}, cv::FONT_HERSHEY_SIMPLEX, 0.75, cv::Scalar(5), 2);
  return frame;
}

// Each FILE becomes a member under the name given on the command line.
int packZip(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: evtool zip OUT FILE..." << std::endl;
    return 2;
  }
  Zip zip;
  for (int i = 3; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
      std::cerr << "evtool: cannot read " << argv[i] << std::endl;
      return 1;
    }
    if (bytes.size() > std::numeric_limits<unsigned int>::max()) {
      std::cerr << "evtool: " << argv[i] << " is too large for a zip member" << std::endl;
      return 1;
    }
    try {
      zip.add(argv[i], bytes.data(), static_cast<unsigned int>(bytes.size()));
    } catch (const std::length_error& e) {
      std::cerr << "evtool: " << e.what() << std::endl;
      return 1;
    }
  }
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(zip.data()), static_cast<std::streamsize>(zip.size()));
  out.close();
  if (!out) {
    std::cerr << "evtool: cannot write " << argv[2] << std::endl;
    return 1;
  }
  return 0;
}

// Colour variations of the drawn scene, each of its own size, so that the
// preview page shows how cells of every shape take pictures of every shape.
int writePhotos(const std::string& dir) {
  static const cv::Size kSizes[] = {{1280, 720}, {960, 720}, {640, 480}, {1600, 900}, {720, 960}};
  for (int n = 1; n <= 5; ++n) {
    cv::Rect plate, car;
    cv::Mat colour;
    cv::cvtColor(drawScene(plate, car), colour, cv::COLOR_GRAY2BGR);
    colour.convertTo(colour, -1, 3.0, 0);
    cv::rectangle(colour, car, cv::Scalar(40 * n, 90, 220 - 35 * n), cv::FILLED);
    cv::rectangle(colour, plate, cv::Scalar(235, 235, 235), cv::FILLED);
    cv::putText(colour, "A123BC77", {plate.x + 6, plate.y + 23}, cv::FONT_HERSHEY_SIMPLEX, 0.75, cv::Scalar(0, 0, 0), 2);
    cv::Mat photo;
    cv::resize(colour, photo, kSizes[n - 1], 0, 0, cv::INTER_AREA);
    const std::string path = dir + "/photo_" + std::to_string(n) + ".jpg";
    const SimpleFile jpeg = loadCvImage(photo, path, 90);
    if (jpeg.size == 0 || jpeg.safesave(path) < 0) {
      std::fprintf(stderr, "could not write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "zip") == 0) return packZip(argc, argv);
  if (argc == 3 && std::strcmp(argv[1], "--photos") == 0) return writePhotos(argv[2]);
  std::string output = "evtool.jpg";
  bool grid = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--grid") == 0) {
      grid = true;
    } else {
      output = argv[i];
    }
  }

  cv::Rect plate, car;
  cv::Mat grey = drawScene(plate, car);
  const int brightness = miraclefunc(grey);
  cv::Mat colour;
  cv::cvtColor(grey, colour, cv::COLOR_GRAY2BGR);

  CollageImage photo(colour);
  const cv::Point centre(plate.x + plate.width / 2, plate.y + plate.height / 2);
  photo.setCoord(1, centre);
  photo.setCoord(2, plate.tl());
  photo.setCoord(3, plate.br());
  photo.DrawRect(plate.x, plate.y, plate.width, plate.height, "0000FF", 6);
  photo.drawCrosshair(centre.x, centre.y - 120, 22, "0000FF", 4);

  LabelFormat label("%t  %n|СКОРОСТЬ %spd КМ/Ч, ЛИМИТ %lim КМ/Ч, направление %w", kEventTime);
  label.emplace("n", "А123ВС77");
  label.emplace("spd", 87);
  label.emplace("lim", 60);
  label.way(1);
  photo.caption = strtoupper(label.text());
  photo.Offset(car.x, car.y, car.width, car.height);
  photo.fill = true;

  Collage collage(1, kCollageW, kCollageH);
  collage.Place(photo, 1);
  collage.Assemble(grid);

  std::printf("frame brightness before brightening: %d\n", brightness);
  for (int id = 1; id <= 3; ++id) {
    int x = 0, y = 0;
    if (collage.getCoord(id, x, y)) {
      std::printf("marked point %d at (%d, %d)\n", id, x, y);
      if (grid) cv::circle(collage.image, {x, y}, 5, cv::Scalar(0, 255, 0), 1);
    } else {
      std::printf("marked point %d not shown\n", id);
    }
  }

  const SimpleFile jpeg = loadCvImage(collage.image, output, 80);
  if (jpeg.size == 0 || jpeg.safesave(output) < 0) {
    std::fprintf(stderr, "could not write %s\n", output.c_str());
    return 1;
  }
  std::printf("wrote %s (%llu bytes)\n", output.c_str(), static_cast<unsigned long long>(jpeg.size));
  return 0;
}
