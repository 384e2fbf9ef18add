// NMEA RMC sentences as the board hands them over (its "GNSS" reply), read
// without regular expressions: the text may be anything the line carried.
//
//   $GPRMC,hhmmss[.ss],A|V,ddmm.mmmm,N|S,dddmm.mmmm,E|W,...   (NMEA 0183)
//
// GNRMC (multi-constellation receivers) reads the same. Pure functions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace nmea {

// A sentence longer than this is not looked at.
inline constexpr std::size_t kMaxSentence = 4096;

// The position text of the GNSS page: "ddmm.mmmmN dddmm.mmmmE" (one leading
// zero of the longitude dropped) for a valid fix, "NO SIGNAL hhmmss" for a
// sentence without fix, "NO SIGNAL" when no RMC sentence is found.
std::string position(std::string_view text);

}  // namespace nmea

// "ddmm.mmmm,N,dddmm.mmmm,E" anywhere in `in` -> "lat,lon" in decimal
// degrees ("%g"); false (out untouched, an error logged) without it.
bool NmeaToDecimal(std::string const& in, std::string& out);
