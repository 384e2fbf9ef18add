// Collage items: what fills one cell of an evidence collage.
//
// CollageImage is a frame with an optional crop around the vehicle, overlay
// shapes drawn into the frame (plate box, crosshair), marked points whose
// cell positions the collage reports back, and a caption band rendered with
// cairo under the picture. An item belongs to the worker thread that builds
// the evidence; shapes are drawn into the frame's pixels, so callers pass a
// private copy when the source must stay untouched.
#pragma once

#include <opencv2/core.hpp>

#include <memory>
#include <string>
#include <vector>

typedef struct _cairo_surface cairo_surface_t;

struct CollageScalePoint {
  int id = 0;   // the caller's number for the point
  int x = 0;
  int y = 0;
  int pos = 0;  // cell position of the item it came from
};

class CollageItem {
 public:
  CollageItem() = default;
  virtual ~CollageItem() = default;
  // Fills cell (width x height, 8-bit BGR) with the item.
  virtual void Draw(cv::Mat& cell, int width, int height) = 0;
  // Appends the item's marked points in cell coordinates.
  virtual void ScaleCoordsOnImage(std::vector<CollageScalePoint>& out, int width, int height) = 0;
};

// Six hexadecimal digits read pairwise into channels 0, 1, 2 (OpenCV drawing
// takes channel 0 as blue: "0000FF" is red). Missing digits leave 0.
cv::Scalar GetColor(const char* text);

// Pictures of one evidence event live in per-thread buffers, one per use,
// so a worker building event after event does not fault in fresh pages for
// each. A buffer is handed out again only once every cv::Mat that shared its
// previous picture has let go; until then a new one takes its place.
enum class PictureBuffer { CollageCanvas, ColourFrame, ScaledFrame, Count };
cv::Mat reusablePicture(PictureBuffer use, int rows, int cols, int type);

// Converts an ARGB32 cairo surface into an 8-bit BGR picture.
void CairoToMat(cairo_surface_t* surface, cv::Mat& out);

class CollageImage : public CollageItem {
 public:
  // Overlay drawn into the frame before it is scaled into the cell.
  class Shape {
   public:
    Shape() = default;
    Shape(int x1, int y1, int x2, int y2, std::string colour, int thickness);
    virtual ~Shape() = default;
    virtual void Draw(cv::Mat& frame) = 0;
    void setColor(std::string colour);

    int x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    int thickness = 0;
    cv::Scalar colour;
  };
  class Rect : public Shape {
   public:
    using Shape::Shape;
    void Draw(cv::Mat& frame) override;
  };
  class Line : public Shape {
   public:
    using Shape::Shape;
    void Draw(cv::Mat& frame) override;
  };
  class Crosshair : public Shape {
   public:
    Crosshair(int x, int y, int size, std::string colour, int thickness);
    void Draw(cv::Mat& frame) override;
    int x, y, size;
  };

  static constexpr int kDefaultFontSize = 12;

  // Shares frame's pixels. A grey frame stays grey in `image` and is never
  // written: Draw converts the part the cell shows into a picture of its own
  // and draws the overlays there. Other pictures become BGR.
  explicit CollageImage(cv::Mat& frame);
  CollageImage(char* jpeg, int len);
  CollageImage(char* jpeg, int len, std::string caption, int fontSize);
  // Raw pixels: 3 channels as BGR (shared), 1 channel converted.
  CollageImage(char* pixels, int width, int height, int channels);

  void Offset(int x, int y, int w, int h);
  void setCoord(int id, cv::Point p);
  void setCoord(int id, int x, int y);
  void DrawRect(int x, int y, int w, int h, const char* colour, int thickness);
  void DrawLine(int x1, int y1, int x2, int y2, const char* colour, int thickness);
  void drawCrosshair(int x, int y, int size, const char* colour, int thickness);
  // One outline, drawn 1 pixel wide whatever the thickness.
  void Rectangle(int x, int y, int w, int h, int thickness, const char* colour);

  void Draw(cv::Mat& cell, int width, int height) override;
  void ScaleCoordsOnImage(std::vector<CollageScalePoint>& out, int width, int height) override;

  // src fitted (fill false) or covering (fill true) a w x h picture of
  // background colour, centred.
  cv::Mat ScaleImage(cv::Mat src, int w, int h, cv::Scalar& background);
  // Frame point to cell point, matching ScaleImage with this item's fill.
  // False (x, y untouched) when the crop does not lie inside the source.
  bool ScaleCoords(int srcW, int srcH, int offX, int offY, int offW, int offH, int dstW, int dstH, int& x, int& y);
  // Renders text with cairo. width and height 0: the surface is sized from
  // the text (lines wrapped at blanks to wrapWidth when it is above 0).
  // flags: bit 0 bold, bit 1 italic. Colour channels 0..2 are red, green, blue.
  cv::Mat TextImage(std::string text, cv::Scalar& textColour, cv::Scalar& background, unsigned int flags,
                    int width, int height, int wrapWidth, int fontSize);

  const cv::Rect& cropRect() const { return crop_; }
  int captionHeight() const { return captionHeight_; }

  std::string caption;
  bool fill = false;
  cv::Mat image;

 private:
  bool cropInsideFrame() const;

  cv::Rect crop_;
  int captionHeight_ = 0;
  std::vector<CollageScalePoint> marked_;
  std::vector<std::unique_ptr<Shape>> shapes_;
  struct Outline {
    int x = 0, y = 0, width = 0, height = 0, thickness = 0;
    cv::Scalar colour;
  } rectangle_;
  cv::Scalar textColour_ = GetColor("FFFFFF");
  cv::Scalar background_ = GetColor("000000");
  int fontSize_ = kDefaultFontSize;
};
