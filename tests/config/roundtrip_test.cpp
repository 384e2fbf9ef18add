// What the store writes it reads back, and a reload never loses what the
// operator wrote: numbers that do not fit their fields, text that is not
// UTF-8, refused sections, a second edit made right after SIGHUP, a module
// section that cannot be read at start-up.
#include "config/json_writer.h"
#include "core/utf8.h"
#include "core/working.h"
#include "tests/config/config_fixture.h"

#include <nlohmann/json.hpp>

#include <csignal>
#include <functional>

namespace kovira {
namespace {

using Json = nlohmann::json;
using testing::readFile;
using testing::StdoutCapture;

class RoundTrip : public testing::ConfigTest {
 protected:
  std::string path() const { return (dir / "kovira.json").string(); }
  // A store that has read text from the file and run its first tick.
  std::unique_ptr<GlobalConfig> started(const std::string& text) {
    testing::writeFile(path(), text);
    auto cfg = std::make_unique<GlobalConfig>(identity);
    EXPECT_TRUE(cfg->read(path()));
    cfg->work();
    return cfg;
  }
};

struct Unfit {
  const char* name;
  Json section;        // applied on top of kBase
  std::function<double(GlobalConfig&)> field;
  double kept;         // the value of kBase
  const char* warning; // part of the "[WARNING] " line
};

const char* const kBase = R"([
  {"type": "camera", "camid": 1, "bufsize": 1, "source": "opencv", "url": "a.mp4", "fps": 25},
  {"type": "zone", "zoneid": 1, "camid": 1, "scale": 6, "coords": "0,0,100,0,100,100", "calcost": 12.5},
  {"type": "action", "actid": 2, "imgw": 800, "speed": 60, "direction": -1},
  {"type": "global", "timezone": 3, "spd-mindist": 7}
])";

TEST_F(RoundTrip, NumbersThatDoNotFitTheirFieldKeepTheOldValueWithAWarning) {
  const std::vector<Unfit> cases = {
      {"float overflow", {{"type", "zone"}, {"zoneid", 1}, {"calcost", 1e39}},
       [](GlobalConfig&) { return zone(1).calcost; }, 12.5, "zone [id=1]: calcost=1e+39 does not fit"},
      {"negative float overflow", {{"type", "zone"}, {"zoneid", 1}, {"calcost", -3.5e38}},
       [](GlobalConfig&) { return zone(1).calcost; }, 12.5, "calcost=-3.5e+38"},
      {"below the smallest normal float", {{"type", "zone"}, {"zoneid", 1}, {"calcost", 1e-39}},
       [](GlobalConfig&) { return zone(1).calcost; }, 12.5, "calcost=1e-39"},
      {"int beyond 32 bits", {{"type", "zone"}, {"zoneid", 1}, {"scale", 4294967302LL}},
       [](GlobalConfig&) { return zone(1).scale; }, 6, "scale=4294967302"},
      {"float into an int", {{"type", "zone"}, {"zoneid", 1}, {"scale", 1e20}},
       [](GlobalConfig&) { return zone(1).scale; }, 6, "scale=1e+20"},
      {"negative unsigned", {{"type", "action"}, {"actid", 2}, {"imgw", -1}},
       [](GlobalConfig&) { return action(2).imgw; }, 800, "action [id=2]: imgw=-1"},
      {"unsigned beyond 32 bits", {{"type", "action"}, {"actid", 2}, {"speed", 4294967296LL}},
       [](GlobalConfig&) { return action(2).speed; }, 60, "speed=4294967296"},
      {"global int", {{"type", "global"}, {"timezone", 1e300}},
       [](GlobalConfig& c) { return c.timezone; }, 3, "global: timezone=1e+300"},
      {"global unsigned", {{"type", "global"}, {"spd-mindist", 5e9}},
       [](GlobalConfig& c) { return c.spdMindist; }, 7, "spd-mindist=5000000000.0"},
      {"camera frame rate", {{"type", "camera"}, {"camid", 1}, {"bufsize", 1}, {"fps", 1e10}},
       [](GlobalConfig&) { return camera(1).fps; }, 25, "[WARNING] wrong camera config value, skip [id=1] fps="},
  };
  for (const Unfit& c : cases) {
    SCOPED_TRACE(c.name);
    testing::clearScene();
    Json file = Json::parse(kBase);
    file.insert(file.end() - 1, c.section);
    testing::writeFile(path(), file.dump());
    GlobalConfig cfg(identity);
    StdoutCapture out;
    const bool read = cfg.read(path());
    const std::string said = out.text();
    ASSERT_TRUE(read) << said;
    EXPECT_EQ(c.field(cfg), c.kept);
    EXPECT_NE(said.find(c.warning), std::string::npos) << said;
    // What is written reads back, unchanged, into a fresh store.
    const std::string written = cfg.whole(0);
    testing::clearScene();
    testing::writeFile(path(), written);
    GlobalConfig next(identity);
    ASSERT_TRUE(next.read(path()));
    EXPECT_EQ(next.whole(0), written);
  }
}

TEST_F(RoundTrip, NumbersAtTheEdgesOfTheirFieldsAreTaken) {
  GlobalConfig cfg(identity);
  ASSERT_TRUE(cfg.read(file("edges.json", R"([
    {"type": "camera", "camid": 1, "bufsize": 1, "source": "opencv", "url": "a.mp4"},
    {"type": "zone", "zoneid": 1, "camid": 1, "scale": -2147483648, "calcost": 3.4028235e38},
    {"type": "zone", "zoneid": 2, "camid": 1, "scale": 6.9, "calcost": 1.1754944e-38},
    {"type": "action", "actid": 2, "imgw": 4294967295, "enabled": true, "accuracy": 1e308}])")));
  EXPECT_EQ(zone(1).scale, -2147483648);
  EXPECT_EQ(zone(1).calcost, std::numeric_limits<float>::max());
  EXPECT_EQ(zone(2).scale, 6);
  EXPECT_GE(zone(2).calcost, std::numeric_limits<float>::min());
  EXPECT_EQ(action(2).imgw, 4294967295u);
  EXPECT_EQ(action(2).enabled, 1);
  EXPECT_EQ(action(2).accuracy, 1e308);
}

TEST_F(RoundTrip, TextThatIsNotUtf8IsReadAndWrittenAsReplacementCharacters) {
  // Bytes no JSON text can hold: typed into the file, or set in memory.
  GlobalConfig cfg(identity);
  StdoutCapture out;
  const bool read = cfg.read(file("bytes.json", "[{\"type\": \"global\", \"devname\": \"KV-\xff\xc3\"}]"));
  const std::string said = out.text();
  ASSERT_TRUE(read) << said;
  EXPECT_EQ(cfg.devname, "KV-\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_NE(said.find("2 bytes that are not UTF-8 are read as U+FFFD"), std::string::npos) << said;
  cfg.address = "\xed\xa0\x80 ok";  // an encoded surrogate
  const std::string written = cfg.whole(0);
  EXPECT_TRUE(validUtf8(written));
  EXPECT_NE(written.find("\"address\": \"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD ok\""), std::string::npos);
  EXPECT_EQ(Json::parse(written).back()["devname"], "KV-\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Utf8, ValidityFollowsTheJsonReader) {
  const std::vector<std::string> texts = {
      "plain", "\xd0\x9a\xd0\xb0\xd0\xb7\xd0\xb0\xd0\xbd\xd1\x8c", "\xf0\x9f\x9a\x97", "\xef\xbf\xbf",
      "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xf0\x9f\x9a", "\x80", "\xfe", "a\xc3"};
  for (const std::string& t : texts) {
    SCOPED_TRACE(Json(t).dump(-1, ' ', true, Json::error_handler_t::replace));
    const auto parses = [](const std::string& text) { return Json::accept("\"" + text + "\""); };
    EXPECT_EQ(validUtf8(t), parses(t));
    EXPECT_TRUE(parses(toValidUtf8(t)));
  }
}

TEST(JsonNumber, FifteenDigitsNeverRoundPastTheLargestDouble) {
  for (const double d : {std::numeric_limits<double>::max(), -std::numeric_limits<double>::max(), 1.5e308, 0.1}) {
    const double back = Json::parse(jsonNumber(d)).get<double>();
    EXPECT_TRUE(std::isfinite(back)) << jsonNumber(d);
    EXPECT_EQ(jsonNumber(back), jsonNumber(d));
  }
}

// A reload that does not apply everything the file says leaves the file as
// the operator wrote it (in any layout), so nothing typed there is lost.
TEST_F(RoundTrip, ReloadThatRefusesSomethingDoesNotRewriteTheFile) {
  const std::vector<std::pair<const char*, std::string>> refusals = {
      {"zone id -1", R"({"type": "zone", "zoneid": -1, "camid": 1})"},
      {"action id 0", R"({"type": "action", "actid": 0})"},
      {"value that does not fit", R"({"type": "zone", "zoneid": 1, "calcost": 1e39})"},
      {"mistyped type", R"({"type": 5})"},
  };
  for (const auto& [name, section] : refusals) {
    SCOPED_TRACE(name);
    testing::clearScene();
    auto cfg = started("[{\"type\": \"global\", \"timezone\": 1}]");
    const std::string edited = "[ {\"type\": \"global\",  \"timezone\": 2},\n" + section + " ]";
    testing::writeFile(path(), edited);
    StdoutCapture out;
    cfg->reloadcnt = 1;
    cfg->work();
    cfg->work();
    cfg->work();
    const std::string said = out.text();
    EXPECT_EQ(readFile(path()), edited);
    EXPECT_EQ(cfg->timezone, 2);
    EXPECT_NE(said.find("was not read cleanly, it is left as it is"), std::string::npos) << said;
  }
}

TEST_F(RoundTrip, SecondEditMadeBeforeTheRewriteAfterAReloadIsKept) {
  auto cfg = started("[{\"type\": \"global\", \"timezone\": 1}]");
  testing::writeFile(path(), "[{\"type\": \"global\", \"timezone\": 2}]");
  const std::string second = "[{\"type\": \"global\", \"timezone\": 3}]";
  std::string said;
  {
    StdoutCapture out;
    std::signal(SIGHUP, signalcallback);
    std::raise(SIGHUP);  // the handler only counts; the tick reloads
    const unsigned requests = reloadRequests.load();
    cfg->work();
    testing::writeFile(path(), second);
    cfg->work();  // the layout rewrite is due now
    cfg->work();
    said = out.text();
    EXPECT_EQ(requests, 1u);
  }
  EXPECT_EQ(reloadRequests.load(), 0u);
  EXPECT_EQ(cfg->timezone, 2);
  EXPECT_EQ(readFile(path()), second);
  EXPECT_NE(said.find("[CFG] reload config\n"), std::string::npos) << said;
  EXPECT_NE(said.find("changed since it was read, not rewritten"), std::string::npos) << said;
  // With no second edit the reloaded file is rewritten in the store's layout.
  StdoutCapture quiet;
  cfg->reloadcnt = 1;
  cfg->work();
  cfg->work();
  EXPECT_EQ(readFile(path()), cfg->whole(0));
  EXPECT_EQ(cfg->timezone, 3);
}

TEST_F(RoundTrip, ModuleSectionThatCannotBeReadAtStartUpEndsTheUnitWithStatus1) {
  struct Module : ConfigSketch {
    void tojson(Json&, int) override {}
    void fromjson(const Json& s) override { value = s.at("classifier").get<int>(); }
    int value = 0;
  } module;
  GlobalConfig cfg(identity);
  ASSERT_TRUE(cfg.read(file("cnn.json", R"([{"type": "cnnconf", "classifier": "x"}])")));
  StdoutCapture out;
  cfg.attach("cnnconf", module);
  const std::string said = out.text();
  EXPECT_EQ(said.rfind("[FAILURE] " + (dir / "cnn.json").string() + ": [json.exception.type_error.302]", 0), 0u)
      << said;
  EXPECT_EQ(working.load(), 0);
  EXPECT_EQ(exitStatus(), 1);
  working = 1;
  cfg.detach("cnnconf", module);
}

}  // namespace
}  // namespace kovira
