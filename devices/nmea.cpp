#include "devices/nmea.h"

#include "core/log.h"

#include <cstdio>
#include <string>

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A small cursor over the text: every step checks the bounds first.
struct Cursor {
  std::string_view s;
  std::size_t at = 0;

  bool literal(char c) {
    if (at >= s.size() || s[at] != c) return false;
    ++at;
    return true;
  }
  std::size_t digits(std::size_t min = 1, std::size_t max = std::string_view::npos) {
    std::size_t n = 0;
    while (at < s.size() && n < max && isDigit(s[at])) ++at, ++n;
    return n >= min ? n : 0;
  }
  // One of the letters of `set`, or 0.
  char oneOf(std::string_view set) {
    if (at >= s.size() || set.find(s[at]) == std::string_view::npos) return 0;
    return s[at++];
  }
  // [0-9]+\.[0-9]+ ; the text read, or empty.
  std::string_view decimal() {
    const std::size_t from = at;
    if (digits() && literal('.') && digits()) return s.substr(from, at - from);
    at = from;
    return {};
  }
};

// One RMC match starting right after "RMC,"; empty when it does not match.
std::string readRmc(Cursor c) {
  const std::size_t timeFrom = c.at;
  if (!c.digits()) return {};
  const std::string_view hhmmss = c.s.substr(timeFrom, c.at - timeFrom);
  if (c.literal('.') && !c.digits()) return {};
  if (!c.literal(',')) return {};
  const char fix = c.oneOf("VA");
  if (!fix || !c.literal(',')) return {};
  const std::string_view lat = c.decimal();
  if (lat.empty() || !c.literal(',')) return {};
  const char ns = c.oneOf("NS");
  if (!ns || !c.literal(',')) return {};
  std::string_view lon = c.decimal();
  if (lon.empty() || !c.literal(',')) return {};
  const char ew = c.oneOf("WE");
  if (!ew) return {};
  if (fix == 'V') return "NO SIGNAL " + std::string(hhmmss);
  // One leading zero of the longitude goes, as long as digits stay before
  // the point ("01131.000" -> "1131.000", "0.5" stays).
  if (lon.size() > 1 && lon[0] == '0' && isDigit(lon[1])) lon.remove_prefix(1);
  return std::string(lat) + ns + " " + std::string(lon) + ew;
}

}  // namespace

namespace nmea {

std::string position(std::string_view text) {
  if (text.size() > kMaxSentence) return "NO SIGNAL";
  for (std::size_t at = text.find("RMC,"); at != std::string_view::npos; at = text.find("RMC,", at + 1)) {
    if (at < 2 || text[at - 2] != 'G' || (text[at - 1] != 'P' && text[at - 1] != 'N')) continue;
    std::string found = readRmc(Cursor{text, at + 4});
    if (!found.empty()) return found;
  }
  return "NO SIGNAL";
}

}  // namespace nmea

namespace {

struct Coordinate {
  std::string_view degrees, minutes, fraction;
  char side = 0;
};

// (\d{dd})(\d{2})\.(\d+),(sides) at the cursor.
bool readCoordinate(Cursor& c, std::size_t degreeDigits, std::string_view sides, Coordinate& out) {
  const std::size_t from = c.at;
  if (c.digits(degreeDigits, degreeDigits) != degreeDigits) return false;
  out.degrees = c.s.substr(from, degreeDigits);
  if (c.digits(2, 2) != 2) return false;
  out.minutes = c.s.substr(from + degreeDigits, 2);
  if (!c.literal('.')) return false;
  const std::size_t f = c.at;
  if (!c.digits()) return false;
  out.fraction = c.s.substr(f, c.at - f);
  return c.literal(',') && (out.side = c.oneOf(sides)) != 0;
}

float toDegrees(const Coordinate& c, char negative) {
  const float minutes = std::stof(std::string(c.minutes) + "." + std::string(c.fraction).substr(0, 30));
  const float v = std::stof(std::string(c.degrees)) + minutes / 60.0f;
  return c.side == negative ? -v : v;
}

}  // namespace

bool NmeaToDecimal(std::string const& in, std::string& out) {
  if (in.size() <= nmea::kMaxSentence) {
    for (std::size_t start = 0; start < in.size(); ++start) {
      if (!isDigit(in[start])) continue;
      Cursor c{in, start};
      Coordinate lat, lon;
      if (!readCoordinate(c, 2, "NS", lat) || !c.literal(',') || !readCoordinate(c, 3, "EW", lon)) continue;
      char text[64];
      std::snprintf(text, sizeof text, "%g,%g", static_cast<double>(toDegrees(lat, 'S')),
                    static_cast<double>(toDegrees(lon, 'W')));
      out = text;
      return true;
    }
  }
  log_error_format("Coordinates not parsed: %s", in.substr(0, 256).c_str());
  return false;
}
