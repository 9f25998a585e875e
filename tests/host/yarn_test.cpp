// The string toolkit: strict conversions and bounded splits.
#include "host/yarn.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

namespace {

struct DoubleCase {
  const char* text;
  bool ok;
  double value;
};

TEST(YarnToDouble, AcceptsOnlyWholeNumbers) {
  const DoubleCase cases[] = {
      {"12", true, 12.0},         {"-0.5", true, -0.5},       {"+3.", true, 3.0},
      {".25", true, 0.25},        {"1e-3", true, 1e-3},       {"2.5E+07", true, 2.5e7},
      {"1e20", true, 1e20},       {"-150.500000", true, -150.5},
      {"1e-400", true, 0.0},      // underflow becomes zero
      {"", false, 0},             {" 1", false, 0},           {"1 ", false, 0},
      {"1.5x", false, 0},         {"abc", false, 0},          {"1e", false, 0},
      {"0x10", false, 0},         {"1,5", false, 0},          {"--1", false, 0},
      {"+-1", false, 0},          {"1e999", false, 0},        {"1.2.3", false, 0},
      {"0.0025&x", false, 0},     {"-", false, 0},            {".", false, 0},
  };
  for (const DoubleCase& c : cases) {
    double out = -777.0;
    EXPECT_EQ(Corvus::Yarn_To_Double(c.text, 0.0, 0.0, &out), c.ok) << '"' << c.text << '"';
    EXPECT_EQ(out, c.ok ? c.value : -777.0) << '"' << c.text << "\" (untouched on failure)";
  }
}

// Only finite numbers: no NaN or infinity in any spelling, case or sign, and
// no NaN payload (which from_chars would take).
TEST(YarnToDouble, NonFiniteTextsAreNoNumbers) {
  for (const char* text : {"nan", "-NaN", "+nan", "nan(123)", "nan()", "NaN(abc_1)", "-nan(x)",
                           "inf", "-Inf", "+INF", "infinity", "-Infinity", "INFINITY"}) {
    double out = -777.0;
    EXPECT_FALSE(Corvus::Yarn_To_Double(text, 0, 0, &out)) << text;
    EXPECT_EQ(out, -777.0) << text;
  }
}

TEST(YarnToDouble, Bounds) {
  double out = 0;
  EXPECT_TRUE(Corvus::Yarn_To_Double("2", 1.0, 3.0, &out));
  EXPECT_FALSE(Corvus::Yarn_To_Double("5", 1.0, 3.0, &out));
  EXPECT_EQ(out, 2.0);
}

struct IntCase {
  const char* text;
  bool ok;
  int value;
};

TEST(YarnToInt, AcceptsOnlyWholeNumbersInRange) {
  const IntCase cases[] = {
      {"200", true, 200},  {"-5", true, -5},  {"+7", true, 7},  {"007", true, 7},
      {"2147483647", true, 2147483647},       {"-2147483648", true, -2147483647 - 1},
      {"2147483648", false, 0},               {"", false, 0},   {"1.0", false, 0},
      {" 1", false, 0},    {"1a", false, 0},  {"+-1", false, 0}, {"0x1", false, 0},
      {"-", false, 0},     {"1e3", false, 0},
  };
  for (const IntCase& c : cases) {
    int out = -777;
    EXPECT_EQ(Corvus::Yarn_To_Int(c.text, 0, 0, &out), c.ok) << '"' << c.text << '"';
    EXPECT_EQ(out, c.ok ? c.value : -777) << '"' << c.text << '"';
  }
  int out = 0;
  EXPECT_FALSE(Corvus::Yarn_To_Int("11", 1, 10, &out));
  EXPECT_TRUE(Corvus::Yarn_To_Int("10", 1, 10, &out));
}

TEST(YarnSeperateChar, LastOutputTakesTheRestAndLaterOutputsEmpty) {
  char a[64], b[64], c[64], d[64], e[64];
  Corvus::Yarn_Seperate_Char("a,b,c", ',', a, b, 10240);
  EXPECT_STREQ(a, "a");
  EXPECT_STREQ(b, "b,c");
  Corvus::Yarn_Seperate_Char("abc", ',', a, b, 10240);
  EXPECT_STREQ(a, "abc");
  EXPECT_STREQ(b, "");
  Corvus::Yarn_Seperate_Char("a,b", ',', a, b, c, 10240);
  EXPECT_STREQ(b, "b");
  EXPECT_STREQ(c, "");
  Corvus::Yarn_Seperate_Char("1&2&3&0.9", '&', a, b, c, d, e, 10240);
  EXPECT_STREQ(d, "0.9");
  EXPECT_STREQ(e, "");
  Corvus::Yarn_Seperate_Char("1&2&3&0.9&7&8", '&', a, b, c, d, e, 10240);
  EXPECT_STREQ(e, "7&8");
  Corvus::Yarn_Seperate_Char(",", ',', a, b, 10240);
  EXPECT_STREQ(a, "");
  EXPECT_STREQ(b, "");
}

TEST(YarnSeperateChar, WritesTheRestBackIntoTheText) {
  char list[64] = "2,1&2,3&4";
  char item[64];
  Corvus::Yarn_Seperate_Char(list, ',', item, list, 10240);
  EXPECT_STREQ(item, "2");
  EXPECT_STREQ(list, "1&2,3&4");
  char x[8], y[8], rest[64] = "1,2,3,4,5";
  Corvus::Yarn_Seperate_Char(rest, ',', x, y, rest, 10240);
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
  Corvus::Yarn_Remove(request, "zz");
  EXPECT_STREQ(request, "<A\r\nB>");
  char reply[64] = "<GetGain,OK,1.25>\r\n";
  Corvus::Yarn_Remove_Bracket(reply);
  EXPECT_STREQ(reply, "GetGain,OK,1.25");
  char empty[8] = "<>\r\n";
  Corvus::Yarn_Remove_Bracket(empty);
  EXPECT_STREQ(empty, "");
  char cat[16] = "<X>";
  EXPECT_EQ(Corvus::Yarn_Cat(cat, "\r\n"), cat);
  EXPECT_STREQ(cat, "<X>\r\n");
}

TEST(YarnCompare, ExactAndCaseSensitive) {
  EXPECT_TRUE(Corvus::Yarn_Compare_L("OK", "OK"));
  EXPECT_FALSE(Corvus::Yarn_Compare_L("ok", "OK"));
  EXPECT_FALSE(Corvus::Yarn_Compare_L("OKAY", "OK"));
  EXPECT_TRUE(Corvus::Yarn_Find_SubString_L("<SetGain,MyAutoFocusCam,1>", "AutoFocus"));
  EXPECT_FALSE(Corvus::Yarn_Find_SubString_L("<SetGain,autofocus,1>", "AutoFocus"));
}

}  // namespace
