// Text and JSON output, console lines, and the drawing of a wafer edge with
// its fitted circle.
#include "output.h"

#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <string>
#include <vector>

#include "kestrel/kestrel.h"

namespace {

using kestrel_cli::Result;

TEST(CliOutput, EachFormIsExact) {
  Result json{"mult-template-match", 0, true, {}, ""};
  json.outputs.push_back({"count", 1});
  json.outputs.push_back({"matches", std::vector<kestrel_cli::Match>{{{1.5, -2}, 0.5, 0.9}}});
  json.outputs.push_back({"result_text", std::string("\xE5\xAE\x8C\xE6\x88\x90")});
  const Result text{"wafer-edge", 7, true, {{"points", std::vector<Point>{{1, 2}}}, {"radius", 0.1}}, ""};
  using Corvus::HeraldColor;
  using kestrel_cli::ConsoleEcho;
  const std::pair<std::string, std::string> cases[] = {
      // clang-format off
      {kestrel_cli::FormatJson(json), "{\"command\":\"mult-template-match\",\"ok\":true,\"outputs\":{\"count\":1,"
       "\"matches\":[{\"center\":{\"x\":1.5,\"y\":-2.0},\"angle\":0.5,\"score\":0.9}],\"result_text\":\"\xE5\xAE\x8C\xE6\x88\x90\"}}"},
      {kestrel_cli::FormatText(text, true), "wafer-edge (line 7):\n  points: 1\n    [0] (1, 2)\n  radius: 0.1\n"},
      // Bad bytes are replaced or refused.
      {kestrel_cli::GbkToUtf8("ab\xFF!"), "ab\xEF\xBF\xBD!"},
      {kestrel_cli::Utf8ToGbk("a\xC3").value_or("refused"), "refused"},  // cut UTF-8
      {ConsoleEcho::Render(HeraldColor::Red, "Kestrel", "x\r\n", true), "\x1b[31m[Kestrel] x\x1b[0m"},
      {ConsoleEcho::Render(HeraldColor::Green, "K", "\xB3\xC9", false), "[K] \xE6\x88\x90"},
      {ConsoleEcho::Render(HeraldColor::Plain, "K", "p", true), "[K] p"},
      // clang-format on
  };
  for (const auto& [got, expected] : cases) EXPECT_EQ(got, expected);
}

constexpr double kPi = 3.14159265358979323846;  // M_PI is POSIX, not standard C++

// `n` points round (c, r) over `span` radians from +X, off the circle by
// +-wobble in turn.
std::vector<Point> OnArc(Point c, double r, int n, double wobble, double span) {
  std::vector<Point> points;
  for (int i = 0; i < n; ++i) {
    const double a = span * i / n, rr = r + (i % 2 == 0 ? wobble : -wobble);
    points.push_back({c.X + rr * std::cos(a), c.Y + rr * std::sin(a)});
  }
  return points;
}

// The drawing is well-formed XML with every point, and the circle fitted
// through the points when they do not lie on a line.
TEST(CliSvg, EdgeDrawsEveryPointAndTheFittedCircle) {
  const std::regex tag(R"(<(/?)([\w]+)[^>]*?(/?)>)");
  const struct {
    std::vector<Point> points;
    const char* fit;  // nullptr: none
  } cases[] = {
      // far from the origin, on a quarter arc (ends included), with an alternating error
      {OnArc({10000, -5000}, 150, 21, 0, kPi / 2 * 21 / 20),
       "class=\"fit\" cx=\"10000\" cy=\"-5000\" r=\"150\""},
      {{{0, 0}, {1, 1}, {2, 2}, {3, 3}}, nullptr}, {{{4, 4}, {4, 4}, {4, 4}}, nullptr}, {{}, nullptr}};
  for (const auto& c : cases) {
    const std::string svg = kestrel_cli::EdgeSvg(c.points);
    std::vector<std::string> open;
    for (std::sregex_iterator it(svg.begin(), svg.end(), tag), end; it != end; ++it) {
      if ((*it)[1].length() == 0 && (*it)[3].length() == 0) open.push_back((*it)[2]);
      if ((*it)[1].length() != 0 && (open.empty() || open.back() != (*it)[2])) ADD_FAILURE() << svg;
      if ((*it)[1].length() != 0 && !open.empty()) open.pop_back();
    }
    EXPECT_TRUE(open.empty()) << svg;
    std::size_t drawn = 0;
    for (std::size_t i = svg.find("class=\"edge-point\""); i != std::string::npos; ++drawn)
      i = svg.find("class=\"edge-point\"", i + 1);
    EXPECT_EQ(drawn, c.points.size());
    EXPECT_EQ(svg.find(c.fit ? c.fit : "class=\"fit\"") != std::string::npos, c.fit != nullptr) << svg;
  }
}

}  // namespace
