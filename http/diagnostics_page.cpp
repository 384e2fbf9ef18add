#include "http/diagnostics_page.h"

#include "core/shell.h"
#include "core/startup_functions.h"
#include "core/text.h"
#include "http/server.h"

#include <chrono>
#include <semaphore>
#include <string>

namespace {

constexpr const char* kCommands[] = {
    "uptime",
    "timedatectl",
    "free -m",
    "ifconfig",
    "sudo mii-tool eth0",
    "arp -n",
    "ip route",
    "df -h",
    "df -i",
    "lsblk",
    "lsusb",
    "lsusb -t",
    "ps axu | egrep '(kovira|skygateway|php|tolvek|openvpn|ftpd)' | grep -v grep",
    "tail /var/log/vsftpd.log",
};

std::counting_semaphore<diagnostics::kMaxRunning> pagesRunning(diagnostics::kMaxRunning);

// One of the kMaxRunning places, held while the page is made.
class Place {
 public:
  Place() : held_(pagesRunning.try_acquire()) {}
  ~Place() {
    if (held_) pagesRunning.release();
  }
  Place(const Place&) = delete;
  Place& operator=(const Place&) = delete;
  bool held() const { return held_; }

 private:
  const bool held_;
};

int busy(HttpResponse& resp) {
  const std::string seconds = std::to_string(diagnostics::kRetryAfterSec);
  resp.headers["Retry-After"] = seconds;
  resp.body << "<h1>Общая диагностическая информация</h1><hr>"
            << "<p>Диагностика уже выполняется по другим запросам. Повторите через " << seconds
            << " секунд.</p>";
  return 503;
}

}  // namespace

int http_diagnostics(const HttpRequest&, HttpResponse& resp) {
  resp.headers["Content-Type"] = "text/html; charset=utf-8";
  const Place place;
  if (!place.held()) return busy(resp);
  resp.body << "<h1>Общая диагностическая информация</h1><hr><pre>";
  for (const std::string command : kCommands) {
    const std::string title = command.rfind("sudo", 0) == 0 ? command.substr(5) : command;
    resp.body << "<p style='border: 1px solid #ccc; display: inline-block; padding: 10px;'><strong>"
              << title << "</strong>:\n"
              << htmlescape(cmdrunsimple(command, std::chrono::seconds(diagnostics::kCommandLimitSec)))
              << "</p>\n";
  }
  resp.body << "</pre>";
  return 200;
}

namespace diagnostics {

void subscribe(HttpServer& server) { server.subscribe("^/debug/diagnostics/$", http_diagnostics); }

void modinit() { subscribe(webserver()); }

}  // namespace diagnostics
