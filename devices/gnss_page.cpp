// The GNSS measurement endpoint "^/measure/gnss$": the unit's position from
// the board's last RMC sentence, as {"pos": ...}. A sentence older than
// kFresh is asked anew from the board and kept in the named runtime values
// "gnss"/"gnsstm" for the next caller.
//
// The board's serial line also carries lens commands, keep-alive and status,
// and one exchange with a board that does not answer holds it for up to a
// second: the page asks at most once per kAskEvery, whatever the number of
// clients; the callers in between answer from what is stored.
#include "config/globals.h"
#include "core/startup_functions.h"
#include "devices/nmea.h"
#include "devices/page_json.h"
#include "devices/sttydev.h"
#include "http/server.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <optional>

namespace {

constexpr std::uint32_t kFresh = 9;        // seconds
constexpr std::size_t kMinSentence = 10;  // shorter is no sentence
constexpr std::chrono::seconds kAskEvery{5};

// Guards the two runtime values, which the page both reads and refreshes,
// and the time of the last question to the board.
std::mutex gnssMutex;
std::optional<std::chrono::steady_clock::time_point> lastAsk;  // guarded by gnssMutex

int http_gnss(const HttpRequest&, HttpResponse& res) {
  std::string sentence;
  std::uint32_t stamp = 0;
  const auto now = static_cast<std::uint32_t>(::time(nullptr));
  bool ask = false;
  {
    std::lock_guard lock(gnssMutex);
    sentence = kovira::getGlobalVal<std::string>("gnss", std::string{});
    stamp = kovira::getGlobalVal<unsigned int>("gnsstm", 0u);
    const auto tick = std::chrono::steady_clock::now();
    // Taken here, before the exchange: concurrent callers see the question
    // as asked and do not queue behind it on the line.
    if (now - stamp > kFresh && (!lastAsk || tick - *lastAsk >= kAskEvery)) {
      lastAsk = tick;
      ask = true;
    }
  }
  if (ask) {
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
