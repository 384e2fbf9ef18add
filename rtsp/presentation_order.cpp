#include "rtsp/presentation_order.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cstdlib>
#include <cstring>
#include <numeric>
#include <stdexcept>

std::int64_t PresentationOrder::Distance(std::int64_t decodeIndex, std::int64_t poc, bool idr) {
  if (idr || !anchored_) {
    anchored_ = true;
    anchorSlot_ = decodeIndex;
    anchorPoc_ = poc;
    return 0;
  }
  const std::int64_t delta = poc - anchorPoc_;
  if (delta != 0) step_ = std::gcd(step_, std::llabs(delta));
  const std::int64_t distance = anchorSlot_ + delta / step_ - decodeIndex;
  return std::llabs(distance) > kMaxDistanceFrames ? 0 : distance;
}

namespace {

enum class Slices { None, Idr, Other };

//  Annex B:  00 00 01 | forbidden_zero_bit, nal_ref_idc, nal_unit_type (5 bits) | ...
// Slice NAL unit types (ITU-T H.264 table 7-1): 1 non-IDR, 2-4 data
// partitions, 5 IDR. The slices of one picture are all IDR or none is.
Slices FirstSlice(std::span<const std::uint8_t> unit) {
  constexpr unsigned kNalSlice = 1, kNalIdr = 5;
  for (std::size_t i = 0; i + 3 < unit.size(); ++i) {
    if (unit[i] != 0 || unit[i + 1] != 0 || unit[i + 2] != 1) continue;
    const unsigned type = unit[i + 3] & 0x1Fu;
    if (type == kNalIdr) return Slices::Idr;
    if (type >= kNalSlice && type < kNalIdr) return Slices::Other;
    i += 2;
  }
  return Slices::None;
}

}  // namespace

void H264PresentationOrder::ParserClose::operator()(AVCodecParserContext* p) const { av_parser_close(p); }
void H264PresentationOrder::ContextFree::operator()(AVCodecContext* c) const { avcodec_free_context(&c); }

H264PresentationOrder::H264PresentationOrder()
    : parser_(av_parser_init(AV_CODEC_ID_H264)), context_(avcodec_alloc_context3(nullptr)) {
  if (!parser_ || !context_) throw std::runtime_error("no H.264 parser in libavcodec");
  // Each call gets one whole access unit: no search for where it ends.
  parser_->flags |= PARSER_FLAG_COMPLETE_FRAMES;
}

H264PresentationOrder::~H264PresentationOrder() = default;

std::int64_t H264PresentationOrder::Distance(std::span<const std::uint8_t> unit, std::int64_t decodeIndex) {
  const Slices slices = FirstSlice(unit);
  if (unit.size() > static_cast<std::size_t>(INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE)) return 0;
  // Every unit goes through the parser, sets and all: it keeps the parameter
  // sets and the previous picture's count that the next count depends on.
  padded_.assign(unit.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
  if (!unit.empty()) std::memcpy(padded_.data(), unit.data(), unit.size());
  std::uint8_t* out = nullptr;
  int outSize = 0;
  av_parser_parse2(parser_.get(), context_.get(), &out, &outSize, padded_.data(), static_cast<int>(unit.size()),
                   AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
  if (slices == Slices::None) return 0;
  return order_.Distance(decodeIndex, parser_->output_picture_number, slices == Slices::Idr);
}
