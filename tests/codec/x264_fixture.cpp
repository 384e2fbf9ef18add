#include "tests/codec/x264_fixture.h"

extern "C" {
#include <x264.h>
}

#include <cstring>
#include <memory>
#include <stdexcept>

namespace fixture {

namespace {

struct EncoderClose {
  void operator()(x264_t* e) const { x264_encoder_close(e); }
};

char kindOf(const x264_picture_t& out, bool intraRefresh) {
  switch (out.i_type) {
    case X264_TYPE_IDR: return 'K';
    case X264_TYPE_I: return out.b_keyframe ? 'K' : 'I';
    case X264_TYPE_P: return intraRefresh && out.b_keyframe ? 'R' : 'P';
    default: return 'B';
  }
}

}  // namespace

X264Stream encodeX264(const X264Options& o, const LumaPainter& paint) {
  x264_param_t p;
  if (x264_param_default_preset(&p, "veryfast", nullptr) < 0) throw std::runtime_error("x264 preset");
  p.i_width = o.width;
  p.i_height = o.height;
  p.i_csp = X264_CSP_I420;
  p.i_fps_num = static_cast<std::uint32_t>(o.fps);
  p.i_fps_den = 1;
  p.i_threads = 1;
  p.i_log_level = X264_LOG_ERROR;
  p.i_keyint_max = o.keyint;
  // x264 turns a forced I frame into a key frame once this many pictures
  // followed the last one; it clips the value to keyint / 2 + 1.
  p.i_keyint_min = o.keyint / 2 + 1;
  p.i_scenecut_threshold = 0;
  p.i_frame_reference = o.refs;
  p.i_bframe = o.bframes;
  p.b_open_gop = o.openGop ? 1 : 0;
  p.b_intra_refresh = o.intraRefresh ? 1 : 0;
  p.b_repeat_headers = 1;
  p.b_annexb = 1;
  p.rc.i_rc_method = X264_RC_CRF;
  p.rc.f_rf_constant = static_cast<float>(o.crf);
  if (x264_param_apply_profile(&p, "high") < 0) throw std::runtime_error("x264 profile");
  std::unique_ptr<x264_t, EncoderClose> enc(x264_encoder_open(&p));
  if (!enc) throw std::runtime_error("x264 refused the options");

  x264_picture_t in;
  if (x264_picture_alloc(&in, X264_CSP_I420, o.width, o.height) < 0) throw std::runtime_error("x264 picture");
  X264Stream s;
  s.width = o.width;
  s.height = o.height;
  x264_picture_t out;
  x264_nal_t* nals = nullptr;
  int count = 0;
  auto encode = [&](x264_picture_t* picture) {
    const int size = x264_encoder_encode(enc.get(), &nals, &count, picture, &out);
    if (size <= 0) return;
    // x264 lays the NAL units of one picture out back to back.
    s.units.push_back(AccessUnit{s.bytes.size(), static_cast<std::size_t>(size), out.b_keyframe != 0,
                                 static_cast<int>(out.i_pts)});
    s.kinds.push_back(kindOf(out, o.intraRefresh));
    s.bytes.insert(s.bytes.end(), nals[0].p_payload, nals[0].p_payload + size);
  };
  for (int n = 0; n < o.frames; ++n) {
    std::uint8_t* luma = in.img.plane[0];
    const int stride = in.img.i_stride[0];
    if (paint) paint(luma, o.width, o.height, stride, n);
    else drawGrey(luma, o.width, o.height, stride, n);
    for (int plane = 1; plane < 3; ++plane)
      std::memset(in.img.plane[plane], 128, static_cast<std::size_t>(in.img.i_stride[plane]) * (o.height / 2));
    in.i_pts = n;
    in.i_type = o.forcedIEvery > 0 && n > 0 && n % o.forcedIEvery == 0 ? X264_TYPE_I : X264_TYPE_AUTO;
    encode(&in);
  }
  while (x264_encoder_delayed_frames(enc.get()) > 0) encode(nullptr);
  x264_picture_clean(&in);
  if (static_cast<int>(s.units.size()) != o.frames) throw std::runtime_error("x264 lost pictures");
  return s;
}

}  // namespace fixture
