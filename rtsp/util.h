// Stream utilities of the network-camera receiver: Base64 (Basic
// authentication, SDP parameter sets), MD5 hex (Digest authentication),
// IPv4 name resolution, big-endian byte buffers, the bounded bit readers and
// the H.264 sequence-parameter-set parser that yields the picture size, NTP
// time conversion and the display texts of the receiver's enumerations.
//
// Everything here is a pure function of its arguments (the resolver aside)
// and may be called from any thread.
#pragma once

#include "capture/frametypes.h"

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

enum ReceiverState : std::uint32_t {
  ReceiverStateNone = 0,
  ReceiverStateDisconnected = 1,
  ReceiverStateConnecting = 2,
  ReceiverStateConnected = 3,
};

enum ReceiverError : std::uint32_t {
  ReceiverErrorNone = 0,
  ReceiverErrorConnection = 1,
  ReceiverErrorParseResponse = 2,
  ReceiverErrorResponseNotOk = 3,
  ReceiverErrorAuthentication = 4,
  ReceiverErrorCodecNotFound = 5,
  ReceiverErrorRtpServerPortNotFound = 6,
};

// Standard padded Base64 (RFC 4648) without line breaks, as RFC 7617 wants
// it for Basic credentials.
std::string Base64Encode(const std::string& bytes);
// Padded or unpadded Base64; nothing when a character is outside the
// alphabet (blanks and line feeds included) or padding is misplaced.
std::optional<std::string> Base64Decode(const std::string& text);

// MD5 of the bytes as 32 lower-case hexadecimal characters.
std::string Md5(const std::string& bytes);

// Resolves host (a dotted address resolves to itself) to its last IPv4
// address with port; false and addr untouched when it does not resolve.
bool GetAddress(const std::string& host, unsigned port, sockaddr_in& addr);
// Appends one address per resolved IPv4 address, in resolver order.
void GetAddresses(const std::string& host, unsigned port, std::vector<sockaddr_in>& out);

// Appending to byte buffers; integers go most significant byte first.
void AddToBuffer(std::vector<unsigned char>& buf, const char* data, unsigned size);
void AddToBuffer(std::vector<unsigned char>& buf, const std::vector<unsigned char>& data);
void AddToBuffer(std::vector<unsigned char>& buf, const std::string& data);
void AddToBuffer(std::vector<unsigned char>& buf, unsigned short value);
void AddToBuffer(std::vector<unsigned char>& buf, unsigned int value);

// Big-endian reads; the caller checks that 2, 4 or 8 bytes are there.
std::uint16_t GetUint16(const unsigned char* p);
std::uint32_t GetUint32(const unsigned char* p);
std::uint64_t GetUint64(const unsigned char* p);
inline unsigned GetLowWord(unsigned value) { return value & 0xFFFFu; }
inline unsigned GetHighWord(unsigned value) { return value >> 16; }

// Bit readers over bytes, most significant bit first; pos counts bits from
// the first byte and advances by what is read. Reading past the end yields
// zero bits and still advances pos, so a caller detects an overrun by
// comparing pos with 8 × size afterwards.
unsigned ReadBit(std::span<const std::uint8_t> bytes, int& pos);
// n bits as a number; 0 and nothing read when n < 1 (n is at most 32).
unsigned ReadBits(int n, std::span<const std::uint8_t> bytes, int& pos);
// ue(v) of H.264: at most 32 leading zero bits are counted.
unsigned ReadExponentialGolombCode(std::span<const std::uint8_t> bytes, int& pos);
// se(v) of H.264.
int ReadSE(std::span<const std::uint8_t> bytes, int& pos);

// Picture size of an H.264 sequence parameter set; sps starts after the
// one-byte NAL unit header. False, and nothing written, when the set ends
// early, a list count is out of range or the size is 0 or above 8192.
// chroma_format_idc is written only by the profiles that carry it.
inline constexpr unsigned kMaxSpsPictureSide = 8192;
bool ParseSps(std::span<const std::uint8_t> sps, unsigned& width, unsigned& height, unsigned& chroma_format_idc);

// Frame kind of one H.264 access unit in Annex-B form (start codes), as the
// frame store files it: type 1 starts a group, so only a picture decoding
// can start at: an IDR slice, or an I or SI slice (ITU-T H.264 7.4.3) with a
// recovery point SEI of recovery_frame_cnt 0 (an open-GOP key frame). Any
// other I or SI picture, and P and SP, continue the group (type 2); B is
// type 3. A packet's key flag or an IDR NAL type alone cannot tell P from
// B. `fallback` when the unit holds no slice or its header cannot be read.
FrameType H264FrameType(std::span<const std::uint8_t> unit, FrameType fallback);

// The parameter sets of an Annex-B H.264 unit that stand before its first
// slice: each SPS (7) and PPS (8) NAL unit with its start code, in order.
// Empty (and both flags false) when there are none; sets beyond
// kMaxParameterSetBytes in all are not taken.
inline constexpr std::size_t kMaxParameterSetBytes = 4096;
struct H264ParameterSets {
  std::vector<std::uint8_t> bytes;
  bool sps = false;
  bool pps = false;
};
H264ParameterSets H264LeadingParameterSets(std::span<const std::uint8_t> unit);

// seconds + fraction / (2^32 - 1): the camera's NTP clock as the receiver
// has always stamped frames with it.
double NtpTimeToDouble(unsigned seconds, unsigned fraction);
// "2026-Dec-07 01:02:03[.456789]" counted from 1900-01-01 00:00:00.
std::string NtpTimeToString(double seconds);
std::string NtpTimeToString(unsigned seconds, unsigned fraction);

// Display texts; a value outside the table gives "".
std::string ReceiverStateToString(ReceiverState state);
std::string ReceiverErrorToString(ReceiverError error);
std::string FrameTypeToString(FrameType type);
