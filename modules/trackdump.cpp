#include "modules/trackdump.h"

#include "capture/cam.h"
#include "config/config.h"
#include "config/zones.h"
#include "core/fs.h"
#include "core/startup_functions.h"
#include "evidence/compose.h"
#include "evidence/simplefile.h"
#include "modules/dispatch.h"
#include "recognition/bestframe.h"
#include "recognition/multitrack.h"
#include "recognition/resqueue.h"
#include "recognition/track.h"
#include "recognition/trackspeed.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <exception>

namespace trackdump {
namespace {

constexpr int kIndent = 4;

// The frame keys of one point; none when its frame has left the store.
void addFrameKeys(nlohmann::json& element, const kovira::CamBuf& store, std::uint32_t frame) {
  const kovira::SmartBufferIterator it = store.frame(frame);
  if (!it.valid() || it->position != frame || !it->hasBytes()) return;
  element["time"] = it->sec.load();
  element["usec"] = it->usec.load();
  if (const std::uint64_t nano = it->camTimestamp.load(); nano != 0) element["nano"] = nano;
  if (const std::uint32_t exposure = it->exposure.load(); exposure != 0) {
    element["exposure"] = exposure;
    element["gain"] = it->gain.load();
  }
}

}  // namespace

std::string dumpText(kovira::Track& track) {
  if (track.points.empty()) return {};
  int camid = 0;
  std::string lat, lon;
  {
    kovira::ConfigReadLock lock;
    camid = kovira::zone(static_cast<int>(track.zone)).camid;  // throws for an unknown zone
    lat = kovira::config().lat();
    lon = kovira::config().lon();
  }
  const kovira::CamBuf& store = *kovira::camera(camid).cambuf;
  const kovira::TrackPoint& first = track.points.front();
  const kovira::SmartBufferIterator head = store.frame(first.num);
  if (!head.valid() || head->position != first.num || !head->hasBytes()) return {};
  const int width = head->width.load(), height = head->height.load();
  const std::uint32_t tm = head->sec.load();

  const kovira::TrackSpeed measured(track);
  const std::string text = track.text();
  nlohmann::json frames = nlohmann::json::array();
  unsigned a = 0;
  for (const kovira::TrackPoint& p : track.points) {
    nlohmann::json e = {{"a", ++a}, {"framenum", p.num}, {"text", p.plate()}, {"x", p.x},  {"y", p.y},
                        {"w", p.w}, {"h", p.h},          {"ox", p.ox},        {"oy", p.oy}, {"valid", p.plate() == text ? 1 : 0}};
    addFrameKeys(e, store, p.num);
    frames.push_back(std::move(e));
  }
  const nlohmann::json dump = {{"numA", first.num},
                               {"numB", track.points.back().num},
                               {"frames", std::move(frames)},
                               {"zoneid", static_cast<int>(track.zone)},
                               {"camid", camid},
                               {"imgwidth", width},
                               {"imgheight", height},
                               {"numbest", kovira::findBestFrame(track, 0)},
                               {"trackid", static_cast<int>(track.id)},
                               {"validmask", track.checkMask()},
                               {"size", static_cast<int>(track.points.size())},
                               {"sizevalidpoints", track.onlyValidPoints().size()},
                               {"tm", tm},
                               {"direction", static_cast<int>(track.direction())},
                               {"lat", lat},
                               {"lon", lon},
                               {"acc", static_cast<double>(track.advAccuracy())},
                               {"txt", text},
                               {"spd", evidence::truncatedSpeed(measured.speed)}};
  return dump.dump(kIndent, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool processtrack(kovira::Track& track, const std::string& home) {
  const std::string text = dumpText(track);
  if (text.empty()) return false;  // the first frame has left: skipped silently
  std::uint32_t startup = 0;
  {
    kovira::ConfigReadLock lock;
    startup = kovira::config().startup;
  }
  const std::string folder = home + "/" + kFolder;
  const std::string path = folder + "/" + std::to_string(startup) + "-" + std::to_string(track.id) + ".json";
  try {
    if (home.empty()) throw std::runtime_error("no home folder");
    createdirtree(folder);
    const SaveResult saved = safeWrite(path, text.data(), text.size());
    if (!saved.ok()) throw std::runtime_error("not written: " + saved.error);
  } catch (const std::exception& e) {
    evidence::consoleLine("[ERR] (trackdump) " + path + ": " + e.what());
    return false;
  }
  return true;
}

namespace {

int dumpOne(kovira::Track& track, kovira::Action&) {
  const char* home = std::getenv("HOME");
  return processtrack(track, home != nullptr ? home : "") ? 1 : 0;
}

}  // namespace

int funnyt51(kovira::MultiTrack& group) {
  return modules::dispatch(group, {.method = kModuleName, .countResults = false}, dumpOne);
}

void modinit() { resproc.addProcModule(kModuleName, funnyt51); }

}  // namespace trackdump
