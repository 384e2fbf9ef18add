// The picture handler both decoders bind into a parser's picture callback,
// and the one rule that names a picture's frame.
//
// A parser names each picture by the place, in the parsed buffer, of the
// stored frame it was decoded from (the decoder's timestamp copy), whatever
// order and delay the decoder's output has. The frame is the sequence's
// first frame plus that place; a place outside the sequence's frames
// (0 to limit - 1) names no frame of it and the picture is dropped. The
// filter chooses which frames to keep, the sink what to do with a kept
// picture; the count is the number of pictures that named a frame. Only
// plane 0 is used: the luma plane for "NM12", the whole picture for "AR24".
//
// Runs on the parser's capture thread while the caller waits inside parse;
// the plane memory is the converter's buffer, so the picture is copied
// before the handler returns.
#pragma once

#include "codec/decodedframe.h"
#include "codec/v4tvideoparser.h"

#include <cstddef>
#include <cstdint>

namespace kovira {

// Plane 0 as a picture of `format`, or the invalid picture when the plane
// does not hold one of that format (no data, bytes per pixel differ, rows
// reaching past the plane).
inline DecodedFrame pictureOfPlane(int camid, unsigned number, PixelFormat format, const V4TVideoParserPlane* planes,
                                   int nplanes) {
  if (planes == nullptr || nplanes < 1) return DecodedFrame();
  const V4TVideoParserPlane& p = planes[0];
  if (p.data == nullptr || p.width == 0 || p.height == 0) return DecodedFrame();
  const std::uint64_t bpp = static_cast<std::uint64_t>(DecodedFrame::getBpp(format));
  if (p.bytesperpixel != 0 && p.bytesperpixel != bpp) return DecodedFrame();
  const std::uint64_t row = p.width * bpp;
  const std::uint64_t step = p.stride > row ? p.stride : row;
  if (p.sizeimage != 0 && (p.height - 1) * step + row > p.sizeimage) return DecodedFrame();
  return DecodedFrame(camid, number, format, static_cast<int>(p.width), static_cast<int>(p.height), p.data,
                      static_cast<std::size_t>(p.stride));
}

// The frame a picture belongs to: the sequence's first frame plus the place
// of the unit it was decoded from; false when the place is not one of the
// sequence's `limit` frames.
inline bool pictureFrame(unsigned first, int limit, int place, unsigned& number) {
  if (place < 0 || place >= limit) return false;
  number = first + static_cast<unsigned>(place);
  return true;
}

template <class Filter, class Sink, class Target>
void _decodeSeqCb(Filter& filter, Sink& sink, Target& target, int camid, unsigned first, int& count, int limit,
                  int place, int fourcc, V4TVideoParserPlane* planes, int nplanes) {
  unsigned number = 0;
  if (!pictureFrame(first, limit, place, number)) return;
  if (filter(number)) {
    DecodedFrame picture =
        pictureOfPlane(camid, number, pixFmt(static_cast<std::uint32_t>(fourcc)), planes, nplanes);
    sink(target, picture);
  }
  ++count;
}

}  // namespace kovira
