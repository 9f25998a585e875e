// Text, JSON and SVG output, the circle fit, and the GBK conversions.
#include "output.h"

#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "kestrel/kestrel.h"

namespace {

using kestrel_cli::Match;
using kestrel_cli::Result;

// What is wrong with the nesting of the tags of `xml` (one root, every tag
// closed in order); "" when nothing.
std::string XmlProblem(const std::string& xml) {
  std::vector<std::string> open;
  int roots = 0;
  const std::regex tag(R"(<(/?)([\w?]+)[^>]*?(/?)>)");
  for (std::sregex_iterator it(xml.begin(), xml.end(), tag), end; it != end; ++it) {
    const std::string name = (*it)[2];
    if (name[0] == '?') continue;
    if ((*it)[1].length() == 0) {
      if (open.empty() && roots++ > 0) return "second root <" + name + ">";
      if ((*it)[3].length() == 0) open.push_back(name);
    } else if (open.empty() || open.back() != name) {
      return "mismatched </" + name + ">";
    } else {
      open.pop_back();
    }
  }
  return open.empty() ? "" : "unclosed <" + open.back() + ">";
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t i = text.find(part); i != std::string::npos; i = text.find(part, i + 1)) ++n;
  return n;
}

constexpr double kPi = 3.14159265358979323846;  // M_PI is POSIX, not standard C++

// `n` points round (c, r) over `span` radians from +X, off the circle by
// +-wobble in turn.
std::vector<Point> OnArc(Point c, double r, int n, double wobble, double span = 2 * kPi) {
  std::vector<Point> points;
  for (int i = 0; i < n; ++i) {
    const double a = span * i / n, rr = r + (i % 2 == 0 ? wobble : -wobble);
    points.push_back({c.X + rr * std::cos(a), c.Y + rr * std::sin(a)});
  }
  return points;
}

TEST(CliFitCircle, RecoversTheCircleThroughThePoints) {
  // Far from the origin, on a quarter arc (ends included), with an alternating error.
  const auto noisy =
      kestrel_cli::FitCircle(OnArc({10000, -5000}, 150, 21, 0.1, kPi / 2 * 21 / 20));
  ASSERT_TRUE(noisy);
  EXPECT_NEAR(noisy->radius, 150, 0.1);
  EXPECT_NEAR(noisy->center.X, 10000, 0.1);
  EXPECT_NEAR(noisy->center.Y, -5000, 0.1);
  EXPECT_NEAR(noisy->rms, 0.1, 0.02);
  EXPECT_FALSE(kestrel_cli::FitCircle({{0, 0}, {1, 1}, {2, 2}, {3, 3}}));
  EXPECT_FALSE(kestrel_cli::FitCircle({{4, 4}, {4, 4}, {4, 4}}));
}

TEST(CliSvg, EdgeDrawsEveryPointAndTheFittedCircle) {
  const std::string svg = kestrel_cli::EdgeSvg(OnArc({100, 50}, 20, 9, 0));
  EXPECT_EQ(XmlProblem(svg), "");
  EXPECT_EQ(Count(svg, "class=\"edge-point\""), 9u);
  EXPECT_EQ(Count(svg, "class=\"fit\" cx=\"100\" cy=\"50\" r=\"20\""), 1u) << svg;
  const std::string two = kestrel_cli::EdgeSvg({{0, 0}, {5, 5}});
  EXPECT_EQ(XmlProblem(two), "");
  EXPECT_EQ(Count(two, "class=\"edge-point\""), 2u);
  EXPECT_EQ(Count(two, "class=\"fit\""), 0u);
  EXPECT_EQ(XmlProblem(kestrel_cli::EdgeSvg({})), "");
}

TEST(CliFormatJson, OneLineObjectOfEveryOutputKind) {
  Result ok{"mult-template-match", 0, true, {}, ""};
  ok.outputs.push_back({"count", 1});
  ok.outputs.push_back({"matches", std::vector<Match>{{{1.5, -2}, 0.5, 0.9}}});
  ok.outputs.push_back({"result_text", std::string("\xE5\xAE\x8C\xE6\x88\x90")});
  const std::string text = kestrel_cli::FormatJson(ok);
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(text),
            nlohmann::json::parse(R"({"command": "mult-template-match", "ok": true, "outputs": {
                "count": 1, "result_text": "\u5b8c\u6210", "matches":
                [{"center": {"x": 1.5, "y": -2.0}, "angle": 0.5, "score": 0.9}]}})"));
}

TEST(CliFormatText, ScriptResultsAreHeadedAndIndented) {
  const Result r{
      "wafer-edge", 7, true, {{"points", std::vector<Point>{{1, 2}}}, {"radius", 0.1}}, ""};
  EXPECT_EQ(kestrel_cli::FormatText(r, true),
            "wafer-edge (line 7):\n  points: 1\n    [0] (1, 2)\n  radius: 0.1\n");
}

// Valid texts are converted in run_test.cpp too (replies, arguments); bad
// bytes are replaced or refused.
TEST(CliEncoding, ConsoleLinesAreUtf8ColouredOnRequest) {
  EXPECT_EQ(kestrel_cli::GbkToUtf8("ab\xFF!"), "ab\xEF\xBF\xBD!");
  EXPECT_EQ(kestrel_cli::Utf8ToGbk("a\xC3"), std::nullopt);  // cut UTF-8
  using Corvus::HeraldColor;
  using kestrel_cli::ConsoleEcho;
  EXPECT_EQ(ConsoleEcho::Render(HeraldColor::Red, "Kestrel", "x\r\n", true),
            "\x1b[31m[Kestrel] x\x1b[0m");
  EXPECT_EQ(ConsoleEcho::Render(HeraldColor::Green, "K", "\xB3\xC9", false), "[K] \xE6\x88\x90");
  EXPECT_EQ(ConsoleEcho::Render(HeraldColor::Plain, "K", "p", true), "[K] p");
}

}  // namespace
