#include "evidence/collage.h"

#include "core/log.h"
#include "evidence/embedded.h"

// The JSON parser still includes the old bind header.
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <opencv2/imgproc.hpp>

#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>

Collage::Collage(int type, int width, int height) {
  if (width < 2 || height < 2 || width > kMaxSide || height > kMaxSide) {
    log_error_format("Collage size %d x %d is out of range", width, height);
    throw std::out_of_range("Incorrect config for collage");
  }
  image = reusablePicture(PictureBuffer::CollageCanvas, height, width, CV_8UC3);
  image.setTo(cv::Scalar::all(0));
  cells.emplace_back(1, 1, width - 1, height - 1);
  if (!LoadConfig(type, width, height)) throw std::out_of_range("Incorrect config for collage");
}

namespace {

// The embedded layouts never change: parsed once, read by every collage.
// Null (logged) when the file is missing or malformed.
const boost::property_tree::ptree* layouts() {
  static const std::optional<boost::property_tree::ptree> parsed = []() -> std::optional<boost::property_tree::ptree> {
    namespace pt = boost::property_tree;
    std::size_t size = 0;
    const char* text = find_embedded_file("collage.cfg", &size);
    if (!text) {
      log_error("Error opening config file (static linked)");
      return std::nullopt;
    }
    pt::ptree root;
    try {
      std::istringstream in(std::string(text, size));
      pt::read_json(in, root);
    } catch (const pt::json_parser_error& e) {
      log_error(std::string("Parsing config error: ") + e.what());
      return std::nullopt;
    }
    return root;
  }();
  return parsed ? &*parsed : nullptr;
}

}  // namespace

bool Collage::LoadConfig(int type, int width, int height) {
  namespace pt = boost::property_tree;
  const pt::ptree* all = layouts();
  if (!all) return false;
  const pt::ptree& root = *all;

  const pt::ptree* layout = nullptr;
  for (const auto& entry : root) {
    if (entry.second.get<int>("type", -1) == type) {
      layout = &entry.second;
      break;
    }
  }
  if (!layout) {
    log_error_format("Collage type=%d not found in the config file", type);
    return false;
  }
  const auto cellList = layout->get_child_optional("cells");
  if (!cellList) return true;
  for (const auto& entry : *cellList) {
    const auto cx = entry.second.get_optional<float>("x");
    const auto cy = entry.second.get_optional<float>("y");
    const auto cw = entry.second.get_optional<float>("width");
    const auto ch = entry.second.get_optional<float>("height");
    if (!cx || !cy || !cw || !ch) {
      log_error_format("Incorrect coordinates of cell for collage type %d", type);
      return false;
    }
    const float fw = static_cast<float>(width);
    const float fh = static_cast<float>(height);
    const int x = static_cast<int>(fw * *cx / 100.0f);
    const int y = static_cast<int>(fh * *cy / 100.0f);
    const int w = static_cast<int>(fw * *cw / 100.0f);
    const int h = static_cast<int>(fh * *ch / 100.0f);
    if (x + w > width || y + h > height || x < 0 || y < 0 || w < 0 || h < 0) {
      log_error_format("Coordinates of cell of collage type %d are more than size of image", type);
      return false;
    }
    cells.emplace_back(x, y, w, h);
  }
  return true;
}

void Collage::Place(CollageItem& item, int pos) {
  if (pos < 0) {
    log_error_format("Position %d is negative", pos);
    return;
  }
  if (static_cast<std::size_t>(pos) >= cells.size()) {
    log_error_format("Position %d is greater than size of collage", pos);
    return;
  }
  placed_.push_back({pos, &item});
}

void Collage::Place(CollageItem& item) { Place(item, placed_.empty() ? 1 : placed_.back().pos + 1); }

void Collage::Assemble(bool grid) {
  image.setTo(GetColor("000000"));
  points.clear();
  for (const Placed& entry : placed_) {
    const cv::Rect cell = cells[static_cast<std::size_t>(entry.pos)];
    if (cell.width < 1 || cell.height < 1) continue;
    // The item draws straight into its black cell of the picture.
    cv::Mat picture = image(cell);
    // The first cell lies on the picture just cleared; a later one may
    // overlap what an earlier item drew.
    if (&entry != &placed_.front()) picture.setTo(cv::Scalar::all(0));
    const uchar* inPlace = picture.data;
    entry.item->Draw(picture, cell.width, cell.height);

    std::vector<CollageScalePoint> mapped;
    entry.item->ScaleCoordsOnImage(mapped, cell.width, cell.height);
    for (CollageScalePoint p : mapped) {
      p.x += cell.x;
      p.y += cell.y;
      if (p.x >= cell.x && p.x < cell.x + cell.width && p.y >= cell.y && p.y < cell.y + cell.height) {
        p.pos = entry.pos;
        points.push_back(p);
      } else {
        std::ostringstream line;
        line << "error: scaled point (id=" << p.id << "): [" << p.x << ", " << p.y << "] outside rect: ["
             << cell.width << " x " << cell.height << " from (" << cell.x << ", " << cell.y << ")]\n";
        std::cout << line.str() << std::flush;
      }
    }
    if (picture.data == inPlace) continue;
    if (picture.rows == cell.height && picture.cols == cell.width && picture.type() == CV_8UC3) {
      picture.copyTo(image(cell));
    } else {
      log_error_format("Collage item drew a picture of the wrong size for cell %d", entry.pos);
    }
  }
  if (grid) {
    for (const cv::Rect& cell : cells) cv::rectangle(image, cell, cv::Scalar(0, 0, 255), 1, cv::LINE_8);
  }
}

bool Collage::getCoord(int id, int& x, int& y) const {
  for (const CollageScalePoint& p : points) {
    if (p.id == id) {
      x = p.x;
      y = p.y;
      return true;
    }
  }
  return false;
}
