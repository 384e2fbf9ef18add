#include "config/actions.h"

#include "tests/config/config_fixture.h"

#include <nlohmann/json.hpp>

namespace kovira {
namespace {

using Json = nlohmann::json;

class ActionTest : public testing::ConfigTest {};

TEST_F(ActionTest, NewActionExportsItsDefaults) {
  const Action& a = addAction(7);
  const Json j = Json::parse(a.tojson(0));
  EXPECT_EQ(j["accuracy"], 0.5);
  EXPECT_EQ(j["imgw"], 960);
  EXPECT_EQ(j["imgh"], 600);
}

TEST_F(ActionTest, OptionalKeysAppearWhenSet) {
  Action& a = addAction(1);
  a.updConfig({{"direction", -1}, {"upload", 1}, {"extra", "fullframe"}, {"quality", 90}});
  const std::string text = a.tojson(0);
  EXPECT_EQ(text.find("\"direction\""), std::string::npos);  // negative: left out
  EXPECT_NE(text.find("\"upload\": 1"), std::string::npos);
  EXPECT_NE(text.find("\"quality\": 90"), std::string::npos);
  a.updConfig({{"direction", 2}});
  EXPECT_NE(a.tojson(0).find("\"direction\": 2"), std::string::npos);
}

TEST_F(ActionTest, UplimitIsDerivedFromThresholdWhenSpeedAndThresholdAreSet) {
  Action& a = addAction(1);
  a.updConfig({{"speed", 60}, {"threshold", 80}, {"uplimit", 200}});
  EXPECT_EQ(a.uplimit, 145u);
  Action& b = addAction(2);
  b.updConfig({{"speed", 60}, {"threshold", 0}, {"uplimit", 200}});
  EXPECT_EQ(b.uplimit, 200u);
  b.updConfig({{"method", "speed"}});
  EXPECT_EQ(b.uplimit, 200u);
  // An operator's own limit survives the save and the next read.
  Action& c = addAction(3);
  c.updConfig(Json::parse(b.tojson(0)));
  EXPECT_EQ(c.uplimit, 200u);
}

TEST_F(ActionTest, RoomFor96ActionsWhichNeverMove) {
  const Action* first = &addAction(1);
  for (int id = 2; id <= 96; ++id) addAction(id);
  EXPECT_EQ(first, &action(1));
  EXPECT_THROW(addAction(97), std::logic_error);
  EXPECT_EQ(actions().size(), 96u);
  EXPECT_EQ(first, &action(1));
}

}  // namespace
}  // namespace kovira
