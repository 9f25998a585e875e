// Every command of the table run in process on a canned reply (the request
// it sends, the outputs or the error it reports), and the built executable
// against the simulator: exit codes, scripts, JSON lines and drawings.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "core/record.h"
#include "kestrel/kestrel.h"
#include "output.h"
#include "../sim_on_port.h"

namespace {

using kestrel_cli::FindCommand;
using ::testing::HasSubstr;

// The requests a client sends, each answered with `reply` (unframed); an
// empty reply is no valid reply at all.
struct Canned {
  std::vector<std::string> requests;
  std::string reply;
  static kestrel::Exchange Exchange(KestrelCore& core, char* request, char* reply) {
    auto* self = static_cast<Canned*>(core.exchange_context);
    self->requests.push_back(request);
    if (self->reply.empty()) return kestrel::Exchange::kTimedOut;
    std::snprintf(reply, kestrel::kTextCapacity, "%s", self->reply.c_str());
    return kestrel::Exchange::kReplied;
  }
};

// `request` with its numbers in their shortest form: "2.500000" -> "2.5".
std::string Short(const std::string& request) {
  const std::string cut = std::regex_replace(request, std::regex(R"((\.\d*?)0+([,>&]))"), "$1$2");
  return std::regex_replace(cut, std::regex(R"(\.([,>&]))"), "$1");
}

// Each row runs its command's example. The reply (unframed; "" none at all,
// null a refusal "WORD,NG,refused") must come out as the text, or, after a
// '!', as the error.
TEST(CliExecute, EveryExampleSendsItsRequestAndReportsTheReply) {
  const struct {
    const char *command, *request, *reply = nullptr, *text = nullptr;
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
      {"get-light", "<GetIntensity,Cam1>", "GetLight,OK,1",
       "!\xE6\x8E\xA5\xE6\x94\xB6\xE6\x8C\x87\xE4\xBB\xA4\xE5\xA4\xB4:GetLight(GetIntensity)"
       "\xE6\x9C\xAA\xE6\x89\xB9\xE9\x85\x8D!"},
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
       "<SmallCellTemMatch,Cam1,Cell1,Roi1,1,320,240,0.7,0,0,0,true,false,none>"},
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
      {"get-rotate-center", "<GetRotateCenter,Cam1>", "GetRotateCenter,OK,7&-8", "center: (7, -8)\n"},
      {"get-line-angle", "<GetLineAngle,0,0,10,10>"},
      {"get-point-after-rotate-real", "<GetPointAfterRotate_Real,1,2,3,4,90>"},
      // clang-format on
  };
  kestrel_cli::ConsoleEcho echo{stderr, false, false};
  std::set<std::string> named;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.command) + " " + (c.reply ? c.reply : "(refused)"));
    const kestrel_cli::CommandInfo* cmd = FindCommand(c.command);
    ASSERT_NE(cmd, nullptr);
    named.insert(c.command);
    const std::string request = c.request, word = request.substr(request.empty() ? 0 : 1, request.find(',') - 1);
    Kestrel client;
    Canned canned{{}, c.reply ? c.reply : word + ",NG,refused"};
    kestrel::KestrelCoreAccess::of(client).exchange = &Canned::Exchange;
    kestrel::KestrelCoreAccess::of(client).exchange_context = &canned;
    echo.Forget();
    const kestrel_cli::Result r = kestrel_cli::Execute(
        client, {cmd, kestrel_cli::ParseArgs(*cmd, kestrel_cli::SplitScriptLine(cmd->example)), 0},
        [&echo] { return echo.last_red(); });
    ASSERT_EQ(canned.requests.size(), request.empty() ? 0u : 1u);
    EXPECT_EQ(request.empty() ? "" : Short(canned.requests[0]), request);
    const std::string text = c.text ? c.text : "!refused";
    EXPECT_EQ(r.ok, text[0] != '!') << r.error;
    EXPECT_EQ(r.ok ? kestrel_cli::FormatText(r, false) : "!" + r.error, text);
    EXPECT_TRUE(c.text || r.outputs.empty());
  }
  EXPECT_EQ(named.size(), kestrel_cli::Commands().size()) << "commands without a row";
}

// ---- The executable against the simulator --------------------------------------

std::string Slurp(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

struct Outcome {
  int code;
  std::string out, err;
};

// Runs the built `kestrel` with `args` (and --port `port` unless they start
// with --port), `input` on its standard input.
Outcome RunCli(int port, std::vector<std::string> args, const std::string& input = "") {
  if (args[0] != "--port") args.insert(args.begin(), {"--port", std::to_string(port)});
  // CTest runs the cases of this file in parallel processes: each run gets
  // files of its own.
  static int runs = 0;
  const std::string io = testing::TempDir() + "cli_run_" + std::to_string(getpid()) + "_" +
                         std::to_string(++runs) + "_";
  std::ofstream(io + "in") << input;
#ifdef _WIN32
  // cmd.exe: double quotes, and the whole line quoted once more, since it
  // drops the first and the last quote; system() gives the exit code.
  const std::string q = "\"";
  const auto code = [](int status) { return status; };
#else
  const std::string q = "'";
  const auto code = [](int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; };
#endif
  std::string command = q + KESTREL_CLI_PATH + q;
  for (const std::string& a : args) command += " " + q + a + q;
  command += " <" + q + io + "in" + q + " >" + q + io + "out" + q + " 2>" + q + io + "err" + q;
#ifdef _WIN32
  command = q + command + q;
#endif
  const int status = std::system(command.c_str());
  Outcome o{code(status), Slurp(io + "out"), Slurp(io + "err")};
#ifdef _WIN32
  // Standard output and error are text streams: each line ends in CR LF there.
  for (std::string* text : {&o.out, &o.err})
    *text = std::regex_replace(*text, std::regex("\r\n"), "\n");
#endif
  return o;
}

TEST(CliExecutable, ExitCodeTellsSuccessFailureUsageAndConnection) {
  // A script is converted whole before anything connects.
  const std::string bad_script = testing::TempDir() + "cli_bad_script.txt";
  std::ofstream(bad_script) << "get-gain Cam1\nset-light Cam1 bright\n";
  SimOnPort sim({"GetIntensity:ng:\xCF\xE0\xBB\xFA\xC3\xA6"});
  const int closed = SimOnPort().port();  // gone again
  const struct {
    std::vector<std::string> args;
    int code;  // the simulator serves the cases of code 0 and 1; none the others
    const char *out, *err;  // parts of stdout and stderr
  } cases[] = {
      // clang-format off
      {{"get-real", "Cam1", "100", "-20.5"}, 0, "real: (0.25, -0.05125)\n",
       "Net_IO_Send Success:<GetReal,Cam1,100.000000,-20.500000>"},
      {{"-q", "get-light", "Cam1"}, 1, "", "kestrel: get-light failed: \xE7\x9B\xB8\xE6\x9C\xBA\xE5\xBF\x99"},
      // Usage errors go to a closed port: one that connected first would exit with 3.
      {{"get-real", "Cam1", "1", "x"}, 2, "", "get-real: POINT.Y: 'x' is not a number"},
      {{"get-real", "Cam1", "1"}, 2, "", "usage: kestrel get-real CAMERA POINT(X Y)"},
      {{"--script", bad_script}, 2, "", "line 2: set-light: INTENSITY: 'bright'"},
      {{"frobnicate"}, 2, "", "frobnicate"},
      {{"--svg", "x.svg", "get-real", "Cam1", "1", "2"}, 2, "", "--svg draws"},
      {{"--port", "0", "get-gain", "Cam1"}, 2, "", "--port"},
      {{"get-gain", "Cam1"}, 3, "", "cannot connect to 127.0.0.1:"},
      {{"help", "fix-circle"}, 0, "usage: kestrel fix-circle [POINTS(X Y)...]", ""},
      {{"get-rotate-center", "--help"}, 0, "Calls Kestrel_GetRotateCenter", ""},
      {{"--help"}, 0, "  get-point-after-rotate-real FIRST(X Y) SECOND(X Y) ANGLE\n", ""},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const Outcome o = RunCli(c.code < 2 ? sim.port() : closed, c.args);
    EXPECT_EQ(o.code, c.code) << o.err;
    EXPECT_THAT(o.out, HasSubstr(c.out));
    EXPECT_THAT(o.err, HasSubstr(c.err));
  }
}

TEST(CliExecutable, ScriptPrintsOneJsonObjectPerCommandAndStopsAtTheFirstFailure) {
  const std::string script =
      "# a refused one\nget-gain Cam1\nget-light Cam1\n\nget-real Cam1 1 2\n";
  const std::string first_two =
      "{\"command\":\"get-gain\",\"line\":2,\"ok\":true,\"outputs\":{\"gain\":1.0}}\n"
      "{\"command\":\"get-light\",\"line\":3,\"ok\":false,\"outputs\":{},\"error\":\"busy\"}\n";
  const std::string third = "{\"command\":\"get-real\",\"line\":5,\"ok\":true,\"outputs\":"
                            "{\"real\":{\"x\":0.0025,\"y\":0.005}}}\n";
  SimOnPort sim({"GetIntensity:ng:busy"});
  for (const bool keep_going : {false, true}) {
    std::vector<std::string> args = {"-q", "--json", "--script", "-"};
    if (keep_going) args.push_back("--keep-going");
    const Outcome o = RunCli(sim.port(), args, script);
    EXPECT_EQ(o.code, 1);
    EXPECT_EQ(o.out, keep_going ? first_two + third : first_two);
  }
}

TEST(CliExecutable, SvgFileIsTheDrawingOfTheResult) {
  SimOnPort sim;
  const std::string path = testing::TempDir() + "cli_edge_" + std::to_string(getpid()) + ".svg";
  const Outcome o = RunCli(sim.port(), {"-q", "--json", "--svg", path, "wafer-edge",
                                                "Cam1", "Edge1", "0", "0", "true"});
  ASSERT_EQ(o.code, 0) << o.err;
  std::vector<Point> points;
  const nlohmann::json result = nlohmann::json::parse(o.out);
  for (const auto& p : result.at("outputs").at("points")) points.push_back({p.at("x"), p.at("y")});
  EXPECT_EQ(points.size(), 36u);
  EXPECT_EQ(Slurp(path), kestrel_cli::EdgeSvg(points));
}

}  // namespace
