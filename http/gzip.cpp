#include "http/gzip.h"

#include "core/log.h"
#include "http/limits.h"

#include <zlib.h>

#include <istream>
#include <memory>
#include <ostream>
#include <vector>

namespace {

constexpr int kGzipWindowBits = 15 + 16;  // 15-bit window, gzip wrapper
constexpr int kMemLevel = 8;

struct DeflateEnd {
  void operator()(z_stream* z) const { deflateEnd(z); }
};

}  // namespace

bool gzipStream(std::istream& in, std::ostream& out) {
  z_stream z{};
  if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, kMemLevel, Z_DEFAULT_STRATEGY) != Z_OK) {
    log_error("error: deflate init failed");
    return false;
  }
  const std::unique_ptr<z_stream, DeflateEnd> guard(&z);

  std::vector<char> input(http_limits::kGzipChunk);
  std::vector<char> output(http_limits::kGzipChunk);
  int flush = Z_NO_FLUSH;
  do {
    in.read(input.data(), static_cast<std::streamsize>(input.size()));
    const std::streamsize got = in.gcount();
    // The chunk after which the input is exhausted finishes the member.
    if (in.eof() || in.peek() == std::char_traits<char>::eof()) flush = Z_FINISH;
    in.clear();
    z.next_in = reinterpret_cast<Bytef*>(input.data());
    z.avail_in = static_cast<uInt>(got);
    do {
      z.next_out = reinterpret_cast<Bytef*>(output.data());
      z.avail_out = static_cast<uInt>(output.size());
      const int rc = deflate(&z, flush);
      if (rc == Z_STREAM_ERROR) return false;
      out.write(output.data(), static_cast<std::streamsize>(output.size() - z.avail_out));
    } while (z.avail_out == 0);
  } while (flush != Z_FINISH);
  return static_cast<bool>(out);
}
