#include "evidence/collageimage.h"

#include "core/log.h"

#include <cairo.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace {

// Captions are far smaller; the cap keeps a runaway text from asking cairo
// for a gigantic surface (cairo's own limit is 32767).
constexpr int kMaxCaptionSide = 4096;  // a caption never outgrows the largest collage
constexpr int kCaptionMargin = 8;  // left inset of the caption band

struct SurfaceDeleter {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextDeleter {
  void operator()(cairo_t* c) const { cairo_destroy(c); }
};
using Surface = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;
using Context = std::unique_ptr<cairo_t, ContextDeleter>;

// Caption colours read as red, green, blue (unlike OpenCV drawing).
void setSource(cairo_t* cr, const cv::Scalar& c) {
  cairo_set_source_rgb(cr, c[0] / 255.0, c[1] / 255.0, c[2] / 255.0);
}

// The font is asked for as "verdana"; fontconfig substitutes what the
// machine has (DejaVu Sans on Debian, which covers Cyrillic).
void selectFont(cairo_t* cr, unsigned flags, int fontSize) {
  cairo_select_font_face(cr, "verdana", (flags & 2u) ? CAIRO_FONT_SLANT_ITALIC : CAIRO_FONT_SLANT_NORMAL,
                         (flags & 1u) ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, fontSize);
}

std::vector<std::string> splitAt(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  for (;;) {
    const auto at = text.find(sep, start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) break;
    start = at + 1;
  }
  return parts;
}

// One axis of placing a scaled picture into its target: centred, the
// overflow cut evenly from both sides.
struct Span {
  int src = 0, dst = 0, len = 0;
};
Span centre(int scaled, int target) {
  if (scaled > target) return {(scaled - target) / 2, 0, target};
  return {0, (target - scaled) / 2, scaled};
}

// Scales src into dst (a picture or a view into one) as ScaleImage does:
// fitted whole with background bands, or covering dst with the overflow cut
// evenly. A fitted picture is resized straight into its place.
void scaleInto(const cv::Mat& src, cv::Mat dst, const cv::Scalar& background, bool fill) {
  const int w = dst.cols;
  const int h = dst.rows;
  if (src.empty() || w < 1 || h < 1) {
    dst.setTo(background);
    return;
  }
  const float fx = static_cast<float>(w) / static_cast<float>(src.cols);
  const float fy = static_cast<float>(h) / static_cast<float>(src.rows);
  const float f = (fx <= fy) == fill ? fy : fx;  // fit takes the smaller factor, fill the larger
  const cv::Size scaledSize(std::max(1, cvRound(src.cols * static_cast<double>(f))),
                            std::max(1, cvRound(src.rows * static_cast<double>(f))));
  const Span sx = centre(scaledSize.width, w);
  const Span sy = centre(scaledSize.height, h);
  if (sx.len < w || sy.len < h) dst.setTo(background);
  if (scaledSize.width <= w && scaledSize.height <= h) {
    cv::Mat place = dst(cv::Rect(sx.dst, sy.dst, sx.len, sy.len));
    cv::resize(src, place, scaledSize, 0, 0, cv::INTER_LINEAR);
    return;
  }
  cv::Mat scaled = reusablePicture(PictureBuffer::ScaledFrame, scaledSize.height, scaledSize.width, src.type());
  cv::resize(src, scaled, scaledSize, 0, 0, cv::INTER_LINEAR);
  scaled(cv::Rect(sx.src, sy.src, sx.len, sy.len)).copyTo(dst(cv::Rect(sx.dst, sy.dst, sx.len, sy.len)));
}

}  // namespace

cv::Mat reusablePicture(PictureBuffer use, int rows, int cols, int type) {
  thread_local std::array<cv::Mat, static_cast<std::size_t>(PictureBuffer::Count)> buffers;
  cv::Mat& buffer = buffers.at(static_cast<std::size_t>(use));
  // Someone still holds the last picture: leave it to them.
  if (buffer.u != nullptr && buffer.u->refcount != 1) buffer.release();
  buffer.create(rows, cols, type);
  return buffer;
}

cv::Scalar GetColor(const char* text) {
  unsigned c[3] = {0, 0, 0};
  if (text) std::sscanf(text, "%02x%02x%02x", &c[0], &c[1], &c[2]);
  return cv::Scalar(c[0], c[1], c[2], 0);
}

void CairoToMat(cairo_surface_t* surface, cv::Mat& out) {
  cairo_surface_flush(surface);
  const int w = cairo_image_surface_get_width(surface);
  const int h = cairo_image_surface_get_height(surface);
  unsigned char* data = cairo_image_surface_get_data(surface);
  if (!data || w < 1 || h < 1) {
    out.release();
    return;
  }
  const cv::Mat bgra(h, w, CV_8UC4, data, static_cast<std::size_t>(cairo_image_surface_get_stride(surface)));
  cv::cvtColor(bgra, out, cv::COLOR_BGRA2BGR);
}

// ---- shapes ---------------------------------------------------------------

CollageImage::Shape::Shape(int ax1, int ay1, int ax2, int ay2, std::string c, int t)
    : x1(ax1), y1(ay1), x2(ax2), y2(ay2), thickness(t), colour(GetColor(c.c_str())) {}

void CollageImage::Shape::setColor(std::string c) { colour = GetColor(c.c_str()); }

void CollageImage::Rect::Draw(cv::Mat& frame) {
  cv::rectangle(frame, cv::Rect(x1, y1, x2 - x1, y2 - y1), colour, thickness, cv::LINE_8);
}

void CollageImage::Line::Draw(cv::Mat& frame) {
  cv::line(frame, cv::Point(x1, y1), cv::Point(x2, y2), colour, thickness, cv::LINE_8);
}

CollageImage::Crosshair::Crosshair(int cx, int cy, int sz, std::string c, int t)
    : Shape(cx, cy, cx, cy, std::move(c), t), x(cx), y(cy), size(sz) {}

void CollageImage::Crosshair::Draw(cv::Mat& frame) {
  const int half = size / 2;
  cv::line(frame, cv::Point(x - half, y - half), cv::Point(x + half, y + half), colour, thickness, cv::LINE_8);
  cv::line(frame, cv::Point(x + half, y - half), cv::Point(x - half, y + half), colour, thickness, cv::LINE_8);
}

// ---- construction -----------------------------------------------------------

namespace {

cv::Mat asBgr(const cv::Mat& src) {
  cv::Mat out;
  switch (src.channels()) {
    case 1:
      out = reusablePicture(PictureBuffer::ColourFrame, src.rows, src.cols, CV_8UC3);
      cv::cvtColor(src, out, cv::COLOR_GRAY2BGR);
      return out;
    case 3:
      return src;
    case 4:
      out = reusablePicture(PictureBuffer::ColourFrame, src.rows, src.cols, CV_8UC3);
      cv::cvtColor(src, out, cv::COLOR_BGRA2BGR);
      return out;
    default:
      log_error_format("Collage image: unsupported picture with %d channels", src.channels());
      return {};
  }
}

cv::Mat decodeJpeg(const char* jpeg, int len) {
  if (!jpeg || len <= 0) return {};
  try {
    return cv::imdecode(cv::Mat(1, len, CV_8UC1, const_cast<char*>(jpeg)), cv::IMREAD_COLOR);
  } catch (const cv::Exception& e) {
    log_error_format("Collage image: picture not decoded: %s", e.what());
    return {};
  }
}

}  // namespace

CollageImage::CollageImage(cv::Mat& frame) {
  if (frame.empty() || frame.depth() != CV_8U) return;
  // A grey frame stays grey until Draw knows which part of it is shown.
  image = frame.channels() == 1 ? frame : asBgr(frame);
}

CollageImage::CollageImage(char* jpeg, int len) : image(decodeJpeg(jpeg, len)) {}

CollageImage::CollageImage(char* jpeg, int len, std::string text, int fontSize)
    : caption(std::move(text)), image(decodeJpeg(jpeg, len)), fontSize_(fontSize) {}

CollageImage::CollageImage(char* pixels, int width, int height, int channels) {
  if (!pixels || width < 1 || height < 1 || (channels != 1 && channels != 3)) return;
  const cv::Mat raw(height, width, channels == 3 ? CV_8UC3 : CV_8UC1, pixels);
  image = asBgr(raw);
}

void CollageImage::Offset(int x, int y, int w, int h) { crop_ = cv::Rect(x, y, w, h); }

void CollageImage::setCoord(int id, cv::Point p) { setCoord(id, p.x, p.y); }

void CollageImage::setCoord(int id, int x, int y) { marked_.push_back({id, x, y, 0}); }

void CollageImage::DrawRect(int x, int y, int w, int h, const char* colour, int thickness) {
  shapes_.push_back(std::make_unique<Rect>(x, y, x + w, y + h, colour ? colour : "", thickness));
}

void CollageImage::DrawLine(int x1, int y1, int x2, int y2, const char* colour, int thickness) {
  shapes_.push_back(std::make_unique<Line>(x1, y1, x2, y2, colour ? colour : "", thickness));
}

void CollageImage::drawCrosshair(int x, int y, int size, const char* colour, int thickness) {
  shapes_.push_back(std::make_unique<Crosshair>(x, y, size, colour ? colour : "", thickness));
}

void CollageImage::Rectangle(int x, int y, int w, int h, int thickness, const char* colour) {
  rectangle_ = {x, y, w, h, thickness, GetColor(colour)};
}

// ---- drawing ----------------------------------------------------------------

bool CollageImage::cropInsideFrame() const {
  if (crop_.width < 1) return true;  // the whole frame
  return crop_.height >= 1 && crop_.x >= 0 && crop_.y >= 0 && crop_.x + crop_.width <= image.cols &&
         crop_.y + crop_.height <= image.rows;
}

void CollageImage::Draw(cv::Mat& cell, int W, int H) {
  captionHeight_ = 0;
  if (W < 1 || H < 1) return;
  if (cell.rows != H || cell.cols != W || cell.type() != CV_8UC3) cell = cv::Mat(H, W, CV_8UC3, cv::Scalar::all(0));
  if (image.empty()) return;  // nothing to show: the cell stays black

  auto drawOverlays = [this](cv::Mat& frame) {
    if (rectangle_.width > 0) {
      cv::rectangle(frame, cv::Rect(rectangle_.x, rectangle_.y, rectangle_.width, rectangle_.height),
                    rectangle_.colour, 1, cv::LINE_8);
    }
    for (const auto& shape : shapes_) shape->Draw(frame);
  };
  const bool grey = image.channels() == 1;
  cv::Mat frame = image;  // overlays go into the item's own picture
  if (!grey) drawOverlays(frame);

  if (!cropInsideFrame()) {
    log_error_format("Incorrect image offset: %d, %d, %d, %d", crop_.x, crop_.y, crop_.width, crop_.height);
    return;
  }

  cv::Mat text;
  if (!caption.empty()) {
    text = TextImage(caption, textColour_, background_, 0, 0, 0, W - 2 * kCaptionMargin, fontSize_);
    // A caption taller than the cell keeps its first lines and the whole cell.
    captionHeight_ = std::min(text.rows, H);
  }
  const int pictureH = H - captionHeight_;

  if (crop_.width >= 1 && pictureH >= 1) {
    // Widen the crop to the cell's shape so the vehicle keeps its aspect.
    const float aw = static_cast<float>(std::min(W, frame.cols));
    const float ah = static_cast<float>(std::min(pictureH, frame.rows));
    const float rx = aw / static_cast<float>(crop_.width);
    const float ry = ah / static_cast<float>(crop_.height);
    if (rx > ry) {
      int nw = static_cast<int>(aw / ry);
      int x = static_cast<int>(crop_.x - (aw * 0.5f / ry - crop_.width / 2.0f));
      if (x < 0) x = 0;
      if (x + nw > frame.cols) x = std::max(0, frame.cols - nw);
      nw = std::min(nw, frame.cols);
      crop_.x = x;
      crop_.width = nw;
    } else {
      int nh = static_cast<int>(ah / rx);
      int y = static_cast<int>(crop_.y - (ah * 0.5f / rx - crop_.height / 2.0f));
      if (y < 0) y = 0;
      if (y + nh > frame.rows) y = std::max(0, frame.rows - nh);
      nh = std::min(nh, frame.rows);
      crop_.y = y;
      crop_.height = nh;
    }
  }
  if (grey && pictureH >= 1) {
    // Only the shown part is converted, into a frame-sized colour picture so
    // the overlays keep their frame coordinates; what they draw outside that
    // part is never read. Drawing only overwrites pixels, so the shown part
    // comes out as if the whole frame had been converted first.
    const cv::Rect shown = crop_.width >= 1 ? crop_ : cv::Rect(0, 0, image.cols, image.rows);
    frame = reusablePicture(PictureBuffer::ColourFrame, image.rows, image.cols, CV_8UC3);
    cv::Mat shownColour = frame(shown);
    cv::cvtColor(image(shown), shownColour, cv::COLOR_GRAY2BGR);
    drawOverlays(frame);
  }
  if (crop_.width >= 1 && pictureH >= 1) frame = frame(crop_);

  if (pictureH >= 1) {
    scaleInto(frame, cell(cv::Rect(0, 0, W, pictureH)), background_, fill);
  }

  if (captionHeight_ > 0 && W > 2 * kCaptionMargin && !text.empty()) {
    const int cols = text.cols >= W - 2 * kCaptionMargin + 1 ? W - 2 * kCaptionMargin : text.cols;
    text(cv::Rect(0, 0, cols, captionHeight_)).copyTo(cell(cv::Rect(kCaptionMargin, H - captionHeight_, cols, captionHeight_)));
  }
}

void CollageImage::ScaleCoordsOnImage(std::vector<CollageScalePoint>& out, int W, int H) {
  const int pictureH = H - captionHeight_;
  // A crop outside the frame draws nothing, so its points point nowhere.
  if (image.empty() || pictureH < 1 || W < 1 || !cropInsideFrame()) return;
  for (const CollageScalePoint& p : marked_) {
    int x = p.x;
    int y = p.y;
    if (ScaleCoords(image.cols, image.rows, crop_.x, crop_.y, crop_.width, crop_.height, W, pictureH, x, y)) {
      out.push_back({p.id, x, y, 0});
    }
  }
}

cv::Mat CollageImage::ScaleImage(cv::Mat src, int w, int h, cv::Scalar& background) {
  cv::Mat result(std::max(h, 1), std::max(w, 1), CV_8UC3, background);
  if (w >= 1 && h >= 1) scaleInto(src, result, background, fill);
  return result;
}

bool CollageImage::ScaleCoords(int srcW, int srcH, int offX, int offY, int offW, int offH, int dstW, int dstH,
                               int& x, int& y) {
  if (offX + offW > srcW || offY + offH > srcH || offX < 0 || offY < 0) return false;
  float w = static_cast<float>(srcW);
  float h = static_cast<float>(srcH);
  int px = x;
  int py = y;
  if (offW > 0) {
    w = static_cast<float>(offW);
    px -= offX;
  }
  if (offH > 0) {
    h = static_cast<float>(offH);
    py -= offY;
  }
  if (w <= 0 || h <= 0 || dstW < 1 || dstH < 1) return false;
  const float sx = static_cast<float>(dstW) / w;
  const float sy = static_cast<float>(dstH) / h;
  if (fill) {
    // Mirrors ScaleImage: scale by the larger factor, cut the overflow evenly.
    const float f = std::max(sx, sy);
    const int scaledW = std::max(1, cvRound(w * static_cast<double>(f)));
    const int scaledH = std::max(1, cvRound(h * static_cast<double>(f)));
    const Span cx = centre(scaledW, dstW);
    const Span cy = centre(scaledH, dstH);
    // Pixel centres map to pixel centres, as the bilinear resize samples
    // them: a crop enlarged six times still points at the plate's middle.
    x = static_cast<int>(std::lround((px + 0.5) * f - 0.5)) - cx.src + cx.dst;
    y = static_cast<int>(std::lround((py + 0.5) * f - 0.5)) - cy.src + cy.dst;
  } else if (sx > sy) {
    x = static_cast<int>(static_cast<float>(static_cast<int>(px * sy)) + std::fabs(w * sy - dstW) * 0.5f);
    y = static_cast<int>(py * sy);
  } else {
    x = static_cast<int>(px * sx);
    y = static_cast<int>(static_cast<float>(static_cast<int>(py * sx)) + std::fabs(sx * h - dstH) * 0.5f);
  }
  return true;
}

// ---- captions ---------------------------------------------------------------

cv::Mat CollageImage::TextImage(std::string text, cv::Scalar& textColour, cv::Scalar& background, unsigned int flags,
                                int width, int height, int wrapWidth, int fontSize) {
  const bool fixed = width > 0 && height > 0;

  // 1. Measure on a scratch surface and lay the lines out.
  Surface scratch(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1));
  Context measure(cairo_create(scratch.get()));
  selectFont(measure.get(), flags, fontSize);
  cairo_font_extents_t fe;
  cairo_font_extents(measure.get(), &fe);
  const double lineH = std::trunc(fe.ascent + fe.descent);
  const double lead = std::trunc(fe.ascent + fe.descent - fe.height);

  struct Placed {
    std::string text;
    double y;
  };
  std::vector<Placed> lines;
  double y = 0;
  double maxW = 0;
  double lastBearing = 0;
  auto measureWidth = [&](const std::string& s) {
    cairo_text_extents_t te;
    cairo_text_extents(measure.get(), s.c_str(), &te);
    lastBearing = te.y_bearing;
    return te.x_bearing + te.width;
  };
  auto place = [&](std::string s) {
    y += lead + lineH;
    lines.push_back({std::move(s), y});
  };

  for (std::string& line : splitAt(text, '\n')) {
    if (fixed) {
      place(std::move(line));
      continue;
    }
    maxW = std::max(maxW, std::trunc(measureWidth(line)));
    if (wrapWidth < 1 || maxW <= wrapWidth) {
      place(std::move(line));
      continue;
    }
    const std::vector<std::string> words = splitAt(line, ' ');
    std::string current = words.front();
    for (std::size_t i = 1; i < words.size(); ++i) {
      const std::string candidate = current + " " + words[i];
      if (measureWidth(candidate) <= wrapWidth) {
        current = candidate;
      } else {
        place(std::move(current));
        current = words[i];
      }
    }
    place(std::move(current));
  }

  // 2. The surface is sized from what was laid out, so no caption is cut
  //    by a surface too small for it.
  int surfaceW = width;
  int surfaceH = height;
  if (!fixed) {
    surfaceW = static_cast<int>(maxW);
    surfaceH = static_cast<int>(std::trunc(y - lastBearing));
  }
  surfaceW = std::clamp(surfaceW, 1, kMaxCaptionSide);
  surfaceH = std::clamp(surfaceH, 1, kMaxCaptionSide);

  Surface surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, surfaceW, surfaceH));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) {
    log_error("Caption surface not created");
    return cv::Mat(surfaceH, surfaceW, CV_8UC3, cv::Scalar(background[2], background[1], background[0]));
  }
  Context cr(cairo_create(surface.get()));
  setSource(cr.get(), background);
  cairo_paint(cr.get());
  selectFont(cr.get(), flags, fontSize);
  setSource(cr.get(), textColour);
  for (const Placed& p : lines) {
    if (p.y - lineH > surfaceH) break;  // below the surface
    cairo_move_to(cr.get(), 0, p.y);
    cairo_show_text(cr.get(), p.text.c_str());
  }
  cv::Mat out;
  CairoToMat(surface.get(), out);
  return out;
}
