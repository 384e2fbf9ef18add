// The GNSS measurement endpoint "^/measure/gnss$": the unit's position from
// the board's last RMC sentence, as {"pos": ...}. A sentence older than
// kFresh is asked anew from the board and kept in the named runtime values
// "gnss"/"gnsstm" for the next caller.
#include "config/globals.h"
#include "core/startup_functions.h"
#include "devices/nmea.h"
#include "devices/page_json.h"
#include "devices/sttydev.h"
#include "http/server.h"

#include <cstdint>
#include <ctime>
#include <mutex>

namespace {

constexpr std::uint32_t kFresh = 9;        // seconds
constexpr std::size_t kMinSentence = 10;  // shorter is no sentence

// Guards the two runtime values, which the page both reads and refreshes.
std::mutex gnssMutex;

int http_gnss(const HttpRequest&, HttpResponse& res) {
  std::string sentence;
  std::uint32_t stamp = 0;
  const auto now = static_cast<std::uint32_t>(::time(nullptr));
  {
    std::lock_guard lock(gnssMutex);
    sentence = kovira::getGlobalVal<std::string>("gnss", std::string{});
    stamp = kovira::getGlobalVal<unsigned int>("gnsstm", 0u);
  }
  if (now - stamp > kFresh) {
    std::string fresh;
    // Asked outside the lock: the exchange may take its full limit.
    if (sttydev().gprmc(fresh)) {
      std::lock_guard lock(gnssMutex);
      kovira::getGlobalVal<std::string>("gnss", std::string{}) = fresh;
      kovira::getGlobalVal<unsigned int>("gnsstm", 0u) = now;
      sentence = fresh;
      stamp = now;
    }
  }
  const bool fresh = now - stamp <= kFresh && sentence.size() > kMinSentence;
  answerFlatJson(res, {{"pos", fresh ? nmea::position(sentence) : std::string("NO DATA")}});
  return 200;
}

}  // namespace

namespace gnss {
void mesure_httphook_init() { webserver().subscribe("^/measure/gnss$", http_gnss); }
}  // namespace gnss
