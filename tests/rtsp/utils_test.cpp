// Stream utilities against independent references: Python's hashlib for
// MD5, libx264's own parameter sets for the picture size.
#include "capture/frametypes.h"
#include "rtsp/assembly.h"
#include "rtsp/h264_nal.h"
#include "rtsp/util.h"
#include "tests/codec/h264_fixture.h"
#include "tests/codec/x264_fixture.h"
#include "tests/evidence/shell_helpers.h"
#include "tests/support/h264_units.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> bits(const std::string& text) {
  std::vector<std::uint8_t> out((text.size() + 7) / 8);
  for (std::size_t i = 0; i < text.size(); ++i)
    if (text[i] == '1') out[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
  return out;
}

// The SPS of the first access unit, after its NAL header byte.
std::vector<std::uint8_t> spsOf(const fixture::Stream& s) {
  const auto& b = s.bytes;
  for (std::size_t i = 0; i + 4 < b.size(); ++i)
    if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1 && (b[i + 3] & 0x1F) == 7) {
      std::size_t end = i + 4;
      while (end + 2 < b.size() && !(b[end] == 0 && b[end + 1] == 0 && b[end + 2] <= 1)) ++end;
      return {b.begin() + static_cast<std::ptrdiff_t>(i + 4), b.begin() + static_cast<std::ptrdiff_t>(end)};
    }
  return {};
}

TEST(rtsp_utils, Base64RoundTripsAndRefusesForeignCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""}, {"a", "YQ=="}, {"ab", "YWI="}, {"abc", "YWJj"}, {std::string("\0\0\xff", 3), "AAD/"},
      {std::string("\xff\0\0", 3), "/wAA"}};
  for (const auto& [plain, coded] : cases) {
    EXPECT_EQ(Base64Encode(plain), coded);
    EXPECT_EQ(Base64Decode(coded), plain) << coded;
  }
  EXPECT_EQ(Base64Encode(std::string(60, 'x')).find('\n'), std::string::npos);
  EXPECT_EQ(Base64Decode("YWI"), "ab");  // unpadded, as SDP parameter sets may be
  for (const char* bad : {"YW Jj", "YWJj\n", "YW=j", "Y", "YQ=", "****"}) EXPECT_FALSE(Base64Decode(bad)) << bad;
}

TEST(rtsp_utils, Md5MatchesPythonHashlib) {
  for (const std::string& text : {std::string(), std::string("admin:realm:secret"), std::string("DESCRIBE:rtsp://10.0.0.1/live"), std::string(1000, 'z')}) {
    const auto py = evtest::run("/usr/bin/python3 -c 'import hashlib,sys; print(hashlib.md5(sys.argv[1].encode()).hexdigest())' '" +
                                text + "'");
    ASSERT_EQ(py.status, 0) << py.output;
    EXPECT_EQ(Md5(text) + "\n", py.output);
  }
}

TEST(rtsp_utils, BitReadersFollowH264Coding) {
  struct Case {
    const char* bits;
    unsigned ue;
    int se;
  } cases[] = {{"1", 0, 0}, {"010", 1, 1}, {"011", 2, -1}, {"00100", 3, 2}, {"00101", 4, -2}, {"00111", 6, -3}};
  for (const auto& c : cases) {
    const auto b = bits(c.bits);
    int pos = 0;
    EXPECT_EQ(ReadExponentialGolombCode(b, pos), c.ue) << c.bits;
    EXPECT_EQ(pos, static_cast<int>(std::string(c.bits).size()));
    pos = 0;
    EXPECT_EQ(ReadSE(b, pos), c.se) << c.bits;
  }
  const auto b = bits("1011001");
  int pos = 1;
  EXPECT_EQ(ReadBits(5, b, pos), 0b01100u);
  EXPECT_EQ(ReadBits(0, b, pos), 0u);
  // Past the end: zero bits, the position still moves (overrun detectable).
  const std::vector<std::uint8_t> zeros(2, 0);
  pos = 0;
  EXPECT_EQ(ReadExponentialGolombCode(zeros, pos), 0xFFFFFFFFu);
  EXPECT_GT(pos, 16);
}

TEST(rtsp_utils, ParseSpsGivesTheEncodedPictureSize) {
  struct Case {
    int w, h;
  } cases[] = {{640, 480}, {1920, 1080}, {176, 144}, {1280, 720}};
  for (const auto& c : cases) {
    const auto sps = spsOf(fixture::encode(c.w, c.h, 1, 1));
    ASSERT_FALSE(sps.empty());
    unsigned w = 0, h = 0, chroma = 9;
    ASSERT_TRUE(ParseSps(sps, w, h, chroma)) << c.w;
    EXPECT_EQ(w, static_cast<unsigned>(c.w));
    EXPECT_EQ(h, static_cast<unsigned>(c.h));
    EXPECT_EQ(chroma, sps[0] >= 100 ? 1u : 9u);  // written only by profiles that carry it
    // Every cut of the set fails cleanly or still gives the same size (the
    // tail after the cropping fields is not read).
    for (std::size_t n = 0; n < sps.size(); ++n) {
      unsigned cw = 0, ch = 0, cc = 0;
      if (ParseSps(std::span(sps).first(n), cw, ch, cc)) {
        EXPECT_EQ(cw, w);
      }
    }
  }
}

// ue(v) as a bit string.
std::string ue(unsigned v) {
  std::string b;
  for (unsigned x = v + 1; x != 0; x >>= 1) b.insert(b.begin(), x & 1 ? '1' : '0');
  return std::string(b.size() - 1, '0') + b;
}

// A baseline-profile set: id, frame num, poc type 0 and its lsb, refs,
// then the given size fields.
std::vector<std::uint8_t> baselineSps(const std::string& tail) {
  return bits("01000010" "00000000" "00011110" + ue(0) + ue(0) + ue(0) + ue(0) + ue(1) + "0" + tail);
}

TEST(rtsp_utils, ParseSpsCropsByChromaUnitsAndRefusesHostileSets) {
  struct Case {
    std::string tail;
    bool ok;
    unsigned w, h;
  } cases[] = {
      // 120 × 68 macroblocks, progressive, bottom crop 4 (chroma rows).
      {ue(119) + ue(67) + "1" "1" "1" + ue(0) + ue(0) + ue(0) + ue(4), true, 1920, 1080},
      // Interlaced: 34 map units of field pairs, bottom crop 2 (4 rows each).
      {ue(119) + ue(33) + "0" "0" "1" "1" + ue(0) + ue(0) + ue(0) + ue(2), true, 1920, 1080},
      {ue(39) + ue(29) + "1" "1" "0", true, 640, 480},
      {ue(599) + ue(29) + "1" "1" "0", false, 0, 0},   // 9600 wide
      {ue(39) + ue(29) + "1" "1" "1" + ue(160) + ue(160) + ue(0) + ue(0), false, 0, 0},  // cropped away
      {ue(39) + "00000000", false, 0, 0},            // ends early
  };
  for (const auto& c : cases) {
    unsigned w = 0, h = 0, chroma = 7;
    EXPECT_EQ(ParseSps(baselineSps(c.tail), w, h, chroma), c.ok) << c.tail;
    EXPECT_EQ(w, c.w);
    EXPECT_EQ(h, c.h);
    EXPECT_EQ(chroma, 7u);  // baseline sets carry no chroma format
  }
  // Picture order type 1 with a cycle of 300 entries is refused.
  const auto cycle = bits("01000010" "00000000" "00011110" + ue(0) + ue(0) + ue(1) + "0" + "1" + "1" + ue(300) +
                          std::string(600, '1'));
  unsigned w = 0, h = 0, chroma = 0;
  EXPECT_FALSE(ParseSps(cycle, w, h, chroma));
}

// A set whose bits hold two zero bytes in a row is sent with an emulation
// prevention byte (00 00 03); it is read the same in band and from the SDP.
// Picture order type 1 with both offsets 32768 (se(v) as ue(65535)): 32
// zero bits in a row.
TEST(rtsp_utils, ASetSentWithEmulationPreventionGivesItsSizeInBandAndInTheSdp) {
  const auto rbsp = bits("01000010" "00000000" "00011110" + ue(0) + ue(0) + ue(1) + "0" + ue(65535) + ue(65535) + ue(0) +
                         ue(1) + "0" + ue(39) + ue(29) + "1" "1" "0" "0" "1");
  std::vector<std::uint8_t> nal{0x67};
  for (std::size_t i = 0, zeros = 0; i < rbsp.size(); ++i) {
    if (zeros >= 2 && rbsp[i] <= 3) {
      nal.push_back(3);
      zeros = 0;
    }
    zeros = rbsp[i] == 0 ? zeros + 1 : 0;
    nal.push_back(rbsp[i]);
  }
  ASSERT_GT(nal.size(), rbsp.size() + 1);  // the set carries the bytes this is about
  unsigned w = 0, h = 0, chroma = 0;
  EXPECT_TRUE(ParseSps(rbsp, w, h, chroma));
  EXPECT_EQ(w, 640u);
  w = h = 0;
  ASSERT_TRUE(H264SpsPictureSize(nal, w, h, chroma));  // as sprop-parameter-sets carries it
  EXPECT_EQ(w, 640u);
  EXPECT_EQ(h, 480u);
  std::vector<std::uint8_t> unit{0, 0, 0, 1};
  unit.insert(unit.end(), nal.begin(), nal.end());
  unit.insert(unit.end(), {0, 0, 0, 1, 0x68, 0xCE, 0x3C, 0x80});
  w = h = 0;
  ASSERT_TRUE(FindSpsPictureSize(unit, w, h, chroma));  // in band
  EXPECT_EQ(w, 640u);
  EXPECT_EQ(h, 480u);
  EXPECT_FALSE(H264SpsPictureSize(std::span(unit).subspan(4 + nal.size() + 4), w, h, chroma));  // a PPS
}

// Every access unit of real x264 streams gets the picture type ffprobe
// reports for the packet at its byte offset, whatever its NAL type says.
TEST(rtsp_utils, FrameTypesFollowTheSliceHeadersOfRealStreams) {
  struct Case {
    const char* name;
    const char* options;
    bool hasB;
  };
  const Case cases[] = {
      {"baseline", "-profile:v baseline -bf 0 -g 12", false},
      {"bf2", "-profile:v high -bf 2 -g 12", true},
      {"bf3-pyramid", "-profile:v high -bf 3 -b-pyramid normal -g 12", true},
      {"open-gop", "-profile:v high -bf 2 -g 12 -x264-params open-gop=1:scenecut=0", true},
  };
  const std::string dir = std::string(KOVIRA_BINARY_DIR) + "/test-out/rtsp-frame-types";
  ASSERT_EQ(evtest::run("mkdir -p " + dir).status, 0);
  for (const Case& c : cases) {
    const std::string file = dir + "/" + c.name + ".h264";
    const auto made = evtest::run("ffmpeg -v error -f lavfi -i testsrc2=size=160x96:rate=25 -frames:v 40 "
                                  "-c:v libx264 " + std::string(c.options) + " -f h264 -y " + file);
    ASSERT_EQ(made.status, 0) << made.output;
    // "offset,type" per decoded picture.
    const auto probed = evtest::run("ffprobe -v error -show_entries frame=pkt_pos,pict_type -of csv=p=0 " + file);
    ASSERT_EQ(probed.status, 0) << probed.output;
    std::map<std::size_t, char> want;
    std::istringstream lines(probed.output);
    for (std::string line; std::getline(lines, line);) {
      const auto comma = line.find(',');
      if (comma == std::string::npos || comma + 1 >= line.size()) continue;
      want[std::stoul(line.substr(0, comma))] = line[comma + 1];
    }
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    const auto units = testsupport::splitAccessUnits(bytes);
    ASSERT_EQ(units.size(), 40u) << c.name;
    int bFrames = 0;
    for (const auto& u : units) {
      const FrameType type = H264FrameType(std::span(bytes).subspan(u.offset, u.size), FRAME_UNKNOWN);
      ASSERT_TRUE(want.contains(u.offset)) << c.name << " unit at " << u.offset;
      const char expected = want[u.offset] == 'I' ? 'I' : want[u.offset] == 'B' ? 'B' : 'P';
      EXPECT_EQ(FrameTypeToString(type), std::string(1, expected)) << c.name << " unit at " << u.offset;
      bFrames += type == FRAME_B;
    }
    EXPECT_EQ(bFrames > 0, c.hasB) << c.name;
  }
}

// Units without a readable slice keep the caller's type; a slice header
// escaped with 00 00 03 is read through the escape.
TEST(rtsp_utils, FrameTypesOfUnitsWithoutReadableSlices) {
  const struct {
    std::vector<std::uint8_t> unit;
    FrameType given, expected;
  } cases[] = {
      {{0, 0, 1, 0x01, 0xA8}, FRAME_UNKNOWN, FRAME_B},     // ue(0) ue(1)
      {{0, 0, 0, 1, 0x21, 0x92}, FRAME_UNKNOWN, FRAME_P},  // SP: ue(0) ue(3)
      {{0, 0, 1, 0x65}, FRAME_P, FRAME_I},
      // ue(2^23 - 1) ue(1): 23 zero bits, so the header holds two escapes.
      {{0, 0, 1, 0x41, 0, 0, 3, 1, 0, 0, 3, 0, 0xA0}, FRAME_UNKNOWN, FRAME_B},
      {{0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68, 0xCE}, FRAME_P, FRAME_P},  // parameter sets only
      {{0, 0, 1, 0x41, 0x00}, FRAME_I, FRAME_I},                       // cut short
      {{0, 0, 1, 0x41, 0x8B, 0x80}, FRAME_P, FRAME_P},                 // ue(0) ue(10): no such type
  };
  for (const auto& c : cases) EXPECT_EQ(H264FrameType(c.unit, c.given), c.expected) << ::testing::PrintToString(c.unit);
  EXPECT_EQ(H264FrameType({}, FRAME_UNKNOWN), FRAME_UNKNOWN);
}

// Unknown values have no text (and are never read past the table).
TEST(rtsp_utils, NtpTimeAndDisplayTexts) {
  EXPECT_EQ(NtpTimeToDouble(1, 4294967295u), 2.0);
  EXPECT_EQ(NtpTimeToDouble(5, 0), 5.0);
  EXPECT_EQ(NtpTimeToString(0u, 0u), "1900-Jan-01 00:00:00");
  EXPECT_EQ(NtpTimeToString(3913056000.5), "2024-Jan-01 00:00:00.500000");
  EXPECT_EQ(ReceiverErrorToString(static_cast<ReceiverError>(7)), "");
  EXPECT_EQ(FrameTypeToString(FRAME_GRAY8), "");
}

// Both tables are texts the pages and the store's records show.
TEST(rtsp_utils, FrameTypeNames) {
  struct Case {
    FrameType type;
    const char* shortName;
    const char* storeName;
  } cases[] = {
      {FRAME_UNKNOWN, "None", "UNKNOWN"}, {FRAME_I, "I", "I-frame"},       {FRAME_P, "P", "P-frame"},
      {FRAME_B, "B", "B-frame"},          {FRAME_MJPEG, "MJPEG", "MJPEG"}, {FRAME_RAW, "Raw", "RAW"},
      {FRAME_GRAY8, "", "GRAY8"},         {FRAME_RGB24, "", "RGB24"},      {static_cast<FrameType>(99), "", "UNKNOWN"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FrameTypeToString(c.type), c.shortName) << c.type;
    EXPECT_STREQ(kovira::frameTypeName(c.type), c.storeName) << static_cast<unsigned>(c.type);
  }
}

// A group starts only where decoding can start: at x264's own key frames
// (IDR, or an open-GOP I frame with its recovery point of 0 frames). A
// forced plain I frame, which later pictures reference across, and the P
// frames that begin an intra-refresh cycle (recovery points of several
// frames) continue their group.
TEST(rtsp_utils, GroupsStartWhereX264SaysDecodingCanStart) {
  struct Case {
    const char* name;
    fixture::X264Options options;
    const char* kindsSeen;  // every kind the stream must hold, so the case tests something
  };
  const Case cases[] = {
      {"forced I, 4 references", {.frames = 60, .keyint = 120, .refs = 4, .forcedIEvery = 20}, "KIP"},
      {"forced I with B frames", {.frames = 60, .keyint = 120, .refs = 4, .bframes = 2, .forcedIEvery = 20}, "KIPB"},
      {"open GOP", {.frames = 60, .keyint = 20, .bframes = 2, .openGop = true}, "KPB"},
      {"intra refresh", {.frames = 60, .keyint = 20, .intraRefresh = true}, "KRP"},
  };
  for (const Case& c : cases) {
    const fixture::X264Stream s = fixture::encodeX264(c.options);
    std::string seen;
    int keysAfterFirst = 0;
    for (std::size_t i = 0; i < s.units.size(); ++i) {
      const auto unit = std::span(s.bytes).subspan(s.units[i].offset, s.units[i].size);
      const char kind = s.kinds[i];
      if (seen.find(kind) == std::string::npos) seen += kind;
      const FrameType want = kind == 'K' ? FRAME_I : kind == 'B' ? FRAME_B : FRAME_P;
      EXPECT_EQ(H264FrameType(unit, FRAME_UNKNOWN), want) << c.name << ", unit " << i << " (" << kind << ")";
      // The recovery points x264 writes: 0 frames on an open-GOP key frame,
      // more on an intra-refresh start, none on a forced I frame.
      const std::optional<unsigned> recovery = H264RecoveryFrameCount(unit);
      if (kind == 'K' && i > 0) {
        EXPECT_EQ(recovery, 0u) << c.name << ", unit " << i;
      } else if (kind == 'R') {
        EXPECT_GT(recovery.value_or(0), 0u) << c.name << ", unit " << i;
      } else if (kind == 'I') {
        EXPECT_FALSE(recovery.has_value()) << c.name << ", unit " << i;
      }
      keysAfterFirst += kind == 'K' && i > 0;
    }
    for (const char k : std::string(c.kindsSeen)) EXPECT_NE(seen.find(k), std::string::npos) << c.name << ": no " << k;
    EXPECT_EQ(keysAfterFirst > 0, c.options.openGop) << c.name;
  }
}

// Recovery points in SEI bytes x264 does not make: a payload type coded
// with an FF byte before it, a message behind another one, an escaped
// payload, cut or malformed messages.
TEST(rtsp_utils, RecoveryPointSeiMessages) {
  const struct {
    const char* name;
    std::vector<std::uint8_t> unit;
    std::optional<unsigned> want;
  } cases[] = {
      {"alone, count 0", {0, 0, 1, 0x06, 0x06, 0x01, 0x80 | 0x10, 0x80}, 0u},
      {"count 3 (ue 00100)", {0, 0, 1, 0x06, 0x06, 0x01, 0x20, 0x80}, 3u},
      {"behind a 2-byte message", {0, 0, 1, 0x06, 0x05, 0x02, 0xAA, 0xBB, 0x06, 0x01, 0x88, 0x80}, 0u},
      {"type 255 + 6 is not it", {0, 0, 1, 0x06, 0xFF, 0x06, 0x01, 0x88, 0x80}, std::nullopt},
      // Sizes count the bytes without their escapes: 00 00 03 00 is 3 bytes.
      {"behind an escaped message", {0, 0, 1, 0x06, 0x05, 0x03, 0, 0, 3, 0, 0x06, 0x01, 0x88, 0x80}, 0u},
      {"size beyond the NAL", {0, 0, 1, 0x06, 0x06, 0x09, 0x88, 0x80}, std::nullopt},
      {"after the first slice", {0, 0, 1, 0x41, 0x88, 0, 0, 1, 0x06, 0x06, 0x01, 0x88, 0x80}, std::nullopt},
      {"second SEI NAL", {0, 0, 1, 0x06, 0x05, 0x01, 0x00, 0x80, 0, 0, 1, 0x06, 0x06, 0x01, 0x88, 0x80}, 0u},
      {"no SEI", {0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68, 0xCE}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(H264RecoveryFrameCount(c.unit), c.want) << c.name;
}

}  // namespace
