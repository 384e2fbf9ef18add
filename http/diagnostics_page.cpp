#include "http/diagnostics_page.h"

#include "core/shell.h"
#include "core/startup_functions.h"
#include "core/text.h"
#include "http/server.h"

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

// The command for a shell of its own under timeout(1), which signals the
// whole process group: a hung tool cannot hold the page.
std::string bounded(const std::string& command) {
  std::string quoted = command;
  replaceAll(quoted, "'", "'\\''");
  return "timeout -k 1 " + std::to_string(diagnostics::kCommandLimitSec) + " sh -c '" + quoted + "'";
}

}  // namespace

int http_diagnostics(const HttpRequest&, HttpResponse& resp) {
  resp.headers["Content-Type"] = "text/html; charset=utf-8";
  resp.body << "<h1>Общая диагностическая информация</h1><hr><pre>";
  for (const std::string command : kCommands) {
    const std::string title = command.rfind("sudo", 0) == 0 ? command.substr(5) : command;
    resp.body << "<p style='border: 1px solid #ccc; display: inline-block; padding: 10px;'><strong>"
              << title << "</strong>:\n"
              << htmlescape(cmdrunsimple(bounded(command))) << "</p>\n";
  }
  resp.body << "</pre>";
  return 200;
}

namespace diagnostics {

void subscribe(HttpServer& server) { server.subscribe("^/debug/diagnostics/$", http_diagnostics); }

void modinit() { subscribe(webserver()); }

}  // namespace diagnostics
