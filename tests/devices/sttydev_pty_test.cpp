// The board link against the simulator on a real pseudo-terminal pair:
// exchange limits, misbehaving boards, the polling thread, the keep-alive,
// the tilt reading and the lens pages.
#include "devices/angle.h"
#include "devices/keepalive.h"
#include "devices/sttydev.h"
#include "http/server.h"
#include "core/startup_functions.h"
#include "config/globals.h"
#include "tools/boardsim/boardsim.h"
#include "support/page_call.h"
#include "tests/evidence/shell_helpers.h"

#include <gtest/gtest.h>

#include <future>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class sttyBoard : public testing::Test {
 protected:
  void SetUp() override { startBoard(); }
  void TearDown() override { sim.reset(); }
  // (Re)starts the simulator; absent boards appear later with "present".
  void startBoard(bool absent = false) {
    sim.reset();
    sim = std::make_unique<boardsim::Simulator>(boardsim::Options{.link = link, .absent = absent});
    std::string error;
    ASSERT_TRUE(sim->start(error)) << error;
  }
  std::string port() const { return link + ",9600"; }
  std::size_t count(const std::string& command) const {
    std::size_t n = 0;
    for (const auto& r : sim->received()) n += r.command == command;
    return n;
  }

  evtest::ScratchDir dir{"board"};
  std::string link = dir.file("ttySS");
  std::unique_ptr<boardsim::Simulator> sim;
};

TEST_F(sttyBoard, OpenRefusesWhatIsNotANineThousandSixHundredBaudTerminal) {
  struct Case {
    std::string text;
    int open;  // 1 opened, 0 refused
  };
  const Case cases[] = {{port(), 1}, {link + ",115200", 0}, {link + ",fast", 0}, {link, 0},
                        {dir.file("none") + ",9600", 0}, {"/dev/null,9600", 0}};
  for (const auto& c : cases) {
    SttyDev dev;
    EXPECT_EQ(dev.open(c.text) >= 0, c.open == 1) << c.text;
    EXPECT_EQ(dev.fd >= 0, c.open == 1) << c.text;
  }
  SttyDev dev;
  EXPECT_EQ(dev.open(""), -1);
  EXPECT_TRUE(dev.device.empty());
}

TEST_F(sttyBoard, RepliesAsTheFirmwareFormsThem) {
  struct Case {
    const char* setup;  // control line for the simulator
    const char* command;
    bool ok;
    const char* reply;
  };
  // Which reply answers is the reply parser's (board_protocol_test.cpp); on
  // the line: failures leave the reply empty, and line endings and noise.
  const Case cases[] = {
      {"answer CAMF 101 => ERR", "CAMF 101", false, ""},
      {"mode crlf", "CAMI 120", true, "CAMI 120"},
      {"mode junk", "ALIVE", true, "OK"},
      {"mode normal", "NOSUCH", false, ""},
      {"answer COORDS => COORDS 1.5", "COORDS", true, "COORDS 1.5"},
  };
  SttyDev dev;
  ASSERT_GE(dev.open(port()), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    ASSERT_TRUE(sim->control(c.setup));
    std::string reply;
    EXPECT_EQ(dev.process(c.command, reply), c.ok);
    EXPECT_EQ(reply, c.reply);
  }
  std::string value;
  EXPECT_FALSE(dev.coords(value));  // three characters are too short
  EXPECT_EQ(value, "1.5");
  float angle = -1;
  ASSERT_TRUE(sim->control("set angle=12.50"));
  EXPECT_TRUE(dev.angle(angle));
  EXPECT_FLOAT_EQ(angle, 12.5f);
  for (const char* reply : {"ANGLE 12.5 deg", "ANGLE nan", "ANGLE  12.5"}) {
    ASSERT_TRUE(sim->control(std::string("answer ANGLE => ") + reply));
    EXPECT_FALSE(dev.angle(angle)) << reply;
  }
  EXPECT_FLOAT_EQ(angle, 12.5f);
}

TEST_F(sttyBoard, ChunksJoinAcrossShortGapsAndAreCutByLongOnes) {
  SttyDev dev;
  ASSERT_GE(dev.open(port()), 0);
  ASSERT_TRUE(sim->control("mode chunked"));
  struct Case {
    const char* gap;
    std::uint32_t T1;  // the last key, in the second chunk
  };
  for (const Case c : {Case{"gap 5", 38}, Case{"gap 20", 0}, Case{"gap 2", 38}}) {
    SCOPED_TRACE(c.gap);
    ASSERT_TRUE(sim->control(c.gap));
    const auto st = dev.status();
    EXPECT_EQ(st.V, 20190430u);
    EXPECT_EQ(st.T1, c.T1);
  }
}

TEST_F(sttyBoard, LateReplyNeverAnswersTheNextCommand) {
  SttyDev dev;
  ASSERT_GE(dev.open(port()), 0);
  ASSERT_TRUE(sim->control("mode stale"));
  std::string reply;
  EXPECT_FALSE(dev.process("CAMRES", reply));
  ASSERT_TRUE(sim->waitSent(3, 5s));  // the late "OK\n" is on the line now
  EXPECT_FALSE(dev.process("CAMF 100", reply));
  EXPECT_EQ(reply, "");
  ASSERT_TRUE(sim->control("mode normal"));
  EXPECT_TRUE(dev.process("CAMF 100", reply));
  EXPECT_EQ(reply, "CAMF 100");
}

TEST_F(sttyBoard, TricklingOrFloodingBoardFailsWithinTheExchangeLimit) {
  SttyDev dev;
  ASSERT_GE(dev.open(port()), 0);
  dev.emplace(board::Status{.time = 7});
  ASSERT_TRUE(sim->control("mode trickle"));
  const auto t0 = Clock::now();
  auto exchange = std::async(std::launch::async, [&] {
    std::string reply;
    return dev.process("EXT", reply);
  });
  ASSERT_TRUE(sim->waitSent(5, 5s));  // the exchange is reading the trickle now
  // The history does not wait for the line (the exchange is running, unless
  // a busy machine spaced the noise past the silence limit: it fails then too).
  EXPECT_EQ(dev.statuslast().time, 7u);
  // The trickle never ends; only the exchange's own limit ends the wait.
  EXPECT_FALSE(exchange.get());
  EXPECT_LT(Clock::now() - t0, SttyDev::kExchangeLimit + 2s);
  // 64 KiB without a line feed: refused at the size cap, the rest flushed.
  ASSERT_TRUE(sim->control("mode normal"));
  ASSERT_TRUE(sim->control("answer EXT => " + std::string(64 * 1024, 'E')));
  std::string reply;
  EXPECT_FALSE(dev.process("EXT", reply));
  // Later exchanges fail at the cap until the flood has passed.
  bool ok = false;
  for (int i = 0; i < 500 && !ok; ++i) ok = dev.process("ALIVE", reply);
  EXPECT_TRUE(ok);
  EXPECT_EQ(reply, "OK");
}

TEST_F(sttyBoard, PollingThreadSeedsOnlyFromItsFirstGoodStatus) {
  struct Case {
    bool absent;
    std::uint32_t focus, iris;
  };
  for (const Case c : {Case{false, 4100, 200}, Case{true, 0, 0}}) {
    SCOPED_TRACE(c.absent ? "absent then present" : "present");
    startBoard(c.absent);
    SttyDev dev;
    (void)dev.open(port());
    dev.start(20ms, 50ms);
    if (c.absent) {
      // The board appears only after the thread's first request failed.
      const auto until = Clock::now() + 10s;
      while (dev.pollAttempts() < 2 && Clock::now() < until) std::this_thread::yield();
      ASSERT_TRUE(sim->control("present"));
    }
    ASSERT_TRUE(sim->waitFor("EXT", 3, 10s));
    dev.stop();
    EXPECT_EQ(dev.version, 20190430u);
    EXPECT_EQ(dev.focus, c.focus);
    EXPECT_EQ(dev.iris, c.iris);
    EXPECT_GE(count("COORDS"), 1u);
    EXPECT_EQ(dev.statuslast().V1, 1215u);
  }
}

TEST_F(sttyBoard, VanishedBoardIsReopenedWhenItReturns) {
  SttyDev dev;
  ASSERT_GE(dev.open(port()), 0);
  EXPECT_NE(dev.status().time, 0u);
  ASSERT_TRUE(sim->control("vanish"));
  EXPECT_EQ(dev.status().time, 0u);
  ASSERT_TRUE(sim->control("return"));
  auto st = dev.status();
  EXPECT_NE(st.time, 0u);
  EXPECT_EQ(st.A, 1250u);
  // Gone in the middle of an exchange: it fails, the next one reopens.
  ASSERT_TRUE(sim->control("mode silent"));
  auto exchange = std::async(std::launch::async, [&] { return dev.status(); });
  ASSERT_TRUE(sim->waitFor("EXT", 3, 5s));
  ASSERT_TRUE(sim->control("vanish"));
  EXPECT_EQ(exchange.get().time, 0u);
  ASSERT_TRUE(sim->control("return"));
  ASSERT_TRUE(sim->control("mode normal"));
  EXPECT_NE(dev.status().time, 0u);
}

TEST_F(sttyBoard, KeepAliveGoesOutAtOnceThenEveryPeriod) {
  SttyDev dev;
  ASSERT_GE(dev.open(port()), 0);
  {
    KeepAlive alive(dev, 20ms);
    alive.start();
    EXPECT_TRUE(sim->waitFor("ALIVE", 3, 10s));
  }
  const auto n = count("ALIVE");
  KeepAlive slow(dev, 1h);
  slow.start();
  EXPECT_TRUE(sim->waitFor("ALIVE", n + 1, 10s));
  slow.stop();
  EXPECT_EQ(count("ALIVE"), n + 1);
}

TEST_F(sttyBoard, AngleFromStatusWithOldFirmwareCorrection) {
  struct Case {
    const char* version;
    std::uint32_t adxlfix;
    const char* a;
    float angle;
    std::uint32_t adxlAfter;
  };
  const Case cases[] = {
      {"20190430", 0, "1250", 12.5f, 0},  {"20180101", 1, "1250", 3.125f, 1},
      {"20190430", 1, "1250", 12.5f, 0},  {"20190430", 0, "-1250", -12.5f, 0},
      {"20190430", 0, "0", 0.0f, 0},  // no status angle: asked, and 0.00 is no reading
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.version) + " A=" + c.a);
    ASSERT_TRUE(sim->control(std::string("set V=") + c.version + " A=" + c.a));
    SttyDev dev;
    ASSERT_GE(dev.open(port()), 0);
    auto st = dev.status();
    dev.emplace(st);
    dev.version = st.V;
    AngleConf conf;
    conf.adxlfix = c.adxlfix;
    bool ok = false;
    EXPECT_FLOAT_EQ(readAngle(dev, conf, st.time, ok), c.angle);
    EXPECT_EQ(conf.adxlfix, c.adxlAfter);
  }
}

// The lens pages drive the process-wide link, opened on the simulator.
class sttyLensPage : public sttyBoard {
 protected:
  void SetUp() override {
    sttyBoard::SetUp();
    ASSERT_GE(sttydev().open(port()), 0);
    static bool routes = [] {
      lensweb::lens_httphook_init();
      updlens::lens_httphook_init();
      return true;
    }();
    (void)routes;
  }
  testsupport::PageReply get(const std::string& target) { return testsupport::callPage(webserver(), "GET", target); }
};

TEST_F(sttyLensPage, MotorUpdateSendsFocusOrIrisAndOpensTheIris) {
  struct Case {
    std::uint32_t focus, iris;
    const char* query;
    std::vector<std::string> sent;
    const char* body = "OK";  // a refused argument answers 400 and names itself
  };
  const Case cases[] = {
      {100, 0, "modf=-300", {"CAMF 0", "CAMI 0"}},
      {100, 0, "f=1500&i=300", {"CAMF 1500", "CAMI 0"}},
      {100, 300, "i=300", {"CAMI 300"}},
      {100, 0, "modi=9001", {"CAMI 0"}},
      {100, 0, "camres=", {"CAMRES"}, ""},
      {100, 300, "f=1500&i=abc", {}, "error: i: not a number\n"},
      {100, 300, "modf=5x", {}, "error: modf: not a number\n"},
      {100, 300, "f=99999999999", {}, "error: f: out of range\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    sttydev().focus = c.focus;
    sttydev().iris = c.iris;
    const auto before = sim->received().size();
    const auto r = get(std::string("/lens/update?") + c.query);
    EXPECT_EQ(r.status, c.body[0] == 'e' ? 400 : 200);
    EXPECT_EQ(r.body, c.body);
    std::vector<std::string> sent;
    const auto all = sim->received();
    for (auto i = before; i < all.size(); ++i) sent.push_back(all[i].command);
    EXPECT_EQ(sent, c.sent);
  }
}

TEST_F(sttyLensPage, FlashAndDebugValuesRefuseBadNumbers) {
  struct Case {
    const char* target;
    int code;
    const char* sent;  // last command on the line afterwards
  };
  const Case cases[] = {
      {"/lens/updflash?v=64", 302, "FLASH 64"},           {"/lens/updflash?v=128", 400, "FLASH 64"},
      {"/lens/updflash?v=abc", 400, "FLASH 64"},          {"/lens/updflash?v=99999999999", 400, "FLASH 64"},
      {"/lens/brush", 200, "ACT1"},                       {"/debug/lens/update?setf=99999999999", 400, "ACT1"},
      {"/debug/lens/update?seti=5&modf=x", 400, "ACT1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    const auto r = get(c.target);
    EXPECT_EQ(r.status, c.code);
    EXPECT_EQ(r.headers.count("Location"), c.code == 302 ? 1u : 0u);
    if (c.code == 400) {
      EXPECT_EQ(r.body.rfind("error: ", 0), 0u) << r.body;
    }
    ASSERT_TRUE(sim->waitFor(c.sent, 1, 5s));
    EXPECT_EQ(sim->received().back().command, c.sent);
  }
  EXPECT_EQ(kovira::getGlobalVal<int>("lensiris", 0), 0);  // the refused request changed nothing
  const auto r = get("/debug/lens/update?setf=9500&modi=-5");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "{\n    \"focus\": \"9000\",\n    \"iris\": \"0\"\n}\n");
  EXPECT_EQ(r.headers.at("Content-Type"), "application/json");
  EXPECT_EQ(get("/lens/updflash?v=1").headers.at("Location"), "/lens/");
}

TEST_F(sttyLensPage, FlashFormOnlyForAnOpenPortWithNewFirmware) {
  struct Case {
    std::uint32_t version;
    bool open, form;
  };
  for (const Case c : {Case{20180427, true, true}, Case{20180426, true, false}, Case{20190430, false, false}}) {
    sttydev().version = c.version;
    if (!c.open) sttydev().reset();
    const auto r = get("/lens/");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body.find("name=v value=0") != std::string::npos, c.form) << c.version;
    EXPECT_NE(r.body.find("<button class=adji>-250</button>iris<hr>"), std::string::npos);
  }
}

}  // namespace
