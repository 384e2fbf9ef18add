// Telemetry records of the heartbeat store: building, queueing, posting.
#include "config/actions.h"
#include "config/config.h"
#include "config/config_lock.h"
#include "core/fs.h"
#include "devices/heartbeat.h"
#include "devices/sensors.h"
#include "devices/sttydev.h"

#include <nlohmann/json.hpp>

#include <exception>
#include <iostream>
#include <set>
#include <sstream>

namespace {

constexpr std::uint64_t kMiB = 1048576;

// Everything a record holds apart from the extras, gathered before the
// store's mutex is taken: the board line, the configuration lock and the
// file system may each take a while, and callers of emplace() wait on it.
nlohmann::json fixedKeys(SttyDev& board, std::uint32_t now) {
  nlohmann::json rec = nlohmann::json::object();
  const std::string token = kovira::config().token(8);
  const std::string coords = kovira::config().gps();
  {
    kovira::ConfigReadLock lock;
    const auto& c = kovira::config();
    rec["version"] = 4;
    rec["hostname"] = c.hostname;
    rec["timesync"] = c.timesync() ? 1 : 0;
    rec["timezone"] = c.timezone;
    rec["serial"] = c.serial;
    rec["suspended"] = static_cast<int>(c.suspended.load());
    rec["systemuptime"] = static_cast<std::uint64_t>(c.systemuptime());
    rec["uptime"] = static_cast<std::uint64_t>(c.uptime() < 0 ? 0 : c.uptime());
  }
  rec["token"] = token;
  rec["coords"] = coords;
  rec["timestamp"] = static_cast<std::uint64_t>(now);
  rec["interval"] = Heartbeat::kInterval;
  rec["memfree"] = kovira::GlobalConfig::memfree() / kMiB;

  const float thermal = tegraThermal();
  const float supply = tegraVoltage();
  rec["T0"] = static_cast<double>(thermal);
  rec["V0"] = static_cast<double>(supply);
  rec["temperature"] = static_cast<double>(thermal);
  double voltage = static_cast<double>(supply);

  const SttyDev::status_t st = board.status(now);
  const SttyDev::status_t st0 = board.status(now - Heartbeat::kInterval);
  if (st.time != 0) {
    // A board restart between the samples (uptime not grown) makes the
    // differences meaningless: the counters started again from 0.
    if (st0.time != 0 && st.U > st0.U) {
      rec["flashcnt"] = static_cast<std::uint32_t>(st.F - st0.F);
      rec["power"] = static_cast<std::uint32_t>(st.P - st0.P);
    }
    rec["T1"] = static_cast<std::int32_t>(st.T1);  // the board sends a signed value
    rec["V1"] = st.V1 / 100.0;
    rec["V2"] = st.V2 / 100.0;
    rec["hwversion"] = st.V;
    rec["onbattery"] = st.O;
    rec["onmainpower"] = st.S;
    rec["carrieruptime"] = st.U;
    rec["numsat"] = st.G;
    if (st.V2 != 0) voltage = st.V2 / 100.0;
    if (st.V1 != 0) voltage = st.V1 / 100.0;
  } else {
    rec["T1"] = 0.0;
    rec["V1"] = 0.0;
    rec["V2"] = 0.0;
    rec["carrieruptime"] = 0;
    rec["flashcnt"] = 0;
    rec["power"] = 0;
  }
  rec["voltage"] = voltage;

  std::uint64_t freeBytes = 0;
  try {
    freeBytes = diskfreespace(".");
  } catch (const std::exception&) {
    // no file system to ask: report none free
  }
  rec["freespace"] = freeBytes / kMiB;
  rec["usedspace"] = Heartbeat::actionsizes() / kMiB;
  return rec;
}

std::string trimmed(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  const auto e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

}  // namespace

std::uint64_t Heartbeat::actionsizes() {
  // An action may store into several folders ("a;b"); each folder is counted
  // once however many actions name it.
  std::set<std::string> folders;
  {
    kovira::ConfigReadLock lock;
    for (const auto& action : kovira::actions()) {
      std::istringstream list(action.path);
      std::string part;
      while (std::getline(list, part, ';')) {
        part = trimmed(part);
        if (!part.empty()) folders.insert(part);
      }
    }
  }
  std::uint64_t sum = 0;
  for (const auto& f : folders) sum += directorysize(f);
  return sum;
}

void Heartbeat::push(SttyDev& board, std::uint32_t now) {
  nlohmann::json rec = fixedKeys(board, now);
  std::lock_guard lock(mutex);
  for (auto& e : extras_) {
    if (e.kind == kSet || e.kind == kOnce) {
      if (!rec.contains(e.key)) rec[e.key] = e.value;
      e.kind = kSent;
    } else if (e.kind == kCounter) {
      if (!rec.contains(e.key)) rec[e.key] = e.value;
      e.value = MultiValZ(std::uint64_t{0});
    }
  }
  if (queue_.size() >= kQueueMax) {
    queue_.pop_front();
    ++dropped_;
    std::cout << "[WARNING] telemetry queue full: oldest record dropped (" << dropped_ << " so far)" << std::endl;
  }
  queue_.push_back({nextSeq_++, rec.dump()});
}

std::uint32_t Heartbeat::fillBatch(std::uint32_t& count, std::string& body, std::uint64_t& last) {
  std::lock_guard lock(mutex);
  if (queue_.empty()) return 0;
  std::string text = "[";
  std::uint32_t n = 0;
  for (const auto& r : queue_) {
    if (n > 0 && text.size() + r.text.size() + 2 > kBatchBytes) break;
    if (n > 0) text += ',';
    text += r.text;
    last = r.seq;
    ++n;
  }
  text += ']';
  body = std::move(text);
  count = n;
  return n;
}

std::uint32_t Heartbeat::fill(std::uint32_t& count, std::string& body) {
  std::uint64_t last = 0;
  return fillBatch(count, body, last);
}

void Heartbeat::erase(std::uint64_t last) {
  std::lock_guard lock(mutex);
  while (!queue_.empty() && queue_.front().seq <= last) queue_.pop_front();
}

void Heartbeat::send(const Poster& post) {
  if (url.empty()) return;
  std::uint64_t idle = 0;
  if (!inflight.compare_exchange_strong(idle, 1)) return;
  // The claim is given back on every path, an exception from the poster too.
  struct Release {
    std::atomic<std::uint64_t>& flag;
    ~Release() { flag.store(0); }
  } release{inflight};
  for (;;) {
    std::uint32_t n = 0;
    std::string body;
    std::uint64_t last = 0;
    if (fillBatch(n, body, last) == 0) return;
    if (post(url, body.data(), body.size()) < 0) {
      std::cout << "[DBG] fail send " << body.size() << " bytes to " << url << std::endl;
      return;
    }
    erase(last);
  }
}

std::size_t Heartbeat::queued() const {
  std::lock_guard lock(mutex);
  return queue_.size();
}

std::uint64_t Heartbeat::dropped() const {
  std::lock_guard lock(mutex);
  return dropped_;
}
