// Comparing and trimming texts in ASCII terms.
#include <gtest/gtest.h>

#include "support/AsciiText.h"

TEST(AsciiText, CaseIsIgnoredForAsciiLettersOnly) {
  const struct {
    const char* a;
    const char* b;
    bool same;
  } cases[] = {
      {"DWORD:", "dword:", true}, {"On", "on", true},     {"", "", true},
      {"on", "one", false},       {"[\\", "{|", false},   // the bytes next to A-Z and a-z are not letters
      {"É", "é", false},          {"한글", "한글", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SameIgnoringCase(c.a, c.b), c.same) << c.a << " / " << c.b;
    EXPECT_EQ(ContainsIgnoringCase(std::string("x ") + c.a + " y", c.b), c.same) << c.a << " / " << c.b;
  }
  EXPECT_TRUE(ContainsIgnoringCase("[mp4] Invalid Pixel Aspect Ratio 0/1", "invalid pixel aspect ratio"));
  EXPECT_TRUE(ContainsIgnoringCase("abc", ""));
  EXPECT_FALSE(ContainsIgnoringCase("ab", "abc"));
  // Near misses in both cases before the match, matches at the very start and end, and first
  // letters that are not letters.
  const struct {
    std::string text;
    const char* needle;
    bool found;
  } finds[] = {
      {"EEEeeEErRor_eRRor", "error ", false},
      {"EEEeeEErRor_eRRor ", "error ", true},
      {"ERROR writing file", "error ", true},
      {std::string(20000, 'x') + "No Space left on device", "no space left on device", true},
      {std::string(20000, 'x') + "No Space left on devic", "no space left on device", false},
      {"[[[[mp4] x", "[mp4]", true},
      {"e", "e", true},
      {"E", "f", false},
  };
  for (const auto& f : finds) EXPECT_EQ(ContainsIgnoringCase(f.text, f.needle), f.found) << f.text.substr(0, 40);
  EXPECT_EQ(AsciiLower('Z'), 'z');
  EXPECT_EQ(AsciiLower('@'), '@');
}

TEST(AsciiText, TrimBlanksTakesSpacesAndTabsOnly) {
  const struct {
    const char* text;
    const char* trimmed;
  } cases[] = {{" \t a b \t ", "a b"}, {"", ""}, {" \t ", ""}, {"\na\r", "\na\r"}, {"x", "x"}};
  for (const auto& c : cases) EXPECT_EQ(TrimBlanks(c.text), c.trimmed) << '[' << c.text << ']';
}
