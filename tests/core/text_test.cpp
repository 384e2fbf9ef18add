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

std::string trimmed(std::string s) { return trim(s), s; }
std::string ltrimmed(std::string s) { return ltrim(s), s; }
std::string rtrimmed(std::string s) { return rtrim(s), s; }
std::string doubled(std::string s) { return replaceAll(s, "a", "aa"), s; }
std::string percentless(std::string s) { return replaceAll(s, "%", ""), s; }
std::string emptyPattern(std::string s) { return replaceAll(s, "", "y"), s; }
std::string cp1251(std::string s) { return utf8conv(s, "cp1251"), s; }
std::string koi8(std::string s) { return utf8conv(s, "koi8-r"), s; }
std::string upperName(std::string s) { return utf8conv(s, "CP1251"), s; }  // names are case-sensitive
std::string crop3(std::string s) { return cropright(s, 3), s; }
std::string upper(std::string s) { return strtoupper(s); }
std::string lower(std::string s) { return strtolower(s); }
std::string escaped(std::string s) { return htmlescape(s); }

// One row per text rule: what the function gives for an input.
TEST(TextUtils, Table) {
  const struct {
    std::string (*f)(std::string);
    std::string in, out;
  } rows[] = {
      {trimmed, " \t  \n", ""},
      {trimmed, "  x y ", "x y"},
      {ltrimmed, "  x y ", "x y "},
      {rtrimmed, "  x y ", "  x y"},
      {doubled, "aaa", "aaaaaa"},  // inserted text is not rescanned
      {percentless, "a%b%%c", "abc"},
      {emptyPattern, "x", "x"},
      {upper, "а123вс77 ёж", "А123ВС77 ЁЖ"},
      {lower, "А123ВС77 ЁЖ Abc", "а123вс77 ёж abc"},
      {cp1251, "Жд", "\xC6\xE4"},
      {koi8, "Жд", "\xF6\xC4"},
      {upperName, "Жд", "Жд"},
      {crop3, "abcdef", "abc"},
      {crop3, "ab", "ab"},
      {escaped, "plain текст", "plain текст"},
      {escaped, "<a href=\"x\">'&'</a>", "&lt;a href=&quot;x&quot;&gt;&apos;&amp;&apos;&lt;/a&gt;"},
  };
  for (const auto& r : rows) EXPECT_EQ(r.f(r.in), r.out) << r.in;

  EXPECT_EQ(utf8strlen("А123ВС"), 6u);
  EXPECT_EQ(utf8strlen(std::string("ab\0cd", 5)), 2u);
  const std::pair<unsigned long, const char*> times[] = {{300, "300"},  {301, "5m"},  {3601, "1h0m"}, {7500, "2h5m"},
                                                         {10801, "3h"}, {86401, "1d"}, {172801, "2d"}};
  for (const auto& [t, text] : times) EXPECT_EQ(prettytime(t), text) << t;
  const std::pair<unsigned long, const char*> sizes[] = {
      {1024, "1024"}, {1025, "1K"}, {3 * 1048576, "3M"}, {3 * (1UL << 29), "1.5G"}, {6 * (1UL << 30), "6G"}};
  for (const auto& [n, text] : sizes) EXPECT_EQ(prettysize(n), text) << n;
  EXPECT_EQ(format("CAMI %u", 70u), "CAMI 70");
  const std::string wide(5000, 'x');
  EXPECT_EQ(format(wide + "%d", -1), wide + "-1");  // no fixed buffer
}

}  // namespace
