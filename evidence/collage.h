// Collage: the evidence picture, a BGR image divided into the cells of a
// numbered layout (the embedded "collage.cfg"), with one item drawn into
// each used cell. After Assemble the items' marked points are known in
// collage coordinates (getCoord).
//
// A collage belongs to one worker thread; it does not own its items, which
// must stay alive until Assemble has run.
#pragma once

#include "evidence/collageimage.h"

#include <opencv2/core.hpp>

#include <vector>

class Collage {
 public:
  // The largest side in pixels: a 4096 x 4096 picture is 48 MiB already,
  // and sizes reach here from pages and configuration files.
  static constexpr int kMaxSide = 4096;

  // Throws std::out_of_range("Incorrect config for collage") when a side is
  // below 2 or above kMaxSide or the layout cannot be loaded (the reason is
  // logged first).
  Collage(int type, int width, int height);

  bool LoadConfig(int type, int width, int height);
  // Records item for cell pos (0: the whole picture, 1..n: the layout's
  // cells); a position outside the cells is logged and ignored.
  void Place(CollageItem& item, int pos);
  void Place(CollageItem& item);
  void Assemble(bool grid);
  bool getCoord(int id, int& x, int& y) const;

  cv::Mat image;
  std::vector<CollageScalePoint> points;
  std::vector<cv::Rect> cells;

 private:
  struct Placed {
    int pos;
    CollageItem* item;
  };
  std::vector<Placed> placed_;
};
