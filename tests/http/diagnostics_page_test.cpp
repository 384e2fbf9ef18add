// The diagnostics page with stand-ins first on PATH: output is escaped, a
// command that hangs is cut, the titles are the fixed list; pages beyond
// the allowed number at once are answered 503.
#include "core/child_process.h"
#include "http/diagnostics_page.h"
#include "http/server.h"
#include "support/page_call.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <vector>

namespace {

namespace fs = std::filesystem;

void script(const fs::path& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body;
  fs::permissions(path, fs::perms::owner_all);
}

TEST(pagesDiagnostics, TitlesInOrderOutputEscapedHungCommandCut) {
  char pattern[] = "/tmp/kovira-diag-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path dir = pattern;
  script(dir / "uptime", "echo 'a<b>&c'\n");
  script(dir / "free", "echo started\nsleep 30\necho finished\n");
  const std::string path = std::getenv("PATH");
  ::setenv("PATH", (dir.string() + ":" + path).c_str(), 1);

  HttpServer server;
  diagnostics::subscribe(server);
  const testsupport::PageReply r = testsupport::callPage(server, "GET", "/debug/diagnostics/");
  ::setenv("PATH", path.c_str(), 1);
  fs::remove_all(dir);

  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(r.body.rfind("<h1>Общая диагностическая информация</h1><hr><pre>", 0), 0u);
  const char* titles[] = {"uptime", "timedatectl", "free -m", "ifconfig", "mii-tool eth0", "arp -n", "ip route",
                          "df -h", "df -i", "lsblk", "lsusb", "lsusb -t",
                          "ps axu | egrep '(kovira|skygateway|php|tolvek|openvpn|ftpd)' | grep -v grep",
                          "tail /var/log/vsftpd.log"};
  std::size_t at = 0;
  for (const char* title : titles) {
    const std::string block = std::string("padding: 10px;'><strong>") + title + "</strong>:\n";
    const std::size_t found = r.body.find(block, at);
    ASSERT_NE(found, std::string::npos) << title;
    at = found + block.size();
  }
  EXPECT_NE(r.body.find("<strong>uptime</strong>:\na&lt;b&gt;&amp;c\n</p>\n"), std::string::npos);
  EXPECT_NE(r.body.find("<strong>free -m</strong>:\nstarted\n</p>"), std::string::npos);
  EXPECT_EQ(r.body.find("finished"), std::string::npos);
  EXPECT_EQ(r.body.substr(r.body.size() - 6), "</pre>");
}

TEST(pagesDiagnostics, BeyondTwoAtOnceAnswers503WithRetryAfter) {
  using namespace std::chrono_literals;
  char pattern[] = "/tmp/kovira-diag-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path dir = pattern;
  // The first command waits for the test's word; the others are not found
  // on this PATH and end at once.
  script(dir / "uptime", "while [ ! -e '" + (dir / "go").string() + "' ]; do /bin/sleep 0.02; done\necho up\n");
  const std::string path = std::getenv("PATH");
  ::setenv("PATH", dir.c_str(), 1);

  HttpServer server;
  diagnostics::subscribe(server);
  std::vector<std::future<testsupport::PageReply>> pages;
  for (int i = 0; i < diagnostics::kMaxRunning; ++i)
    pages.push_back(std::async(std::launch::async,
                               [&server] { return testsupport::callPage(server, "GET", "/debug/diagnostics/"); }));
  // Both pages hold their place once their first command runs.
  EXPECT_TRUE(testsupport::waitUntil([] { return childProcesses().running() == 2; }, 10s));

  const testsupport::PageReply busy = testsupport::callPage(server, "GET", "/debug/diagnostics/");
  std::ofstream(dir / "go") << "";
  EXPECT_EQ(busy.status, 503);
  EXPECT_EQ(busy.headers.count("Retry-After") ? busy.headers.at("Retry-After") : "", "10");
  EXPECT_EQ(busy.body,
            "<h1>Общая диагностическая информация</h1><hr>"
            "<p>Диагностика уже выполняется по другим запросам. Повторите через 10 секунд.</p>");

  for (auto& page : pages) {
    ASSERT_EQ(page.wait_for(30s), std::future_status::ready);
    const testsupport::PageReply r = page.get();
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("<strong>uptime</strong>:\nup\n</p>"), std::string::npos);
  }
  // The places are given back.
  const testsupport::PageReply again = testsupport::callPage(server, "GET", "/debug/diagnostics/");
  ::setenv("PATH", path.c_str(), 1);
  fs::remove_all(dir);
  EXPECT_EQ(again.status, 200);
  EXPECT_EQ(childProcesses().running(), 0u);
}

}  // namespace
