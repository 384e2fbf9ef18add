// The loopback collector (tests/fixtures/collector.py) as a test object:
// started with a script, stopped (SIGTERM) when it goes out of scope. Its
// records are read back from its requests.jsonl.
#pragma once

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace testsupport {

class Collector {
 public:
  // script: the collector's JSON script ("{}": 200 for everything); port:
  // the port to listen on (0: a free one), for a collector that comes back
  // where a client already points.
  explicit Collector(const std::string& script = "{}", int port = 0);
  ~Collector();
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;

  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }

  // The recorded requests in the order their request lines arrived ("n"):
  // the collector writes a record once its answer is sent, so on a busy
  // machine an earlier request's record can follow a later one's.
  std::vector<nlohmann::json> records() const;
  // Waits until at least n requests were answered and recorded.
  bool waitForRecords(std::size_t n, std::chrono::milliseconds limit) const;
  // The body bytes of one record.
  std::string body(const nlohmann::json& record) const;
  void stop();

 private:
  std::string dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// A port on 127.0.0.1 that nobody listens on (a collector that is down).
int closedPort();

}  // namespace testsupport
