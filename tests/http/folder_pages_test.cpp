// The folder browser over a scratch folder below /tmp: what may be reached,
// how a listing looks and sorts, and files sent whole without being held in
// memory.
#include "http/folder_pages.h"
#include "http/server.h"
#include "http_test_client.h"
#include "support/page_call.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using testsupport::callPage;

std::string cyrillic(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += "ж";
  return s;
}

class pagesFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kovira-folders-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    url = "/tmp/" + dir.filename().string() + "/";
    directory::subscribe(server);
  }
  void TearDown() override { fs::remove_all(dir); }

  void put(const std::string& name, const std::string& text) { std::ofstream(dir / name, std::ios::binary) << text; }

  fs::path dir;
  std::string url;  // the scratch folder's listing
  HttpServer server;
};

TEST_F(pagesFolder, OnlyWhatLiesInsideAFolderIsServed) {
  put("inside.txt", "in");
  fs::create_symlink("/etc", dir / "etc-link");
  fs::create_symlink("/etc/hostname", dir / "host-link");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  const std::pair<std::string, int> cases[] = {
      {url + "inside.txt", 200},
      {url + "../" + dir.filename().string() + "/inside.txt", 404},
      {"/tmp/../etc/hostname", 404},
      {"/tmp/%2e%2e/etc/hostname", 404},
      {"/tmp/%2E%2E/etc/hostname", 404},
      {url + "inside.txt%00.png", 404},
      {url + "etc-link/hostname", 404},
      {url + "host-link", 404},
      {url + "missing", 404},
      {"/other/x", 404},
      {url + "fifo", 500},
  };
  for (const auto& [target, status] : cases) EXPECT_EQ(callPage(server, "GET", target).status, status) << target;
}

TEST_F(pagesFolder, ListingSortsDirectoriesFirstAndLinksEveryEntry) {
  fs::create_directory(dir / "Zeta");
  fs::create_directory(dir / "alpha");
  put("b.TXT", "12345");
  put("a b ц.txt", "x");
  put(cyrillic(70), "");
  fs::create_directory(dir / "alpha" / "inner");

  const testsupport::PageReply r = callPage(server, "GET", url);
  ASSERT_EQ(r.status, 200);
  std::istringstream lines(r.body);
  std::vector<std::string> rows;
  for (std::string line; std::getline(lines, line);) rows.push_back(line);
  ASSERT_GE(rows.size(), 8u);
  EXPECT_EQ(rows[0].rfind("<h1>Index of " + url + "</h1><pre><img src=", 0), 0u);
  EXPECT_NE(rows[0].find("blank.gif"), std::string::npos);
  EXPECT_NE(rows[1].find("back.gif"), std::string::npos);  // parent row
  EXPECT_NE(rows[1].find("<a href=\"/tmp/\">Parent Directory </a>"), std::string::npos);
  EXPECT_NE(rows[2].find("<a href=\"alpha/\">alpha/</a>"), std::string::npos);
  EXPECT_NE(rows[3].find("<a href=\"Zeta/\">Zeta/</a>"), std::string::npos);
  EXPECT_NE(rows[3].find(" -"), std::string::npos);
  EXPECT_NE(rows[4].find("<a href=\"a+b+%d1%86.txt\">a b ц.txt</a>"), std::string::npos);
  EXPECT_NE(rows[5].find("text.gif"), std::string::npos);  // b.TXT, extension in any case
  EXPECT_EQ(rows[5].substr(rows[5].size() - 2), " 5");
  // 70 characters in a 60-wide column: 58 and "..".
  EXPECT_NE(rows[6].find(">" + cyrillic(58) + "..</a>"), std::string::npos);
  EXPECT_EQ(rows[rows.size() - 2], "</pre><hr>");
  EXPECT_EQ(rows.back().rfind("<address>TarvolinWebServer/0.1, ", 0), 0u);

  EXPECT_EQ(callPage(server, "GET", url + "a+b+%d1%86.txt").status, 200);
  const testsupport::PageReply inner = callPage(server, "GET", url + "alpha/");
  EXPECT_NE(inner.body.find("<a href=\"" + url + "\">Parent Directory </a>"), std::string::npos);
  EXPECT_NE(inner.body.find("folder.gif"), std::string::npos);
}

TEST(pagesFolderParts, IconsWidthsAndTimes) {
  EXPECT_EQ(http_image_tag("PNG"), "<img src=\"https://www.apache.org/icons/image2.gif\" alt=\"\">");
  EXPECT_NE(http_image_tag("").find("unknown.gif"), std::string::npos);
  EXPECT_NE(http_image_tag("default").find("unknown.gif"), std::string::npos);
  EXPECT_EQ(http_get_extfile("report.tar.gz"), "gz");
  EXPECT_EQ(http_get_extfile("README"), "");
  EXPECT_EQ(strlen_utf8("aц€😀"), 4);
  EXPECT_EQ(padspace(-3), "");
  // Names are padded to the column by characters, not bytes.
  const std::string a = http_txtline(40, "txt", "ab", "", "", "1");
  const std::string b = http_txtline(40, "txt", "цц", "", "", "1");
  EXPECT_EQ(a.size() + 2, b.size());
  EXPECT_EQ(UtcTimeToString(-1), "");
  EXPECT_EQ(UtcTimeToString(0).size(), std::string("1970-Jan-01 00:00").size());
}

// A large file goes out whole over a real socket while the process's peak
// memory barely moves.
TEST_F(pagesFolder, LargeFileIsStreamed) {
  constexpr off_t kSize = off_t(1) << 30;
  {
    std::ofstream out(dir / "big.bin", std::ios::binary);
  }
  ASSERT_EQ(::truncate((dir / "big.bin").c_str(), kSize), 0);
  ASSERT_TRUE(server.start(0));
  auto peakKiB = [] {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return 0L;
  };
  const long before = peakKiB();
  const int fd = httptest::connectTo(server.boundPort());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(httptest::sendAll(fd, "GET " + url + "big.bin HTTP/1.1\r\nAccept-Encoding: gzip\r\n\r\n"));
  std::vector<char> buf(1 << 16);
  std::string head;
  long long bodyBytes = -1;
  for (;;) {
    const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n <= 0) break;
    if (bodyBytes < 0) {
      head.append(buf.data(), static_cast<std::size_t>(n));
      const std::size_t end = head.find("\r\n\r\n");
      if (end != std::string::npos) bodyBytes = static_cast<long long>(head.size() - end - 4);
    } else {
      bodyBytes += n;
    }
  }
  ::close(fd);
  EXPECT_NE(head.find("Content-Length: 1073741824\r\n"), std::string::npos);
  EXPECT_NE(head.find("Content-Type: application/octet-stream\r\n"), std::string::npos);
  EXPECT_EQ(head.find("Content-Encoding"), std::string::npos);
  EXPECT_EQ(bodyBytes, kSize);
  EXPECT_LT(peakKiB() - before, 32 * 1024);
}

}  // namespace
