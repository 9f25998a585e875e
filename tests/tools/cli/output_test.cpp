// Text, JSON and SVG output, the circle fit, and the GBK conversions.
#include "output.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "kestrel/kestrel.h"

namespace {

using kestrel_cli::Match;
using kestrel_cli::Result;

// Checks that `xml` is well-formed as far as these drawings go: one root,
// every tag closed in order, attribute values quoted, no stray '<' or '&'.
// Returns an empty string or what is wrong.
std::string XmlProblem(const std::string& xml) {
  std::vector<std::string> open;
  std::size_t i = 0;
  bool had_root = false;
  while ((i = xml.find('<', i)) != std::string::npos) {
    const std::size_t end = xml.find('>', i);
    if (end == std::string::npos) return "unclosed tag at " + std::to_string(i);
    const std::string tag = xml.substr(i + 1, end - i - 1);
    const std::size_t next = xml.find('<', end);
    const std::string text = xml.substr(end + 1, next == std::string::npos ? next : next - end - 1);
    if (text.find('&') != std::string::npos) return "unescaped & after <" + tag + ">";
    if (std::count(tag.begin(), tag.end(), '"') % 2 != 0) return "unquoted attribute: " + tag;
    i = end + 1;
    if (tag.front() == '?') continue;
    if (tag.front() == '/') {
      if (open.empty() || open.back() != tag.substr(1)) return "mismatched </" + tag + ">";
      open.pop_back();
      continue;
    }
    if (open.empty() && had_root) return "second root <" + tag + ">";
    had_root = true;
    if (tag.back() != '/') open.push_back(tag.substr(0, tag.find(' ')));
  }
  return open.empty() ? "" : "unclosed <" + open.back() + ">";
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t i = text.find(part); i != std::string::npos; i = text.find(part, i + 1)) ++n;
  return n;
}

std::vector<Point> OnCircle(Point c, double r, int n, double wobble) {
  std::vector<Point> points;
  for (int i = 0; i < n; ++i) {
    const double a = 2 * M_PI * i / n;
    const double rr = r + (i % 2 == 0 ? wobble : -wobble);
    points.push_back({c.X + rr * std::cos(a), c.Y + rr * std::sin(a)});
  }
  return points;
}

TEST(FitCircle, RecoversTheCircleThroughThePoints) {
  const auto exact = kestrel_cli::FitCircle(OnCircle({3, -2}, 5, 7, 0));
  ASSERT_TRUE(exact);
  EXPECT_NEAR(exact->center.X, 3, 1e-9);
  EXPECT_NEAR(exact->center.Y, -2, 1e-9);
  EXPECT_NEAR(exact->radius, 5, 1e-9);
  EXPECT_NEAR(exact->rms, 0, 1e-9);

  // Far from the origin, on a quarter arc, with an alternating error.
  std::vector<Point> arc;
  for (int i = 0; i <= 20; ++i) {
    const double a = M_PI / 2 * i / 20, rr = 150 + (i % 2 == 0 ? 0.1 : -0.1);
    arc.push_back({10000 + rr * std::cos(a), -5000 + rr * std::sin(a)});
  }
  const auto noisy = kestrel_cli::FitCircle(arc);
  ASSERT_TRUE(noisy);
  EXPECT_NEAR(noisy->radius, 150, 0.1);
  EXPECT_NEAR(noisy->center.X, 10000, 0.1);
  EXPECT_NEAR(noisy->rms, 0.1, 0.02);

  EXPECT_FALSE(kestrel_cli::FitCircle({{0, 0}, {1, 1}}));
  EXPECT_FALSE(kestrel_cli::FitCircle({{0, 0}, {1, 1}, {2, 2}, {3, 3}}));
  EXPECT_FALSE(kestrel_cli::FitCircle({{4, 4}, {4, 4}, {4, 4}}));
}

TEST(EdgeSvg, DrawsEveryPointAndTheFittedCircle) {
  const std::string svg = kestrel_cli::EdgeSvg(OnCircle({100, 50}, 20, 9, 0));
  EXPECT_EQ(XmlProblem(svg), "");
  EXPECT_EQ(Count(svg, "class=\"edge-point\""), 9u);
  EXPECT_EQ(Count(svg, "class=\"fit\" cx=\"100\" cy=\"50\" r=\"20\""), 1u) << svg;

  const std::string two = kestrel_cli::EdgeSvg({{0, 0}, {5, 5}});
  EXPECT_EQ(XmlProblem(two), "");
  EXPECT_EQ(Count(two, "class=\"edge-point\""), 2u);
  EXPECT_EQ(Count(two, "class=\"fit\""), 0u);
  EXPECT_EQ(XmlProblem(kestrel_cli::EdgeSvg({})), "");
}

TEST(MatchSvg, DrawsATurnedMarkerAndALabelPerMatch) {
  const std::string svg =
      kestrel_cli::MatchSvg({{{100.5, 200.25}, 30, 0.93}, {{300, 400}, -12.5, 0.88}});
  EXPECT_EQ(XmlProblem(svg), "");
  EXPECT_EQ(Count(svg, "class=\"match\""), 2u);
  EXPECT_EQ(Count(svg, "translate(100.5 200.25) rotate(30)"), 1u);
  EXPECT_EQ(Count(svg, "translate(300 400) rotate(-12.5)"), 1u);
  EXPECT_EQ(Count(svg, "score 0.93"), 1u);
  EXPECT_EQ(Count(svg, "score 0.88"), 1u);
  EXPECT_EQ(XmlProblem(kestrel_cli::MatchSvg({{{1, 1}, 0, 1}})), "");
}

TEST(FormatJson, OneObjectWithCommandOkOutputsAndError) {
  Result ok{"mult-template-match", 0, true, {}, ""};
  ok.outputs.push_back({"count", 1});
  ok.outputs.push_back({"matches", std::vector<Match>{{{1.5, -2}, 0.5, 0.9}}});
  ok.outputs.push_back({"result_text", std::string("\xE5\xAE\x8C\xE6\x88\x90")});
  const std::string text = kestrel_cli::FormatJson(ok);
  EXPECT_EQ(text.find('\n'), std::string::npos);
  const auto j = nlohmann::json::parse(text);
  EXPECT_EQ(j.size(), 3u);  // no line number and no error
  EXPECT_EQ(j["command"], "mult-template-match");
  EXPECT_EQ(j["ok"], true);
  EXPECT_EQ(j["outputs"]["count"], 1);
  EXPECT_EQ(j["outputs"]["matches"][0]["center"]["y"], -2.0);
  EXPECT_EQ(j["outputs"]["matches"][0]["score"], 0.9);
  EXPECT_EQ(j["outputs"]["result_text"], "\xE5\xAE\x8C\xE6\x88\x90");

  const Result failed{"get-real", 4, false, {}, "camera busy"};
  const auto f = nlohmann::json::parse(kestrel_cli::FormatJson(failed));
  EXPECT_EQ(f["line"], 4);
  EXPECT_EQ(f["ok"], false);
  EXPECT_TRUE(f["outputs"].is_object() && f["outputs"].empty());
  EXPECT_EQ(f["error"], "camera busy");
}

TEST(FormatText, ShowsEachOutputOnItsOwnLine) {
  Result r{"wafer-edge", 0, true, {}, ""};
  EXPECT_EQ(kestrel_cli::FormatText(r, false), "ok\n");
  r.outputs.push_back({"points", std::vector<Point>{{1, 2}, {3.5, -4}}});
  r.outputs.push_back({"radius", 0.1});
  EXPECT_EQ(kestrel_cli::FormatText(r, false),
            "points: 2\n  [0] (1, 2)\n  [1] (3.5, -4)\nradius: 0.1\n");
  r.line = 7;
  EXPECT_EQ(
      kestrel_cli::FormatText(r, true),
      "wafer-edge (line 7):\n  points: 2\n    [0] (1, 2)\n    [1] (3.5, -4)\n  radius: 0.1\n");
}

TEST(Encoding, ConvertsBetweenGbkAndUtf8) {
  const std::string gbk = "\xCD\xA8\xD1\xB6\xCA\xA7\xB0\xDC!";  // GBK
  const std::string utf8 = "\xE9\x80\x9A\xE8\xAE\xAF\xE5\xA4\xB1\xE8\xB4\xA5!";
  EXPECT_EQ(kestrel_cli::GbkToUtf8(gbk), utf8);
  EXPECT_EQ(kestrel_cli::Utf8ToGbk(utf8), gbk);
  EXPECT_EQ(kestrel_cli::GbkToUtf8("ab\xFF"
                                   "c"),
            "ab\xEF\xBF\xBD"
            "c");
  EXPECT_EQ(kestrel_cli::Utf8ToGbk("\xF0\x9F\x98\x80"), std::nullopt);  // no emoji in GBK
  EXPECT_EQ(kestrel_cli::Utf8ToGbk("a\xC3"), std::nullopt);             // cut UTF-8
}

TEST(ConsoleEcho, RendersUtf8LinesColouredOnRequest) {
  using Corvus::HeraldColor;
  EXPECT_EQ(kestrel_cli::ConsoleEcho::Render(HeraldColor::Red, "Kestrel", "x\r\n", true),
            "\x1b[31m[Kestrel] x\x1b[0m");
  EXPECT_EQ(kestrel_cli::ConsoleEcho::Render(HeraldColor::Green, "K", "\xB3\xC9", false),
            "[K] \xE6\x88\x90");
  EXPECT_EQ(kestrel_cli::ConsoleEcho::Render(HeraldColor::Plain, "K", "p", true), "[K] p");
}

}  // namespace
