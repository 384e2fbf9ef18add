// Descriptor exhaustion: a server process with a small descriptor limit is
// flooded until accept() fails with EMFILE; once the flood is gone the
// same listener answers again.
#include "tests/http/http_test_client.h"
#include "tests/support/process.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace {

using namespace std::chrono_literals;

TEST(HttpServerDescriptors, ListenerAnswersAgainAfterEmfileFlood) {
  testsupport::ChildProcess helper({testsupport::binaryPath("http_emfile_server")});
  ASSERT_TRUE(helper.waitForOutput("\n", 10s)) << helper.err();
  const int port = std::atoi(helper.out().c_str());
  ASSERT_GT(port, 0) << helper.out();

  // 24 descriptors: about 19 connections fit, the rest wait in the backlog
  // while accept() fails.
  std::vector<int> flood;
  for (int i = 0; i < 26; ++i) {
    const int fd = httptest::connectTo(port);
    ASSERT_GE(fd, 0);
    flood.push_back(fd);
  }
  const auto refused = [&] { return helper.err().find("Socket accepting error: 24") != std::string::npos; };
  ASSERT_TRUE(testsupport::waitUntil(refused, 10s)) << helper.err();
  for (const int fd : flood) ::close(fd);

  const std::string reply = httptest::roundTrip(port, "GET /http_one/x HTTP/1.1\r\n\r\n");
  EXPECT_EQ(httptest::parseReply(reply).statusLine, "HTTP/1.1 200 OK") << reply;
}

}  // namespace
