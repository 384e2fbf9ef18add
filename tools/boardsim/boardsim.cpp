#include "tools/boardsim/boardsim.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>

namespace boardsim {
namespace {

using Clock = std::chrono::steady_clock;

// Status keys in the firmware's order.
constexpr const char* kStatusKeys[] = {"V", "U", "V1", "V2", "I", "S", "O", "B",
                                       "P", "F", "CF", "CI", "G", "A", "T1"};
constexpr std::uint32_t kFwLens = 20180426;
constexpr std::uint32_t kFwCoords = 20180726;

bool makeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

std::string wallClock() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm parts{};
  gmtime_r(&ts.tv_sec, &parts);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", parts.tm_hour, parts.tm_min, parts.tm_sec,
                ts.tv_nsec / 1000000);
  return text;
}

unsigned long number(const std::string& text) {
  try {
    return std::stoul(text);
  } catch (const std::exception&) {
    return 0;
  }
}

}  // namespace

Simulator::Simulator(Options options) : options_(std::move(options)) {
  values_ = {{"V", "20190430"}, {"U", "3600"}, {"V1", "1215"}, {"V2", "1302"}, {"I", "0"},
             {"S", "1"},        {"O", "0"},    {"B", "0"},     {"P", "12"},    {"F", "340"},
             {"CF", "4100"},    {"CI", "200"}, {"G", "9"},     {"A", "1250"},  {"T1", "38"},
             {"coords", "55.7512,37.6184"},
             {"rmc", "$GPRMC,123519.00,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A"}};
}

Simulator::~Simulator() { stop(); }

bool Simulator::openTerminal(std::string& error) {
  if (!options_.port.empty()) {
    fd_ = ::open(options_.port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0 || !makeRaw(fd_)) {
      error = options_.port + ": " + std::strerror(errno);
      closeTerminal();
      return false;
    }
    return true;
  }
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    error = std::string("openpty: ") + std::strerror(errno);
    return false;
  }
  fd_ = master;
  slave_ = slave;
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  ::fcntl(master, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave, F_SETFD, FD_CLOEXEC);
  makeRaw(slave);
  const char* name = ttyname(slave);
  ::unlink(options_.link.c_str());
  if (name == nullptr || ::symlink(name, options_.link.c_str()) != 0) {
    error = options_.link + ": " + std::strerror(errno);
    closeTerminal();
    return false;
  }
  return true;
}

void Simulator::closeTerminal() {
  if (fd_ >= 0) ::close(fd_);
  if (slave_ >= 0) ::close(slave_);
  fd_ = slave_ = -1;
  if (!options_.link.empty()) ::unlink(options_.link.c_str());
  input_.clear();
  out_.clear();
  trickling_ = false;
}

bool Simulator::start(std::string& error) {
  if (options_.link.empty() == options_.port.empty()) {
    error = "give exactly one of --link and --port";
    return false;
  }
  std::lock_guard lock(mutex_);
  if (!options_.absent && !openTerminal(error)) return false;
  stopping_ = false;
  thread_ = std::thread([this] { run(); });
  return true;
}

void Simulator::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
  std::lock_guard lock(mutex_);
  closeTerminal();
}

bool Simulator::control(const std::string& line) {
  std::istringstream in(line);
  std::string verb;
  in >> verb;
  std::lock_guard lock(mutex_);
  if (verb == "set") {
    std::string pair;
    bool any = false;
    while (in >> pair) {
      const auto eq = pair.find('=');
      if (eq == std::string::npos || eq == 0) return false;
      values_[pair.substr(0, eq)] = pair.substr(eq + 1);
      any = true;
    }
    return any;
  }
  if (verb == "mode") {
    static const std::map<std::string, Mode> kModes{
        {"normal", Mode::normal}, {"stale", Mode::stale}, {"trickle", Mode::trickle}, {"silent", Mode::silent},
        {"crlf", Mode::crlf},     {"chunked", Mode::chunked}, {"junk", Mode::junk}};
    std::string name;
    in >> name;
    const auto it = kModes.find(name);
    if (it == kModes.end()) return false;
    mode_ = it->second;
    trickling_ = false;
    return true;
  }
  if (verb == "gap") {
    long ms = -1;
    if (!(in >> ms) || ms < 0) return false;
    gap_ = std::chrono::milliseconds(ms);
    return true;
  }
  if (verb == "answer") {
    const auto arrow = line.find(" => ");
    if (arrow == std::string::npos || arrow <= 7) return false;
    answers_[line.substr(7, arrow - 7)] = line.substr(arrow + 4) + "\n";
    return true;
  }
  if (verb == "absent" || verb == "vanish") {
    closeTerminal();
    return true;
  }
  if (verb == "present" || verb == "return") {
    std::string error;
    return fd_ >= 0 || openTerminal(error);
  }
  return false;
}

std::string Simulator::answer(const std::string& command) {
  const std::uint32_t version = static_cast<std::uint32_t>(number(values_["V"]));
  const auto space = command.find(' ');
  const std::string verb = command.substr(0, space);
  const std::string arg = space == std::string::npos ? "" : command.substr(space + 1);
  if (command == "EXT") {
    std::string line = "EXT";
    for (const char* key : kStatusKeys) {
      if ((std::strcmp(key, "CF") == 0 || std::strcmp(key, "CI") == 0) && version <= kFwLens) continue;
      line += std::string(" ") + key + "=" + values_[key];
    }
    return line;
  }
  if (command == "COORDS") return version > kFwCoords ? "COORDS " + values_["coords"] : "ERR";
  if (command == "GNSS") return values_["rmc"].empty() ? "ERR" : "GNSS " + values_["rmc"];
  if (command == "ANGLE") {
    if (values_.count("angle")) return "ANGLE " + values_["angle"];
    char text[32];
    std::snprintf(text, sizeof text, "ANGLE %.2f", static_cast<double>(static_cast<long>(number(values_["A"]))) / 100.0);
    return text;
  }
  if (command == "TEMP") return "TEMP " + values_["T1"];
  if (command == "UPTIME") return "UPTIME " + values_["U"];
  if ((verb == "CAMF" || verb == "CAMI") && !arg.empty() && arg.find_first_not_of("0123456789") == std::string::npos) {
    values_[verb == "CAMF" ? "CF" : "CI"] = arg;
    return command;
  }
  if (verb == "FLASH") return version > kFwLens ? "OK" : "ERR";
  if (command == "ALIVE" || command == "CAMRES" || command == "LTERESET" || command == "DEVRES" ||
      command.rfind("ACT", 0) == 0)
    return "OK";
  return "ERR";
}

void Simulator::handle(const std::string& command, Clock::time_point now) {
  received_.push_back({now, command});
  if (options_.log) options_.log(wallClock() + " " + command);
  changed_.notify_all();
  trickling_ = false;
  if (mode_ == Mode::silent) return;
  const auto scripted = answers_.find(command);
  std::string reply = scripted != answers_.end() ? scripted->second : answer(command) + "\n";
  switch (mode_) {
    case Mode::stale:
      out_.push_back({now + kStaleDelay, reply});
      break;
    case Mode::trickle:
      // Line noise that never becomes an answer, however the bytes are
      // spaced when the machine is busy.
      trickle_.clear();
      trickling_ = true;
      trickleDue_ = now;
      break;
    case Mode::crlf:
      if (!reply.empty() && reply.back() == '\n') reply.insert(reply.size() - 1, "\r");
      out_.push_back({now, reply});
      break;
    case Mode::chunked: {
      const std::size_t half = reply.size() / 2;
      out_.push_back({now, reply.substr(0, half)});
      out_.push_back({now + gap_, reply.substr(half)});
      break;
    }
    case Mode::junk:
      out_.push_back({now, "junk\n" + reply});
      break;
    default:
      out_.push_back({now, reply});
  }
}

void Simulator::flushDue(Clock::time_point now) {
  while (fd_ >= 0 && !out_.empty() && out_.front().due <= now) {
    auto& next = out_.front();
    const ssize_t n = ::write(fd_, next.bytes.data(), next.bytes.size());
    if (n <= 0) return;  // the line is full: try again on the next turn
    sent_ += static_cast<std::size_t>(n);
    next.bytes.erase(0, static_cast<std::size_t>(n));
    if (next.bytes.empty()) out_.pop_front();
    changed_.notify_all();
  }
  while (fd_ >= 0 && trickling_ && trickleDue_ <= now) {
    const char byte = trickle_.empty() ? 'x' : trickle_.front();
    if (::write(fd_, &byte, 1) != 1) return;
    if (!trickle_.empty()) trickle_.erase(0, 1);
    ++sent_;
    trickleDue_ += kTrickleStep;
    if (trickleDue_ < now) trickleDue_ = now + kTrickleStep;
    changed_.notify_all();
  }
}

void Simulator::run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    const auto now = Clock::now();
    flushDue(now);
    auto wake = now + std::chrono::milliseconds(50);
    if (!out_.empty()) wake = std::min(wake, std::max(out_.front().due, now + std::chrono::milliseconds(1)));
    if (trickling_) wake = std::min(wake, trickleDue_);
    const int fd = fd_;
    if (fd < 0) {
      changed_.wait_until(lock, wake);
      continue;
    }
    lock.unlock();
    pollfd p{fd, POLLIN, 0};
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now()).count();
    const int r = ::poll(&p, 1, static_cast<int>(std::max<long>(0, ms)));
    lock.lock();
    if (r <= 0 || fd != fd_) continue;
    if (!(p.revents & POLLIN)) {
      // Nobody on the other end (--port relay gone): do not spin.
      if (p.revents & (POLLHUP | POLLERR)) changed_.wait_for(lock, std::chrono::milliseconds(20));
      continue;
    }
    char chunk[512];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) continue;
    input_.append(chunk, static_cast<std::size_t>(n));
    for (auto at = input_.find('\n'); at != std::string::npos; at = input_.find('\n')) {
      std::string command = input_.substr(0, at);
      input_.erase(0, at + 1);
      if (!command.empty() && command.back() == '\r') command.pop_back();
      handle(command, Clock::now());
    }
    if (input_.size() > kMaxLine) input_.clear();
  }
}

std::vector<Received> Simulator::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

bool Simulator::waitFor(const std::string& command, std::size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] {
    std::size_t n = 0;
    for (const auto& r : received_) n += r.command == command;
    return n >= count;
  });
}

std::size_t Simulator::sent() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

bool Simulator::waitSent(std::size_t bytes, std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return sent_ >= bytes; });
}

}  // namespace boardsim
