// The string toolkit: strict conversions and bounded splits.
#include "host/yarn.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const std::string kHuge = "1" + std::string(400, '0') + "e-1";  // 10^399
const std::string kTiny = "0." + std::string(400, '0') + "1";   // 10^-401

// Only the whole text as one finite number; the output untouched otherwise.
TEST(YarnToDouble, AcceptsOnlyWholeFiniteNumbers) {
  const struct {
    std::string text;
    bool ok;
    double value;
  // clang-format off
  } cases[] = {
      {"12", true, 12.0}, {"-0.5", true, -0.5}, {"+3.", true, 3.0}, {".25", true, 0.25},
      {"1e-3", true, 1e-3}, {"2.5E+07", true, 2.5e7}, {"-150.500000", true, -150.5},
      // Out of range: the magnitude decides, not the exponent's sign.
      {"1e-400", true, 0.0}, {kTiny, true, 0.0}, {"-" + kTiny, true, 0.0},
      {"0." + std::string(300, '0') + "1e300", true, 0.1}, {"1e999", false, 0},
      {kHuge, false, 0}, {std::string(310, '9') + "e-1", false, 0},
      {"", false, 0}, {" 1", false, 0}, {"1 ", false, 0}, {"1.5x", false, 0}, {"1e", false, 0},
      {"0x10", false, 0}, {"1,5", false, 0}, {"--1", false, 0}, {"+-1", false, 0},
      {"1.2.3", false, 0}, {"-", false, 0}, {".", false, 0},
      // No NaN or infinity in any spelling, case or sign, no NaN payload.
      {"nan", false, 0}, {"-NaN", false, 0}, {"nan(123)", false, 0}, {"nan()", false, 0},
      {"-nan(x)", false, 0}, {"inf", false, 0}, {"+INF", false, 0}, {"-Infinity", false, 0},
  };
  // clang-format on
  for (const auto& c : cases) {
    double out = -777.0;
    EXPECT_EQ(Corvus::Yarn_To_Double(c.text.c_str(), 0.0, 0.0, &out), c.ok) << c.text;
    EXPECT_EQ(out, c.ok ? c.value : -777.0) << c.text;
  }
  double out = 0;
  EXPECT_TRUE(Corvus::Yarn_To_Double("2", 1.0, 3.0, &out));
  EXPECT_FALSE(Corvus::Yarn_To_Double("5", 1.0, 3.0, &out));
  EXPECT_EQ(out, 2.0);
}

TEST(YarnToInt, AcceptsOnlyWholeNumbersInRange) {
  const struct {
    const char* text;
    bool ok;
    int value;
  } cases[] = {
      {"200", true, 200},  {"-5", true, -5},  {"+7", true, 7},  {"007", true, 7},
      {"2147483647", true, 2147483647},       {"-2147483648", true, -2147483647 - 1},
      {"2147483648", false, 0},               {"", false, 0},   {"1.0", false, 0},
      {" 1", false, 0},    {"1a", false, 0},  {"+-1", false, 0}, {"-", false, 0},
  };
  for (const auto& c : cases) {
    int out = -777;
    EXPECT_EQ(Corvus::Yarn_To_Int(c.text, 0, 0, &out), c.ok) << '"' << c.text << '"';
    EXPECT_EQ(out, c.ok ? c.value : -777) << '"' << c.text << '"';
  }
  int out = 0;
  EXPECT_FALSE(Corvus::Yarn_To_Int("11", 1, 10, &out));
  EXPECT_TRUE(Corvus::Yarn_To_Int("10", 1, 10, &out));
}

// The last output takes the rest, later ones the empty text; the rest may be
// written back into the text itself.
TEST(YarnSeperateChar, SplitsInOrder) {
  char a[64], b[64], c[64], d[64], e[64];
  Corvus::Yarn_Seperate_Char("a,b,c", ',', a, b, 10240);
  EXPECT_STREQ(a, "a");
  EXPECT_STREQ(b, "b,c");
  Corvus::Yarn_Seperate_Char("abc", ',', a, b, c, 10240);
  EXPECT_STREQ(a, "abc");
  EXPECT_STREQ(b, "");
  EXPECT_STREQ(c, "");
  Corvus::Yarn_Seperate_Char("1&2&3&0.9&7&8", '&', a, b, c, d, e, 10240);
  EXPECT_STREQ(d, "0.9");
  EXPECT_STREQ(e, "7&8");
  char x[8], y[8], rest[64] = "1,2,3,4,5";
  Corvus::Yarn_Seperate_Char(rest, ',', x, y, rest, 10240);
  EXPECT_STREQ(y, "2");
  EXPECT_STREQ(rest, "3,4,5");
}

TEST(YarnSeperateChar, NeverWritesPastAnOutputWhateverTheSize) {
  struct Guarded {
    char text[8];
    char guard[8];
  } small;
  std::memset(small.guard, 'G', sizeof small.guard);
  char big[64];
  EXPECT_FALSE(Corvus::Yarn_Seperate_Char("abcdefghijkl,rest", ',', small.text, big, 10240));
  EXPECT_STREQ(small.text, "abcdefg");
  EXPECT_EQ(std::string(small.guard, 8), "GGGGGGGG");
  EXPECT_STREQ(big, "rest");
  EXPECT_TRUE(Corvus::Yarn_Seperate_Char("abc,rest", ',', small.text, big, 10240));
  // The size argument bounds too, when it is the smaller.
  Corvus::Yarn_Seperate_Char("abcdef&x", '&', big, small.text, 4);
  EXPECT_STREQ(big, "abc");
}

TEST(YarnEditing, RemoveTakesTheLastOccurrenceAndBracketUnframes) {
  char request[64] = "<A\r\nB>\r\n";
  Corvus::Yarn_Remove(request, "\r\n");
  EXPECT_STREQ(request, "<A\r\nB>");
  char reply[64] = "<GetGain,OK,1.25>\r\n";
  Corvus::Yarn_Remove_Bracket(reply);
  EXPECT_STREQ(reply, "GetGain,OK,1.25");
  char cat[16] = "<X>";
  EXPECT_EQ(Corvus::Yarn_Cat(cat, "\r\n"), cat);
  EXPECT_STREQ(cat, "<X>\r\n");
  EXPECT_FALSE(Corvus::Yarn_Compare_L("ok", "OK"));
  EXPECT_FALSE(Corvus::Yarn_Compare_L("OKAY", "OK"));
  EXPECT_TRUE(Corvus::Yarn_Find_SubString_L("<SetGain,MyAutoFocusCam,1>", "AutoFocus"));
  EXPECT_FALSE(Corvus::Yarn_Find_SubString_L("<SetGain,autofocus,1>", "AutoFocus"));
}

}  // namespace
