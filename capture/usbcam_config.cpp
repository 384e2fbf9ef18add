#include "capture/usbcam_config.h"

#include "config/json_fields.h"
#include "config/section_check.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <iostream>

namespace {

using kovira::FieldRule;

// The section's values: what the update endpoint accepts whole, and what
// the file may set (anything else keeps the old value with a warning).
const FieldRule kExposure = kovira::integerRule("exposure", 0, kovira::kUint32Max);
const FieldRule kLimgain = kovira::integerRule("limgain", 0, kovira::kUint32Max);
const FieldRule kMaxfps = kovira::integerRule("maxfps", 0, kovira::kUint32Max);
const FieldRule kMaxnfps = kovira::integerRule("maxnfps", 0, kovira::kUint32Max);
const FieldRule kFlashMode = kovira::integerRule("camflashmod", 0, 2);  // never, at night, always
const FieldRule kBrightness = kovira::singleRule("brightness", 0, 1);  // a fraction of full scale
const FieldRule kSchedule = kovira::integerRule("schedule", 0, kovira::kInt32Max);
const FieldRule kBr1 = kovira::singleRule("br1", 0, 1);
const FieldRule kBr2 = kovira::singleRule("br2", 0, 1);
// Minutes of the day as timeconv() gives them; 0 is unset.
const FieldRule kT1 = kovira::integerRule("t1", 0, 1438);
const FieldRule kT2 = kovira::integerRule("t2", 0, 1438);
const FieldRule kT3 = kovira::integerRule("t3", 0, 1438);
const FieldRule kT4 = kovira::integerRule("t4", 0, 1438);
const FieldRule kRules[] = {kExposure, kLimgain, kMaxfps, kMaxnfps, kFlashMode, kBrightness, kSchedule,
                            kBr1,      kBr2,     kT1,     kT2,      kT3,        kT4};

// A number of the section into field; a wrong type or a value outside the
// rule is skipped with a warning, so one bad key never stops the unit from
// starting.
template <class T>
void readSetting(const nlohmann::json& section, const FieldRule& rule, std::atomic<T>& field) {
  const auto it = section.find(rule.key);
  if (it == section.end()) return;
  const std::optional<std::string> why = kovira::refusalOf(rule, *it);
  const std::optional<T> v = why ? std::nullopt : kovira::fittingNumber<T>(*it);
  if (!v) {
    std::cout << "[WARNING] usbcam: " << rule.key << "=" << it->dump() << " is not usable ("
              << why.value_or("does not fit") << "), kept " << nlohmann::json(field.load()).dump() << std::endl;
    return;
  }
  field = *v;
}

}  // namespace

std::uint32_t crc32c(const void* data, std::size_t size) {
  static const auto table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? (c >> 1) ^ 0x82F63B78u : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t crc = 0xFFFFFFFFu;
  const auto* p = static_cast<const std::uint8_t*>(data);
  for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

BaslerConfig& baslerConfig() {
  // Never destroyed: the grabber and page threads may still read it at exit.
  static BaslerConfig* config = new BaslerConfig;
  return *config;
}

unsigned BaslerConfig::fps() const {
  unsigned v = std::min(maxfps.load(), curfps.load());
  if (night != 0 && maxnfps != 0 && maxnfps < v) v = maxnfps;
  return std::max(v, minfps.load());
}

unsigned BaslerConfig::maxfpsdaynight() const { return night != 0 && maxnfps != 0 ? maxnfps.load() : maxfps.load(); }

void BaslerConfig::framerate(unsigned n) {
  if (n == 0) {
    curfps = 0;
    return;
  }
  unsigned v = std::max(n, minfps.load());
  if (maxfps != 0 && maxfps < v) v = maxfps;
  curfps = v;
}

void BaslerConfig::slower() {
  if (curfps != 0 && curfps >= minfps) --curfps;
}

void BaslerConfig::faster() {
  if (!(maxfps != 0 && maxfps < curfps)) ++curfps;
}

unsigned BaslerConfig::getflash() const {
  if (period != 0) return 0;
  if (camflashmod == 0) return 0;
  if (camflashmod == 2) return 1;
  return night;
}

unsigned BaslerConfig::changed() const {
  // A field-wise copy: the atomics are read one by one, then hashed as the
  // block lies in memory.
  struct Block {
    std::uint32_t night, minfps, maxfps, maxnfps, curfps, limgain, exposure;
    float target;
    std::uint32_t camflashmod, period;
  } b{night, minfps, maxfps, maxnfps, curfps, limgain, exposure, target, camflashmod, period};
  static_assert(sizeof(Block) == 40);
  return crc32c(&b, sizeof b);
}

void BaslerConfig::logme(const std::string& text) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y/%m/%d %H:%M", &local);
  std::lock_guard lock(mutex_);
  if (log.size() > kLogLimit) return;
  log += stamp;
  log += ' ';
  log += text;
  log += '\n';
}

std::string BaslerConfig::text(const std::string BaslerConfig::*field) const {
  std::lock_guard lock(mutex_);
  return this->*field;
}

void BaslerConfig::setText(std::string BaslerConfig::*field, std::string value) {
  std::lock_guard lock(mutex_);
  this->*field = std::move(value);
}

bool checktime(unsigned now, int timezone, unsigned from, unsigned to) {
  const unsigned m = ((now + static_cast<unsigned>(timezone) * 3600u) % 86400u) / 60u;
  return from < m && m < to && from < to;
}

unsigned BaslerConfig::checkTime(unsigned now, int timezone) const {
  if (schedule == 0) return 0;
  if (checktime(now, timezone, static_cast<unsigned>(t1.load()), static_cast<unsigned>(t2.load()))) return 1;
  if (checktime(now, timezone, static_cast<unsigned>(t3.load()), static_cast<unsigned>(t4.load()))) return 2;
  return 0;
}

bool BaslerConfig::isSchedulled() const {
  if (schedule == 0) return false;
  return (t1 != 0 && t2 != 0 && t1 < t2) || (t3 != 0 && t4 != 0 && t3 < t4);
}

bool BaslerConfig::setBrightnessPreset(int p) {
  const float value = p == 1 ? br1.load() : p == 2 ? br2.load() : p == 0 ? brightness.load() : 0.0f;
  if (!(brmin < value && value < brmax)) return false;
  target = value;
  return true;
}

std::optional<int> parseTime(std::string_view text) {
  std::size_t i = 0;
  // 1 to `most` digits as a number.
  const auto number = [&](std::size_t most, int& out) {
    const std::size_t from = i;
    out = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - from < most) out = out * 10 + (text[i++] - '0');
    return i > from;
  };
  const auto separator = [&] {
    if (i == text.size() || (text[i] != ':' && text[i] != '-')) return false;
    ++i;
    return true;
  };
  int hours = 0, minutes = 0, seconds = 0;
  if (!number(4, hours) || !separator() || !number(4, minutes)) return std::nullopt;
  // Seconds, as a browser's time field may send them, and nothing after.
  if (i != text.size() && (!separator() || !number(2, seconds) || seconds > 59)) return std::nullopt;
  if (i != text.size()) return std::nullopt;
  const int m = hours * 60 + minutes;
  return m >= 1 && m <= 1438 ? m : 0;
}

int timeconv(std::string text) { return parseTime(text).value_or(0); }

std::string timeconvback(int minutes) {
  char out[32];
  std::snprintf(out, sizeof out, "%02d:%02d", minutes / 60, minutes % 60);
  return out;
}

void BaslerConfig::tojson(nlohmann::json& j, int mode) {
  if (j.is_null()) j = nlohmann::json::object();
  const bool full = mode != 0;
  j["exposure"] = exposure.load();
  if (full || limgain != 24) j["limgain"] = limgain.load();
  // Written whenever it differs from its start value, so an operator's
  // brightness survives a restart.
  if (full || brightness != 0.5f) j["brightness"] = brightness.load();
  // Compared with its start value like the others: a deliberate 0 survives.
  if (full || maxfps != 40) j["maxfps"] = maxfps.load();
  if (full || maxnfps != 18) j["maxnfps"] = maxnfps.load();
  if (full || camflashmod != 1) j["camflashmod"] = camflashmod.load();
  if (full) j["actfps"] = actfps.load();
  if (schedule != 0 || t1 != 0 || t2 != 0 || t3 != 0 || t4 != 0) {
    j["schedule"] = schedule.load();
    j["t1"] = t1.load();
    j["t2"] = t2.load();
    j["t3"] = t3.load();
    j["t4"] = t4.load();
    j["br1"] = br1.load();
    j["br2"] = br2.load();
  }
}

void BaslerConfig::fromjson(const nlohmann::json& j) {
  if (!j.is_object()) {
    std::cout << "[WARNING] usbcam: the section is not an object, ignored" << std::endl;
    return;
  }
  readSetting(j, kExposure, exposure);
  readSetting(j, kLimgain, limgain);
  readSetting(j, kMaxfps, maxfps);
  readSetting(j, kMaxnfps, maxnfps);
  readSetting(j, kFlashMode, camflashmod);
  // The brightness outside the schedule is read back too: the page's value
  // must survive a restart.
  readSetting(j, kBrightness, brightness);
  // The schedule is the section's whole: absent times are unset.
  schedule = 0;
  t1 = t2 = t3 = t4 = 0;
  readSetting(j, kSchedule, schedule);
  readSetting(j, kBr1, br1);
  readSetting(j, kBr2, br2);
  readSetting(j, kT1, t1);
  readSetting(j, kT2, t2);
  readSetting(j, kT3, t3);
  readSetting(j, kT4, t4);
}

const kovira::FieldRule* BaslerConfig::rule(std::string_view key) {
  for (const FieldRule& r : kRules)
    if (key == r.key) return &r;
  return nullptr;
}

std::string BaslerConfig::check(const nlohmann::json& j) const {
  if (!j.is_object()) return "error: usbcam: the section is not an object\n";
  return kovira::checkSection(j, kRules);
}
