// Control frames for the sibling program: every `timepad` minutes of the
// UTC day the newest grey frame of the first enabled raw camera becomes a
// captioned 960 x 600 JPEG, kept in memory for "/special-tolvek/last.jpg"
// and saved under $HOME/tolvek/uploadftp/%Y/%m/%d/ for the sibling program.
//
// Threading: loop() runs on the scheduler thread; the page on HTTP threads.
// The settings are read and written under the configuration lock; the last
// JPEG is swapped under its own mutex (a page may be sending the old one).
#pragma once

#include "config/sketch.h"

#include <cstdint>
#include <string>

class HttpRequest;
class HttpResponse;

namespace saveframe {

struct TolvekConf : ConfigSketch {
  std::uint32_t enabled = 0;
  std::uint32_t quality = 90;
  std::uint32_t timepad = 30;  // minutes; 0: off
  std::uint32_t lastslot = 0;  // minute of the day of the last slot taken; not stored
  std::string label = "Контрольный кадр: %t   %g   S/N %s   %a";

  void tojson(nlohmann::json& section, int mode) override;
  void fromjson(const nlohmann::json& section) override;
  std::string check(const nlohmann::json& section) const override;
};

extern TolvekConf mconf;

inline constexpr int kWidth = 960;
inline constexpr int kHeight = 600;

// Minute m of the day starts a slot: a slot length is set, m is a multiple
// of it and it was not taken already.
bool slotDue(std::uint32_t minute, std::uint32_t lastslot, std::uint32_t timepad);
// Folder and file of a control frame made at UTC second `utc` in time zone
// `zoneHours`: home + "/tolvek/uploadftp/%Y/%m/%d", "%Y_%m_%d_%H_%M_%S.jpg".
struct FramePlace {
  std::string folder;
  std::string file;
};
FramePlace framePlace(const std::string& home, std::int64_t utc, std::int32_t zoneHours);
// $HOME, else the account database's home of the running user.
std::string homeFolder();

void loop(unsigned int ms);
void tolvek_oneframe_capture(int camid);
int http_tolvek_hook(const HttpRequest& req, HttpResponse& res);
void modinit();

}  // namespace saveframe
