#include "config/json_writer.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

namespace kovira {
namespace {

using Json = nlohmann::json;

TEST(JsonWriter, ObjectsHaveSortedKeysAndAnIndentOf4) {
  Json j = Json::object();
  j["zeta"] = 1;
  j["Alpha"] = "x";
  j["list"] = Json::array({1, Json::object(), Json::array()});
  j["nested"] = {{"b", nullptr}, {"a", true}};
  EXPECT_EQ(jsonText(j),
            "{\n"
            "    \"Alpha\": \"x\",\n"
            "    \"list\": [\n"
            "        1,\n"
            "        {},\n"
            "        []\n"
            "    ],\n"
            "    \"nested\": {\n"
            "        \"a\": true,\n"
            "        \"b\": null\n"
            "    },\n"
            "    \"zeta\": 1\n"
            "}");
  EXPECT_EQ(jsonText(Json::object()), "{}");
}

TEST(JsonWriter, FloatsUse15DigitsAndAlwaysShowAPointOrExponent) {
  EXPECT_EQ(jsonNumber(0.0), "0.0");
  EXPECT_EQ(jsonNumber(-0.0), "-0.0");
  EXPECT_EQ(jsonNumber(12.0), "12.0");
  EXPECT_EQ(jsonNumber(0.5), "0.5");
  EXPECT_EQ(jsonNumber(0.1), "0.1");
  EXPECT_EQ(jsonNumber(1.0 / 3), "0.333333333333333");
  EXPECT_EQ(jsonNumber(1e20), "1e+20");
  EXPECT_EQ(jsonNumber(123456789012345678.0), "1.23456789012346e+17");
  EXPECT_EQ(jsonNumber(1e-7), "1e-07");
  EXPECT_EQ(jsonText(Json(3.0)), "3.0");
  EXPECT_EQ(jsonText(Json(-5)), "-5");
  EXPECT_EQ(jsonText(Json(18446744073709551615ULL)), "18446744073709551615");
}

TEST(JsonWriter, StringsEscapeOnlyQuoteBackslashAndControls) {
  EXPECT_EQ(jsonText(Json("Москва \"ул.\" \\ 1")), "\"Москва \\\"ул.\\\" \\\\ 1\"");
  EXPECT_EQ(jsonText(Json(std::string("a\nb\tc\x01\x1f\x7f", 8))), "\"a\\nb\\tc\\u0001\\u001f\x7f\"");
  // Bytes that are not UTF-8 are saved as U+FFFD, which reads back.
  EXPECT_EQ(jsonText(Json(std::string("\xff\xfe", 2))), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"");
}

TEST(JsonWriter, TextReadsBackToTheSameValue) {
  const Json j = Json::parse(R"({"a": [1, 2.5, -3e-5, "x\u0002y"], "b": {"c": 0.1, "d": 4294967296}})");
  EXPECT_EQ(Json::parse(jsonText(j)), j);
  EXPECT_EQ(jsonText(Json::parse(jsonText(j))), jsonText(j));
}

}  // namespace
}  // namespace kovira
