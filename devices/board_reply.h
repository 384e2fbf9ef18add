// Pure pieces of the controller-board line protocol: when a reply is whole,
// which line of it counts, whether it answers the command, and the status
// line's key=value fields. No descriptor, no clock: the link (sttydev.h) and
// the fuzz target both call these.
//
// Wire format (ASCII, one command per line, the board answers one line):
//
//   unit  -> board   "EXT\n"
//   board -> unit    "EXT V=20190430 U=3600 V1=1215 ... A=1250 T1=38\n"
//   unit  -> board   "CAMF 100\n"
//   board -> unit    "CAMF 100\n" | "OK\n" | "ERR\n"
//
// Some firmware prints a stray line before the answer and some ends lines
// with "\r\n"; only the last line counts and it is trimmed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace board {

// A reply longer than this is damage (the board's longest line is ~120
// bytes); the exchange fails rather than buffering on.
inline constexpr std::size_t kMaxReply = 1024;

// One status snapshot; all zero means "no status".
struct Status {
  std::uint32_t time = 0;  // wall-clock seconds when parsed
  std::uint32_t V = 0, U = 0, V1 = 0, V2 = 0, I = 0, S = 0, O = 0, B = 0, P = 0, F = 0, CF = 0, CI = 0, G = 0,
                A = 0, T1 = 0;

  std::uint32_t distance(std::uint32_t t) const { return time > t ? time - t : t - time; }
  bool operator==(const Status&) const = default;
};

// The last line of a reply (a final line feed does not start a new line),
// trimmed of white space.
std::string lastLine(std::string_view reply);
// The line answers `command` when it begins with the whole command or "OK".
bool answers(std::string_view line, std::string_view command);
// The reply is whole: it ends in a line feed and its last line answers.
bool complete(std::string_view reply, std::string_view command);

// Fields of a status line "EXT K=V K=V ..."; time stays 0. A line without
// a blank gives the all-zero record; a malformed token only loses its field.
Status parseStatus(std::string_view line);

// The text after the first blank; false (value untouched) without a blank.
bool getValueStr(const std::string& reply, std::string& value);

// Converts like std::stoi (leading blanks and a sign allowed, trailing
// text ignored, int range); false when it does not.
bool toInt(std::string_view text, int& value);

}  // namespace board
