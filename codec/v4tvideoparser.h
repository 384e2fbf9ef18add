// The hardware decoder pipeline: one decoder element and one converter
// element behind it, and a capture thread that carries every decoded picture
// through the converter to the picture callback.
//
// Use: lock `mutex`, set `callback`, call parse() with a buffer of H.264
// elementary stream and the wanted output code ("NM12" or "AR24"); parse
// returns once every picture of that buffer was delivered (on the capture
// thread, while the caller waits inside parse), then unlock.
//
// Pictures are named, not counted: each access unit (stored frame) goes to
// the decoder in an input buffer of its own whose timestamp names the parse
// and the unit's place in the buffer; the decoder copies it to the picture
// decoded from that unit, whatever order and delay its output has. The
// callback's first argument is that place (0 for the buffer's first unit);
// a picture stamped for another parse (left in the decoder by an earlier
// one) never reaches a callback, nor does one given after parse returned.
// Units are the caller's (the frame store knows its frames' bytes) or, when
// none are given, found in the bytes. A buffer that ends with the key frame
// the next group starts with (the way the frame store cuts a group) does not
// decode that key frame: it is the next parse's first picture.
//
// The decoder is driven by the kernel's rules for a stateful V4L2 decoder.
// Each parse waits until the decoder has taken every unit and its capture
// side is set up for the format the input announced (a source change in
// between is handled first: the buffers of the old format end with one
// flagged V4L2_BUF_FLAG_LAST, then the capture side is rebuilt), and only
// then drains it (V4L2_DEC_CMD_STOP, which a decoder whose capture queue does
// not stream would ignore), waits for the buffer flagged LAST that ends the
// drain (a LAST with a source change pending is the other kind) and resumes
// it (V4L2_DEC_CMD_START), so the decoder holds nothing between parses.
// Input that brings no picture size within a second after it was taken holds
// no picture: the parse ends without one. A decoder without the drain
// command gets a key frame after the units (the trailing one, or the group's
// own again), which pushes the group's pictures out; the parse ends once
// every input is back and every unit's picture, or that key frame's, came
// out (or, failing both, nothing came for a while longer than the gaps
// between this parse's pictures). That key frame's picture is discarded.
// A picture the decoder flags V4L2_BUF_FLAG_ERROR (a failed or concealed
// decode) never reaches the callback: its frame has no picture.
//
// Input buffers hold one unit each and grow (in whole MiB, up to 32 MiB) to
// the largest unit a parse brings; a unit the decoder cannot take fails the
// parse.
//
// Every wait is bounded: parse gives up after 30 s, a drain that has not
// ended 5 s after it was asked is taken for wedged, as is a converter that
// does not give a picture back within 5 s; all waits are cut into short
// slices that look at the stop flags and at `working`, so a SIGINT ends a
// parse at once (it returns -1).
//
// Lifetime: the constructor opens both devices and starts the capture
// thread; the destructor stops and joins the thread and releases both
// elements. Nothing but the constructor ("Cannot allocate hardware
// resources (dec, conv)") and parse ("HWDEC input wrong") throws.
// A capture thread that fails, or a parse or drain that runs out of time,
// marks the parser broken for good: parse returns -1 and the owner builds a
// new one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <mutex>
#include <string>

struct V4TVideoParserPlane {
  std::uint32_t width;
  std::uint32_t height;
  std::uint32_t bytesperpixel;
  std::uint32_t stride;
  std::uint8_t* data;
  std::uint32_t sizeimage;
};

class V4TVideoParserPrivate;

class V4TVideoParser {
 public:
  // (place of the picture's unit in the parsed buffer, output
  // four-character code, planes, plane count)
  using Callback = std::function<void(int, int, V4TVideoParserPlane*, int)>;
  // One access unit of a parsed buffer: bytes [offset, offset + size).
  struct Unit {
    std::size_t offset;
    std::size_t size;
  };

  V4TVideoParser();
  ~V4TVideoParser();
  V4TVideoParser(const V4TVideoParser&) = delete;
  V4TVideoParser& operator=(const V4TVideoParser&) = delete;

  // Returns length once the buffer is fully decoded, -1 on failure or when
  // the parser is closing or broken (or a unit is too large for the decoder). units: the buffer's access units in
  // order (a callback's place indexes them); empty: found in the bytes.
  // Bytes after the last unit are the next group's key frame (see above).
  int parse(const std::uint8_t* data, std::uint64_t length, int fourcc, std::span<const Unit> units = {});
  std::uint64_t averageTime() const;

  // Pictures the last parse handed to the callback, and pictures of its
  // units the decoder flagged as failed (never handed over).
  std::uint64_t lastDelivered() const;
  std::uint64_t lastFlagged() const;
  const std::string& decoderName() const;
  const std::string& converterName() const;
  bool broken() const;

  V4TVideoParserPrivate* d;
  Callback callback;
  std::mutex mutex;
};
