// The command-line client: text and JSON output, console lines and the
// drawing of a wafer edge with its fitted circle; every command of the table
// run in process on a canned reply (the request it sends, the outputs or the
// error it reports); and the built executable against the simulator: exit
// codes, usage errors, scripts and drawings.
#include <gmock/gmock.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../sim_client.h"
#include "commands.h"
#include "output.h"
#include "support/canned.h"
#include "trace/trace.h"
#include "trace_view.h"

namespace {

using kestrel::sim::RunCli;
using kestrel::sim::Slurp;
using kestrel_cli::FindCommand;
using kestrel_cli::Result;
using kestrel_cli::SplitScriptLine;
using ::testing::Eq;
using ::testing::HasSubstr;

TEST(CliOutput, EachFormIsExact) {
  Result json{"mult-template-match", 0, true, {}, ""};
  json.outputs.push_back({"count", 1});
  json.outputs.push_back({"matches", std::vector<kestrel_cli::Match>{{{1.5, -2}, 0.5, 0.9}}});
  json.outputs.push_back({"result_text", std::string("\xE5\xAE\x8C\xE6\x88\x90")});
  const Result text{
      "wafer-edge", 7, true, {{"points", std::vector<Point>{{1, 2}}}, {"radius", 0.1}}, ""};
  using Corvus::HeraldColor;
  using kestrel_cli::ConsoleEcho;
  const std::pair<std::string, std::string> cases[] = {
      // clang-format off
      {kestrel_cli::FormatJson(json),
       "{\"command\":\"mult-template-match\",\"ok\":true,\"outputs\":{\"count\":1,\"matches\":["
       "{\"center\":{\"x\":1.5,\"y\":-2.0},\"angle\":0.5,\"score\":0.9}],"
       "\"result_text\":\"\xE5\xAE\x8C\xE6\x88\x90\"}}"},
      {kestrel_cli::FormatText(text, true),
       "wafer-edge (line 7):\n  points: 1\n    [0] (1, 2)\n  radius: 0.1\n"},
      // Bad bytes are replaced or refused.
      {kestrel_cli::GbkToUtf8("ab\xFF!"), "ab\xEF\xBF\xBD!"},
      {kestrel_cli::Utf8ToGbk("a\xC3").value_or("refused"), "refused"},  // cut UTF-8
      {ConsoleEcho::Render(HeraldColor::Red, "K", "x\r\n", true), "\x1b[31m[K] x\x1b[0m"},
      {ConsoleEcho::Render(HeraldColor::Green, "K", "\xB3\xC9", false), "[K] \xE6\x88\x90"},
      {ConsoleEcho::Render(HeraldColor::Plain, "K", "p", true), "[K] p"},
      // An unknown command names the nearest ones: all that are as near, case-blind.
      {kestrel_cli::UnknownCommand("et-gain"),
       "unknown command 'et-gain'; did you mean set-gain or get-gain?"},
      {kestrel_cli::UnknownCommand("GetReal"), "unknown command 'GetReal'; did you mean get-real?"},
      // clang-format on
  };
  for (const auto& [got, expected] : cases) EXPECT_EQ(got, expected);
}

// The drawing is well-formed XML with every point, and the circle fitted
// through the points when they do not lie on a line.
TEST(CliSvg, EdgeDrawsEveryPointAndTheFittedCircle) {
  const double step = std::acos(-1.0) / 40;  // a quarter turn in 20 steps
  std::vector<Point> arc;                    // far from the origin
  for (int i = 0; i <= 20; ++i)
    arc.push_back({10000 + 150 * std::cos(step * i), -5000 + 150 * std::sin(step * i)});
  const std::string none = "too few points off one line for a circle";
  const std::pair<std::vector<Point>, std::string> cases[] = {
      {arc, "class=\"fit\" cx=\"10000\" cy=\"-5000\" r=\"150\""},
      {{{0, 0}, {1, 1}, {2, 2}, {3, 3}}, none},
      {{{4, 4}, {4, 4}, {4, 4}}, none},
      {{}, none}};
  const std::regex tag(R"(<(/?)(\w+)[^>]*?(/?)>)");
  for (const auto& [points, fit] : cases) {
    const std::string svg = kestrel_cli::EdgeSvg(points);
    EXPECT_THAT(svg, HasSubstr(fit));
    std::vector<std::string> open;
    std::size_t drawn = 0;
    for (std::sregex_iterator it(svg.begin(), svg.end(), tag), end; it != end; ++it) {
      const std::smatch& m = *it;
      drawn += m.str().find("class=\"edge-point\"") != std::string::npos;
      if (m[1].length() == 0 && m[3].length() == 0) open.push_back(m[2]);
      if (m[1].length() != 0 && (open.empty() || open.back() != m[2])) ADD_FAILURE() << svg;
      if (m[1].length() != 0 && !open.empty()) open.pop_back();
    }
    EXPECT_TRUE(open.empty()) << svg;
    EXPECT_EQ(drawn, points.size());
  }
}

// `request` with its numbers in their shortest form: "2.500000" -> "2.5".
std::string Short(const std::string& request) {
  const std::string cut = std::regex_replace(request, std::regex(R"((\.\d*?)0+([,>&]))"), "$1$2");
  return std::regex_replace(cut, std::regex(R"(\.([,>&]))"), "$1");
}

// Each row runs its command's example, or the words of the script line it
// gives. The reply (unframed; "" none at all, null a refusal "WORD,NG,refused")
// must come out as the text, or, after a '!', as the error.
TEST(CliExecute, EveryExampleSendsItsRequestAndReportsTheReply) {
  const struct {
    const char *line, *request, *reply = nullptr, *text = nullptr;
  } cases[] = {
      // clang-format off
      {"set-gain", "<SetGain,Cam1,2.5>"}, {"set-exposure", "<SetExposure,Cam1,1500>"},
      {"set-light", "<SetIntensity,Cam1,120>"},
      {"set-light-and-exposure", "<AdjustBrightness,B,A,120,1>"},  // B before A, flag as 1
      {"get-gain", "<GetGain,Cam1>", "GetGain,OK,1.25", "gain: 1.25\n"},
      {"get-gain", "<GetGain,Cam1>", "",
       "!\xE9\x80\x9A\xE8\xAE\xAF\xE5\xA4\xB1\xE8\xB4\xA5! (no valid reply from the server)"},
      {"get-exposure", "<GetExposure,Cam1>"},
      {"get-light", "<GetIntensity,Cam1>", "GetIntensity,OK,120", "intensity: 120\n"},
      {"start-grab", "<StartGrab,Cam1>"}, {"stop-grab", "<StopGrab,Cam1>"},
      {"clear-camera-image", "<ClearCameraIamge,Cam1>"},
      {"get-camera-scale", "<GetScale,Cam1>", "GetScale,OK,0.5&2", "scale_x: 0.5\nscale_y: 2\n"},
      {"set-target-color", "<SetStateColor,Cam1,red,green,blue>", "SetStateColor,OK,3", "ok\n"},
      {"switch-to-camera", "<SwitchToTheCamera,Win1,Cam1>"},
      {"set-cam-control-visible", "<CameraWinVisibleControl,Win1,true,Cam1>"},
      {"show-cut-line", "<ShowBaseLineWidth,Cam1,0.03>"},
      {"auto-focus", "<AutoFocus,Cam1,2,0.5,1.5,0.01,3,0>",
       "AutoFocus,OK,12.345,\xB6\xD4\xBD\xB9\xCD\xEA\xB3\xC9",
       "result: 12.345\nresult_text: \xE5\xAF\xB9\xE7\x84\xA6\xE5\xAE\x8C\xE6\x88\x90\n"},
      {"template-create", "<Template_Create,Cam1,Mark1,Roi1,3>"},  // TEXT_B before TEXT_A
      {"mult-template-match",
       "<Template_Match,Cam1,Mark1,Roi1,5,320,240,0.7,0,0,0,true,false,none>",
       "Template_Match,OK,2,1&2&3&0.7,4&5&6&0.9", "count: 2\nmatches: 2\n"
       "  [0] center (1, 2)  angle 3  score 0.7\n  [1] center (4, 5)  angle 6  score 0.9\n"},
      {"template-match", "<Template_Match,Cam1,Mark1,Roi1,1,320,240,0.7,0,0,0,true,false,none>",
       "Template_Match,OK,2,1&2&3&0.7,4&5&6&0.9", "match: center (4, 5)  angle 6  score 0.9\n"},
      {"template-match", "<Template_Match,Cam1,Mark1,Roi1,1,320,240,0.7,0,0,0,true,false,none>",
       "Template_Match,OK,0", "!no match found"},
      {"template-match-scell",
       "<SmallCellTemMatch,Cam1,Mark1,Roi1,1,320,240,0.7,0,0,0,true,false,none>"},
      {"wafer-edge", "<WaferEdge,Cam1,Edge1,100,200.5,true>", "WaferEdge,OK,2,15.25&30.5,14.75&61",
       "points: 2\n  [0] (15.25, 30.5)\n  [1] (14.75, 61)\n"},
      {"kerf-check", "<KerfCheck,Cam1,Kerf1,0.5,1.5,2,10,20,30,3,0.1,0.2,0.3,0.4,0.5,0.6,0.7,0.8,"
       "0.9,1,1.1,true,Lane1,1.2,Blade1>", "KerfCheck,OK,1.5,30.2,41.7,3.1,8.0,5.5,0.4,40.9",
       "center: 1.5\nkerf_width_without_chipp: 30.2\nkerf_width_with_chipp: 41.7\n"
       "center_chipp_distance: 3.1\nchipp_size_width: 8\nchipp_size_height: 5.5\n"
       "kerf_measure7: 0.4\nkerf_width_with_chipp2: 40.9\n"},
      {"lg-kerf-check", "", nullptr, "ok\n"},  // sends nothing and succeeds
      {"fix-circle", "<FixCircle,3,0,10,10,0,0,-10>", "FixCircle,OK,120.5&-30.25,75.125",
       "center: (120.5, -30.25)\nradius: 75.125\n"},
      {"get-real", "<GetReal,Cam1,100,-20.5>", "GetReal,OK,12.5&-3.25", "real: (12.5, -3.25)\n"},
      // A payload that does not convert leaves no error text: the red line tells.
      {"get-real", "<GetReal,Cam1,100,-20.5>", "GetReal,OK,abc&1",
       "!RealPoint.X:abc\xEF\xBC\x8C\xE4\xB8\x8D\xE8\x83\xBD\xE8\xBD\xAC\xE6\x8D\xA2" "double"},
      {"get-ruler", "<GetRuler,Cam1,100,-20.5>"},
      {"get-real-by-pixel-point", "<GetRealByPixelPoint,Cam1,100,200,300,400>"},
      {"get-target-cam-real", "<CovertPointCameraAToB,CamA,CamB,1,2>"},
      {"mw-cal-another-point-real", "<MwCalAnotherPointReal,Cam1,10,20,1.5,-2>"},
      {"get-rotate-center", "<GetRotateCenter,Cam1>", "GetRotateCenter,OK,7&-8",
       "center: (7, -8)\n"},
      {"get-line-angle", "<GetLineAngle,0,0,10,10>"},
      {"get-point-after-rotate-real", "<GetPointAfterRotate_Real,1,2,3,4,90>"},
      // Script lines: UTF-8 typed and GBK sent, number forms, flags as 1 and 0,
      // quotes, escapes, empty words, comments; lists empty or absent.
      {"mult-template-match \xE7\x9B\xB8\xE6\x9C\xBA M -3 R -20.5 1e3 .25 1 0 D 0 -0 2",
       "<Template_Match,\xCF\xE0\xBB\xFA,M,R,-3,-20.5,1000,0.25,0,-0,2,true,false,D>"},
      {"  set-target-color\tC \"say \\\"hi\\\" \\\\\" \"\" Mark#1 a\"b c\"d  # comment\r",
       "<SetStateColor,C,say \"hi\" \\,,Mark#1,ab cd>"},
      {"set-target-color Cam1", "<SetStateColor,Cam1,>"}, {"fix-circle ", "<FixCircle,0,>"},
      // clang-format on
  };
  kestrel_cli::ConsoleEcho echo{stderr, false, false};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.line) + " " + (c.reply ? c.reply : "(refused)"));
    std::vector<std::string> words = SplitScriptLine(c.line);
    const kestrel_cli::CommandInfo* cmd = FindCommand(words.at(0));
    ASSERT_NE(cmd, nullptr);
    words = std::string(c.line).find(' ') == std::string::npos
                ? SplitScriptLine(cmd->example)
                : decltype(words)(words.begin() + 1, words.end());
    const std::string request = c.request,
                      word = request.substr(request.empty() ? 0 : 1, request.find(',') - 1);
    Kestrel client;
    kestrel_test::CannedReplies canned(client);
    if (!c.reply || *c.reply) canned.Reply(c.reply ? c.reply : word + ",NG,refused");
    echo.Forget();
    const kestrel_cli::Result r = kestrel_cli::Execute(
        client, {cmd, kestrel_cli::ParseArgs(*cmd, words), 0}, [&echo] { return echo.last_red(); });
    ASSERT_EQ(canned.requests().size(), request.empty() ? 0u : 1u);
    EXPECT_EQ(request.empty() ? "" : Short(canned.requests()[0]), request);
    EXPECT_EQ(r.ok ? kestrel_cli::FormatText(r, false) : "!" + r.error,
              c.text ? c.text : "!refused");
  }
}

// The simulator and the bench answer a word without a handler with the
// catalogue's sample reply: each must be one its operation takes.
TEST(CliExecute, EverySampleReplyIsTakenByItsOperation) {
  for (const kestrel_cli::CommandInfo& cmd : kestrel_cli::Commands()) {
    SCOPED_TRACE(cmd.cli);
    Kestrel client;
    kestrel_test::CannedReplies canned(client);
    canned.Reply(std::string(cmd.word) + ",OK," + cmd.sample);
    const auto args = kestrel_cli::ParseArgs(cmd, SplitScriptLine(cmd.example));
    EXPECT_TRUE(kestrel_cli::Execute(client, {&cmd, args, 0}).ok);
  }
}

// ---- kestrel trace ------------------------------------------------------------------

// A GetGain exchange on a connection of its own: the request at `us`, its
// reply line `wait` microseconds later, ended by `end` ("": no reply).
struct Exchange {
  std::int64_t us, wait;
  std::string reply, end = "crlf";
};

// Every view of a trace of `exchanges`: table, JSON, timeline, Trace Events.
struct Views {
  std::string table, json, svg, chrome;
};
Views View(const std::vector<Exchange>& exchanges) {
  static int n = 0;
  const std::string trace = kestrel::sim::TempFile("view" + std::to_string(++n) + ".jsonl");
  std::ofstream file(trace);
  file << "{\"format\":\"kestrel-trace\",\"version\":1}\n";
  long conn = 0;
  const auto line = [&](std::int64_t us, const char* dir, const std::string& bytes,
                        const std::string& end) {
    file << nlohmann::json{{"us", us},
                           {"conn", conn},
                           {"dir", dir},
                           {"line", kestrel::trace::Escape(bytes)},
                           {"end", end}}
                .dump()
         << "\n";
  };
  for (const Exchange& e : exchanges) {
    ++conn;
    line(e.us, "request", "<GetGain,Cam1>", "crlf");
    if (!e.end.empty()) line(e.us + e.wait, "reply", e.reply, e.end);
  }
  file.close();
  std::ostringstream table, json, err;
  EXPECT_EQ(kestrel_cli::RunTrace(trace, false, trace + ".svg", trace + ".json", table, err), 0);
  EXPECT_EQ(kestrel_cli::RunTrace(trace, true, "", "", json, err), 0) << err.str();
  return {table.str(), json.str(), Slurp(trace + ".svg"), Slurp(trace + ".json")};
}

// Each reply is taken or rejected as the client takes it, alike in every view.
TEST(CliTrace, EveryViewJudgesARepliesAsTheClientDoes) {
  const std::string fill(10239 - 15, 'X');  // "<GetGain,OK," fill ">" CR LF: 10239 bytes
  const struct {
    std::string reply, end, verdict;
  } cases[] = {
      // clang-format off
      {"<GetGain,OK,1>", "crlf", "OK"},
      {"<GetGain,OK," + fill + ">", "crlf", "OK"},
      {"<GetGain,OK," + fill + "X>", "crlf", "oversized: 10240 bytes"},
      {std::string("<GetGain,OK\0,1>", 15), "crlf", "OK"},  // read up to the NUL
      {"<GetGain,NG,\xCF\xE0\xBB\xFA\xC3\xA6>", "crlf", "NG: \xE7\x9B\xB8\xE6\x9C\xBA\xE5\xBF\x99"},
      {"<GetGain,OK,1>", "lf", "unframed: no CR LF"},
      {"GetGain,OK,1>", "crlf", "unframed"},
      {"<GetGain,OK,1", "crlf", "unframed"},
      {"<SetGain,OK,1>", "crlf", "wrong head: SetGain"},
      {"<GetGain,ERR,1>", "crlf", "bad type: ERR"},
      {"<GetGain,OK,1>", "none", "closed: mid-line"},
      {"", "", "silent"},
      // clang-format on
  };
  std::vector<Exchange> exchanges;
  for (const auto& c : cases)
    exchanges.push_back({1000 * static_cast<std::int64_t>(exchanges.size()), 300, c.reply, c.end});
  const Views v = View(exchanges);
  std::istringstream table(v.table), json(v.json);
  std::string row;
  std::getline(table, row);  // the heading
  std::vector<nlohmann::json> events;
  const nlohmann::json chrome = nlohmann::json::parse(v.chrome);
  for (const auto& e : chrome.at("traceEvents")) {
    if (e.at("ph") == "X") events.push_back(e);
  }
  ASSERT_EQ(events.size(), std::size(cases));
  std::size_t i = 0, failed = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.verdict);
    const bool ok = c.verdict == "OK";
    failed += !ok;
    std::getline(table, row);
    EXPECT_THAT(row, HasSubstr("  " + c.verdict + " "));
    std::getline(json, row);
    const auto j = nlohmann::json::parse(row);
    EXPECT_EQ(j.at("outcome").get<std::string>() +
                  (j.contains("message") ? ": " + j.at("message").get<std::string>() : ""),
              c.verdict);
    const nlohmann::json& e = events[i++];
    EXPECT_EQ(e.at("args").at("outcome"), c.verdict);
    EXPECT_EQ(e.at("cat"), ok ? "ok" : "failed");
    EXPECT_EQ(e.at("tid"), i);
    EXPECT_EQ(e.at("ts"), 1000 * (i - 1));
    EXPECT_EQ(e.at("dur"), c.end.empty() ? 0 : 300);
  }
  const std::regex marked("class=\"(failed|silent)\"");
  EXPECT_EQ(std::distance(std::sregex_iterator(v.svg.begin(), v.svg.end(), marked), {}), failed);
}

// Each bar lasts from its request to its reply, on an axis whose labels are
// distinct and evenly spaced by 1, 2 or 5 times a power of ten, however long
// the session.
TEST(CliTrace, TimelineBarsLastAsLongAsTheirExchanges) {
  for (const double span : {0.043, 0.3, 7.0, 1500.0}) {
    SCOPED_TRACE(span);
    const auto us = [span](double f) { return static_cast<std::int64_t>(f * span * 1e6); };
    const std::vector<Exchange> exchanges = {{us(0.1), us(0.2), "<GetGain,OK,1>"},
                                             {us(0.5), 50, "<GetGain,NG,x>"},
                                             {us(0.8), us(0.2), "<GetGain,OK,1>"}};
    const std::string svg = View(exchanges).svg;
    std::vector<double> tick_x, tick_s;
    std::set<std::string> labels;
    const std::regex tick(R"re(class="tick" x="([-0-9.e]+)"[^>]*>([-0-9.]+) s<)re");
    for (std::sregex_iterator m(svg.begin(), svg.end(), tick), end; m != end; ++m) {
      tick_x.push_back(std::stod((*m)[1]));
      tick_s.push_back(std::stod((*m)[2]));
      labels.insert((*m)[2]);
    }
    ASSERT_GE(tick_x.size(), 3u);
    EXPECT_EQ(labels.size(), tick_x.size()) << "a label repeats";
    const double step = tick_s[1] - tick_s[0], power = std::pow(10, std::floor(std::log10(step)));
    EXPECT_THAT(std::round(step / power), ::testing::AnyOf(1.0, 2.0, 5.0));
    const double px_per_s = (tick_x.back() - tick_x[0]) / (tick_s.back() - tick_s[0]);
    for (std::size_t k = 1; k < tick_x.size(); ++k) {
      EXPECT_NEAR(tick_s[k] - tick_s[k - 1], step, step * 1e-6);
      EXPECT_NEAR(tick_x[k] - tick_x[k - 1], step * px_per_s, 0.01);
    }
    std::size_t k = 0;
    const std::regex bar(
        R"re(class="(ok|failed)" x="([-0-9.e]+)" y="[-0-9.e]+" width="([-0-9.e]+)")re");
    for (std::sregex_iterator m(svg.begin(), svg.end(), bar), end; m != end; ++m, ++k) {
      const Exchange& e = exchanges.at(k);
      EXPECT_NEAR(std::stod((*m)[2]), tick_x[0] + (e.us / 1e6 - tick_s[0]) * px_per_s, 0.5);
      EXPECT_NEAR(std::stod((*m)[3]), std::max(2.0, e.wait / 1e6 * px_per_s), 0.5);
    }
    EXPECT_EQ(k, exchanges.size());
  }
}

// ---- Every drawing's geometry -----------------------------------------------------

// A text's box, estimated conservatively: each character 0.65 of the font
// size wide, from 0.8 of it above the baseline to 0.25 below.
struct TextBox {
  std::string cls, text;
  double x0, x1, y0, y1;
};

std::vector<TextBox> TextBoxes(const std::string& svg) {
  const auto attr = [](const std::string& tag, const std::string& name, const std::string& dflt) {
    std::smatch m;
    return std::regex_search(tag, m, std::regex(" " + name + "=\"([^\"]*)\"")) ? m.str(1) : dflt;
  };
  const std::string root = svg.substr(0, svg.find('>', svg.find("<svg")));
  const std::string size = attr(root, "font-size", "16");
  std::vector<TextBox> boxes;
  const std::regex text("<text([^>]*)>([^<]*)</text>");
  for (std::sregex_iterator m(svg.begin(), svg.end(), text), end; m != end; ++m) {
    const std::string tag = (*m)[1],
                      content = std::regex_replace(m->str(2), std::regex("&\\w+;"), "&");
    const double fs = std::stod(attr(tag, "font-size", size)), x = std::stod(attr(tag, "x", "0"));
    const double y = std::stod(attr(tag, "y", "0"));
    const double w =
        0.65 * fs * static_cast<double>(std::count_if(content.begin(), content.end(), [](char c) {
          return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        }));
    const std::string anchor = attr(tag, "text-anchor", "start");
    const double x0 = anchor == "end" ? x - w : anchor == "middle" ? x - w / 2 : x;
    boxes.push_back({attr(tag, "class", ""), content, x0, x0 + w, y - 0.8 * fs, y + 0.25 * fs});
  }
  return boxes;
}

// Every text of every drawing lies within the view and clear of the others;
// the drawings of coordinates carry labelled axes in mm, and each renders.
TEST(CliSvg, TextsStayInTheViewApartFromEachOther) {
  const auto circle = [](double cx, double cy, double r, int n) {
    std::vector<Point> points;
    for (int i = 0; i < n; ++i) {
      const double a = 2 * std::acos(-1.0) * i / n;
      points.push_back({cx + r * std::cos(a), cy + r * std::sin(a)});
    }
    return points;
  };
  const auto grid = [](double pitch) {  // 12 matches in rows of 8, as the simulator gives them
    std::vector<kestrel_cli::Match> matches;
    for (int i = 0; i < 12; ++i)
      matches.push_back(
          {{320.13 + pitch * (i % 8), 240.2 + pitch * (i / 8)}, 0.05 * i - 0.25, 0.98 - 0.02 * i});
    return matches;
  };
  const auto matches = [](std::vector<kestrel_cli::Match> m) {
    return *kestrel_cli::ResultSvg({"mult-template-match", 0, true, {{"matches", m}}, ""});
  };
  std::vector<kestrel_cli::Match> crowded = grid(64);
  crowded.insert(crowded.begin() + 1, {{322, 241}, 0, 0.5});  // its number must go elsewhere
  std::vector<Exchange> trace;
  for (int i = 0; i < 40; ++i) trace.push_back({i * 2500, 700, i % 3 ? "<GetGain,OK,1>" : "x"});
  const struct {
    std::string name, svg;
    bool axes;
  } cases[] = {
      {"wafer edge", kestrel_cli::EdgeSvg(circle(0, 0, 100, 36)), true},
      {"far off-centre", kestrel_cli::EdgeSvg(circle(150000.125, -20000.25, 149.5, 36)), true},
      {"no circle", kestrel_cli::EdgeSvg({{1, 1}, {2, 2}}), true},
      {"12 matches", matches(grid(64)), true},
      {"a match upon another", matches(crowded), true},
      {"one match", matches({{{1.5, -2}, 30, 0.9}}), true},
      {"timeline", View(trace).svg, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::smatch m;
    ASSERT_TRUE(
        std::regex_search(c.svg, m, std::regex(R"re(viewBox="(\S+) (\S+) (\S+) (\S+)")re")));
    const double vx = std::stod(m[1]), vy = std::stod(m[2]);
    const double vx1 = vx + std::stod(m[3]), vy1 = vy + std::stod(m[4]);
    const std::vector<TextBox> boxes = TextBoxes(c.svg);
    std::map<std::string, int> classes;
    for (std::size_t i = 0; i < boxes.size(); ++i) {
      const TextBox& a = boxes[i];
      ++classes[a.cls];
      EXPECT_TRUE(a.x0 >= vx && a.x1 <= vx1 && a.y0 >= vy && a.y1 <= vy1)
          << a.text << " leaves the view";
      for (std::size_t j = 0; j < i; ++j) {
        const TextBox& b = boxes[j];
        EXPECT_FALSE(a.x0 < b.x1 && b.x0 < a.x1 && a.y0 < b.y1 && b.y0 < a.y1)
            << "'" << a.text << "' overlaps '" << b.text << "'";
      }
    }
    if (c.axes) {
      EXPECT_GE(classes["x-tick"], 2);
      EXPECT_GE(classes["y-tick"], 2);
      EXPECT_THAT(c.svg, HasSubstr(" in mm"));
    }
#ifndef _WIN32
    const std::string file = kestrel::sim::TempFile("drawing.svg");
    std::ofstream(file) << c.svg;
    EXPECT_EQ(std::system(("rsvg-convert -o " + file + ".png " + file).c_str()), 0)
        << "rsvg-convert (librsvg2-bin) cannot render it";
#endif
  }
}

// ---- The executable against the simulator --------------------------------------

TEST(CliExecutable, ExitCodeOutputAndErrorsOfEachInvocation) {
  const std::string busy = "\xE7\x9B\xB8\xE6\x9C\xBA\xE5\xBF\x99";  // UTF-8; GBK on the wire
  kestrel::sim::SimOnPort sim({kestrel::sim::ParseFault("GetIntensity:ng:" + busy)});
  const int closed = kestrel::sim::SimOnPort().port();  // gone again
  const std::string script =
      "# a refused one\nget-gain Cam1\nget-light Cam1\n\nget-real Cam1 1 2\n";
  const std::string first_two =
      "{\"command\":\"get-gain\",\"line\":2,\"ok\":true,\"outputs\":{\"gain\":1.0}}\n"
      "{\"command\":\"get-light\",\"line\":3,\"ok\":false,\"outputs\":{},\"error\":\"" +
      busy + "\"}\n";
  const std::string svg = kestrel::sim::TempFile("edge.svg");
  const struct {
    std::vector<std::string> args;
    int code;         // the simulator serves the cases of code 0 and 1; none the others
    std::string err;  // part of stderr
    std::string input = "";
    ::testing::Matcher<const std::string&> out = Eq("");
  } cases[] = {
      // clang-format off
      {{"get-real", "Cam1", "100", "-20.5"}, 0,
       "Net_IO_Send Success:<GetReal,Cam1,100.000000,-20.500000>", "",
       Eq("real: (0.25, -0.05125)\n")},
      {{"-q", "get-light", "Cam1"}, 1, "kestrel: get-light failed: " + busy},
      // A script stops at the first failure unless told to keep going.
      {{"-q", "--json", "--script", "-"}, 1, "", script, Eq(first_two)},
      {{"-q", "--json", "--script", "-", "--keep-going"}, 1, "", script, Eq(first_two +
       "{\"command\":\"get-real\",\"line\":5,\"ok\":true,\"outputs\":{\"real\":{\"x\":0.0025,"
       "\"y\":0.005}}}\n")},
      {{"help", "fix-circle"}, 0, "", "", HasSubstr("usage: kestrel fix-circle [POINTS(X Y)...]")},
      {{"get-rotate-center", "--help"}, 0, "", "", HasSubstr("Calls Kestrel_GetRotateCenter")},
      {{"--help"}, 0, "", "",
       HasSubstr("  get-point-after-rotate-real FIRST_POINT(X Y) SECOND_POINT(X Y) ROTATE_ANGLE\n")},
      // Usage errors go to a closed port: one that connected first would exit with 3;
      // a script is converted whole before anything connects.
      {{"--script", "-"}, 2, "line 2: set-light: INTENSITY: 'bright'",
       "get-gain Cam1\nset-light Cam1 bright\n"},
      {{"--script", "-"}, 2, "line 3: unknown command 'frobnicate'\n",
       "# c\r\nget-gain Cam1\nfrobnicate 1\n"},
      {{"--script", "-"}, 2, "line 1: unknown command 'get-reel'; did you mean get-real?\n",
       "get-reel Cam1 1 2\n"},
      {{"--script", "-"}, 2, "line 1: unterminated quote", "get-gain \"Cam1\n"},
      {{"get-real", "Cam1", "1"}, 2, "usage: kestrel get-real CAMERA POINT(X Y)"},
      {{"get-real", "Cam1", "1", "x"}, 2, "get-real: POINT.Y: 'x' is not a number"},
      {{"set-gain", "Cam1", "1.5x"}, 2, "GAIN: '1.5x' is not a number"},
      {{"set-gain", "Cam1", "1", "2"}, 2, "set-gain takes 2 values, got 3"},
      {{"set-gain", "Cam1", "nan"}, 2, "GAIN: 'nan' is not a finite number"},
      {{"set-gain", "Cam1", "1e999"}, 2, "GAIN: '1e999' is not a finite number"},
      {{"set-light", "Cam1", "1.5"}, 2, "INTENSITY: '1.5' is not a whole number"},
      {{"set-light", "Cam1", "99999999999"}, 2, "INTENSITY: '99999999999' is out of range"},
      {{"set-cam-control-visible", "W1", "C1", "yes"}, 2, "'yes' is not true, false, 1 or 0"},
      {{"set-gain", "\xF0\x9F\x98\x80", "1"}, 2, "'\xF0\x9F\x98\x80' has a character that GBK"},
      {{"fix-circle", "1", "2", "3"}, 2, "POINTS: X Y pairs expected, got 3 numbers"},
      {{"fix-circle", "1", "2", "3", "y"}, 2, "POINTS[1].Y: 'y' is not a number"},
      {{"get-reel", "Cam1", "1", "2"}, 2,
       "kestrel: unknown command 'get-reel'; did you mean get-real?\n"},
      {{"help", "get-reel"}, 2, "kestrel: unknown command 'get-reel'; did you mean get-real?\n"},
      {{"--bogus", "get-gain", "Cam1"}, 2, "not expected: --bogus"},
      {{"--svg", "x.svg", "get-real", "Cam1", "1", "2"}, 2, "--svg draws"},
      {{"--port", "0", "get-gain", "Cam1"}, 2, "--port"},
      {{"get-gain", "Cam1"}, 3, "cannot connect to 127.0.0.1:"},
      // The last row draws: its file is the drawing of the points.
      {{"-q", "--json", "--svg", svg, "wafer-edge", "Cam1", "Edge1", "0", "0", "true"}, 0, "", "",
       HasSubstr("\"points\":[")},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.input);
    auto args = c.args;
    if (args[0] != "--port")
      args.insert(args.begin(), {"--port", std::to_string(c.code < 2 ? sim.port() : closed)});
    const kestrel::sim::CliRun o = RunCli(args, c.input);
    EXPECT_EQ(o.code, c.code) << o.err;
    EXPECT_THAT(o.out, c.out);
    EXPECT_THAT(o.err, HasSubstr(c.err));
  }
  EXPECT_THAT(Slurp(svg), HasSubstr("wafer edge: 36 points"));
}

}  // namespace
