#include "core/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct FuzzyCase {
  std::string a, b;
  std::size_t distance;
};

TEST(FuzzyCompare, PlateTextDistances) {
  const std::string sixteen(16, 'A');
  const FuzzyCase cases[] = {
      {"A123BC", "A123BC", 0},
      {"O123", "0123", 0},  // O, o and 0 are one character
      {"o12", "O12", 0},
      {"0o", "Oo", 0},
      {"A1?3", "A1?3", 1},  // unreadable glyphs never match
      {"A123", "A1234", 1},
      {"A1234", "A123", 1},
      {"A123BC77", "A123BC777", 1},
      {"X123BC", "A123BC", 1},
      {"kitten", "sitting", 3},
      {"", "abc", 3},
      {"abc", "", 3},
      {sixteen, "A", 16},
      {"A", sixteen, 1},  // the first string's length, not the distance
  };
  for (const auto& c : cases) EXPECT_EQ(fuzzyCompare(c.a, c.b), c.distance) << c.a << " / " << c.b;
}

TEST(TextUtils, TrimAndReplace) {
  std::string s = " \t  \n";
  trim(s);
  EXPECT_EQ(s, "");
  s = "  x  ";
  trim(s);
  EXPECT_EQ(s, "x");
  s = "  x y ";
  ltrim(s);
  EXPECT_EQ(s, "x y ");
  rtrim(s);
  EXPECT_EQ(s, "x y");

  s = "aaa";
  replaceAll(s, "a", "aa");
  EXPECT_EQ(s, "aaaaaa");  // inserted text is not rescanned
  s = "a%b%%c";
  replaceAll(s, "%", "");
  EXPECT_EQ(s, "abc");
  s = "x";
  replaceAll(s, "", "y");  // an empty pattern changes nothing
  EXPECT_EQ(s, "x");
}

TEST(TextUtils, CyrillicCaseConversion) {
  EXPECT_EQ(strtoupper("а123вс77 ёж"), "А123ВС77 ЁЖ");
  EXPECT_EQ(strtolower("А123ВС77 ЁЖ Abc"), "а123вс77 ёж abc");
}

TEST(TextUtils, Utf8CountAndReencode) {
  EXPECT_EQ(utf8strlen("А123ВС"), 6u);
  EXPECT_EQ(utf8strlen(std::string("ab\0cd", 5)), 2u);

  std::string s = "Жд";
  utf8conv(s, "cp1251");
  EXPECT_EQ(s, "\xC6\xE4");
  s = "Жд";
  utf8conv(s, "koi8-r");
  EXPECT_EQ(s, "\xF6\xC4");
  s = "Жд";
  utf8conv(s, "CP1251");  // names are case-sensitive
  EXPECT_EQ(s, "Жд");

  s = "abcdef";
  cropright(s, 3);
  EXPECT_EQ(s, "abc");
  cropright(s, 10);
  EXPECT_EQ(s, "abc");
}

TEST(TextUtils, PrettyTimeAndSize) {
  EXPECT_EQ(prettytime(300), "300");
  EXPECT_EQ(prettytime(301), "5m");
  EXPECT_EQ(prettytime(3601), "1h0m");
  EXPECT_EQ(prettytime(2 * 3600 + 5 * 60), "2h5m");
  EXPECT_EQ(prettytime(10801), "3h");
  EXPECT_EQ(prettytime(86401), "1d");
  EXPECT_EQ(prettytime(2 * 86400 + 1), "2d");

  EXPECT_EQ(prettysize(1024), "1024");
  EXPECT_EQ(prettysize(1025), "1K");
  EXPECT_EQ(prettysize(3 * 1048576), "3M");
  EXPECT_EQ(prettysize(3 * (1UL << 29)), "1.5G");
  EXPECT_EQ(prettysize(6 * (1UL << 30)), "6G");
}

TEST(TextUtils, HtmlEscapeAndFormat) {
  EXPECT_EQ(htmlescape("plain текст"), "plain текст");
  EXPECT_EQ(htmlescape("<a href=\"x\">'&'</a>"), "&lt;a href=&quot;x&quot;&gt;&apos;&amp;&apos;&lt;/a&gt;");
  EXPECT_EQ(format("%05u", 42u), "00042");
  EXPECT_EQ(format("CAMI %u", 70u), "CAMI 70");
  const std::string wide(5000, 'x');
  EXPECT_EQ(format(wide + "%d", -1), wide + "-1");  // no fixed buffer
}

}  // namespace
