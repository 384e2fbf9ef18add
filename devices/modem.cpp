#include "devices/modem.h"

#include "core/clock.h"
#include "core/scheduler.h"
#include "core/shell.h"
#include "core/text.h"
#include "devices/sttydev.h"
#include "http/request.h"
#include "http/response.h"
#include "http/server.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>

std::string modemttydev = "/dev/ttyLTE";
std::string modem::statePath = "/run/modem.json";

namespace {

constexpr int kWriteWaitMs = 1000;  // a port that takes no bytes for this long is given up

std::mutex portMutex;  // one AT command on the port at a time

// The state file's text, or nothing when it is missing or too large.
std::optional<std::string> readState() {
  std::ifstream in(modem::statePath, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text(modem::kMaxState + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  const auto got = static_cast<std::size_t>(in.gcount());
  if (got > modem::kMaxState) return std::nullopt;
  text.resize(got);
  return text;
}

std::optional<nlohmann::json> parseObject(const std::string& text) {
  nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) return std::nullopt;
  return doc;
}

// Writes all of line to fd, waiting at most kWriteWaitMs for room each time.
bool writeAll(int fd, const std::string& line) {
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, kWriteWaitMs) <= 0) return false;
  }
  return true;
}

}  // namespace

void encode_7bit(std::string& text) {
  if (text.empty()) {
    text = "00";
    return;
  }
  // Septets packed least significant bit first: septet i starts at bit 7*i.
  std::string octets;
  unsigned bits = 0, acc = 0;
  for (unsigned char c : text) {
    acc |= static_cast<unsigned>(c & 0x7F) << bits;
    bits += 7;
    while (bits >= 8) {
      octets.push_back(static_cast<char>(acc & 0xFF));
      acc >>= 8;
      bits -= 8;
    }
  }
  // Seven spare bits would read as a final '@'; the standard fills them with
  // CR instead, which receivers drop.
  if (bits == 1) acc |= 0x0D << 1;
  if (bits > 0) octets.push_back(static_cast<char>(acc & 0xFF));
  std::string hex;
  char digits[3];
  for (unsigned char o : octets) {
    std::snprintf(digits, sizeof digits, "%02X", o);
    hex += digits;
  }
  text = std::move(hex);
}

bool send_ussd(std::string text) {
  if (text.size() > modem::kMaxUssd) {
    std::cout << "[ERR] USSD request longer than " << modem::kMaxUssd << " characters not sent" << std::endl;
    return false;
  }
  encode_7bit(text);
  const std::string line = "AT+CUSD=1,\"" + text + "\",15\n";
  std::lock_guard lock(portMutex);
  const int fd = ::open(modemttydev.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = writeAll(fd, line);
  ::close(fd);
  std::cout << line << std::flush;
  return ok;
}

namespace modem {

bool report(const std::string& stateText, std::uint32_t now, Heartbeat& store) {
  const auto doc = parseObject(stateText);
  if (!doc || !doc->contains("duration") || !doc->contains("timestamp") || !doc->contains("signal")) return false;
  const auto& d = *doc;
  // A value of another type than the modem process writes is left out.
  if (!d["timestamp"].is_number_integer()) return false;
  const auto ts = static_cast<std::uint32_t>(d["timestamp"].get<std::int64_t>());
  if (ts == 0 || ts > now || now - ts > kStale) return false;
  if (d["signal"].is_number_integer()) store.emplace("signal", static_cast<int>(d["signal"].get<std::int64_t>()));
  if (d.contains("money") && d["money"].is_number()) store.once("money", d["money"].get<double>());
  for (const char* key : {"number", "imei", "imsi", "sysmode", "name"}) {
    if (!d.contains(key) || !d[key].is_string()) continue;
    std::string value = d[key].get<std::string>();
    trim(value);
    if (value.size() < kMinText) continue;
    store.once(std::string(key) == "name" ? "mobname" : key, value);
  }
  const std::uint64_t duration = d["duration"].is_number_unsigned() ? d["duration"].get<std::uint64_t>() : 0;
  store.once("mobtime", duration);
  return true;
}

void modinit() {
  scheduler.add(mobileloop, std::chrono::seconds(30), false, "mobileloop");
  webserver().subscribe("^/debug/modem/$", http_monitor_modem);
}

}  // namespace modem

void mobileloop(unsigned int) {
  const auto text = readState();
  if (text) modem::report(*text, static_cast<std::uint32_t>(now()), heartbeatStore());
}

int http_monitor_modem(const HttpRequest& req, HttpResponse& res) {
  if (req.method == "POST") {
    std::string ussd;
    const bool hasUssd = req.has("ussd", ussd);
    if (hasUssd && ussd.size() > modem::kMaxUssd) {
      res.headers["Content-Type"] = "text/plain; charset=utf-8";
      res.body << "USSD request longer than " << modem::kMaxUssd << " characters";
      return 400;
    }
    if (req.has("modres")) {
      std::string reply;
      sttydev().process("LTERESET", reply);
      std::cout << "[DBG] modem reset" << std::endl;
    }
    if (hasUssd) send_ussd(ussd);
    return res.redirect(req.path, 302);
  }
  res.headers["Content-Type"] = "text/html; charset=utf-8";
  res.body << "<h1>LTE modem</h1><hr>";
  const auto text = readState();
  if (!text) {
    res.body << "<p>Модем не установлен / информация отсутсвует / прочие ошибки</p>";
    return 200;
  }
  const auto doc = parseObject(*text);
  if (!doc || !doc->contains("duration") || !doc->contains("timestamp")) {
    res.body << "<p>Невозможно считать информацию о состоянии модема</p>";
    return 200;
  }
  const std::string hidden = "duration|timestamp";
  for (const auto& [key, value] : doc->items())
    if (hidden.find(key) == std::string::npos)
      res.body << "<p><b>" << htmlescape(key) << "</b>: " << htmlescape(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)) << "</p>\n";
  const auto& ts = (*doc)["timestamp"];
  const auto& dur = (*doc)["duration"];
  const std::uint32_t stamp = ts.is_number_integer() ? static_cast<std::uint32_t>(ts.get<std::int64_t>()) : 0;
  const std::uint64_t duration = dur.is_number_unsigned() ? dur.get<std::uint64_t>() : 0;
  res.body << "<p><b>Актуальность</b>: " << prettytime(static_cast<std::uint32_t>(now()) - stamp) << "</p>\n";
  res.body << "<p><b>Беспрерывная работа</b>: " << prettytime(duration) << "</p>\n";
  res.body << "<pre>" << htmlescape(cmdrunsimple("ifconfig wlan1")) << "</pre>" << "<hr>";
  res.body << "<form method=post action='?'>" << "send USSD " << "<input type=text name=ussd size=10>"
           << "<input type=submit value=Send>" << "</form>" << "<form method=post action='?'>"
           << "<input type=submit name=modres value=\"Перезапуск модема\">" << "</form>";
  return 200;
}
