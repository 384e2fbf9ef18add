// A client flooding the web server cannot fill the disk through the log: the
// server writes one access record per request (about 1 KB for a long path)
// into the real log files with their production bounds, while earlier runs'
// files lie beside them. A sampler watches the folder throughout.
// Own process (one log per process); the console sink is silenced.
#include "core/fs.h"
#include "core/log.h"
#include "core/log_files.h"
#include "http/server.h"
#include "tests/support/flood.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kRequests = 100000;
constexpr int kClients = 8;
const logfiles::Limits kLimits = logfiles::kLimits;

// Bytes and names in the folder (a file deleted while listed is skipped).
std::pair<std::uintmax_t, std::vector<std::string>> scan(const fs::path& dir) {
  std::uintmax_t bytes = 0;
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code gone;
    const auto size = it->file_size(gone);
    if (gone) continue;
    bytes += size;
    names.push_back(it->path().filename().string());
  }
  return {bytes, names};
}

TEST(AccessLogFlood, StaysWithinItsBoundsWhileEarlierRunsAreKept) {
  const fs::path root = fs::temp_directory_path() / ("kovira-flood-" + std::to_string(::getpid()));
  fs::create_directories(root / "bin");
  fs::create_directories(root / "tmp");
  // Three files of an earlier run, an hour old, as large as rotation makes
  // them (sparse: they cost no disk).
  const auto hourAgo = fs::file_time_type::clock::now() - 1h;
  for (int i = 0; i < 3; ++i) {
    const fs::path old = root / "tmp" / ("RtspClient_2020-01-01_00-00-00." + std::to_string(i) + ".log");
    std::ofstream(old).close();
    fs::resize_file(old, kLimits.rotationBytes);
    fs::last_write_time(old, hourAgo + std::chrono::seconds(i));
  }

  std::streambuf* console = std::clog.rdbuf(nullptr);  // the console sink writes nowhere
  SetCurrentPath((root / "bin" / "kovira").c_str());
  log_init();

  HttpServerOptions options;
  options.bindAddress = "127.0.0.1";
  HttpServer server(options);
  server.subscribe("^/flood/.*$", [](const HttpRequest&, HttpResponse&) { return 200; });
  ASSERT_TRUE(server.start(0));
  const int port = server.boundPort();

  std::atomic<bool> flooding{true};
  std::uintmax_t mostBytes = 0;
  std::thread sampler([&] {
    while (flooding) {
      mostBytes = std::max(mostBytes, scan(root / "tmp").first);
      std::this_thread::sleep_for(20ms);  // sampling, not synchronising
    }
  });
  // The access record is cut at 1023 characters: a path of 960 nearly fills it.
  const std::string text = "GET /flood/" + std::string(960, 'p') + " HTTP/1.1\r\nHost: unit\r\n\r\n";
  std::atomic<int> next{0}, failed{0};
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c)
    clients.emplace_back([&, c] {
      while (next++ < kRequests)
        if (testsupport::requestFrom(c, port, text).rfind("HTTP/1.1 200", 0) != 0) ++failed;
    });
  for (auto& t : clients) t.join();
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  server.stop();
  flooding = false;
  sampler.join();
  std::clog.rdbuf(console);
  std::clog.clear();

  const auto [bytes, names] = scan(root / "tmp");
  mostBytes = std::max(mostBytes, bytes);
  std::cout << kRequests << " requests in " << seconds << " s; log folder at most " << (mostBytes >> 20) << " MiB\n";
  EXPECT_EQ(failed, 0);
  EXPECT_LE(mostBytes, kLimits.totalBytes + 2048);  // a last record beyond the bound
  // About 100 MB were written: this run's first file was rotated out, and
  // the earlier run lost its oldest file first.
  std::vector<std::string> ours, earlier;
  for (const auto& name : names) (name.find("RtspClient_2020") == 0 ? earlier : ours).push_back(name);
  std::sort(ours.begin(), ours.end());
  EXPECT_EQ(earlier.size(), 2u);
  EXPECT_TRUE(std::find(earlier.begin(), earlier.end(), "RtspClient_2020-01-01_00-00-00.0.log") == earlier.end());
  ASSERT_EQ(ours.size(), kLimits.filesPerRun);
  for (const auto& name : ours) EXPECT_EQ(name.find(".0.log"), std::string::npos) << name;
  fs::remove_all(root);
}

}  // namespace
