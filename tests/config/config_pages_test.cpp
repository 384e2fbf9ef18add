// The configuration pages driven through the server's route table: bytes of
// every page against golden files, forms that refuse bad fields without
// changing anything, the update endpoint's answers, add and delete.
#include "config/actions.h"
#include "config/camera_sections.h"
#include "config/config.h"
#include "config/config_pages.h"
#include "config/zones.h"
#include "http/server.h"
#include "support/page_call.h"

#include "config_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <set>
#include <thread>

namespace {

using testsupport::callPage;
using testsupport::PageReply;

constexpr const char* kScene = R"([
  {"type": "zone", "zoneid": 1, "camid": 1, "scale": 6, "coords": "0,0,100,0,100,50,0,50"},
  {"type": "zone", "zoneid": 3, "camid": 1, "scale": 5, "coords": "10,10,30,10,30,20", "calcost": 2.5},
  {"type": "action", "actid": 2, "method": "speed", "zoneA": 1, "speed": 60, "threshold": 70,
   "accuracy": 0.5, "label": "Line 1\nLine <2>", "extra": "redbox", "path": "/tmp/a;/tmp/b", "upload": 1,
   "enabled": 1},
  {"type": "global", "address": "ул. Ленина, 1 <'&\">", "devname": "Камера №1", "coords": "55.75,37.61",
   "serial": "0042", "certificate": "2026-01-01 C-1", "verification": "2026-02-02 V-2", "timezone": 3,
   "platepos": "300,110,120", "way1": "в центр", "way2": "из центра", "trackmask": "A999AA99\nX*"}
])";

std::string goldenPath(const std::string& name) {
  return std::string(KOVIRA_SOURCE_DIR) + "/tests/data/pages/" + name;
}

class pagesConfig : public ::testing::Test {
 protected:
  void SetUp() override {
    kovira::testing::clearScene();
    kovira::config().process(nlohmann::json::parse(kScene));
    kovira::config().setAcoords("");
    kovira::subscribeConfigPages(server);
    kovira::subscribeAddPages(server);
  }
  void TearDown() override { kovira::testing::clearScene(); }

  PageReply get(const std::string& target) { return callPage(server, "GET", target); }
  PageReply post(const std::string& target, const std::string& form) { return callPage(server, "POST", target, form); }
  PageReply postJson(const std::string& target, const std::string& json) {
    return callPage(server, "POST", target, json, "application/json");
  }

  HttpServer server;
};

// Pages byte for byte. KOVIRA_WRITE_GOLDEN=1 rewrites the files (review
// the difference before committing it).
TEST_F(pagesConfig, PagesMatchTheirGoldenFiles) {
  const std::pair<const char*, const char*> pages[] = {
      {"/config/", "config_index.html"},       {"/config/global/", "config_global.html"},
      {"/config/act2/", "config_act2.html"},   {"/config/zon1/", "config_zon1.html"},
      {"/config/add/", "config_add.html"},     {"/config/act2/del", "config_act2_del.html"},
      {"/config/zon3/del", "config_zon3_del.html"},
  };
  for (const auto& [target, file] : pages) {
    const PageReply r = get(target);
    ASSERT_EQ(r.status, 200) << target;
    EXPECT_EQ(r.headers.at("Content-Type"), "text/html; charset=utf-8") << target;
    if (std::getenv("KOVIRA_WRITE_GOLDEN") != nullptr) std::ofstream(goldenPath(file), std::ios::binary) << r.body;
    EXPECT_EQ(r.body, kovira::testing::readFile(goldenPath(file))) << target;
  }
}

TEST_F(pagesConfig, FormRefusesBadFieldsAndChangesNothing) {
  const struct {
    const char* target;
    const char* form;
    const char* error;
  } cases[] = {
      {"/config/global/", "devname=New&posa=", "error: posa: not a number\n"},
      {"/config/global/", "devname=New&posa=abc", "error: posa: not a number\n"},
      {"/config/global/", "devname=New&posb=99999999999", "error: posb: out of range\n"},
      {"/config/global/", "devname=New&posc=-1", "error: posc: negative\n"},
      {"/config/global/", "devname=New&timezone=3000000000", "error: timezone: out of range -12..14\n"},
      {"/config/global/", "posa=5&devname=%FF", "error: devname: not valid UTF-8\n"},
      {"/config/act2/", "label=x&accuracy=nan", "error: accuracy: not a number\n"},
      {"/config/act2/", "label=x&accuracy=1e99", "error: accuracy: out of range\n"},
      {"/config/act2/", "label=x&imgw=-1", "error: imgw: negative\n"},
      {"/config/act2/", "label=%C3%28", "error: label: not valid UTF-8\n"},
      {"/config/zon3/", "scale=7&calcost=", "error: calcost: not a number\n"},
      {"/config/zon3/", "camid=1&scale=x", "error: scale: not a number\n"},
  };
  const std::string before = kovira::config().whole(1);
  for (const auto& c : cases) {
    const PageReply r = post(c.target, c.form);
    EXPECT_EQ(r.status, 400) << c.form;
    EXPECT_EQ(r.body, c.error) << c.form;
    EXPECT_EQ(kovira::config().whole(1), before) << c.form;
  }
}

TEST_F(pagesConfig, FormPostsStoreTrimmedValuesAndRedirect) {
  PageReply r = post("/config/global/", "devname=+%D0%9A%D0%B0%D0%BC%D0%B5%D1%80%D0%B0+2+&posa=7&timezone=-2");
  EXPECT_EQ(r.status, 302);
  EXPECT_EQ(r.headers.at("Location"), "/config/");
  {
    kovira::ConfigReadLock lock;
    EXPECT_EQ(kovira::config().devname, "Камера 2");
    EXPECT_EQ(kovira::config().posa, 7u);
    EXPECT_EQ(kovira::config().posb, 120u);  // not sent, kept
    EXPECT_EQ(kovira::config().timezone, -2);
  }
  // No checkboxes sent: both switch off. The label loses its CRs; speed
  // and threshold set anew bring the upper limit along.
  r = post("/config/act2/", "label=a%0D%0Ab%0D%0A&accuracy=0.1&speed=50&threshold=60");
  EXPECT_EQ(r.status, 302);
  {
    kovira::ConfigReadLock lock;
    const kovira::Action& a = kovira::action(2);
    EXPECT_EQ(a.enabled, 0);
    EXPECT_EQ(a.upload, 0);
    EXPECT_EQ(a.label, "a\nb");
    EXPECT_EQ(a.accuracy, static_cast<double>(0.1f));
    EXPECT_EQ(a.uplimit, 60u + kovira::Action::kUplimitMargin);
  }
  // The zone's reader derives the scale window from the posted scale.
  r = post("/config/zon3/", "scale=9&calcost=1.5&enabled=1");
  EXPECT_EQ(r.status, 302);
  kovira::ConfigReadLock lock;
  const kovira::Zone& z = kovira::zone(3);
  EXPECT_EQ(z.scale, 9);
  EXPECT_EQ(z.minscale, 6);
  EXPECT_EQ(z.maxscale, 8);
  EXPECT_EQ(z.calcost, 1.5f);
}

TEST_F(pagesConfig, UpdateEndpointAnswers) {
  const std::string zoneBefore = kovira::config().exportSection("zone", 3, 1);
  const struct {
    const char* target;
    const char* body;
    int status;
    const char* prefix;
  } cases[] = {
      {"/config/update", "not json", 400, "error: json parse: "},
      {"/config/update", "[1, 2]", 400, "error: json type: "},
      {"/config/update", R"({"type": "zone", "zoneid": "3"})", 400, "error: zoneid: not a number\n"},
      {"/config/update", R"({"type": 5})", 400, "error: json type: "},
      // The first member applies cleanly, the second cannot: neither may.
      {"/config/update", R"({"type": "zone", "zoneid": 3, "camid": 9, "coords": 5})", 400,
       "error: coords: not a text\n"},
      {"/config/update", R"({"type": "zone", "zoneid": 600})", 500,
       "error: can not proccess request, type=zone, id=600\n{\"type\": \"zone\", \"zoneid\": 600}\n"},
      {"/config/update", R"({"type": "action", "actid": 1e300})", 500, "error: can not proccess request, type=action, id=0\n"},
  };
  for (const auto& c : cases) {
    const PageReply r = postJson(c.target, c.body);
    EXPECT_EQ(r.status, c.status) << c.body;
    EXPECT_EQ(r.body.rfind(c.prefix, 0), 0u) << r.body;
    EXPECT_EQ(r.body.substr(r.body.size() - std::string(c.body).size() - 1), std::string(c.body) + "\n");
  }
  EXPECT_EQ(kovira::config().exportSection("zone", 3, 1), zoneBefore);
  EXPECT_EQ(kovira::zones().size(), 2u);

  PageReply r = callPage(server, "POST", "/config/update");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.body, "error: request is empty\n");

  r = postJson("/config/update?type=global", R"({"webserver": 8080})");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.headers.at("Content-Type"), "application/json; charset=utf-8");
  EXPECT_EQ(r.body, kovira::config().exportSection("global", 0, 1) + "\n");
  EXPECT_NE(r.body.find("\"webserver\": 8080"), std::string::npos);

  EXPECT_EQ(postJson("/config/echo", "{\"a\": 1}").body, "{\"a\": 1}");
  EXPECT_EQ(get("/config/echo").body, "request is empty\n");
  EXPECT_EQ(get("/debug/config.json").body, get("/config/whole.json").body);
  EXPECT_EQ(get("/config/whole.json").body, kovira::config().whole(1));

  // A JSON body sent as a form: its text must not pick the section type.
  r = post("/config/update", R"({"type": "global", "devname": "x&type=zone"})");
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("\"devname\": \"x&type=zone\""), std::string::npos);
}

// A store the machine cannot give would keep the camera from its frames at
// the next start: refused before anything changes, naming the field.
TEST_F(pagesConfig, CameraStoreLargerThanTheMachineGivesIsRefused) {
  kovira::camera_sections::setPhysicalMemoryForTests(1ull << 30);  // 512 MiB for a store at most
  const auto section = [](int bufsize) {
    return R"({"type": "camera", "camid": 5, "source": "file", "url": "a.264", "bufsize": )" +
           std::to_string(bufsize) + "}";
  };
  const struct {
    int bufsize;
    int status;
  } cases[] = {{513, 400}, {4096, 400}, {4097, 500}, {0, 500}, {8, 200}, {512, 200}};
  for (const auto& c : cases) {
    const PageReply r = postJson("/config/update", section(c.bufsize));
    EXPECT_EQ(r.status, c.status) << c.bufsize << ": " << r.body;
    if (c.status == 400) {
      EXPECT_EQ(r.body.rfind("error: bufsize: ", 0), 0u) << r.body;
      EXPECT_FALSE(kovira::camera_sections::exists(5));
    }
  }
  nlohmann::json saved;
  kovira::camera_sections::tojson(5, saved, 0);
  EXPECT_EQ(saved["bufsize"], 512);
  kovira::camera_sections::setPhysicalMemoryForTests(0);
}

TEST_F(pagesConfig, SectionForADeletedRecordBringsItBack) {
  ASSERT_EQ(post("/config/zon3/del", "").status, 302);
  ASSERT_EQ(post("/config/act2/del", "").status, 302);
  EXPECT_EQ(kovira::config().whole(0).find("\"zoneid\": 3"), std::string::npos);
  // Deleted records still answer their pages.
  EXPECT_EQ(get("/config/zon3/del").status, 200);
  EXPECT_EQ(postJson("/config/update", R"({"type": "zone", "zoneid": 3, "scale": 7})").status, 200);
  EXPECT_EQ(postJson("/config/update", R"({"type": "action", "actid": 2})").status, 200);
  const std::string file = kovira::config().whole(0);
  EXPECT_NE(file.find("\"zoneid\": 3"), std::string::npos);
  EXPECT_NE(file.find("\"actid\": 2"), std::string::npos);
}

TEST_F(pagesConfig, MissingOrOversizedIdsAnswer404) {
  for (const char* target : {"/config/act99/", "/config/zon99/", "/config/act99/del", "/config/zon2/del",
                             "/config/act99999999999/", "/config/zon99999999999/del", "/config/act0/del"}) {
    EXPECT_EQ(get(target).status, 404) << target;
    EXPECT_EQ(post(target, "enabled=1").status, 404) << target;
  }
}

TEST_F(pagesConfig, AddPageChoosesIdsInRange) {
  PageReply r = post("/config/add/", "type=abcd");
  EXPECT_EQ(r.headers.at("Location"), "/config/");
  EXPECT_EQ(kovira::actions().size(), 1u);

  ASSERT_EQ(postJson("/config/update", R"({"type": "action", "actid": 7})").status, 200);
  EXPECT_NE(get("/config/add/").body.find("<p>next id: 8</p>"), std::string::npos);
  r = post("/config/add/", "type=carflow");
  EXPECT_EQ(r.status, 302);
  EXPECT_EQ(r.headers.at("Location"), "/config/act8/");
  {
    kovira::ConfigReadLock lock;
    EXPECT_EQ(kovira::action(8).accuracy, 0.1);
    EXPECT_EQ(kovira::action(8).method, "carflow");
    EXPECT_EQ(kovira::action(8).enabled, 0);
  }
  EXPECT_EQ(post("/config/add/", "type=speed").headers.at("Location"), "/config/act9/");

  // Past the largest id the store reads back, the lowest free one is used.
  ASSERT_EQ(postJson("/config/update", R"({"type": "action", "actid": 512})").status, 200);
  EXPECT_EQ(post("/config/add/", "type=speed").headers.at("Location"), "/config/act1/");
  EXPECT_EQ(post("/config/add/", "type=speed").headers.at("Location"), "/config/act3/");
}

TEST_F(pagesConfig, AddPageRefusesA97thAction) {
  while (kovira::actions().size() < kovira::kMaxActions) ASSERT_EQ(post("/config/add/", "type=speed").status, 302);
  const PageReply r = post("/config/add/", "type=speed");
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.body, "error: no room for another action, at most 96 actions\n");
  EXPECT_EQ(get("/config/add/").status, 500);
}

TEST_F(pagesConfig, ConcurrentAddsGetDistinctIds) {
  constexpr int kClients = 8;
  constexpr int kEach = 5;
  std::vector<std::thread> clients;
  std::vector<std::vector<std::string>> locations(kClients);
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      HttpServer own;
      kovira::subscribeAddPages(own);
      for (int i = 0; i < kEach; ++i)
        locations[c].push_back(callPage(own, "POST", "/config/add/", "type=speed").headers["Location"]);
      (void)kovira::config().whole(0);  // a save's reading, interleaved
    });
  }
  for (std::thread& t : clients) t.join();
  std::set<std::string> distinct;
  for (const auto& l : locations) distinct.insert(l.begin(), l.end());
  EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kClients * kEach));
  EXPECT_EQ(kovira::actions().size(), static_cast<std::size_t>(1 + kClients * kEach));
}

}  // namespace
