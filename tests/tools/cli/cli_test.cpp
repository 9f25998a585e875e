// The command-line client: text and JSON output, console lines and the
// drawing of a wafer edge with its fitted circle; every command of the table
// run in process on a canned reply (the request it sends, the outputs or the
// error it reports); and the built executable against the simulator: exit
// codes, usage errors, scripts and drawings.
#include <gmock/gmock.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
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
      // clang-format on
  };
  for (const auto& [got, expected] : cases) EXPECT_EQ(got, expected);
}

// ---- kestrel trace and the drawings ---------------------------------------------

// A GetGain exchange on a connection of its own: the request at `us`, the
// reply `wait` later, ended by `end` ("": no reply at all).
struct Exchange {
  long long us, wait;
  std::string reply, end = "crlf";
};
// The views of a trace of `exchanges`: table, JSON, timeline, Trace Events.
std::vector<std::string> View(const std::vector<Exchange>& exchanges) {
  const std::string trace = kestrel::sim::TempFile("view.jsonl");
  std::ofstream file(trace);
  file << "{\"format\":\"kestrel-trace\",\"version\":1}\n";
  for (std::size_t i = 0; i < exchanges.size(); ++i) {
    const Exchange& e = exchanges[i];
    file << "{\"us\":" << e.us << ",\"conn\":" << i + 1
         << ",\"dir\":\"request\",\"end\":\"crlf\",\"line\":\"<GetGain,Cam1>\"}\n";
    if (!e.end.empty())
      file << "{\"us\":" << e.us + e.wait << ",\"conn\":" << i + 1
           << ",\"dir\":\"reply\",\"end\":\"" << e.end
           << "\",\"line\":" << nlohmann::json(kestrel::trace::Escape(e.reply)) << "}\n";
  }
  file.close();
  std::ostringstream table, json, err;
  EXPECT_EQ(kestrel_cli::RunTrace(trace, false, trace + ".svg", trace + ".json", table, err), 0);
  EXPECT_EQ(kestrel_cli::RunTrace(trace, true, "", "", json, err), 0) << err.str();
  return {table.str(), json.str(), Slurp(trace + ".svg"), Slurp(trace + ".json")};
}

// Each reply is taken or rejected as the client takes it, alike in the table,
// the JSON, the Trace Events and the timeline, whose bars start at their
// request and last as long as the exchange took (2 px at least).
TEST(CliTrace, EveryViewJudgesRepliesAsTheClientDoes) {
  const std::string fill(10239 - 15, 'X');  // "<GetGain,OK," fill ">" CR LF: 10239 bytes
  const std::pair<Exchange, std::string> cases[] = {
      // clang-format off
      {{0, 3000, "<GetGain,OK," + fill + ">"}, "OK"},
      {{2000, 300, "<GetGain,OK," + fill + "X>"}, "oversized: 10240 bytes"},
      {{3000, 300, std::string("<GetGain,OK\0,1>", 15)}, "OK"},  // read up to the NUL
      {{4000, 5, "<GetGain,NG,\xCF\xE0\xBB\xFA\xC3\xA6>"}, "NG: \xE7\x9B\xB8\xE6\x9C\xBA\xE5\xBF\x99"},
      {{5000, 300, "<GetGain,OK,1>", "lf"}, "unframed: no CR LF"},
      {{6000, 300, "GetGain,OK,1>"}, "unframed"},
      {{8000, 300, "<SetGain,OK,1>"}, "wrong head: SetGain"},
      {{9000, 300, "<GetGain,ERR,1>"}, "bad type: ERR"},
      {{9500, 300, "<GetGain,OK,1>", "none"}, "closed: mid-line"},
      {{9900, 0, "", ""}, "silent"},  // drawn as a cross, not a bar
      // clang-format on
  };
  std::vector<Exchange> exchanges;
  for (const auto& c : cases) exchanges.push_back(c.first);
  const std::vector<std::string> views = View(exchanges);
  const std::string &table = views[0], &json = views[1], &svg = views[2], &chrome = views[3];
  std::istringstream rows(table.substr(table.find('\n') + 1)), objects(json);
  const nlohmann::json events = nlohmann::json::parse(chrome).at("traceEvents");
  std::vector<std::smatch> bars;
  const std::regex bar(R"re(class="(ok|failed)" x="(\S+)" y="\S+" width="(\S+)")re");
  for (std::sregex_iterator m(svg.begin(), svg.end(), bar), end; m != end; ++m) bars.push_back(*m);
  ASSERT_EQ(bars.size(), std::size(cases) - 1);
  EXPECT_THAT(svg, HasSubstr("class=\"silent\""));
  const auto x = [&bars](std::size_t k) { return std::stod(bars[k][2]) - std::stod(bars[0][2]); };
  std::size_t i = 0;
  for (const auto& event : events) {
    if (event.at("ph") != "X") continue;
    const auto& [e, verdict] = cases[i++];
    SCOPED_TRACE(verdict);
    std::string row, object;
    std::getline(rows, row);
    std::getline(objects, object);
    EXPECT_THAT(row, HasSubstr("  " + verdict + " "));
    EXPECT_THAT(object, HasSubstr("\"outcome\":\"" + verdict.substr(0, verdict.find(':')) + "\""));
    EXPECT_EQ(event.at("args").at("outcome"), verdict);
    EXPECT_EQ(event.at("cat"), verdict == "OK" ? "ok" : "failed");
    EXPECT_EQ(event.at("ts"), e.us);
    EXPECT_EQ(event.at("dur"), e.wait);
    if (i == std::size(cases)) break;
    EXPECT_EQ(bars[i - 1][1] == "ok", verdict == "OK");
    EXPECT_NEAR(x(i - 1), e.us * x(8) / 9500, 0.01);
    EXPECT_NEAR(std::stod(bars[i - 1][3]), std::max(2.0, e.wait * x(8) / 9500), 0.01);
  }
  EXPECT_EQ(i, std::size(cases));
}

// Every drawing is well-formed XML (rsvg-convert, which renders each one,
// parses it strictly); an edge drawing has every point, and the circle fitted
// through them when they do not lie on a line. Every text lies within the
// view and clear of the others, its box estimated conservatively (each byte a
// character 0.65 of the font size wide, from 0.8 of it above the baseline to
// 0.25 below); tick labels are distinct, the drawings' axes in mm.
TEST(CliSvg, DrawingsAreWellFormedAndTheirTextsFit) {
  const double step = std::acos(-1.0) / 40;  // a quarter turn in 20 steps
  std::vector<Point> arc;                    // far from the origin
  for (int i = 0; i <= 20; ++i)
    arc.push_back({10000 + 150 * std::cos(step * i), -5000 + 150 * std::sin(step * i)});
  std::vector<kestrel_cli::Match> grid;  // 12 in rows of 8, as the simulator gives them
  for (int i = 0; i < 12; ++i)
    grid.push_back(
        {{320.13 + 64 * (i % 8), 240.2 + 64 * (i / 8)}, 0.05 * i - 0.25, 0.98 - i / 50.});
  grid.push_back({{322, 241}, 0, 0.5});  // upon the first: its number must go elsewhere
  std::vector<Exchange> busy, brief;     // 0.1 s, a third failed; 0.043 s
  for (int i = 0; i < 40; ++i) busy.push_back({i * 2500, 700, i % 3 ? "<GetGain,OK,1>" : "x"});
  for (int i = 0; i < 3; ++i) brief.push_back({43000 + i * 21500, 90, "<GetGain,OK,1>"});
  const std::string none = "too few points off one line for a circle";
  const std::tuple<std::string, std::string, std::size_t> cases[] = {
      {kestrel_cli::EdgeSvg(arc), "class=\"fit\" cx=\"10000\" cy=\"-5000\" r=\"150\"", 21},
      {kestrel_cli::EdgeSvg({{0, 0}, {1, 1}, {2, 2}, {3, 3}}), none, 4},
      {kestrel_cli::EdgeSvg({{4, 4}, {4, 4}, {4, 4}}), none, 3},
      {kestrel_cli::EdgeSvg({}), none, 0},
      {*kestrel_cli::ResultSvg({"mult-template-match", 0, true, {{"matches", grid}}, ""}),
       "13 matches", 0},
      {View(busy)[2], "40 exchanges, 14 failed", 0},
      {View(brief)[2], "3 exchanges, 0 failed", 0}};
  const std::regex text_re(
      R"re(<text(?: class="(\S+)")? x="(\S+)" y="(\S+)"(?: font-size="(\S+)")?(?: text-anchor="(\w+)")?[^>]*>([^<]*)</text>)re");
  for (const auto& [svg, part, points] : cases) {
    SCOPED_TRACE(svg.substr(0, svg.find("</title>")));
    EXPECT_THAT(svg, HasSubstr(part));
    const auto count = [&svg = svg](const char* pattern) {
      const std::regex re(pattern);
      return static_cast<std::size_t>(std::distance(
          std::sregex_iterator(svg.begin(), svg.end(), re), std::sregex_iterator()));
    };
    EXPECT_EQ(count("class=\"edge-point\""), points);
    const std::size_t texts = count("<text[ >]");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(svg, m, std::regex(R"re(viewBox="(\S+) (\S+) (\S+) (\S+)")re")));
    const double vx = std::stod(m[1]), vy = std::stod(m[2]), vw = std::stod(m[3]),
                 vh = std::stod(m[4]);
    std::map<std::string, double> anchor{{"end", 1}, {"middle", 0.5}};  // of the width
    std::vector<std::vector<double>> boxes;
    std::map<std::string, std::vector<std::string>> ticks;  // by axis
    for (std::sregex_iterator t(svg.begin(), svg.end(), text_re), end; t != end; ++t) {
      const std::string text = std::regex_replace((*t)[6].str(), std::regex("&\\w+;"), "&");
      const double fs = (*t)[4].matched ? std::stod((*t)[4]) : 12;       // the timeline's size
      const double w = 0.65 * fs * text.size(), y = std::stod((*t)[3]);  // a byte a character
      const double x = std::stod((*t)[2]) - w * anchor[(*t)[5]];
      const std::vector<double> a{x, x + w, y - 0.8 * fs, y + 0.25 * fs};
      EXPECT_TRUE(a[0] >= vx && a[1] <= vx + vw && a[2] >= vy && a[3] <= vy + vh) << text;
      for (const auto& b : boxes)
        EXPECT_FALSE(a[0] < b[1] && b[0] < a[1] && a[2] < b[3] && b[2] < a[3])
            << text << " overlaps";
      boxes.push_back(a);
      if ((*t)[1].str().find("tick") != std::string::npos) ticks[(*t)[1]].push_back(text);
    }
    EXPECT_EQ(boxes.size(), texts) << "a text was not measured";
    EXPECT_EQ(ticks.size(), svg.find(" in mm") != std::string::npos ? 2u : 1u);
    for (const auto& [axis, labels] : ticks) {
      ASSERT_GE(labels.size(), 3u) << axis;
      EXPECT_EQ(std::set<std::string>(labels.begin(), labels.end()).size(), labels.size()) << axis;
    }
#ifndef _WIN32
    const std::string file = kestrel::sim::TempFile("drawing.svg");
    std::ofstream(file) << svg;
    EXPECT_EQ(std::system(("rsvg-convert -o " + file + ".png " + file).c_str()), 0) << "no render";
#endif
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
      {{"help", "et-gain"}, 2, "'et-gain'; did you mean set-gain or get-gain?\n"},  // all as near
      {{"GetReal"}, 2, "unknown command 'GetReal'; did you mean get-real?\n"},  // case-blind
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
