// NAL-level reading of H.264 Annex-B access units (ITU-T H.264 7.3, 7.4 and
// Annex D): the payload of a NAL unit with its emulation prevention bytes
// removed, the picture size of a sequence parameter set as it is sent, and
// the recovery point SEI that says whether decoding can start at a picture
// that is not an IDR picture.
//
// Pure functions of their arguments; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// Copies the bytes of the NAL unit that starts at unit[from] (the byte after
// its header) into out, 00 00 03 turned back into 00 00, up to the next start
// code, the end of the unit or the end of out; returns the bytes copied.
std::size_t H264UnescapeNal(std::span<const std::uint8_t> unit, std::size_t from, std::span<std::uint8_t> out);

// The picture size of a sequence parameter set NAL unit as it is sent (its
// header byte first, emulation prevention bytes in, up to a start code or
// its end), whether it came in band or in the SDP: the one reader of both,
// which removes those bytes before the fields are read. False when it is
// no SPS or does not parse (see ParseSps).
inline constexpr std::size_t kMaxSpsBytes = 1024;
bool H264SpsPictureSize(std::span<const std::uint8_t> nal, unsigned& width, unsigned& height,
                        unsigned& chroma_format_idc);

// recovery_frame_cnt of the recovery point SEI message (payload type 6)
// among the SEI NAL units before the first slice of the unit; nothing when
// there is none or it cannot be read. SEI NAL units are read up to
// kMaxSeiBytes each: x264 puts its long version text into an SEI of its own.
inline constexpr std::size_t kMaxSeiBytes = 4096;
std::optional<unsigned> H264RecoveryFrameCount(std::span<const std::uint8_t> unit);
