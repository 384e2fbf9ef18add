// The tickets list and page: ids, the bound, row formats, scratch copies
// leaving with their tickets, and readers racing adders.
#include "evidence/tickets.h"
#include "http/server.h"
#include "support/text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace {

namespace fs = std::filesystem;

std::string fetch(const std::string& url) { return testsupport::shellOutput("curl -s -i " + url); }
using testsupport::occurrences;

class TicketsTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kovira-tickets-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = std::string(pattern) + "/";
  }
  void TearDown() override { fs::remove_all(dir); }
  std::string dir;
};

TEST_F(TicketsTest, ListKeepsTheNewestAndThePageShows900NewestFirst) {
  TicketList list(dir);
  for (int i = 0; i < 3000; ++i) list.add("speed", "P" + std::to_string(i));
  EXPECT_EQ(list.size(), TicketList::kKeep + 1);
  const auto newest = list.newest(2);
  EXPECT_EQ(newest[0].id, 3000u);  // ids kept rising while old tickets left
  EXPECT_EQ(newest[1].id, 2999u);
  EXPECT_FALSE(list.update(1, [](ticket_t&) {}));  // dropped long ago
  EXPECT_TRUE(list.update(3000, [](ticket_t& t) { t.alert = 1; }));

  HttpServerOptions options;
  options.bindAddress = "127.0.0.1";
  HttpServer server(options);
  server.subscribe("^/debug/tickets/", [&list](const HttpRequest& q, HttpResponse& r) { return list.page(q, r); });
  ASSERT_TRUE(server.start(0));
  const std::string page = fetch("http://127.0.0.1:" + std::to_string(server.boundPort()) + "/debug/tickets/");
  EXPECT_NE(page.find("Content-Type: text/html; charset=utf-8"), std::string::npos);
  EXPECT_NE(page.find("<h1>Проезды</h1><table class=bordertable><tr><td>id</td><td>plate</td><td>type</td>"
                      "<td>time</td><td>M</td><td>T</td><td>Way</td><td>Track</td><td>acc</td><td>cnt</td>"
                      "<td>speed</td><td>img1</td><td>img2</td><td>tar</td></tr>\n"),
            std::string::npos);
  EXPECT_EQ(occurrences(page, "<tr style="), TicketList::kPageRows);
  const auto first = page.find("<td>3000</td>");
  const auto last = page.find("<td>2101</td>");
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(last, std::string::npos);
  EXPECT_LT(first, last);
  EXPECT_EQ(page.find("<td>2100</td>"), std::string::npos);
  EXPECT_NE(page.find("<tr style=\"background:#ffdddd\"><td>3000</td>"), std::string::npos);
  EXPECT_NE(page.find("</table><style>\n.bordertable {border-collapse: collapse; margin: 10px 0;}\n"
                      ".bordertable TD {border: 1px solid #999; padding: 5px 7px; margin: 0;}\n</style>"),
            std::string::npos);
}

TEST(TicketRow, EscapesThePlateAndColoursByState) {
  ticket_t t;
  t.id = 7;
  t.plate = "A<1>";
  t.track = 42;
  t.speed = 57.26f;
  t.tar = "101.tar";
  EXPECT_EQ(ticketRow(t),
            "<tr style=\"color:#aaa\"><td>7</td><td>A&lt;1&gt;</td><td></td><td></td><td>N</td><td></td><td></td>"
            "<td><a href=\"/debug/tracks/42/\">42</a></td><td>0.00</td><td>0</td><td>57.3</td><td></td><td></td>"
            "<td><a href=\"/tmp/cashed/101.tar\">tar</a></td></tr>\n");
  ticket_t low;
  low.acc = 0.5f;
  EXPECT_EQ(ticketRow(low).rfind("<tr style=\"color:#aaa\">", 0), 0u);
  low.highlight = 1;
  EXPECT_EQ(ticketRow(low).rfind("<tr style=\"background:#ffffa0\">", 0), 0u);
  low.alert = 1;
  EXPECT_EQ(ticketRow(low).rfind("<tr style=\"background:#ffdddd\">", 0), 0u);
  EXPECT_EQ(linktofile("/tmp/cashed/", "", "x"), "");
}

TEST_F(TicketsTest, ScratchCopiesLeaveWithTheirTicket) {
  TicketList list(dir);
  for (const char* name : {"1.jpg", "2.jpg", "3.tar", "4.jpg"}) std::ofstream(dir + name) << "x";
  list.update(list.add("speed", "A")->id, [](ticket_t& t) {
    t.collage = "1.jpg";
    t.frame = "2.jpg";
    t.tar = "3.tar";
  });
  list.update(list.add("speed", "B")->id, [](ticket_t& t) { t.collage = "4.jpg"; });
  for (std::size_t i = 0; i < TicketList::kKeep; ++i) list.add("speed", "C");
  for (const char* gone : {"1.jpg", "2.jpg", "3.tar"}) EXPECT_FALSE(fs::exists(dir + gone)) << gone;
  EXPECT_TRUE(fs::exists(dir + "4.jpg"));  // its ticket is still listed
  list.add("speed", "D");
  EXPECT_FALSE(fs::exists(dir + "4.jpg"));
}

// Run under ThreadSanitizer too: adders, editors and a page client at once.
TEST_F(TicketsTest, AddersAndPageReadersRace) {
  TicketList list(dir);
  HttpServerOptions options;
  options.bindAddress = "127.0.0.1";
  HttpServer server(options);
  server.subscribe("^/debug/tickets/", [&list](const HttpRequest& q, HttpResponse& r) { return list.page(q, r); });
  ASSERT_TRUE(server.start(0));
  const std::string url = "http://127.0.0.1:" + std::to_string(server.boundPort()) + "/debug/tickets/";
  std::atomic<bool> done{false};
  std::vector<std::thread> adders;
  for (int w = 0; w < 4; ++w)
    adders.emplace_back([&list, w] {
      for (int i = 0; i < 1500; ++i) {
        list.update(list.addId("speed", "W" + std::to_string(w)), [i](ticket_t& x) {
          x.speed = static_cast<float>(i);
          x.collage = std::to_string(i) + ".jpg";
        });
      }
    });
  std::thread reader([&] {
    int pages = 0;
    while (!done || pages < 3) {
      EXPECT_NE(fetch(url).find("</table>"), std::string::npos);
      ++pages;
    }
  });
  for (auto& a : adders) a.join();
  done = true;
  reader.join();
  EXPECT_EQ(list.size(), TicketList::kKeep + 1);
  EXPECT_EQ(list.newest(1)[0].id, 6000u);
}

}  // namespace
