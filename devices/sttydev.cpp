#include "devices/sttydev.h"

#include "config/config.h"
#include "core/startup_functions.h"
#include "core/threads.h"
#include "core/working.h"

#include <boost/lexical_cast.hpp>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <stdexcept>

namespace {

using Clock = std::chrono::steady_clock;

// Blank-separated tokens; runs of blanks give empty tokens, as the board's
// single-value replies are judged by their exact token count.
std::vector<std::string> splitBlanks(const std::string& line) {
  std::vector<std::string> out;
  std::size_t from = 0;
  for (;;) {
    const auto at = line.find(' ', from);
    out.push_back(line.substr(from, at == std::string::npos ? std::string::npos : at - from));
    if (at == std::string::npos) return out;
    from = at + 1;
  }
}

}  // namespace

SttyDev::~SttyDev() {
  stop();
  reset();
}

speed_t SttyDev::str2baudrate(const std::string& text) {
  const auto n = boost::lexical_cast<std::uint16_t>(text);
  if (n == 9600) return B9600;
  throw std::logic_error(text + ": invalid parameter");
}

void SttyDev::setBaudrate(termios& tio, const std::string& text) {
  const speed_t speed = str2baudrate(text);
  cfsetispeed(&tio, speed);
  cfsetospeed(&tio, speed);
}

int SttyDev::open(std::string text) {
  if (text.empty()) return -1;
  std::lock_guard lock(mutex);
  device = std::move(text);
  return open();
}

int SttyDev::open() {
  closePort();
  const auto comma = device.find(',');
  if (comma == std::string::npos) return -1;
  const std::string path = device.substr(0, comma);
  const std::string baud = device.substr(comma + 1);
  const int d = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (d < 0) return -1;
  auto fail = [d] {
    ::close(d);
    return -1;
  };
  termios tio{};
  if (tcgetattr(d, &tio) != 0) return fail();
  tio.c_iflag |= IGNPAR;
  tio.c_cflag &= ~(CRTSCTS | PARENB | CSTOPB | CSIZE);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 3;
  cfmakeraw(&tio);
  // A bad speed in the port text is a configuration fault: the port stays
  // closed rather than the exception reaching an exchange's caller.
  try {
    setBaudrate(tio, baud);
  } catch (const std::exception&) {
    return fail();
  }
  if (tcflush(d, TCIFLUSH) != 0 || tcsetattr(d, TCSANOW, &tio) != 0) return fail();
  fd = d;
  return d;
}

void SttyDev::closePort() {
  const int d = fd.exchange(-1);
  if (d >= 0) ::close(d);
}

void SttyDev::reset() {
  std::lock_guard lock(mutex);
  closePort();
}

bool SttyDev::process(const std::string& command, std::string& reply) {
  std::lock_guard lock(mutex);
  return exchange(command, reply);
}

bool SttyDev::exchange(const std::string& command, std::string& reply) {
  if (fd < 0 && open() < 0) return false;
  const int d = fd;
  // 1. A late answer to an earlier command must not answer this one.
  tcflush(d, TCIFLUSH);
  // 2. The command in one write; a failed write closes the port so that
  //    the next exchange reopens it (a board that vanished and returned).
  const std::string line = command + "\n";
  if (::write(d, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    closePort();
    return false;
  }
  // 3. Collect: kFirstByte to the first byte; the reply ends when it is a
  //    whole answering line, or after kSilence without bytes. kExchangeLimit
  //    and kMaxReply bound a board that keeps trickling.
  const auto start = Clock::now();
  const auto cap = start + kExchangeLimit;
  auto quietUntil = start + kFirstByte;
  std::string buffer;
  bool whole = false;
  for (;;) {
    const auto now = Clock::now();
    const auto limit = std::min(quietUntil, cap);
    if (now >= limit) break;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(limit - now);
    pollfd p{d, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(wait.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      closePort();
      return false;
    }
    if (r == 0) continue;
    char chunk[256];
    const ssize_t got = ::read(d, chunk, sizeof chunk);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (got <= 0) {
      // Read error or end of file: the device went away; reopen next time.
      closePort();
      return false;
    }
    buffer.append(chunk, static_cast<std::size_t>(got));
    if (buffer.size() > board::kMaxReply) break;
    if (board::complete(buffer, command)) {
      whole = true;
      break;
    }
    quietUntil = Clock::now() + kSilence;
  }
  if (!whole && (buffer.size() > board::kMaxReply || Clock::now() >= cap)) {
    tcflush(d, TCIFLUSH);
    return false;
  }
  if (buffer.empty()) return false;
  std::string last = board::lastLine(buffer);
  if (!board::answers(last, command)) return false;
  reply = std::move(last);
  return true;
}

SttyDev::status_t SttyDev::status() {
  std::string reply;
  if (!process("EXT", reply) || reply.find(' ') == std::string::npos) return {};
  status_t st = board::parseStatus(reply);
  st.time = static_cast<std::uint32_t>(::time(nullptr));
  return st;
}

bool SttyDev::valueAfterBlank(const char* command, std::string& value) {
  std::string reply;
  if (!process(command, reply) || !board::getValueStr(reply, value)) return false;
  return value.size() > 3;
}

bool SttyDev::coords(std::string& value) { return valueAfterBlank("COORDS", value); }

std::string SttyDev::coords() {
  std::string value;
  return coords(value) ? value : std::string{};
}

bool SttyDev::gprmc(std::string& value) { return valueAfterBlank("GNSS", value); }

bool SttyDev::twoTokens(const char* command, std::string& second) {
  std::string reply;
  if (!process(command, reply)) return false;
  const auto tokens = splitBlanks(reply);
  if (tokens.size() != 2) return false;
  second = tokens[1];
  return true;
}

bool SttyDev::angle(float& value) {
  std::string text;
  if (!twoTokens("ANGLE", text)) return false;
  float v = 0;
  if (!boost::conversion::try_lexical_convert(text, v) || !std::isfinite(v)) return false;
  value = v;
  return true;
}

bool SttyDev::temp(int& value) {
  std::string text;
  return twoTokens("TEMP", text) && boost::conversion::try_lexical_convert(text, value);
}

bool SttyDev::uptime(unsigned int& value) {
  std::string text;
  return twoTokens("UPTIME", text) && boost::conversion::try_lexical_convert(text, value);
}

void SttyDev::cmd(const std::string& command) {
  std::string reply;
  (void)process(command, reply);
}

bool SttyDev::cmd(const std::string& command, std::string& value) {
  std::string reply;
  return process(command, reply) && board::getValueStr(reply, value);
}

void SttyDev::camf(unsigned int n) {
  focus = n;
  cmd("CAMF " + std::to_string(n));
}

void SttyDev::cami(unsigned int n) {
  iris = n;
  cmd("CAMI " + std::to_string(n));
}

void SttyDev::setflash(unsigned int n) { cmd("FLASH " + std::to_string(n)); }

void SttyDev::act(unsigned int n) { cmd("ACT" + std::to_string(n)); }

bool SttyDev::devres() {
  std::string reply;
  return process("DEVRES", reply);
}

void SttyDev::emplace(const status_t& st) {
  std::lock_guard lock(historyMutex_);
  if (history_.size() > kHistoryMax) history_.erase(history_.begin(), history_.begin() + kHistoryDrop);
  history_.push_back(st);
}

SttyDev::status_t SttyDev::status(unsigned int t) {
  std::lock_guard lock(historyMutex_);
  if (history_.empty()) return {};
  const status_t* best = &history_.front();
  for (const auto& st : history_)
    if (st.distance(t) < best->distance(t)) best = &st;
  return best->distance(t) <= kNearest ? *best : status_t{};
}

SttyDev::status_t SttyDev::statuslast() {
  std::lock_guard lock(historyMutex_);
  return history_.empty() ? status_t{} : history_.back();
}

std::size_t SttyDev::historySize() {
  std::lock_guard lock(historyMutex_);
  return history_.size();
}

void SttyDev::start(std::chrono::milliseconds period, std::chrono::milliseconds retry) {
  std::lock_guard lock(runMutex_);
  if (thread_.joinable()) return;
  period_ = period;
  retry_ = retry;
  wake_.clear();
  thread_ = std::thread(std::ref(*this));
}

void SttyDev::stop() {
  {
    std::lock_guard lock(runMutex_);
    wake_.raise();
  }
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool SttyDev::pause(std::chrono::milliseconds d) {
  return !wake_.sleepFor(d) && working > 0;
}

void SttyDev::operator()() {
  thread_name("sttyloop");
  attempts_ = 0;
  while (working > 0) {
    try {
      const unsigned attempt = ++attempts_;
      const status_t st = status();
      if (st.time == 0) {
        if (!pause(retry_)) return;
        continue;
      }
      emplace(st);
      version = st.V;
      std::string where;
      if (version > kFwCoords && coords(where)) kovira::config().setAcoords(where);
      // Only a first request that succeeded seeds the caches: later the
      // pages own the positions.
      if (attempt == 1 && version > kFwLens) {
        focus = st.CF;
        iris = st.CI;
      }
    } catch (const std::exception& e) {
      std::cout << "[ERR] sttyloop: " << e.what() << std::endl;
    }
    if (!pause(period_)) return;
  }
}

SttyDev& sttydev() {
  static SttyDev dev;
  return dev;
}

namespace stty {
void modinit() {
  SttyDev& dev = sttydev();
  (void)dev.open("/dev/ttySS,9600");
  dev.start();
  // The thread ends before the configuration it writes is torn down.
  std::atexit([] { sttydev().stop(); });
}
}  // namespace stty
