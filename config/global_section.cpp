// The "global" section of kovira::GlobalConfig: its reader, its writer and
// the accessors derived from its values.
#include "config/config.h"

#include "config/json_fields.h"
#include "config/json_writer.h"
#include "config/section_check.h"
#include "config/xml_text.h"

#include <nlohmann/json.hpp>

#include <sys/sysinfo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>
#include <vector>

namespace kovira {

namespace {

constexpr std::size_t kLatLonMin = 5;  // shorter configured coordinates are a placeholder
constexpr std::size_t kDateLength = 10;
constexpr std::size_t kNumberStart = 11;

// A number the member cannot hold is not applied: keeping the old value is
// what an operator expects from a typo, and a clamped value would be saved
// over the typed one.
template <class T>
bool takeNumber(const nlohmann::json& v, const std::string& key, T& member) {
  if (const std::optional<T> value = fittingNumber<T>(v)) {
    member = *value;
    return true;
  }
  std::cout << "[WARNING] global: " << key << "=" << v.dump() << " does not fit its field, kept " << member
            << std::endl;
  return false;
}

std::vector<std::string> splitComma(const std::string& s) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = s.find(',', start);
    parts.push_back(s.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) return parts;
    start = comma + 1;
  }
}

std::string latlonOf(const std::string& coords, const std::string& acoords) {
  if (coords.size() >= kLatLonMin) return coords;
  if (!acoords.empty()) return acoords;
  return coords;
}

// The two parts of "lat,lon", or nothing.
bool latlonParts(const std::string& text, std::string& lat, std::string& lon) {
  if (text.empty()) return false;
  const std::vector<std::string> parts = splitComma(text);
  if (parts.size() != 2) return false;
  lat = parts[0];
  lon = parts[1];
  return true;
}

std::string serialText(const nlohmann::json& v) {
  if (v.is_number_float()) return jsonNumber(v.get<double>());
  return v.dump();  // integers as their decimal digits
}

}  // namespace

namespace {

const FieldRule kGlobalRules[] = {
    integerRule("timezone", GlobalConfig::kMinTimezone, GlobalConfig::kMaxTimezone),
    integerRule("suspended", kInt32Min, kInt32Max),
    integerRule("webserver", 1, GlobalConfig::kMaxWebPort),
    integerRule("spd-mindist", 1, kUint32Max),
    integerRule("spd-minpoints", 1, kUint32Max),
    integerRule("spd-mintrack", 1, kUint32Max),
    {"serial", FieldRule::Kind::textOrNumber},
    textRule("signkey"),
    textRule("lang"),
    textRule("coords"),
    textRule("devname"),
    textRule("address"),
    textRule("certificate"),
    textRule("verification"),
    textRule("manufacturer"),
    textRule("trackmask"),
    textRule("way1"),
    textRule("way2"),
    textRule("redpts"),
    textRule("platepos"),
};

}  // namespace

std::string GlobalConfig::checkConfig(const nlohmann::json& section) { return checkSection(section, kGlobalRules); }

bool GlobalConfig::updConfig(const nlohmann::json& section) {
  ConfigWriteLock lock;
  if (!section.is_object()) return true;
  struct TextKey {
    const char* key;
    std::string GlobalConfig::*member;
  };
  static const TextKey kTexts[] = {
      {"signkey", &GlobalConfig::signkey},       {"lang", &GlobalConfig::lang},
      {"coords", &GlobalConfig::coords},         {"devname", &GlobalConfig::devname},
      {"address", &GlobalConfig::address},       {"serial", &GlobalConfig::serial},
      {"certificate", &GlobalConfig::certificate}, {"verification", &GlobalConfig::verification},
      {"manufacturer", &GlobalConfig::manufacturer}, {"trackmask", &GlobalConfig::trackmask},
      {"way1", &GlobalConfig::way1},             {"way2", &GlobalConfig::way2},
  };
  bool fits = true;
  // A value of a type its key never takes keeps the old value, with one
  // warning naming the key; the rest of the section is applied.
  nlohmann::json now;
  tojson(now, 1);
  for (auto it = section.begin(); it != section.end(); ++it) {
    const std::string& key = it.key();
    const nlohmann::json& v = it.value();
    const auto rule = std::find_if(std::begin(kGlobalRules), std::end(kGlobalRules),
                                   [&](const FieldRule& r) { return key == r.key; });
    if (rule != std::end(kGlobalRules) && !typeTaken(section, *rule, now.value(key, nlohmann::json()), "global")) {
      fits = false;
      continue;
    }
    for (const TextKey& t : kTexts) {
      if (key == t.key && v.is_string()) {
        std::string text = v.get<std::string>();
        // These texts reach the XML report (device name, address, serial,
        // certificates) and its captions.
        takeXmlSafe(text, "global", key);
        this->*t.member = std::move(text);
      }
    }
    // Numbers of the wrong JSON type are ignored; 0 and negative values do
    // not set the port or the speed thresholds.
    const bool positive = v.is_number() && v.get<double>() > 0;
    if (key == "serial" && v.is_number()) {
      serial = serialText(v);
    } else if (key == "redpts" && v.is_string()) {
      std::string text = v.get<std::string>();
      takeXmlSafe(text, "global", key);
      redpts = std::move(text);
      fillpolygon(redpts, redpoly);
    } else if (key == "timezone" && v.is_number()) {
      fits &= takeNumber(v, key, timezone);
    } else if (key == "suspended" && v.is_number()) {
      std::int32_t value = suspended;
      fits &= takeNumber(v, key, value);
      suspended = value;
    } else if (key == "webserver" && positive) {
      const std::uint16_t port = fittingNumber<std::uint16_t>(v).value_or(0);
      if (port != 0) {
        webserver = port;
      } else {
        std::cout << "[WARNING] global: webserver=" << v.dump() << " is not a TCP port (1..65535), kept "
                  << webserver << std::endl;
        fits = false;
      }
    } else if (key == "spd-mindist" && positive) {
      fits &= takeNumber(v, key, spdMindist);
    } else if (key == "spd-minpoints" && positive) {
      fits &= takeNumber(v, key, spdMinpoints);
    } else if (key == "spd-mintrack" && positive) {
      fits &= takeNumber(v, key, spdMintrack);
    } else if (key == "platepos" && v.is_string()) {
      unsigned c = 0, a = 0, b = 0;
      if (std::sscanf(v.get_ref<const std::string&>().c_str(), "%u,%u,%u", &c, &a, &b) == 3) {
        posc = c;
        posa = a;
        posb = b;
      } else {
        posc = posa = posb = 0;
      }
    }
  }
  return fits;
}

void GlobalConfig::tojson(nlohmann::json& out, int mode) const {
  ConfigReadLock lock;
  const bool full = mode != 0;
  out = nlohmann::json::object();
  out["type"] = "global";
  out["signkey"] = signkey;
  out["timezone"] = timezone;
  out["webserver"] = static_cast<std::uint32_t>(webserver);
  out["address"] = address;
  out["devname"] = devname;
  out["serial"] = serial;
  out["lang"] = lang;
  if (full || static_cast<std::uint64_t>(posa) + posb + posc != 0) {
    char text[40];
    std::snprintf(text, sizeof text, "%u,%u,%u", posc, posa, posb);
    out["platepos"] = text;
  }
  if (full || !coords.empty()) out["coords"] = coords;
  if (full || suspended >= 1) out["suspended"] = suspended.load();
  if (full || static_cast<std::uint64_t>(spdMintrack) + spdMinpoints + spdMindist != 0) {
    out["spd-mintrack"] = spdMintrack;
    out["spd-minpoints"] = spdMinpoints;
    out["spd-mindist"] = spdMindist;
  }
  if (full || !codeloc.empty()) out["codeloc"] = codeloc;
  if (full || !verification.empty() || !certificate.empty()) {
    out["verification"] = verification;
    out["certificate"] = certificate;
  }
  if (full) out["startup"] = startup;
  if (full || !redpts.empty()) out["redpts"] = redpts;
  if (full || !manufacturer.empty()) out["manufacturer"] = manufacturer;
  if (full || !trackmask.empty()) out["trackmask"] = trackmask;
  if (full) {
    out["ntpsync"] = ntpsync.load();
    out["satsync"] = satsync.load();
  }
  if (full || !way1.empty() || !way2.empty()) {
    out["way1"] = way1;
    out["way2"] = way2;
  }
}

std::string GlobalConfig::tojson(int mode) const {
  nlohmann::json out;
  tojson(out, mode);
  return jsonText(out);
}

std::string GlobalConfig::token(unsigned long n) const {
  if (n == 0 || devtoken.size() <= n) return devtoken;
  return devtoken.substr(0, n);
}

std::int64_t GlobalConfig::uptime() const {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count();
}

std::int64_t GlobalConfig::now() const {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string GlobalConfig::latlon() const {
  ConfigReadLock lock;
  return latlonOf(coords, acoords);
}

std::string GlobalConfig::lat() const {
  std::string la, lo;
  return latlonParts(latlon(), la, lo) ? la : std::string();
}

std::string GlobalConfig::lon() const {
  std::string la, lo;
  return latlonParts(latlon(), la, lo) ? lo : std::string();
}

std::string GlobalConfig::lonlat() const {
  std::string la, lo;
  return latlonParts(latlon(), la, lo) ? lo + "," + la : std::string();
}

std::string GlobalConfig::partOf(unsigned long n, const std::string& text) {
  if (n == 1 && text.size() >= kDateLength) return text.substr(0, kDateLength);
  if (n == 2 && text.size() > kNumberStart + 1) return text.substr(kNumberStart);
  return {};
}

std::string GlobalConfig::certExp() const {
  ConfigReadLock lock;
  return partOf(1, certificate);
}

std::string GlobalConfig::certNum() const {
  ConfigReadLock lock;
  return partOf(2, certificate);
}

std::string GlobalConfig::verifyExp() const {
  ConfigReadLock lock;
  return partOf(1, verification);
}

std::string GlobalConfig::verifyNum() const {
  ConfigReadLock lock;
  return partOf(2, verification);
}

std::uint64_t GlobalConfig::systemuptime() const {
  struct sysinfo info {};
  const int rc = ::sysinfo(&info);
  if (rc != 0) {
    std::cerr << "code error = " << rc << std::endl;
    return 0;
  }
  return static_cast<std::uint64_t>(info.uptime);
}

std::uint64_t GlobalConfig::memfree() {
  constexpr std::uint64_t kKiB = 1024;
  std::ifstream in("/proc/meminfo");
  std::string line;
  while (std::getline(in, line)) {
    unsigned long long kb = 0;
    if (std::sscanf(line.c_str(), "MemAvailable: %llu kB", &kb) == 1) return kb * kKiB;
  }
  return 0;
}

void GlobalConfig::setAcoords(const std::string& value) {
  ConfigWriteLock lock;
  acoords = value;
}

}  // namespace kovira
