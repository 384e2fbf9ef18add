// The bus-lane modules. "busline": every vehicle read in the zone that
// covers the bus lane (an action's zone A) gets an evidence archive marked
// nWrongLine. "busline-kormelino": the same lane, but plates on an
// allow-list of buses fetched over HTTP are exempt, and the evidence is a
// three-photo collage without a report.
//
// Threading: the dispatchers run on the result-queue workers. The
// allow-list is written by its updater thread ("busline-upd") and read by
// the workers, both under the list's mutex. The updater is detached and
// ends when `working` drops: it lives in an object that is never destroyed,
// so nothing it touches is freed by static destruction.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "modules/dispatch.h"  // the module interface: kovira::Action, MultiTrack, Track

namespace busline {

inline constexpr const char* kModuleName = "busline";

int funnyt4(kovira::MultiTrack& group);
int processtrack(kovira::Track& track, kovira::Action& action);

}  // namespace busline

namespace busline_kormelino {

inline constexpr const char* kModuleName = "busline-kormelino";
inline constexpr std::uint16_t kListPort = 8889;
inline constexpr const char* kListPath = "/mts.txt";
inline constexpr std::uint32_t kListPeriodSeconds = 300;
// A longer list is no list of buses: the fetch counts as failed.
inline constexpr std::size_t kMaxListBytes = 1 << 20;

// The allowed plate texts of a list file: one per line, trimmed, blank
// lines skipped, kept as written (no case folding).
std::vector<std::string> parseBusList(std::string_view body);

// The allow-list and its periodic fetch.
class BusListKormelino {
 public:
  // Fills body; negative on failure (httpfetch's contract).
  using Fetch = std::function<int(const std::string& url, std::string& body)>;

  BusListKormelino();
  explicit BusListKormelino(Fetch fetch);

  // "http://<ip>:8889/mts.txt"; empty (no fetching) for a non-IPv4 server.
  void setServer(const std::string& ipv4);
  const std::string& url() const { return url_; }
  void setActive(bool active) { active_ = active; }
  // Another way to fetch; the next tick fetches at once.
  void setFetch(Fetch fetch) {
    fetch_ = std::move(fetch);
    attempted_ = false;
  }

  // One step of the updater: fetches when active and more than the period
  // has passed since the last attempt (the first attempt at once). nowSec is
  // a steady clock in seconds. Returns true when it fetched.
  bool tick(std::uint64_t nowSec);
  // The updater thread's loop, until `working` drops.
  void operator()();

  bool empty() const;
  bool contains(const std::string& plate) const;

 private:
  Fetch fetch_;
  std::string url_;
  bool active_ = false;
  bool attempted_ = false;
  std::uint64_t lastAttempt_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::string> list_;  // guarded by mutex_
};

// The process's list, never destroyed (its thread outlives main).
BusListKormelino& updbus();

int funnyt7(kovira::MultiTrack& group);
int processtrack(kovira::Track& track, kovira::Action& action);

}  // namespace busline_kormelino
