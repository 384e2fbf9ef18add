// The hardware decoder pipeline: one decoder element and one converter
// element behind it, and a capture thread that carries every decoded picture
// through the converter to the picture callback.
//
// Use: lock `mutex`, set `callback`, call parse() with one buffer of H.264
// elementary stream and the wanted output code ("NM12" or "AR24"); parse
// returns once every picture of that buffer was delivered (on the capture
// thread, while the caller waits inside parse) or dropped, then unlock.
// A picture the decoder gives after parse returned never reaches a callback.
// The last picture of a buffer comes out of the decoder only with the next
// buffer; the first picture of every parse but the parser's first is
// dropped, so a buffer that ends with the key frame the next buffer starts
// with yields its pictures exactly once.
//
// At the end of a stream, flush() hands over the picture the decoder still
// holds; the next parse then starts a new stream.
//
// Every wait is bounded: parse gives up after 30 s, a converter that does
// not give a picture back within 5 s is taken for wedged, and all waits are
// cut into short slices that look at the stop flags and at `working`, so a
// SIGINT ends a parse at once (it returns -1).
//
// Lifetime: the constructor opens both devices and starts the capture
// thread; the destructor ends the stream, stops and joins the thread and
// releases both elements. Nothing but the constructor ("Cannot allocate
// hardware resources (dec, conv)") and parse ("HWDEC input wrong") throws.
// A capture thread that fails, or a parse that runs out of time, marks the
// parser broken for good: parse returns -1 and the owner builds a new one.
#pragma once

#include <cstdint>
#include <functional>
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
  // (metadata word, output four-character code, planes, plane count)
  using Callback = std::function<void(int, int, V4TVideoParserPlane*, int)>;

  V4TVideoParser();
  ~V4TVideoParser();
  V4TVideoParser(const V4TVideoParser&) = delete;
  V4TVideoParser& operator=(const V4TVideoParser&) = delete;

  // Returns length once the buffer is fully decoded, -1 on failure or when
  // the parser is closing or broken.
  int parse(const std::uint8_t* data, std::uint64_t length, int fourcc);
  // End of stream: delivers the pictures the decoder still holds (the last
  // one of the stream) like a parse does; returns 0, or -1 as parse does.
  int flush(int fourcc);
  std::uint64_t averageTime() const;

  // Pictures the last parse handed to the callback.
  std::uint64_t lastDelivered() const;
  const std::string& decoderName() const;
  const std::string& converterName() const;
  bool broken() const;

  V4TVideoParserPrivate* d;
  Callback callback;
  std::mutex mutex;
};
