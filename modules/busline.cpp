#include "modules/busline.h"

#include "config/actions.h"
#include "config/config.h"
#include "config/identity.h"
#include "core/startup_functions.h"
#include "core/text.h"
#include "core/threads.h"
#include "core/working.h"
#include "evidence/common.h"
#include "evidence/compose.h"
#include "http/httpclient.h"
#include "evidence/labelformat.h"
#include "modules/dispatch.h"
#include "modules/speed.h"
#include "recognition/resqueue.h"
#include "recognition/track.h"
#include "recognition/trackspeed.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

// The caption and passage values both bus-lane modules show.
evidence::EventValues laneValues(const kovira::TrackSpeed& measured, std::uint32_t shown) {
  evidence::EventValues values;
  values.speed = measured.speed;
  values.caption = [spd = evidence::truncatedSpeed(measured.speed), shown](LabelFormat& label, std::uint32_t) {
    label.emplace("spd", spd);
    label.emplace("lim", static_cast<int>(shown));
  };
  return values;
}


}  // namespace

namespace busline {
namespace {

int judge(kovira::Track& track, kovira::Action& action) {
  using namespace evidence;
  const std::string plate = track.text();
  if (!modules::clockSynced(track)) return kNoEvidenceFrame;
  const std::size_t valid = track.onlyValidPoints().size();
  if (valid < speed::kMinValidPoints || track.plateCount() < speed::kMinPlateReadings) {
    consoleLine("[ERR] слишком мало годных элементов: " + plate + ", " + std::to_string(valid));
    return kTooLittleData;
  }
  const unsigned best = modules::bestStoredFrame(track);
  if (best == 0) return kNoEvidenceFrame;
  const kovira::TrackSpeed measured(track);  // shown, never tested
  const modules::ActionLimits limits = modules::limitsOf(action);
  if (!modules::plateAndDirectionPass(track, limits)) return kNoEvent;
  return composeEvidence(*moduleSettings(kModuleName), track, action, best, laneValues(measured, limits.shown));
}

}  // namespace

int processtrack(kovira::Track& track, kovira::Action& action) {
  return modules::guarded(kModuleName, judge, track, action);
}

int funnyt4(kovira::MultiTrack& group) { return modules::dispatch(group, {.method = kModuleName}, judge); }

void modinit() {
  modules::prepareScratch();
  resproc.addProcModule(kModuleName, funnyt4);
}

}  // namespace busline

namespace busline_kormelino {

std::vector<std::string> parseBusList(std::string_view body) {
  std::vector<std::string> out;
  while (!body.empty()) {
    const std::size_t end = body.find('\n');
    std::string line(body.substr(0, end));
    body = end == std::string_view::npos ? std::string_view{} : body.substr(end + 1);
    trim(line);
    if (!line.empty()) out.push_back(std::move(line));
  }
  return out;
}

BusListKormelino::BusListKormelino()
    : BusListKormelino([](const std::string& url, std::string& body) {
        std::string header;
        return httpfetch(url, body, header, kMaxListBytes);
      }) {}

BusListKormelino::BusListKormelino(Fetch fetch) : fetch_(std::move(fetch)) {}

void BusListKormelino::setServer(const std::string& ipv4) {
  url_ = kovira::isIPv4(ipv4) ? "http://" + ipv4 + ":" + std::to_string(kListPort) + kListPath : std::string();
}

bool BusListKormelino::tick(std::uint64_t nowSec) {
  if (!active_ || url_.empty()) return false;
  if (attempted_ && nowSec <= lastAttempt_ + kListPeriodSeconds) return false;
  attempted_ = true;
  lastAttempt_ = nowSec;
  std::string body;
  if (fetch_(url_, body) < 0 || body.size() > kMaxListBytes) {
    evidence::consoleLine("[DBG] fail read from " + url_);
    return true;  // the list keeps what it had
  }
  // Parsed before the lock: workers never wait for the parse.
  std::vector<std::string> fresh = parseBusList(body);
  std::lock_guard lock(mutex_);
  list_ = std::move(fresh);
  return true;
}

void BusListKormelino::operator()() {
  thread_name("busline-upd");
  while (working.load() > 0) {
    try {
      const auto now = std::chrono::steady_clock::now().time_since_epoch();
      tick(static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(now).count()));
    } catch (const std::exception& e) {
      evidence::consoleLine(std::string("[ERR] busline-upd: ") + e.what());
    } catch (...) {
      evidence::consoleLine("[ERR] busline-upd: unknown failure");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
}

bool BusListKormelino::empty() const {
  std::lock_guard lock(mutex_);
  return list_.empty();
}

bool BusListKormelino::contains(const std::string& plate) const {
  std::lock_guard lock(mutex_);
  return std::find(list_.begin(), list_.end(), plate) != list_.end();
}

BusListKormelino& updbus() {
  static BusListKormelino* const list = new BusListKormelino();  // its thread outlives main
  return *list;
}

namespace {

int judge(kovira::Track& track, kovira::Action& action) {
  using namespace evidence;
  const std::string plate = track.text();
  if (!modules::clockSynced(track)) return kNoEvidenceFrame;
  const std::vector<kovira::TrackPoint> valid = track.onlyValidPoints();
  if (valid.size() < speed::kMinValidPoints) return kTooLittleData;
  if (track.points.size() < speed::kMinPlateReadings) return kTooLittleData;  // all points here
  // No list yet, or an empty one: nothing can be told apart from a bus.
  if (updbus().empty()) return kNoEvidenceFrame;
  if (updbus().contains(plate)) return kNoEvidenceFrame;
  const unsigned best = modules::bestStoredFrame(track);
  if (best == 0) return kNoEvidenceFrame;
  const kovira::TrackSpeed measured(track);  // shown, never tested
  const modules::ActionLimits limits = modules::limitsOf(action);
  if (!modules::plateAndDirectionPass(track, limits)) return kNoEvent;
  EventValues values = laneValues(measured, limits.shown);
  values.metadata.push_back({"spdlim", static_cast<std::int64_t>(limits.shown)});
  values.firstFrame = valid.front().num;
  values.lastFrame = valid.back().num;
  const int result = composeEvidence(*moduleSettings(kModuleName), track, action, best, values);
  // A stored event is not counted: later modules' "skipworked" does not see it.
  return result == kEvidenceStored ? kNoEvent : result;
}

}  // namespace

int processtrack(kovira::Track& track, kovira::Action& action) {
  return modules::guarded(kModuleName, judge, track, action);
}

int funnyt7(kovira::MultiTrack& group) { return modules::dispatch(group, {.method = kModuleName}, judge); }

void modinit() {
  BusListKormelino& list = updbus();
  bool active = false;
  {
    kovira::ConfigReadLock lock;
    for (const kovira::Action& a : kovira::actions())
      if (a.enabled != 0 && a.method == kModuleName) active = true;
    list.setServer(kovira::config().endpoints.buslist);
  }
  if (active && list.url().empty())
    evidence::consoleLine("[WARNING] no \"buslist\" server in /etc/kovira.conf: bus-lane vehicles are not reported");
  list.setActive(active);
  std::thread(std::ref(list)).detach();
  modules::prepareScratch();
  resproc.addProcModule(kModuleName, funnyt7);
}

}  // namespace busline_kormelino
