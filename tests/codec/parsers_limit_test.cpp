// The parser registry's limit, in a process of its own: a full registry
// stays full for the rest of the process.
#include "codec/parsers.h"
#include "codec/v4tvideoparser.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

TEST(ParserRegistry, SixteenSizesAreServedASeventeenthIsRefusedOnce) {
  std::vector<std::shared_ptr<V4TVideoParser>> built;
  for (int i = 0; i < 15; ++i) {
    auto p = kovira::hwVideoParser(160 + 16 * i, 120, 0);
    ASSERT_NE(p, nullptr) << i;
    built.push_back(p);
  }
  EXPECT_NE(built[0], built[1]);
  built.push_back(kovira::hwVideoParser(160, 120, 1));  // the variant is part of the key
  EXPECT_NE(built[15], nullptr);
  EXPECT_NE(built[15], built[0]);
  EXPECT_EQ(kovira::hwVideoParserCount(), 16u);

  testing::internal::CaptureStdout();
  EXPECT_EQ(kovira::hwVideoParser(1920, 1080, 0), nullptr);
  EXPECT_EQ(kovira::hwVideoParser(1280, 720, 0), nullptr);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "[ERROR] hardware video parsers limit reached\n");
  for (int i = 0; i < 15; ++i) EXPECT_EQ(kovira::hwVideoParser(160 + 16 * i, 120, 0), built[i]) << i;
  EXPECT_EQ(kovira::hwVideoParser(160, 120, 1), built[15]);
  EXPECT_EQ(kovira::hwVideoParserCount(), 16u);
}

}  // namespace
