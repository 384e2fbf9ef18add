// Packets of the network-camera receiver: one RTP datagram (with a payload
// class per format, H.264 and JPEG), one RTCP packet out of a compound
// datagram, one RTSP reply cut out of the control byte stream.
//
// All of it is pure: the factories read bounded spans and return a new
// packet or nothing; no call throws on bad bytes. A packet is owned by whoever
// holds its unique_ptr and is used by one thread at a time.
#pragma once

#include "capture/frametypes.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

enum CodecType : std::uint32_t {
  CodecUnknown = 0,
  CodecH264 = 1,
  CodecJpeg = 2,
};

// A datagram is read into this many bytes; a longer one is not stored.
inline constexpr std::size_t kMaxDatagram = 1500;

class Packet {
 public:
  virtual ~Packet() = default;
};

//   0                   1                   2                   3
//   0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |V=2|P|X|  CC   |M|     PT      |       sequence number         |
//  +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
//  |                           timestamp                           |
//  |                             SSRC                              |
//  |            CSRC list (CC × 4 bytes), extension (X)            |
//  |                 payload ... padding (P, last byte = count)    |
//  RFC 3550 §5.1, §5.3.1.
// The fixed header of a well-formed datagram, whatever its payload type.
struct RtpHeader {
  bool marker = false;
  std::uint8_t payloadType = 0;
  std::uint16_t sequence = 0;
  std::uint32_t timestamp = 0;
  std::uint32_t ssrc = 0;
  // Offset and length of the payload within the datagram (CSRCs, extension
  // and padding removed).
  unsigned payloadOffset = 0;
  unsigned payloadLength = 0;
};

class RtpPacket : public Packet, public RtpHeader {
 public:
  // The header of a version-2 datagram of at most kMaxDatagram bytes whose
  // CSRC list, extension and padding lie within it; nothing otherwise.
  static std::optional<RtpHeader> ReadHeader(std::span<const std::uint8_t> datagram);
  // A packet of the codec's class for a version-2 datagram of payload type
  // payloadType; nothing when the datagram is short, of another version or
  // type, or its CSRC list, extension or padding run past its end.
  static std::unique_ptr<RtpPacket> CreatePacket(std::span<const std::uint8_t> datagram, unsigned payloadType,
                                                 CodecType codec);

  // A payload the receiver leaves out on purpose (padding only, or a unit
  // it does not assemble): its sequence number was still the sender's, so
  // it is no loss.
  virtual bool Discarded(std::span<const std::uint8_t> payload) const { return payload.empty(); }

  // Reads the payload header of the format; false rejects the datagram.
  // headerSize is what precedes the bytes to be stored.
  virtual bool ParseHeader(std::span<const std::uint8_t> payload, unsigned& headerSize) = 0;
  // Appends this packet's stored bytes to the frame being assembled; false
  // abandons the frame.
  virtual bool ParsePayload(std::vector<unsigned char>& frame) const = 0;
  // Whether this packet begins a frame.
  virtual bool StartPacket() const = 0;
  // FRAME_I when this packet carries a key picture or its parameters,
  // otherwise the format's delta type.
  virtual FrameType GetFrameType() const = 0;
  // Called on the marker packet once the whole frame is appended.
  virtual void FinishFrame(std::vector<unsigned char>& /*frame*/) const {}

  // The stored bytes: the payload after its format header.
  std::vector<unsigned char> data;
  unsigned width = 0;
  unsigned height = 0;
};

// A datagram of a camera's RTP port read for frame assembly: a packet to
// store (payload header read, data set); or a well-formed datagram with
// nothing to store (another payload type, or Discarded), whose sequence
// number still counts; or neither (no RTP, or a damaged payload).
struct RtpReading {
  std::unique_ptr<RtpPacket> packet;
  std::optional<RtpHeader> skipped;
};
// payloadType and codec: the stream's; width and height: the picture size
// of its description (JPEG pictures over 2040 pixels).
RtpReading ReadRtpDatagram(std::span<const std::uint8_t> datagram, unsigned payloadType, CodecType codec,
                           unsigned width = 0, unsigned height = 0);

// RFC 6184: single NAL unit packets (types 1-23), STAP-A (24) and FU-A (28).
class H264RtpPacket final : public RtpPacket {
 public:
  // Also a lone NAL unit header (end of sequence or of stream: nothing to
  // decode), the interleaved mode's STAP-B, MTAPs and FU-B (never
  // negotiated) and the undefined types 0, 30 and 31.
  bool Discarded(std::span<const std::uint8_t> payload) const override;
  bool ParseHeader(std::span<const std::uint8_t> payload, unsigned& headerSize) override;
  bool ParsePayload(std::vector<unsigned char>& frame) const override;
  bool StartPacket() const override;
  FrameType GetFrameType() const override;

  std::uint8_t f = 0;
  std::uint8_t nri = 0;
  std::uint8_t type = 0;
  std::uint8_t fuHeader = 0;
  bool keyUnit = false;  // an IDR slice or an SPS is in this packet
};

// RFC 2435 JPEG payloads; the packet at fragment offset 0 carries the JPEG
// header that makes the frame a complete file. Pictures wider or higher
// than 2040 pixels have a zero size in the payload header: the caller sets
// width and height from the stream's description before ParseHeader.
class JpegRtpPacket final : public RtpPacket {
 public:
  bool ParseHeader(std::span<const std::uint8_t> payload, unsigned& headerSize) override;
  bool ParsePayload(std::vector<unsigned char>& frame) const override;
  bool StartPacket() const override { return offset == 0; }
  FrameType GetFrameType() const override { return FRAME_MJPEG; }
  // Cameras (and RFC 2435 payloaders) leave out the end-of-image marker;
  // JPEG decoders damage the last rows of a picture without it.
  void FinishFrame(std::vector<unsigned char>& frame) const override;

  std::uint32_t offset = 0;
  std::uint8_t jpegType = 0;
  std::uint8_t q = 0;
  std::vector<unsigned char> header;
};

// The RFC 2435 Appendix A tables scaled for Q (64 luminance, then 64
// chrominance entries, zig-zag order).
std::vector<unsigned char> MakeQTables(unsigned q);
// SOI, DQT, DRI (when restartInterval != 0), SOF0, DHT and SOS of a baseline
// JPEG with three components; tables are 64 (shared by all components) or
// 128 bytes.
std::vector<unsigned char> CreateJpegHeader(unsigned type, unsigned width, unsigned height,
                                            std::span<const std::uint8_t> tables, unsigned restartInterval);

struct SdesItem {
  std::uint8_t type = 0;
  std::string text;
};
struct SdesChunk {
  std::uint32_t ssrc = 0;
  std::vector<SdesItem> items;
};

// One packet of a compound RTCP datagram (RFC 3550 §6.4.1, 6.5, 6.6). Only
// sender reports, source descriptions and BYE are kept; any other type ends
// the parse of its datagram.
class RtcpPacket final : public Packet {
 public:
  static constexpr unsigned kTypeSr = 200;
  static constexpr unsigned kTypeSdes = 202;
  static constexpr unsigned kTypeBye = 203;

  // One packet from the front of data: its size is (length field + 1) × 4
  // bytes, at least 8, and must lie within data. consumed = that size.
  static std::unique_ptr<RtcpPacket> CreatePacket(std::span<const std::uint8_t> data, unsigned& consumed);

  int type = -1;
  std::uint32_t senderSsrc = 0;
  std::uint32_t rtpTimestamp = 0;
  std::uint32_t ntpSeconds = 0;
  std::uint32_t ntpFraction = 0;
  std::vector<SdesChunk> chunks;
};

// The report datagram (RFC 3550 §6.4.2 RR with one block, §6.5 SDES with a
// CNAME item): 40 bytes, then the host name and 1-4 NULs up to a 32-bit
// boundary. N: RTP datagrams received; T: NowSec() of the last RTCP packet
// received (0 before any); now: NowSec().
std::vector<unsigned char> BuildReceiverReport(std::uint32_t ownSsrc, std::uint32_t remoteSsrc, std::uint32_t n,
                                               std::uint32_t t, std::uint32_t now, const std::string& hostName);

// Limits of the RTSP control stream.
inline constexpr std::size_t kRtspBufferSize = 64 * 1024;

// One RTSP reply: status line, headers, blank line and Content-Length body.
class RtspPacket final : public Packet {
 public:
  enum class Cut { Reply, Skip, NeedMore };
  // Looks at the front of a control stream: Reply (packet set) or Skip
  // (a server request, or bytes that are no reply) with consumed bytes, or
  // NeedMore. Header names are matched without case, the blank after the
  // colon is optional; a Content-Length that is not a number or would not
  // fit the stream buffer makes the header block garbage.
  static Cut Next(std::string_view stream, std::unique_ptr<RtspPacket>& packet, unsigned& consumed);

  // The next complete reply at the front of data, or nothing.
  static std::unique_ptr<RtspPacket> CreatePacket(std::string_view data, unsigned& consumed);

  std::string text;
  int cseq = 0;
  unsigned contentLength = 0;
};

// The control stream of one session: bytes are appended as they are read
// and complete replies are cut off the front; server requests and bytes
// that are no reply are skipped. At most kRtspBufferSize bytes wait for a
// reply to complete: more clears the buffer (Write then returns false).
class RtspReplyCutter {
 public:
  bool Write(std::string_view bytes, std::vector<std::unique_ptr<RtspPacket>>& replies);
  void Clear() { bytes_.clear(); }
  std::size_t pending() const { return bytes_.size(); }

 private:
  std::string bytes_;
};
