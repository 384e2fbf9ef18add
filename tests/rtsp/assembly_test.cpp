// Frame assembly: the quiet-time rule, gaps, wraps, re-basing and bounds on
// a clock the test sets; then the whole transport (UDP socket, packet
// buffer, RTCP session, delivery point) fed by tests/rtsp/rtp_sender.py.
#include "capture/cam.h"
#include "rtsp/packetsbuffer.h"
#include "rtsp/points.h"
#include "rtsp/session.h"
#include "rtsp/sockets.h"
#include "tests/codec/h264_fixture.h"
#include "tests/evidence/shell_helpers.h"
#include "tests/rtsp/rtp_support.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <random>
#include <set>
#include <sstream>

namespace {

using rtsptest::Bytes;
using rtsptest::Recorder;
using rtsptest::rtp;

// n packets of one H.264 frame (FU-A start, middles, end) from seq.
std::vector<Bytes> fuFrame(std::uint16_t seq, std::uint32_t ts, unsigned n, std::uint32_t ssrc = 0x1234) {
  std::vector<Bytes> out;
  for (unsigned i = 0; i < n; ++i) {
    const std::uint8_t fu = (i == 0 ? 0x80 : 0) | (i + 1 == n ? 0x40 : 0) | 5;
    out.push_back(rtp(static_cast<std::uint16_t>(seq + i), ts, i + 1 == n, {0x7C, fu, 1, 2, 3, 4, 5, 6, 7, 8}, ssrc));
  }
  return out;
}

TEST(rtsp_assembly, FrameIsJudgedOnly200msAfterItsLastPacket) {
  Recorder r;
  for (const auto& d : fuFrame(10, 3000, 3)) ASSERT_TRUE(r.add(d, CodecH264, 1000));
  r.collect(1199);
  EXPECT_TRUE(r.frames.empty());
  r.collect(1200);
  ASSERT_EQ(r.frames.size(), 1u);
  EXPECT_EQ(r.frames[0].type, FRAME_I);
  EXPECT_EQ(r.frames[0].bytes.size(), 4 + 1 + 3 * 8u);
  // A frame without its marker, or without its start, is dropped.
  Recorder open;
  auto parts = fuFrame(10, 3000, 3);
  open.add(parts[0], CodecH264, 0);
  open.add(parts[1], CodecH264, 0);
  open.add(fuFrame(20, 6000, 3)[1], CodecH264, 0);
  open.add(fuFrame(20, 6000, 3)[2], CodecH264, 0);
  open.collect(1000);
  EXPECT_TRUE(open.frames.empty());
  EXPECT_EQ(open.dropped, 2u);
}

// With B-frames the RTP timestamp is the presentation time: a P frame is
// sent before the B frames shown ahead of it, and must leave before them
// (in sequence order), also across a sequence-number wrap.
TEST(rtsp_assembly, FramesLeaveInSendingOrderNotTimestampOrder) {
  for (const std::uint16_t first : {std::uint16_t{100}, std::uint16_t{65530}}) {
    Recorder r;
    // Decode order I0 P3 B1 B2, 3600 ticks a frame; packet counts tell them apart.
    const std::pair<std::uint32_t, unsigned> frames[] = {{0, 1}, {3 * 3600, 2}, {3600, 3}, {2 * 3600, 4}};
    auto seq = first;
    std::int64_t at = 0;
    for (const auto& [ts, n] : frames) {
      for (const auto& d : fuFrame(seq, 90000 + ts, n)) ASSERT_TRUE(r.add(d, CodecH264, at));
      seq = static_cast<std::uint16_t>(seq + n);
      at += 40;
    }
    r.collect(1000);
    ASSERT_EQ(r.frames.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(r.frames[i].timestamp, 90000 + frames[i].first) << first << " frame " << i;
      EXPECT_EQ(r.frames[i].bytes.size(), 5 + frames[i].second * 8u) << first << " frame " << i;
    }
  }
}

TEST(rtsp_assembly, GapsDropSmallFramesAndZeroFillLargeOnes) {
  struct Case {
    unsigned packets;
    bool delivered;
  } cases[] = {{50, false}, {100, false}, {102, true}, {150, true}};
  for (const auto& c : cases) {
    Recorder r;
    const auto parts = fuFrame(100, 9000, c.packets);
    for (std::size_t i = 0; i < parts.size(); ++i)
      if (i != 5) r.add(parts[i], CodecH264, 0);
    r.collect(1000);
    EXPECT_EQ(r.frames.size(), c.delivered ? 1u : 0u) << c.packets;
    if (c.delivered) {
      const Bytes& b = r.frames[0].bytes;
      // Five packets of 8 stored bytes before the gap: it is 40 / 6 = 6
      // zero bytes, after the start code and NAL header.
      EXPECT_EQ(b.size(), 5 + (c.packets - 1) * 8u + 6u);
      EXPECT_EQ(Bytes(b.begin() + 45, b.begin() + 51), Bytes(6, 0));
      EXPECT_EQ(b[51], 1);
    } else {
      EXPECT_EQ(r.gapPackets, c.packets - 1);
    }
  }
}

TEST(rtsp_assembly, SequenceWrapReorderDuplicatesAndSpan) {
  // 65530 .. 5 is 12 packets; sent out of order, with a duplicate.
  Recorder r;
  auto parts = fuFrame(65530, 1, 12);
  std::mt19937 shuffle(7);
  std::shuffle(parts.begin(), parts.end(), shuffle);
  for (const auto& d : parts) ASSERT_TRUE(r.add(d, CodecH264, 0));
  EXPECT_FALSE(r.add(parts[3], CodecH264, 0));
  r.collect(1000);
  ASSERT_EQ(r.frames.size(), 1u);
  EXPECT_EQ(r.frames[0].bytes.size(), 5 + 12 * 8u);
  // A frame spans at most half the sequence space: further apart, which
  // packet comes first cannot be told.
  Recorder span;
  ASSERT_TRUE(span.add(rtp(0, 1, false, {0x41, 1}), CodecH264, 0));
  EXPECT_TRUE(span.add(rtp(32767, 1, false, {0x41, 1}), CodecH264, 0));
  EXPECT_FALSE(span.add(rtp(32768, 1, false, {0x41, 1}), CodecH264, 0));
  EXPECT_FALSE(span.add(rtp(65535, 1, false, {0x41, 1}), CodecH264, 0));  // a re-base past that span
}

// Frames are bounded by bytes, not packets: a 5-megapixel picture runs to
// thousands of packets. A frame over the bound is dropped as oversize, with
// its later packets, and the stream goes on.
TEST(rtsp_assembly, LargeFramesArriveAndOversizeOnesAreDroppedAsSuch) {
  constexpr std::size_t kPayload = 1400;
  auto frame = [&](std::uint16_t seq, std::uint32_t ts, unsigned n) {
    std::vector<Bytes> out;
    for (unsigned i = 0; i < n; ++i) {
      Bytes payload(kPayload, static_cast<std::uint8_t>(i));
      payload[0] = 0x7C;
      payload[1] = static_cast<std::uint8_t>((i == 0 ? 0x80 : 0) | (i + 1 == n ? 0x40 : 0) | 5);
      out.push_back(rtp(static_cast<std::uint16_t>(seq + i), ts, i + 1 == n, payload));
    }
    return out;
  };
  const unsigned overBound = static_cast<unsigned>(FrameAssembler::kMaxFrameBytes / (kPayload - 2)) + 1;
  struct Case {
    unsigned packets;
    bool delivered;
  } cases[] = {{1025, true}, {overBound - 1, true}, {overBound, false}, {overBound + 500, false}};
  for (const auto& c : cases) {
    Recorder r;
    std::uint16_t seq = 60000;  // wraps inside the frame
    for (const auto& d : frame(seq, 1000, c.packets)) r.add(d, CodecH264, 0);
    seq = static_cast<std::uint16_t>(seq + c.packets);
    if (!c.delivered) {
      EXPECT_LE(r.assembler.Snapshot().at(0).frames.at(0).bytes, FrameAssembler::kMaxFrameBytes);
    }
    for (const auto& d : frame(seq, 4000, 3)) r.add(d, CodecH264, 10);
    r.collect(1000);
    ASSERT_EQ(r.frames.size(), c.delivered ? 2u : 1u) << c.packets;
    EXPECT_EQ(r.oversize, c.delivered ? 0u : 1u) << c.packets;
    EXPECT_EQ(r.dropped, r.oversize) << c.packets;
    if (c.delivered) {
      EXPECT_EQ(r.frames[0].bytes.size(), 5 + c.packets * (kPayload - 2)) << c.packets;
    }
    EXPECT_EQ(r.frames.back().timestamp, 4000u) << c.packets;
  }
}

TEST(rtsp_assembly, StreamsAreBoundedAndKeyedBySessionAndSsrc) {
  // Two sessions, one SSRC: frames stay apart.
  Recorder r;
  int a = 0, b = 0;
  for (const auto& d : fuFrame(1, 100, 2)) r.add(d, CodecH264, 0, &a);
  for (const auto& d : fuFrame(500, 100, 3)) r.add(d, CodecH264, 0, &b);
  EXPECT_EQ(r.assembler.streams(), 2u);
  r.collect(1000);
  ASSERT_EQ(r.frames.size(), 2u);
  EXPECT_NE(r.frames[0].owner, r.frames[1].owner);
  EXPECT_NE(r.frames[0].bytes.size(), r.frames[1].bytes.size());
  // A silent stream is erased once it has no open frame.
  r.collect(2001);
  EXPECT_EQ(r.assembler.streams(), 0u);

  // 10^5 start packets with random timestamps: at most 32 frames stay open.
  Recorder flood;
  std::mt19937 gen(1);
  for (int i = 0; i < 100000; ++i)
    flood.add(rtp(static_cast<std::uint16_t>(gen()), gen(), false, Bytes(1000, 0x41)), CodecH264, i / 100);
  EXPECT_LE(flood.assembler.openFrames(), FrameAssembler::kMaxOpenFrames);
  EXPECT_GE(flood.dropped, 100000u - FrameAssembler::kMaxOpenFrames);
  flood.collect(1'000'000);
  EXPECT_EQ(flood.assembler.openFrames(), 0u);
}

// One H.264 frame of n packets from seq: 'K' an IDR picture, 'P' a P slice
// (first_mb_in_slice 0, slice_type 0); fragmented (FU-A) when n > 1.
std::vector<Bytes> h264Frame(char kind, std::uint16_t seq, std::uint32_t ts, unsigned n, std::uint32_t ssrc = 0x1234) {
  const std::uint8_t type = kind == 'K' ? 5 : 1;
  const std::uint8_t head = kind == 'K' ? 0x88 : 0xC0;
  if (n == 1) return {rtp(seq, ts, true, {static_cast<std::uint8_t>(0x60 | type), head, 1, 2, 3}, ssrc)};
  std::vector<Bytes> out;
  for (unsigned i = 0; i < n; ++i) {
    const std::uint8_t fu = static_cast<std::uint8_t>((i == 0 ? 0x80 : 0) | (i + 1 == n ? 0x40 : 0) | type);
    out.push_back(rtp(static_cast<std::uint16_t>(seq + i), ts, i + 1 == n,
                      {0x7C, fu, i == 0 ? head : std::uint8_t{1}, 2, 3, 4, 5, 6, 7, 8}, ssrc));
  }
  return out;
}

// After a loss, frames that may refer to what was lost are refused until the
// next key frame: a lost packet or a lost frame anywhere in the reference
// chain, across the sequence-number wrap. Frames that did not arrive whole,
// in part or at all, are what the drop counter counts.
TEST(rtsp_assembly, FramesAfterALossWaitForTheNextKeyFrame) {
  struct Sent {
    char kind;
    unsigned packets;
    std::vector<unsigned> lost = {};  // packet indices never sent; all of them: a whole frame lost
    std::int64_t pauseMs = 0;         // silence before the frame
  };
  struct Case {
    const char* name;
    std::vector<Sent> frames;
    std::vector<std::uint32_t> delivered;  // frame indices
    unsigned dropped;                      // did not arrive whole
    unsigned refused;
  } cases[] = {
      {"no loss", {{'K', 3}, {'P', 2}, {'P', 1}, {'K', 2}, {'P', 1}}, {0, 1, 2, 3, 4}, 0, 0},
      {"a packet of a P frame", {{'K', 3}, {'P', 2, {1}}, {'P', 2}, {'P', 1}, {'K', 2}, {'P', 1}}, {0, 4, 5}, 1, 2},
      {"a whole P frame", {{'K', 3}, {'P', 1, {0}}, {'P', 2}, {'K', 2}, {'P', 1}}, {0, 3, 4}, 1, 1},
      {"two whole P frames, no frame interval known yet: one", {{'K', 1}, {'P', 1, {0}}, {'P', 1, {0}}, {'P', 1}, {'K', 1}}, {0, 4}, 1, 1},
      {"a whole key frame", {{'K', 1}, {'P', 1}, {'K', 3, {0, 1, 2}}, {'P', 2}, {'P', 1}, {'K', 1}}, {0, 1, 5}, 1, 2},
      {"the start of a key frame", {{'K', 2}, {'K', 3, {0}}, {'P', 1}, {'P', 1}, {'K', 1}}, {0, 4}, 1, 2},
      {"the marker of a P frame", {{'K', 2}, {'P', 2, {1}}, {'P', 1}, {'K', 1}}, {0, 3}, 1, 1},
      {"1 of 150 packets: filled, in step", {{'K', 2}, {'K', 150, {70}}, {'P', 1}}, {0, 1, 2}, 0, 0},
      {"a filled key frame ends the wait", {{'K', 2}, {'P', 1, {0}}, {'P', 1}, {'K', 150, {9}}, {'P', 1}}, {0, 3, 4}, 1, 1},
      {"silence: the stream resumes mid-group", {{'K', 2}, {'P', 1}, {'P', 1, {}, 3000}, {'P', 1}, {'K', 1}}, {0, 1, 4}, 0, 2},
  };
  for (const Case& c : cases) {
    Recorder r;
    std::uint16_t seq = 65530;
    std::int64_t now = 0;
    for (std::uint32_t i = 0; i < c.frames.size(); ++i) {
      const Sent& f = c.frames[i];
      now += 300 + f.pauseMs;
      r.collect(now - 1);  // a silent stream is erased
      const auto packets = h264Frame(f.kind, seq, i * 3600, f.packets);
      for (unsigned k = 0; k < packets.size(); ++k)
        if (std::find(f.lost.begin(), f.lost.end(), k) == f.lost.end()) r.add(packets[k], CodecH264, now);
      seq = static_cast<std::uint16_t>(seq + f.packets);
      r.collect(now + 250);
    }
    // The stream ends: frames lost whole in its last gap are counted.
    r.collect(now + 250 + FrameAssembler::kSilentStreamMs + 1);
    std::vector<std::uint32_t> delivered;
    for (const auto& d : r.frames) delivered.push_back(d.timestamp / 3600);
    EXPECT_EQ(delivered, c.delivered) << c.name;
    EXPECT_EQ(r.dropped - r.afterLoss, c.dropped) << c.name;
    EXPECT_EQ(r.afterLoss, c.refused) << c.name;
  }
}

// A stream in tokens, a frame every 40 ms, judged as it goes:
//   K3, P1   a key or P frame of so many packets, stamped with its ordinal
//            (× 3600); @N: stamped N instead (B-frames: presentation times);
//            jN: N ticks off that (a camera clock's jitter, N signed);
//            -I: its packet I never sent; x in front: none of it sent;
//            dN: its last packet comes N ms late;
//            then p, e, t or b: a packet after it that the receiver leaves
//            out: padding only, an end of sequence carrying the frame's
//            marker, another payload type, a STAP-B
//   /N       from here a frame every N ticks of the 90 kHz clock, and as
//            many ms apart (a camera that changes its rate)
//   L, LN    a copy of the first packet of the frame 8 (N) frames back
//   C        a copy of the last packet sent
//   S        the sender starts again: another SSRC and sequence numbers
//   R        the sender numbers anew under its SSRC, 100 back
//   ~N       N ms of silence
struct Played {
  std::string delivered;  // ordinals of the frames delivered
  unsigned counted = 0;   // dropframes
  unsigned refused = 0;
  unsigned late = 0;
};

Played play(const std::string& script) {
  rtsptest::Recorder r;
  std::uint16_t seq = 65500;  // the numbers wrap on the way
  std::uint32_t ssrc = 0x1234;
  std::int64_t now = 0;
  unsigned ordinal = 0;
  std::int64_t step = 3600, origin = 0;  // ticks a frame; the ordinal 0 would have had origin
  std::vector<std::pair<std::uint32_t, unsigned>> ordinals;  // (timestamp, ordinal), in sending order
  std::vector<Bytes> firsts;
  Bytes lastSent;
  std::multimap<std::int64_t, Bytes> delayed;  // packets that come late, by when
  const auto arrive = [&](std::int64_t until) {
    for (auto it = delayed.begin(); it != delayed.end() && it->first <= until; it = delayed.erase(it))
      r.receive(it->second, CodecH264, it->first);
  };
  std::istringstream tokens(script);
  for (std::string t; tokens >> t;) {
    if (t[0] == 'L' || t == "C") {
      const std::size_t back = t.size() > 1 && t[0] == 'L' ? std::stoul(t.substr(1)) : 8;
      r.receive(t == "C" ? lastSent : firsts.at(firsts.size() - back), CodecH264, now);
      continue;
    }
    if (t[0] == '/') {
      const std::int64_t ticks = std::stoll(t.substr(1));
      origin += static_cast<std::int64_t>(ordinal) * (step - ticks);
      step = ticks;
      continue;
    }
    if (t == "S" || t == "R") {
      ssrc += t == "S" ? 0x1111 : 0;
      seq = static_cast<std::uint16_t>(seq + (t == "S" ? 20000 : -100));
      continue;
    }
    if (t[0] == '~') {  // judged as the packet buffer does, every 50 ms
      for (const std::int64_t end = now + std::stoi(t.substr(1)); now < end; r.collect(now)) {
        now = std::min(now + 50, end);
        arrive(now);
      }
      continue;
    }
    const bool whole = t[0] == 'x';
    std::size_t at = whole ? 1 : 0;
    const char kind = t[at++];
    auto number = [&] {
      std::size_t used = 0;
      const unsigned n = static_cast<unsigned>(std::stoul(t.substr(at), &used));
      at += used;
      return n;
    };
    const unsigned n = number();
    unsigned pts = ordinal;
    std::vector<unsigned> lost;
    std::string left;
    std::int64_t jitter = 0, delay = 0;
    while (at < t.size()) {
      const char c = t[at++];
      if (c == '-') lost.push_back(number());
      else if (c == '@') pts = number();
      else if (c == 'd') delay = number();
      else if (c == 'j') {
        std::size_t used = 0;
        jitter = std::stoll(t.substr(at), &used);
        at += used;
      } else left += c;
    }
    const auto ts = static_cast<std::uint32_t>(origin + static_cast<std::int64_t>(pts) * step + jitter);
    ordinals.emplace_back(ts, ordinal++);
    auto packets = h264Frame(kind, seq, ts, n, ssrc);
    firsts.push_back(packets[0]);
    seq = static_cast<std::uint16_t>(seq + n);
    for (const char c : left) {
      Bytes d;
      if (c == 'p') {
        d = rtp(seq, ts, false, {0, 0, 0, 4}, ssrc);
        d[0] |= 0x20;
      } else if (c == 'e') {
        packets.back()[1] &= 0x7F;
        d = rtp(seq, ts, true, {0x0A}, ssrc);
      } else if (c == 't') {
        d = rtp(seq, ts, false, {1, 2, 3, 4}, ssrc, 127);
      } else {
        d = rtp(seq, ts, false, {0x19, 0, 0, 0, 2, 0x09, 0xF0}, ssrc);
      }
      packets.push_back(d);
      seq = static_cast<std::uint16_t>(seq + 1);
    }
    now += step / 90;
    arrive(now);
    for (unsigned k = 0; k < packets.size(); ++k) {
      if (whole || std::find(lost.begin(), lost.end(), k) != lost.end()) continue;
      if (delay != 0 && k + 1 == packets.size()) delayed.emplace(now + delay, packets[k]);
      else r.receive(packets[k], CodecH264, now);
      lastSent = packets[k];
    }
    r.collect(now);
  }
  arrive(now + FrameAssembler::kQuietMs);
  r.collect(now + FrameAssembler::kQuietMs);
  r.collect(now + FrameAssembler::kQuietMs + FrameAssembler::kSilentStreamMs + 1);  // the stream ends
  Played out;
  // Frames stamped alike leave in the order they were sent.
  for (const auto& f : r.frames) {
    const auto it = std::find_if(ordinals.begin(), ordinals.end(), [&](const auto& o) { return o.first == f.timestamp; });
    out.delivered += (out.delivered.empty() ? "" : " ") + std::to_string(it->second);
    ordinals.erase(it);
  }
  out.counted = r.dropped - r.afterLoss - r.late;
  out.refused = r.afterLoss;
  out.late = r.late;
  return out;
}

// 60 frames in groups of 25, the 25 frames from the tenth (decoding order)
// lost whole: 1 s at 25 frames a second. With B-frames: x264's choice of one
// or two between references.
std::string burst(bool bframes) {
  const std::string order = "0 1 2 3 5 4 6 9 7 8 10 13 11 12 14 17 15 16 18 21 19 20 22 24 23";
  std::string out;
  for (unsigned d = 0; d < 60; ++d) {
    unsigned pts = d;
    if (bframes) {
      std::istringstream in(order);
      for (unsigned k = 0; k <= d % 25; ++k) in >> pts;
      pts += d / 25 * 25;
    }
    out += std::string(d >= 10 && d < 35 ? "x" : "") + (d % 25 == 0 ? "K1" : "P1") + "@" + std::to_string(pts) + " ";
  }
  return out;
}

// Frames of 25 fps in groups of 25 (key frames of 3 packets): those of the
// groups in lostKeys lose their key frame whole; frame f is stamped
// jitter(f) ticks off the clock; from frame slower on, a frame every 7200
// ticks (12.5 fps).
std::string groups(unsigned frames, std::set<unsigned> lostKeys, int (*jitter)(unsigned), unsigned slower = 0) {
  std::string out;
  for (unsigned f = 0; f < frames; ++f) {
    if (slower != 0 && f == slower) out += "/7200 ";
    const bool key = f % 25 == 0;
    out += std::string(key && lostKeys.count(f / 25) ? "x" : "") + (key ? "K3" : "P1") + "j" + std::to_string(jitter(f)) + " ";
  }
  return out;
}

// Up to 3 ms either way (270 ticks), no pattern a frame interval falls on.
int within3ms(unsigned f) {
  static const int offsets[] = {0, 270, -270, 140, -180, 230, -90, -270, 60, 270, -230, 180, -40};
  return offsets[f % std::size(offsets)];
}
int onClock(unsigned) { return 0; }

// Only packets the camera sent that never arrived are losses, and every frame
// lost whole is counted.
TEST(rtsp_assembly, NoFalseLossesAndEveryLostFrameCounted) {
  struct Case {
    const char* name;
    std::string script;
    std::string delivered;  // "*": not looked at
    unsigned leastCounted, mostCounted, refused, late;
  } cases[] = {
      {"packets left out on purpose are no loss", "K3 P2p P1e P2t P1b P3e P1 K1", "0 1 2 3 4 5 6 7", 0, 0, 0, 0},
      {"a frame's marker on its end of sequence", "K1e P2e P1e", "0 1 2", 0, 0, 0, 0},
      {"a loss beside them is one", "K2 P1p xP1 P1e K1", "0 1 4", 1, 1, 1, 0},
      {"a late copy opens no frame", "K2 P1 P2 P1 P1 P2 P1 P1 P1 P1 L P1 P1 K1", "0 1 2 3 4 5 6 7 8 9 10 11 12", 0, 0, 0,
       1},
      {"a new SSRC at once waits for its key frame", "K2 P1 P1 S P1 P1 K1 P1", "0 1 2 5 6", 0, 0, 2, 0},
      {"the camera's first SSRC does not", "P1 P1 K1 P1", "0 1 2 3", 0, 0, 0, 0},
      {"numbering anew after silence: a key frame", "K2 P1 P1 ~300 R K1 P1", "0 1 2 3 4", 0, 0, 0, 0},
      {"numbering anew after silence: mid-group", "K2 P1 P1 ~300 R P1 K1", "0 1 2 4", 0, 0, 1, 0},
      {"1 s lost: 25 frames", burst(false), "*", 25, 25, 15, 0},
      {"1 s lost with B-frames: 25", burst(true), "*", 25, 25, 15, 0},
      {"no more frames than packets lost", "K1 P1 P1 xP1 xP1 P1@60 K1", "0 1 2 6", 2, 2, 1, 0},
      {"a frame cut at the gap counts on its own", "K1 P1 P1 P2-1 xP1 xP1 P1 K1", "0 1 2 7", 3, 3, 1, 0},
      // A frame ends at its marker, whatever its timestamp: a server that
      // clipped a file's first times stamps its first frames alike.
      {"frames stamped alike end at their markers", "K2 P2@0 P1@0 P1 P2 P1 K1", "0 1 2 3 4 5 6", 0, 0, 0, 0},
      {"frames stamped alike, sent out of order", "K2 P1@0 P1 P1 K1", "0 1 2 3 4", 0, 0, 0, 0},
      // The frame interval follows the camera: the step most frames share.
      {"time stamps 3 ms off the clock: 7 key frames", groups(225, {1, 2, 3, 4, 5, 6, 7}, within3ms), "*", 7, 7,
       7 * 24, 0},
      {"12.5 fps from the fourth second: 5 key frames", groups(235, {4, 5, 6, 7, 8}, onClock, 75), "*", 5, 5, 5 * 24, 0},
      {"30 fps, 1 ms off the clock: a P frame",
       "/3000 K2 P2j-90 P2j60 P2j-60 P2 P2j30 P2j-30 P2j90 P2j-90 P2j60 P2j-60 P2 P2j30 P2j-30 P2j90 P2j-90 P2j-90 xP2 "
       "P2j90 P2 P2j-90 P2j60 P2j-60 P2 P2j30 P2j-30 P2j90 K1",
       "0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 27", 1, 1, 9, 0},
      {"one odd step of a few ticks", "K1 P1 P1 P1j-3597 P1 P1 P1 P1 P1 xP3 P1 P1 P1 P1 P1 P1 P1 xP3 P1 P1 P1 P1 K1",
       "0 1 2 3 4 5 6 7 8 22", 2, 2, 11, 0},
      {"a step of no whole number of intervals: the least", "K1 P1 P1 P1 P1 xP3 P1j1800 P1 P1 P1 K1", "0 1 2 3 4 10", 1, 1,
       4, 0},
      // A frame judged without its end is counted once.
      {"a frame's end 236 ms late", "K1 P1 P1 P2d236 P1 P1 P1 P1 P1 K1 P1", "0 1 2 9 10", 1, 1, 5, 1},
      // A late copy stays one: after a pause of a slow camera, or of a
      // network that held packets back.
      {"a copy 220 ms late at 4 fps", "/22500 K2 P1 P1 P1 ~220 C P1 P1 K1", "0 1 2 3 4 5 6", 0, 0, 0, 1},
      {"at 4 fps, a copy of a frame long gone 220 ms after the last",
       "/22500 K2 P1 P1 P1 P1 P1 P1 P1 P1 P1 P1 P1 P1 P1 P1 P1 P1 P1 P1 P1 ~220 L20 P1 K1",
       "0 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21", 0, 0, 0, 1},
      {"a copy after a pause longer than the wait", "K2 P1 P1 P1 P1 ~400 C P1 P1 K1", "0 1 2 3 4 5 6 7", 0, 0, 0, 1},
      {"a copy of a frame's end after the stream's last frame", "K2 P3 P3 P3 ~300 C", "0 1 2 3", 0, 0, 0, 1},
  };
  for (const Case& c : cases) {
    const Played p = play(c.script);
    if (c.delivered != "*") {
      EXPECT_EQ(p.delivered, c.delivered) << c.name;
    }
    EXPECT_GE(p.counted, c.leastCounted) << c.name;
    EXPECT_LE(p.counted, c.mostCounted) << c.name;
    EXPECT_EQ(p.refused, c.refused) << c.name;
    EXPECT_EQ(p.late, c.late) << c.name;
  }
}

// A UDP socket on 127.0.0.1 at a port the kernel chose.
int loopbackUdp(unsigned& port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    ADD_FAILURE() << "no loopback UDP port";
  port = ntohs(a.sin_port);
  return fd;
}

// The transport on a kernel-chosen port: a camera record, a session whose
// remote end is the sender's port, frames collected from the delivery point.
class Transport : public ::testing::Test {
 protected:
  void SetUp() override {
    kovira::cameras().clear();
    kovira::addCamera(5, 1 << 20);
    buffer = std::make_unique<PacketsBuffer>(&owner);
    rtpSocket = std::make_unique<UdpSocket>(
        buffer.get(), [this](unsigned char* d, unsigned n, UdpSession* s, std::int64_t at) { buffer->WriteRtpBuffer(d, n, s, at); });
    rtcpSocket = std::make_unique<UdpSocket>(
        buffer.get(), [this](unsigned char* d, unsigned n, UdpSession* s, std::int64_t) { buffer->WriteRtcpBuffer(d, n, s); });
    ASSERT_TRUE(rtpSocket->Bind(0));
    ASSERT_TRUE(rtcpSocket->Bind(0));
    session = std::make_unique<Session>(5, buffer.get(), &owner, *rtpSocket, *rtcpSocket);
    owner.SubscribeFrames(42, 5, [this](unsigned, FrameType t, unsigned w, unsigned h, unsigned ts, double ntp,
                                        unsigned char* d, unsigned n) {
      std::lock_guard lock(mutex);
      frames.push_back({t, w, h, ts, ntp, Bytes(d, d + n)});
      grew.notify_all();
    });
  }
  // Writers first: the sockets, then the buffer's assembly thread, then the
  // sessions they write into.
  void TearDown() override {
    rtpSocket.reset();
    rtcpSocket.reset();
    buffer.reset();
    session.reset();
    kovira::cameras().clear();
  }

  static unsigned freePort() {
    unsigned port = 0;
    ::close(loopbackUdp(port));
    return port;
  }

  // Runs the sender from a port registered as the camera's RTP end.
  void send(const std::string& args, CodecType codec, unsigned payloadType = 96) {
    const unsigned port = freePort();
    session->rtp().payloadType = payloadType;
    session->rtp().codec = codec;
    session->rtp().SetRemoteAddress("127.0.0.1", port);
    const auto r = evtest::run("/usr/bin/python3 " KOVIRA_SOURCE_DIR "/tests/rtsp/rtp_sender.py " + args + " --to 127.0.0.1:" +
                               std::to_string(rtpSocket->LocalPort()) + " --bind " + std::to_string(port));
    ASSERT_EQ(r.status, 0) << r.output;
  }

  // Waits until delivered, dropped and refused frames reach n (the sender
  // has ended).
  void settle(std::size_t n) {
    std::unique_lock lock(mutex);
    grew.wait_for(lock, std::chrono::seconds(20), [&] {
      return frames.size() + session->camera->dropframes + session->rtp().framesAfterLoss >= n;
    });
  }

  struct Frame {
    FrameType type;
    unsigned width, height, timestamp;
    double ntp;
    Bytes bytes;
  };

  ReceiverPoint owner;
  std::unique_ptr<PacketsBuffer> buffer;
  std::unique_ptr<UdpSocket> rtpSocket;
  std::unique_ptr<UdpSocket> rtcpSocket;
  std::unique_ptr<Session> session;
  std::mutex mutex;
  std::condition_variable grew;
  std::vector<Frame> frames;  // guarded by mutex
  evtest::ScratchDir dir{"rtsp-assembly"};
};

using rtsp_assembly_transport = Transport;

TEST_F(rtsp_assembly_transport, AccessUnitsArriveWholeWithTheirInBandPictureSize) {
  const auto stream = fixture::encode(640, 480, 12, 6);
  const std::string file = rtsptest::writeFile(dir.path() / "s.h264", stream.bytes);
  struct Variant {
    std::string args;
  } variants[] = {{"--stap"}, {"--csrc 2 --ext 1 --pad 3"}, {"--reorder --dup --seq 65530 --mtu 300"}};
  for (const auto& v : variants) {
    {
      std::lock_guard lock(mutex);
      frames.clear();
    }
    session->width = 0;
    session->height = 0;
    send("h264 " + file + " " + v.args, CodecH264);
    settle(stream.units.size());
    std::lock_guard lock(mutex);
    ASSERT_EQ(frames.size(), stream.units.size()) << v.args;
    for (std::size_t i = 0; i < frames.size(); ++i) {
      const auto& u = stream.units[i];
      EXPECT_EQ(frames[i].bytes, rtsptest::fourByteStartCodes(std::span(stream.bytes).subspan(u.offset, u.size)))
          << v.args << " frame " << i;
      EXPECT_EQ(frames[i].type, u.key ? FRAME_I : FRAME_P) << i;
      EXPECT_EQ(frames[i].width, 640u);
      EXPECT_EQ(frames[i].height, 480u);
      EXPECT_EQ(frames[i].ntp, 0.0);
    }
  }
  EXPECT_EQ(session->camera->dropframes, 0u);
  EXPECT_GT(session->rtp().packetsStored, 0u);
  EXPECT_EQ(session->rtp().remoteSsrc, 0x12345678u);
}

TEST_F(rtsp_assembly_transport, DamagedDatagramsCostTheirFramesAndTheGroupAfterThem) {
  const auto stream = fixture::encode(320, 240, 12, 6);
  const std::string file = rtsptest::writeFile(dir.path() / "d.h264", stream.bytes);
  // Datagram 1 (inside key frame 0) truncated to 7 bytes and one 1600-byte
  // datagram: frame 0 is lost, the P frames that refer to it are refused,
  // the next group arrives.
  send("h264 " + file + " --mtu 200 --truncate 1 --oversize", CodecH264);
  settle(stream.units.size());
  std::lock_guard lock(mutex);
  EXPECT_EQ(frames.size(), stream.units.size() - 6);
  EXPECT_EQ(session->camera->dropframes, 1u);
  EXPECT_EQ(session->rtp().framesAfterLoss, 5u);
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.front().type, FRAME_I);
  // Another payload type is never stored; datagrams from other ports are
  // not even counted.
  const auto counted = session->rtp().datagrams.load();
  EXPECT_GT(counted, 0u);
  EXPECT_EQ(session->camera->packets, counted);
}

TEST_F(rtsp_assembly_transport, SenderReportStampsFramesWithTheCamerasClock) {
  const unsigned rtcpPort = freePort();
  session->rtcp().SetRemoteAddress("127.0.0.1", rtcpPort);
  session->rtcp().Start();
  const auto stream = fixture::encode(320, 240, 3, 3);
  const std::string file = rtsptest::writeFile(dir.path() / "n.h264", stream.bytes);
  send("h264 " + file + " --sr-to 127.0.0.1:" + std::to_string(rtcpSocket->LocalPort()) + " --rtcp-bind " +
           std::to_string(rtcpPort),
       CodecH264);
  settle(3);
  std::lock_guard lock(mutex);
  ASSERT_EQ(frames.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_DOUBLE_EQ(frames[i].ntp, 0x83AA7E80 + i * 3600 / 90000.0) << i;
  EXPECT_NE(session->rtcp().lastReceipt(), 0u);
  EXPECT_EQ(session->rtcp().ownSsrc, 0xD091BB5Du);
}

// The report names the unit by its host name: each name is set in a
// private UTS namespace of a child process, which sends one report.
TEST(rtsp_assembly, ReportsCarryTheHostNameAsAValidCompound) {
  unsigned port = 0;
  const int listener = loopbackUdp(port);
  const timeval limit{20, 0};
  ::setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  evtest::ScratchDir dir("rtsp-report");
  for (const std::string host : {"cam", "unit", "kovir", "camera", "roadcam", "kovira01"}) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (::unshare(CLONE_NEWUTS) != 0 || ::sethostname(host.data(), host.size()) != 0) ::_exit(3);
      UdpSocket socket(nullptr, nullptr);
      if (!socket.Bind(0)) ::_exit(4);
      RtcpSession rtcp(nullptr, nullptr, &socket);
      rtcp.SetRemoteAddress("127.0.0.1", port);
      rtcp.SendReport();
      ::_exit(0);
    }
    int status = -1;
    ::waitpid(child, &status, 0);
    ASSERT_EQ(status, 0) << host;
    unsigned char datagram[1600];
    const ssize_t n = ::recv(listener, datagram, sizeof datagram, 0);
    ASSERT_GT(n, 0) << host;
    const std::string file = rtsptest::writeFile(dir.path() / host, std::span(datagram, static_cast<std::size_t>(n)));
    const auto check = evtest::run("/usr/bin/python3 " KOVIRA_SOURCE_DIR "/tests/rtsp/rtp_sender.py check-rtcp " + file);
    EXPECT_EQ(check.output, "ok " + host + "\n") << host;
    EXPECT_EQ(n, static_cast<ssize_t>(40 + (host.size() + 6) / 4 * 4)) << host;
  }
  ::close(listener);
}

}  // namespace
