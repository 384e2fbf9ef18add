// Packets: H.264 and JPEG payloads into frames, RTCP compound datagrams,
// RTSP replies cut from the control stream, receiver report bytes.
#include "rtsp/packets.h"
#include "rtsp/packetsbuffer.h"
#include "rtsp/points.h"
#include "rtsp/rtcp.h"
#include "tests/rtsp/rtp_support.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

using rtsptest::Bytes;
using rtsptest::rtp;

TEST(rtsp_packets, H264PayloadsBecomeAnnexBUnits) {
  struct Case {
    Bytes payload;
    bool start;
    FrameType type;
    Bytes annexB;
  } cases[] = {
      {{0x65, 0x88, 0x84}, true, FRAME_I, {0, 0, 0, 1, 0x65, 0x88, 0x84}},
      {{0x41, 0x9A}, true, FRAME_P, {0, 0, 0, 1, 0x41, 0x9A}},
      {{0x7C, 0x85, 0xAA, 0xBB}, true, FRAME_I, {0, 0, 0, 1, 0x65, 0xAA, 0xBB}},  // FU-A start, NRI 3, IDR
      {{0x7C, 0x05, 0xCC}, false, FRAME_I, {0xCC}},                               // middle
      {{0x5C, 0x41, 0xDD}, false, FRAME_P, {0xDD}},                               // end of a P slice
      {{0x78, 0, 2, 0x67, 0x42, 0, 2, 0x68, 0xCE}, true, FRAME_I,                 // STAP-A SPS + PPS
       {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE}},
  };
  for (const auto& c : cases) {
    auto p = rtsptest::packet(rtp(1, 0, false, c.payload), CodecH264);
    ASSERT_TRUE(p) << int(c.payload[0]);
    EXPECT_EQ(p->StartPacket(), c.start);
    EXPECT_EQ(p->GetFrameType(), c.type);
    Bytes frame;
    ASSERT_TRUE(p->ParsePayload(frame));
    EXPECT_EQ(frame, c.annexB);
  }
  // Datagrams not stored: reserved and unsupported types, cut payloads, bad
  // aggregation sizes. Those left out on purpose (undefined types, the
  // interleaved mode's, a lone NAL unit header such as an end of sequence,
  // padding only) still took a sequence number of the sender; damaged ones
  // are a loss.
  const std::pair<Bytes, bool> rejected[] = {
      {{0x00, 1}, true},          {{0x19, 0, 1, 0x41}, true},     {{0x1D, 0x80, 1}, true},
      {{0x1F, 1}, true},          {{0x65}, true},                 {{0x0A}, true},
      {{}, true},                 {{0x78, 0, 0, 0x67}, false},    {{0x78, 0, 9, 0x67, 0x42}, false},
      {{0x78, 0, 1, 0x67, 0}, false}, {{0x7C}, false},            {{0x5C}, false}};
  for (const auto& [payload, skipped] : rejected) {
    const auto read = ReadRtpDatagram(rtp(1, 0, false, payload), 96, CodecH264);
    EXPECT_FALSE(read.packet) << int(payload.empty() ? -1 : payload[0]);
    EXPECT_EQ(read.skipped.has_value(), skipped) << int(payload.empty() ? -1 : payload[0]);
  }
  // An FU header of 0 abandons the frame.
  auto zero = rtsptest::packet(rtp(1, 0, false, {0x7C, 0x00, 1}), CodecH264);
  ASSERT_TRUE(zero);
  Bytes frame;
  EXPECT_FALSE(zero->ParsePayload(frame));
}

TEST(rtsp_packets, RtpHeaderSkipsCsrcExtensionAndPadding) {
  Bytes d = rtp(7, 90000, true, {});
  d[0] = 0x80 | 0x20 | 0x10 | 2;                        // padding, extension, two CSRCs
  d.insert(d.end(), {1, 1, 1, 1, 2, 2, 2, 2});           // CSRCs
  d.insert(d.end(), {0xBE, 0xDE, 0, 1, 9, 9, 9, 9});     // one-word extension
  d.insert(d.end(), {0x41, 0x42, 0x43, 0, 0, 3});        // payload, 3 padding bytes
  auto p = RtpPacket::CreatePacket(d, 96, CodecH264);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->payloadOffset, 28u);
  EXPECT_EQ(p->payloadLength, 3u);
  EXPECT_TRUE(p->marker);
  EXPECT_EQ(p->sequence, 7);
  EXPECT_EQ(p->timestamp, 90000u);

  auto variant = [&](auto change) {
    Bytes v = d;
    change(v);
    return RtpPacket::CreatePacket(v, 96, CodecH264) != nullptr;
  };
  EXPECT_FALSE(variant([](Bytes& v) { v[0] = (v[0] & 0x3F) | 0x40; }));  // version 1
  EXPECT_FALSE(variant([](Bytes& v) { v[1] = 97; }));                      // other payload type
  EXPECT_FALSE(variant([](Bytes& v) { v.resize(11); }));
  EXPECT_FALSE(variant([](Bytes& v) { v[0] |= 0x0F; v.resize(40); }));      // CSRCs past the end
  EXPECT_FALSE(variant([](Bytes& v) { v[22] = 0x40; }));                   // extension past the end
  EXPECT_FALSE(variant([](Bytes& v) { v.back() = 0; }));                   // padding count 0
  EXPECT_FALSE(variant([](Bytes& v) { v.back() = 200; }));                 // more padding than payload
  EXPECT_FALSE(RtpPacket::CreatePacket(d, 96, CodecUnknown));
  EXPECT_FALSE(RtpPacket::CreatePacket(Bytes(1501, 0x80), 0, CodecH264));
  // Another payload type of a well-formed datagram is left out with its
  // header read; a malformed one, or padding alone, is read as such.
  auto skipped = [&](auto change, CodecType codec = CodecH264) {
    Bytes v = d;
    change(v);
    const auto read = ReadRtpDatagram(v, 96, codec);
    return read.skipped && !read.packet && read.skipped->sequence == 7 && read.skipped->marker;
  };
  EXPECT_TRUE(skipped([](Bytes& v) { v[1] = 0x80 | 97; }));
  EXPECT_TRUE(skipped([](Bytes& v) { v[1] = 0x80 | 97; }, CodecUnknown));
  EXPECT_TRUE(skipped([](Bytes& v) { v.back() = 3 + 3; }));  // padding only
  EXPECT_TRUE(skipped([](Bytes& v) { v.back() = 3 + 3; }, CodecJpeg));
  EXPECT_FALSE(skipped([](Bytes& v) { v[1] = 0x80 | 97; v[0] = 0x40; }));          // version 1
  EXPECT_FALSE(skipped([](Bytes& v) { v[1] = 0x80 | 97; v.back() = 200; }));        // padding past the payload
}

// A baseline JPEG from OpenCV: its two quantisation tables (zig-zag order)
// and its entropy-coded scan.
struct Jpeg {
  Bytes file, tables, scan;
  unsigned restart = 0;
};

Jpeg encode(const cv::Mat& image, int quality, int restartRows = 0) {
  Jpeg j;
  std::vector<int> params{cv::IMWRITE_JPEG_QUALITY, quality};
  if (restartRows) params.insert(params.end(), {cv::IMWRITE_JPEG_RST_INTERVAL, restartRows});
  cv::imencode(".jpg", image, j.file, params);
  for (std::size_t i = 2; i + 4 <= j.file.size();) {
    const unsigned marker = j.file[i + 1];
    const std::size_t size = j.file[i + 2] << 8 | j.file[i + 3];
    if (marker == 0xDB)
      for (std::size_t k = i + 4; k < i + 2 + size; k += 65) j.tables.insert(j.tables.end(), &j.file[k + 1], &j.file[k + 65]);
    if (marker == 0xDD) j.restart = j.file[i + 4] << 8 | j.file[i + 5];
    if (marker == 0xDA) {
      j.scan.assign(j.file.begin() + static_cast<std::ptrdiff_t>(i + 2 + size), j.file.end() - 2);  // without EOI
      break;
    }
    i += 2 + size;
  }
  return j;
}

cv::Mat testImage() {
  cv::Mat m(240, 320, CV_8UC3);
  for (int y = 0; y < m.rows; ++y)
    for (int x = 0; x < m.cols; ++x) m.at<cv::Vec3b>(y, x) = cv::Vec3b(x & 0xFF, y, (x * y) & 0xFF);
  cv::circle(m, {160, 120}, 50, {255, 255, 255}, 5);
  return m;
}

// RFC 2435 datagrams of one picture: main header, restart header (types
// 64-127), tables in band at offset 0 when q >= 128, scan fragments.
std::vector<Bytes> payloads(const Jpeg& j, unsigned type, unsigned q, unsigned w, unsigned h, std::size_t fragment) {
  std::vector<Bytes> out;
  for (std::size_t off = 0; off < j.scan.size(); off += fragment) {
    Bytes p{0, static_cast<std::uint8_t>(off >> 16), static_cast<std::uint8_t>(off >> 8), static_cast<std::uint8_t>(off),
            static_cast<std::uint8_t>(type), static_cast<std::uint8_t>(q), static_cast<std::uint8_t>(w / 8),
            static_cast<std::uint8_t>(h / 8)};
    if (type >= 64) p.insert(p.end(), {static_cast<std::uint8_t>(j.restart >> 8), static_cast<std::uint8_t>(j.restart), 0xFF, 0xFF});
    if (off == 0 && q >= 128) {
      p.insert(p.end(), {0, 0, 0, static_cast<std::uint8_t>(j.tables.size())});
      p.insert(p.end(), j.tables.begin(), j.tables.end());
    }
    const std::size_t n = std::min(fragment, j.scan.size() - off);
    p.insert(p.end(), j.scan.begin() + static_cast<std::ptrdiff_t>(off), j.scan.begin() + static_cast<std::ptrdiff_t>(off + n));
    out.push_back(std::move(p));
  }
  return out;
}

TEST(rtsp_packets, ComputedTablesMatchTheJpegLibrarysQualityScaling) {
  const cv::Mat image = testImage();
  for (int q : {1, 10, 50, 75, 99}) EXPECT_EQ(MakeQTables(q), encode(image, q).tables) << q;
  EXPECT_EQ(MakeQTables(0), MakeQTables(1));
  EXPECT_EQ(MakeQTables(127), MakeQTables(99));
}

TEST(rtsp_packets, JpegHeaderOfType1Q50) {
  auto p = rtsptest::packet(rtp(1, 0, true, {0, 0, 0, 0, 1, 50, 80, 60, 0xAB}), CodecJpeg);
  ASSERT_TRUE(p);
  auto* jp = static_cast<JpegRtpPacket*>(p.get());
  const Bytes& h = jp->header;
  const Bytes tables = MakeQTables(50);
  Bytes expected{0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00};
  expected.insert(expected.end(), tables.begin(), tables.begin() + 64);
  expected.insert(expected.end(), {0xFF, 0xDB, 0x00, 0x43, 0x01});
  expected.insert(expected.end(), tables.begin() + 64, tables.end());
  expected.insert(expected.end(), {0xFF, 0xC0, 0x00, 0x11, 0x08, 0x01, 0xE0, 0x02, 0x80, 0x03, 0x00, 0x22, 0x00, 0x01,
                                   0x11, 0x01, 0x02, 0x11, 0x01});
  ASSERT_GT(h.size(), expected.size());
  EXPECT_EQ(Bytes(h.begin(), h.begin() + static_cast<std::ptrdiff_t>(expected.size())), expected);
  EXPECT_EQ(Bytes(h.end() - 14, h.end()),
            (Bytes{0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x00, 0x00, 0x01, 0x11, 0x02, 0x11, 0x00, 0x3F, 0x00}));
  EXPECT_EQ(h.size(), expected.size() + 4 * 5 + 2 * (16 + 12) + 2 * (16 + 162) + 14);  // four DHT segments
  EXPECT_EQ(p->width, 640u);
  EXPECT_EQ(p->height, 480u);
  // Type 0 is 4:2:2; zero size, cut headers and empty scans are refused.
  auto t0 = rtsptest::packet(rtp(1, 0, true, {0, 0, 0, 0, 0, 50, 80, 60, 0xAB}), CodecJpeg);
  ASSERT_TRUE(t0);
  EXPECT_EQ(static_cast<JpegRtpPacket*>(t0.get())->header[expected.size() - 8], 0x21);
  const Bytes refused[] = {{0, 0, 0, 0, 1, 50, 0, 60, 1}, {0, 0, 0, 0, 1, 50, 80, 60}, {0, 0, 0, 0, 65, 50, 80, 60, 0, 1},
                           {0, 0, 0, 0, 1, 255, 80, 60, 0, 0, 0, 128, 1, 2}, {0, 0, 0, 0, 1, 255, 80, 60, 0, 1, 0, 1, 7},
                           {0, 0, 0, 0, 1, 255, 80, 60, 0, 0, 0, 1, 7, 0xAB}};
  for (const auto& payload : refused) EXPECT_FALSE(rtsptest::packet(rtp(1, 0, true, payload), CodecJpeg));
}

TEST(rtsp_packets, JpegFramesDecodeInOpenCv) {
  const cv::Mat image = testImage();
  struct Case {
    int quality;
    unsigned type, q;
    int restartRows;
    bool exact;  // the encoder's tables: identical pixels
  } cases[] = {{50, 1, 50, 0, true}, {80, 1, 255, 0, true}, {80, 1, 0, 0, false}, {80, 1, 99, 0, false},
               {60, 65, 255, 2, true}, {50, 65, 50, 1, true}};
  for (const auto& c : cases) {
    const Jpeg j = encode(image, c.quality, c.restartRows);
    ASSERT_EQ(j.restart != 0, c.restartRows != 0);
    rtsptest::Recorder r;
    const auto parts = payloads(j, c.type, c.q, 320, 240, 1000);
    for (std::size_t i = 0; i < parts.size(); ++i)
      ASSERT_TRUE(r.add(rtp(static_cast<std::uint16_t>(65530 + i), 1, i + 1 == parts.size(), parts[i]), CodecJpeg, 0));
    r.collect(1000);
    ASSERT_EQ(r.frames.size(), 1u) << c.type << "/" << c.q;
    EXPECT_EQ(r.frames[0].type, FRAME_MJPEG);
    EXPECT_EQ(Bytes(r.frames[0].bytes.end() - 2, r.frames[0].bytes.end()), (Bytes{0xFF, 0xD9}));
    const cv::Mat decoded = cv::imdecode(r.frames[0].bytes, cv::IMREAD_COLOR);
    ASSERT_FALSE(decoded.empty()) << c.type << "/" << c.q;
    ASSERT_EQ(decoded.size(), image.size());
    // Other tables than the encoder's still decode, to other pixels.
    if (c.exact) {
      EXPECT_EQ(cv::norm(decoded, cv::imdecode(j.file, cv::IMREAD_COLOR), cv::NORM_INF), 0) << c.type << "/" << c.q;
    }
  }
}

Bytes sr(std::uint8_t ntpHigh) {
  return {0x80, 200, 0, 6, 0, 0, 0, 1, ntpHigh, 0, 0, 0, 0x80, 0, 0, 0, 0, 1, 0x5F, 0x90,
          0, 0, 0, 0, 0, 0, 0, 0};
}
const Bytes kSdes{0x81, 202, 0, 3, 0, 0, 0, 1, 1, 3, 'c', 'a', 'm', 0, 0, 0};
const Bytes kRr{0x81, 201, 0, 7, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

std::vector<std::unique_ptr<RtcpPacket>> cut(const Bytes& d) {
  std::vector<std::unique_ptr<RtcpPacket>> out;
  std::span<const std::uint8_t> rest(d);
  unsigned used = 0;
  while (auto p = RtcpPacket::CreatePacket(rest, used)) {
    out.push_back(std::move(p));
    rest = rest.subspan(used);
  }
  return out;
}

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(rtsp_packets, RtcpCompoundDatagrams) {
  auto two = cut(join({sr(0x83), kSdes}));
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0]->ntpSeconds, 0x83000000u);
  EXPECT_EQ(two[0]->ntpFraction, 0x80000000u);
  EXPECT_EQ(two[0]->rtpTimestamp, 90000u);
  ASSERT_EQ(two[1]->chunks.size(), 1u);
  ASSERT_EQ(two[1]->chunks[0].items.size(), 1u);
  EXPECT_EQ(two[1]->chunks[0].items[0].text, "cam");
  EXPECT_EQ(cut(join({sr(0x83), kRr, kSdes})).size(), 1u);  // a report from the camera ends the parse
  // Lengths that do not fit, SDES items past their packet, empty data.
  auto withLength = [](Bytes d, std::uint16_t words) {
    d[2] = static_cast<std::uint8_t>(words >> 8);
    d[3] = static_cast<std::uint8_t>(words);
    return d;
  };
  for (std::uint16_t words : {0, 7, 16383, 65535}) EXPECT_TRUE(cut(withLength(sr(1), words)).empty()) << words;
  EXPECT_TRUE(cut({}).empty());
  Bytes longItem = kSdes;
  longItem[9] = 200;
  auto items = cut(longItem);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_TRUE(items[0]->chunks[0].items.empty());
}

// RTSP replies from a control stream fed in pieces, as TCP delivers it.
struct ControlStream {
  ReceiverPoint owner;
  PacketsBuffer buffer{&owner};
  RtspSession* key = reinterpret_cast<RtspSession*>(&owner);
  PacketsBuffer::ListBuffer& replies = buffer.AddRtspBuffer(key);

  void feed(std::string_view bytes, std::size_t piece) {
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
      const auto part = bytes.substr(at, piece);
      buffer.WriteRtspBuffer(reinterpret_cast<const std::uint8_t*>(part.data()), static_cast<unsigned>(part.size()), key);
    }
  }
  std::vector<int> cseqs() {
    std::vector<int> out;
    for (auto& p : replies.Take(std::chrono::milliseconds(0))) out.push_back(p->cseq);
    return out;
  }
};

TEST(rtsp_packets, RtspRepliesAreCutByContentLength) {
  const std::string head = "RTSP/1.0 200 OK\r\nCSeq: 4\r\nContent-Length: 120\r\n\r\n";
  const std::string body(120, 'v');
  unsigned used = 0;
  EXPECT_FALSE(RtspPacket::CreatePacket(head + body.substr(0, 80), used));
  auto whole = RtspPacket::CreatePacket(head + body + "RTSP/1.0", used);
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->text, head + body);
  EXPECT_EQ(used, head.size() + body.size());
  EXPECT_EQ(whole->cseq, 4);
  EXPECT_EQ(whole->contentLength, 120u);
  auto bare = RtspPacket::CreatePacket("RTSP/1.0 200 OK\r\ncseq:9\r\n\r\n", used);
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->text, "RTSP/1.0 200 OK\r\ncseq:9");
  EXPECT_EQ(bare->cseq, 9);
}

TEST(rtsp_packets, NextGoodReplyIsFoundAfterEveryDisturbance) {
  const std::string r1 = "RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Length: 5\r\n\r\nv=0\r\n";
  const std::string r2 = "RTSP/1.0 401 Unauthorized\r\nCSEQ: 2\r\n\r\n";
  const std::string disturbances[] = {
      "",
      "OPTIONS * RTSP/1.0\r\nCSeq: 77\r\nContent-Length: 4\r\n\r\nRTSP",  // a server's request
      "RTSP/1.0 200 OK\r\nCSeq: 5\r\nContent-Length: 99999999999\r\n\r\n",
      "RTSP/1.0 200 OK\r\nCSeq: 6\r\nContent-Length: ten\r\n\r\n",
      std::string(3000, 'g') + "\n",
      std::string(100 * 1024, '\xAA'),  // overflows the buffer: cleared once
  };
  for (const auto& noise : disturbances) {
    const std::string stream = r1 + noise + r2;
    for (std::size_t piece : {1, 7, 1500}) {  // the reader hands over at most 1500 bytes
      ControlStream c;
      c.feed(stream, piece);
      const auto got = c.cseqs();
      ASSERT_FALSE(got.empty()) << noise.substr(0, 20) << " piece " << piece;
      EXPECT_EQ(got.back(), 2) << noise.substr(0, 20) << " piece " << piece;
      if (noise.size() < 4096) {
        EXPECT_EQ(got, (std::vector<int>{1, 2})) << noise.substr(0, 20) << " piece " << piece;
      }
    }
  }
  // Every cut position of two replies: both arrive once, in order.
  const std::string both = r1 + r2;
  for (std::size_t at = 0; at <= both.size(); ++at) {
    ControlStream c;
    c.feed(both.substr(0, at), both.size());
    c.feed(both.substr(at), both.size());
    EXPECT_EQ(c.cseqs(), (std::vector<int>{1, 2})) << at;
  }
}

// The report's fixed fields; its host-name part is checked against an
// RFC 3550 compound reader in the assembly tests.
TEST(rtsp_packets, ReceiverReportBytes) {
  const Bytes cam = BuildReceiverReport(0xD091BB5D, 7, 70000, 0, 0x12345, "cam");
  EXPECT_EQ(cam.size(), 48u);
  EXPECT_EQ(cam[35], 3);
  EXPECT_EQ(Bytes(cam.begin(), cam.begin() + 12), (Bytes{0x81, 201, 0, 7, 0xD0, 0x91, 0xBB, 0x5D, 0, 0, 0, 7}));
  EXPECT_EQ(Bytes(cam.begin() + 16, cam.begin() + 20), (Bytes{0x00, 0x02, 0x11, 0x70}));
  EXPECT_EQ(Bytes(cam.begin() + 24, cam.begin() + 32), (Bytes{0x01, 0x80, 0x00, 0x00, 0x23, 0x45, 0x00, 0x00}));
  EXPECT_EQ(Bytes(cam.begin() + 32, cam.begin() + 42), (Bytes{0x81, 202, 0, 3, 0xD0, 0x91, 0xBB, 0x5D, 1, 3}));
}

}  // namespace
