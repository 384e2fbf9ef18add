// BaslerConfig: the industrial USB3 camera's section "usbcam" of the
// configuration file: settings, the schedule of brightness presets, the
// live values the driver reads from the camera, and an in-memory log. It is
// where the pages, the automatic control, the watchdog and the driver meet;
// the driver applies the settings whenever their checksum (changed()) moves.
//
// Threading: numbers are atomics (relaxed): the grabber writes the live
// values, the scheduler the automatic ones, HTTP threads the settings, all
// without a common lock. Texts (identity, status, log) are guarded by the
// object's mutex and handed out as copies. Lifetime: one instance from
// baslerConfig(), built on first use and never destroyed, so a thread still
// running at exit never meets a freed object.
#pragma once

#include "config/sketch.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace kovira {
struct FieldRule;
}

class BaslerConfig : public ConfigSketch {
 public:
  // The log stops growing past this many bytes.
  static constexpr std::size_t kLogLimit = 616448;

  void tojson(nlohmann::json& section, int mode) override;
  void fromjson(const nlohmann::json& section) override;
  std::string check(const nlohmann::json& section) const override;
  // The rule of one of the section's values ("exposure", "br1"...), so the
  // pages that edit them refuse what the section refuses; null for a key
  // the section does not check (config/section_check.h).
  static const kovira::FieldRule* rule(std::string_view key);

  unsigned exp() const { return exposure; }
  unsigned gain() const { return limgain; }
  void updgain(unsigned g) { limgain = g; }
  unsigned fps() const;
  unsigned maxfpsdaynight() const;
  void framerate(unsigned n);
  void slower();
  void faster();
  unsigned getflash() const;
  void flashmod(unsigned mode) { camflashmod = mode; }
  // CRC-32C of the settings block, night through period.
  unsigned changed() const;
  void logme(const std::string& text);
  unsigned checkTime(unsigned now, int timezone) const;
  bool isSchedulled() const;
  bool setBrightnessPreset(int period);

  // Copies of the texts, and their setters.
  std::string text(const std::string BaslerConfig::*field) const;
  void setText(std::string BaslerConfig::*field, std::string value);
  void clearLog() { setText(&BaslerConfig::log, {}); }

  // Identity and ranges, written by the driver on open (texts: use text()).
  std::string model, firmware, serial, version;
  std::atomic<std::uint32_t> expmin{0}, expmax{0};
  std::atomic<float> gainmin{0}, gainmax{0};
  std::atomic<float> brmax{0}, brmin{0};
  // Live values, written by the driver.
  std::atomic<std::uint32_t> actexp{0};
  std::atomic<float> acttemp{0}, actgain{0}, actfps{0};
  std::atomic<std::uint64_t> grabbed{0};
  std::atomic<std::uint32_t> errmajor{0}, errminor{0};
  std::string status;
  // Settings block, covered by the checksum.
  std::atomic<std::uint32_t> night{0}, minfps{4}, maxfps{40}, maxnfps{18}, curfps{25}, limgain{24}, exposure{1800};
  std::atomic<float> target{0.5f};
  std::atomic<std::uint32_t> camflashmod{1}, period{0};
  // Schedule and iris.
  std::atomic<std::int32_t> schedule{0}, t1{0}, t2{0}, t3{0}, t4{0};
  std::atomic<float> br1{0.25f}, br2{0.25f}, brightness{0.5f};
  std::atomic<std::uint32_t> diaphragm{0}, autodiaphragm{1};
  std::string log;
  std::atomic<std::uint32_t> chunks{0};

 private:
  mutable std::mutex mutex_;  // guards model, firmware, serial, version, status, log
};

BaslerConfig& baslerConfig();

// The minute of the day of now (seconds) at this hour offset lies strictly
// between from and to, and from < to.
bool checktime(unsigned now, int timezone, unsigned from, unsigned to);
// A schedule time "HH:MM" (or "HH-MM"), optionally with seconds ":SS" and
// nothing after them: minutes of the day 1..1438, 0 for a well-formed time
// outside them (00:00, 24:00); nothing for text that is no time at all.
std::optional<int> parseTime(std::string_view text);
// parseTime, with 0 for text that is no time.
int timeconv(std::string text);
std::string timeconvback(int minutes);
// CRC-32C (Castagnoli, reflected 0x82F63B78, initial and final all ones).
std::uint32_t crc32c(const void* data, std::size_t size);
