// What the store writes it reads back, and a reload never loses what the
// operator wrote: numbers that do not fit their fields, text that is not
// UTF-8, refused sections. (The program itself: config_start_e2e_test.cpp.)
#include "config/json_writer.h"
#include "core/utf8.h"
#include "tests/config/config_fixture.h"

#include <nlohmann/json.hpp>

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
  {"type": "global", "timezone": 3}
])";

TEST_F(RoundTrip, NumbersThatDoNotFitTheirFieldKeepTheOldValueWithAWarning) {
  const std::vector<Unfit> cases = {
      {"float overflow", {{"type", "zone"}, {"zoneid", 1}, {"calcost", 1e39}},
       [](GlobalConfig&) { return zone(1).calcost; }, 12.5, "zone [id=1]: calcost=1e+39 does not fit"},
      {"below the smallest normal float", {{"type", "zone"}, {"zoneid", 1}, {"calcost", 1e-39}},
       [](GlobalConfig&) { return zone(1).calcost; }, 12.5, "calcost=1e-39"},
      {"int beyond 32 bits", {{"type", "zone"}, {"zoneid", 1}, {"scale", 4294967302LL}},
       [](GlobalConfig&) { return zone(1).scale; }, 6, "scale=4294967302"},
      {"scale whose window would overflow", {{"type", "zone"}, {"zoneid", 1}, {"scale", 2147483647}},
       [](GlobalConfig&) { return zone(1).scale; }, 6, "zone [id=1]: scale=2147483647 out of range 0..99, kept 6"},
      {"negative scale", {{"type", "zone"}, {"zoneid", 1}, {"scale", -2147483648LL}},
       [](GlobalConfig&) { return zone(1).scale; }, 6, "scale=-2147483648 out of range 0..99"},
      {"negative unsigned", {{"type", "action"}, {"actid", 2}, {"imgw", -1}},
       [](GlobalConfig&) { return action(2).imgw; }, 800, "action [id=2]: imgw=-1"},
      {"unsigned beyond 32 bits", {{"type", "action"}, {"actid", 2}, {"speed", 4294967296LL}},
       [](GlobalConfig&) { return action(2).speed; }, 60, "speed=4294967296"},
      {"global int", {{"type", "global"}, {"timezone", 1e300}},
       [](GlobalConfig& c) { return c.timezone; }, 3, "global: timezone=1e+300"},
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
    {"type": "zone", "zoneid": 1, "camid": 1, "scale": 99, "calcost": 3.4028235e38},
    {"type": "zone", "zoneid": 2, "camid": 1, "scale": 6.9, "calcost": 1.1754944e-38},
    {"type": "action", "actid": 2, "imgw": 4294967295, "enabled": true, "accuracy": 1e308}])")));
  EXPECT_EQ(zone(1).scale, 99);
  EXPECT_EQ(zone(1).calcost, std::numeric_limits<float>::max());
  EXPECT_EQ(zone(2).scale, 6);
  EXPECT_GE(zone(2).calcost, std::numeric_limits<float>::min());
  EXPECT_EQ(action(2).imgw, 4294967295u);
  EXPECT_EQ(action(2).enabled, 1);
  EXPECT_EQ(action(2).accuracy, 1e308);
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
      {"mistyped field", R"({"type": "zone", "zoneid": 1, "scale": "x"})"},
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

}  // namespace
}  // namespace kovira
