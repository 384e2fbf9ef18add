// Draining telemetry records to the loopback collector: Heartbeat::send
// posting 2000 queued records in batches, against curl posting the same
// bodies one after another in the same run. Prints records/s and the ratio
// (aim: at least 1).
#include "devices/heartbeat.h"
#include "devices/sttydev.h"
#include "http/httpclient.h"
#include "tests/support/collector.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

}  // namespace

int main() {
  constexpr int kRecords = 2000;
  testsupport::Collector collector;
  if (!collector.ok()) return 1;
  Heartbeat hb;
  SttyDev board;
  for (int k = 0; k < kRecords; ++k) hb.push(board, 1800000000u + static_cast<unsigned>(k));
  hb.url = collector.base() + Heartbeat::kPath;

  std::vector<std::string> bodies;
  const auto t0 = Clock::now();
  hb.send([&](const std::string& url, const char* data, std::size_t len) {
    bodies.emplace_back(data, len);
    return httppost(url, data, len);
  });
  const double ts = seconds(t0);
  const bool drained = hb.queued() == 0;

  const std::string file = "/tmp/kovira-telemetry-bench.json";
  const auto t1 = Clock::now();
  for (const auto& body : bodies) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << body;
    const std::string cmd = "curl -s -o /dev/null -H 'Content-Type: application/octet-stream' --data-binary @" + file +
                            " " + hb.url;
    if (std::system(cmd.c_str()) != 0) break;
  }
  const double tc = seconds(t1);
  std::remove(file.c_str());
  const double rs = kRecords / ts, rc = kRecords / tc;
  std::printf("telemetry: send %zu posts %.0f records/s%s | curl %.0f records/s | ratio %.3f\n", bodies.size(), rs,
              drained ? "" : " (not drained)", rc, rs / rc);
  return 0;
}
