// Commands against the scripted fake server: the request each row of the
// table sends, the outputs and errors it reports, and the built executable's
// exit codes, scripts, JSON lines and drawings.
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
#include <regex>
#include <string>
#include <vector>

#include "commands.h"
#include "kestrel/kestrel.h"
#include "output.h"
#include "support/fake_server.h"

namespace {

using kestrel_cli::FindCommand;
using kestrel_test::FakeServer;
using ::testing::HasSubstr;

// A client connected to a fresh fake server, its console lines kept quiet.
struct Session {
  kestrel_cli::ConsoleEcho echo{stderr, false, false};
  FakeServer server;
  Kestrel client;
  Session() { EXPECT_TRUE(client.Kestrel_Connect_Port("127.0.0.1", server.port())); }

  kestrel_cli::Result Run(const std::string& command, const std::string& words) {
    const kestrel_cli::CommandInfo* cmd = FindCommand(command);
    const kestrel_cli::Invocation step{
        cmd, kestrel_cli::ParseArgs(*cmd, kestrel_cli::SplitScriptLine(words)), 0};
    echo.Forget();
    return kestrel_cli::Execute(client, step, [this] { return echo.last_red(); });
  }
};

// `request` with its numbers in their shortest form: "2.500000" -> "2.5".
std::string Short(const std::string& request) {
  const std::string cut = std::regex_replace(request, std::regex(R"((\.\d*?)0+([,>&]))"), "$1$2");
  return std::regex_replace(cut, std::regex(R"(\.([,>&]))"), "$1");
}

// Each row's example as it goes out. A reply, when given, must come out as
// the text; otherwise the server refuses and the refusal must be reported.
TEST(CliExecute, EveryExampleSendsItsRequestAndReportsTheReply) {
  const struct {
    const char *command, *request, *reply = nullptr, *text = nullptr;
  } cases[] = {
      // clang-format off
      {"set-gain", "<SetGain,Cam1,2.5>"}, {"set-exposure", "<SetExposure,Cam1,1500>"},
      {"set-light", "<SetIntensity,Cam1,120>"},
      {"set-light-and-exposure", "<AdjustBrightness,B,A,120,1>"},  // B before A, flag as 1
      {"get-gain", "<GetGain,Cam1>", "<GetGain,OK,1.25>", "gain: 1.25\n"},
      {"get-exposure", "<GetExposure,Cam1>"},
      {"get-light", "<GetIntensity,Cam1>", "<GetIntensity,OK,120>", "intensity: 120\n"},
      {"start-grab", "<StartGrab,Cam1>"}, {"stop-grab", "<StopGrab,Cam1>"},
      {"clear-camera-image", "<ClearCameraIamge,Cam1>"},
      {"get-camera-scale", "<GetScale,Cam1>", "<GetScale,OK,0.5&2>", "scale_x: 0.5\nscale_y: 2\n"},
      {"set-target-color", "<SetStateColor,Cam1,red,green,blue>", "<SetStateColor,OK,3>", "ok\n"},
      {"switch-to-camera", "<SwitchToTheCamera,Win1,Cam1>"},
      {"set-cam-control-visible", "<CameraWinVisibleControl,Win1,true,Cam1>"},
      {"show-cut-line", "<ShowBaseLineWidth,Cam1,0.03>"},
      {"auto-focus", "<AutoFocus,Cam1,2,0.5,1.5,0.01,3,0>",
       "<AutoFocus,OK,12.345,\xB6\xD4\xBD\xB9\xCD\xEA\xB3\xC9>",
       "result: 12.345\nresult_text: \xE5\xAF\xB9\xE7\x84\xA6\xE5\xAE\x8C\xE6\x88\x90\n"},
      {"template-create", "<Template_Create,Cam1,Mark1,Roi1,3>"},  // TEXT_B before TEXT_A
      {"mult-template-match",
       "<Template_Match,Cam1,Mark1,Roi1,5,320,240,0.7,0,0,0,true,false,none>",
       "<Template_Match,OK,2,1&2&3&0.7,4&5&6&0.9>", "count: 2\nmatches: 2\n"
       "  [0] center (1, 2)  angle 3  score 0.7\n  [1] center (4, 5)  angle 6  score 0.9\n"},
      {"template-match", "<Template_Match,Cam1,Mark1,Roi1,1,320,240,0.7,0,0,0,true,false,none>",
       "<Template_Match,OK,2,1&2&3&0.7,4&5&6&0.9>", "match: center (4, 5)  angle 6  score 0.9\n"},
      {"template-match-scell",
       "<SmallCellTemMatch,Cam1,Cell1,Roi1,1,320,240,0.7,0,0,0,true,false,none>"},
      {"wafer-edge", "<WaferEdge,Cam1,Edge1,100,200.5,true>",
       "<WaferEdge,OK,2,15.25&30.5,14.75&61>",
       "points: 2\n  [0] (15.25, 30.5)\n  [1] (14.75, 61)\n"},
      {"kerf-check", "<KerfCheck,Cam1,Kerf1,0.5,1.5,2,10,20,30,3,0.1,0.2,0.3,0.4,0.5,0.6,0.7,0.8,"
       "0.9,1,1.1,true,Lane1,1.2,Blade1>", "<KerfCheck,OK,1.5,30.2,41.7,3.1,8.0,5.5,0.4,40.9>",
       "center: 1.5\nkerf_width_without_chipp: 30.2\nkerf_width_with_chipp: 41.7\n"
       "center_chipp_distance: 3.1\nchipp_size_width: 8\nchipp_size_height: 5.5\n"
       "kerf_measure7: 0.4\nkerf_width_with_chipp2: 40.9\n"},
      {"lg-kerf-check", "", nullptr, "ok\n"},  // sends nothing and succeeds
      {"fix-circle", "<FixCircle,3,0,10,10,0,0,-10>", "<FixCircle,OK,120.5&-30.25,75.125>",
       "center: (120.5, -30.25)\nradius: 75.125\n"},
      {"get-real", "<GetReal,Cam1,100,-20.5>", "<GetReal,OK,12.5&-3.25>", "real: (12.5, -3.25)\n"},
      {"get-ruler", "<GetRuler,Cam1,100,-20.5>"},
      {"get-real-by-pixel-point", "<GetRealByPixelPoint,Cam1,100,200,300,400>"},
      {"get-target-cam-real", "<CovertPointCameraAToB,CamA,CamB,1,2>"},
      {"mw-cal-another-point-real", "<MwCalAnotherPointReal,Cam1,10,20,1.5,-2>"},
      {"get-rotate-center", "<GetRotateCenter,Cam1>", "<GetRotateCenter,OK,7&-8>",
       "center: (7, -8)\n"},
      {"get-line-angle", "<GetLineAngle,0,0,10,10>"},
      {"get-point-after-rotate-real", "<GetPointAfterRotate_Real,1,2,3,4,90>"},
      // clang-format on
  };
  ASSERT_EQ(std::size(cases), kestrel_cli::Commands().size()) << "one row per command";
  Session s;
  std::size_t sent = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    ASSERT_NE(FindCommand(c.command), nullptr);
    const std::string request = c.request, word = request.substr(0, request.find(','));
    if (!request.empty())
      s.server.Push(FakeServer::Line(c.reply ? c.reply : word + ",NG,refused>"));
    const kestrel_cli::Result r = s.Run(c.command, FindCommand(c.command)->example);
    const std::vector<std::string> requests = s.server.requests();
    ASSERT_EQ(requests.size(), sent += !request.empty());
    EXPECT_EQ(request.empty() ? "" : Short(requests.back()), request);
    if (c.text != nullptr) {
      EXPECT_TRUE(r.ok) << r.error;
      EXPECT_EQ(kestrel_cli::FormatText(r, false), c.text);
    } else {
      EXPECT_TRUE(!r.ok && r.error == "refused" && r.outputs.empty()) << r.error;
    }
  }
}

TEST(CliExecute, ExplainsEveryKindOfFailure) {
  const struct {
    const char *command, *words;
    FakeServer::Step step;
    const char* error;
  } cases[] = {
      {"get-light", "Cam1", FakeServer::Line("<GetLight,OK,1>"),
       "\xE6\x8E\xA5\xE6\x94\xB6\xE6\x8C\x87\xE4\xBB\xA4\xE5\xA4\xB4:GetLight(GetIntensity)"
       "\xE6\x9C\xAA\xE6\x89\xB9\xE9\x85\x8D!"},
      // A payload that does not convert leaves no error text: the red line tells.
      {"get-real", "Cam1 1 2", FakeServer::Line("<GetReal,OK,abc&1>"),
       "RealPoint.X:abc\xEF\xBC\x8C\xE4\xB8\x8D\xE8\x83\xBD\xE8\xBD\xAC\xE6\x8D\xA2"
       "double"},
      {"template-match", "C M R 0 0 0.5 1 1 D", FakeServer::Line("<Template_Match,OK,0>"),
       "no match found"},
      {"get-gain", "Cam1", FakeServer::Hangup(),
       "\xE9\x80\x9A\xE8\xAE\xAF\xE5\xA4\xB1\xE8\xB4\xA5! (no valid reply from the server)"},
  };
  for (const auto& c : cases) {
    Session s;
    s.server.Push(c.step);
    const kestrel_cli::Result r = s.Run(c.command, c.words);
    EXPECT_FALSE(r.ok) << c.command;
    EXPECT_EQ(r.error, c.error) << c.command;
  }
}

// ---- The executable ---------------------------------------------------------------

std::string Slurp(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

struct Outcome {
  int code;
  std::string out, err;
};

// Runs the built `kestrel` with `args` (and --port of `server` unless they
// start with --port), `input` on its standard input.
Outcome RunCli(const FakeServer& server, std::vector<std::string> args,
               const std::string& input = "") {
  if (args[0] != "--port") args.insert(args.begin(), {"--port", std::to_string(server.port())});
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
  const std::string closed_port = std::to_string(FakeServer().port());  // gone again
  const struct {
    std::vector<std::string> args;
    const char* reply;  // null: the server answers nothing
    int code;
    const char *out, *err;  // parts of stdout and stderr
  } cases[] = {
      // clang-format off
      {{"get-real", "Cam1", "100", "-20.5"}, "<GetReal,OK,12.5&-3.25>", 0, "real: (12.5, -3.25)\n",
       "Net_IO_Send Success:<GetReal,Cam1,100.000000,-20.500000>"},
      {{"-q", "get-light", "Cam1"}, "<GetIntensity,NG,\xCF\xE0\xBB\xFA\xC3\xA6>", 1, "",
       "kestrel: get-light failed: \xE7\x9B\xB8\xE6\x9C\xBA\xE5\xBF\x99"},
      {{"get-real", "Cam1", "1", "x"}, nullptr, 2, "", "get-real: POINT.Y: 'x' is not a number"},
      {{"get-real", "Cam1", "1"}, nullptr, 2, "", "usage: kestrel get-real CAMERA POINT(X Y)"},
      {{"--script", bad_script}, nullptr, 2, "", "line 2: set-light: INTENSITY: 'bright'"},
      {{"frobnicate"}, nullptr, 2, "", "frobnicate"},
      {{"--svg", "x.svg", "get-real", "Cam1", "1", "2"}, nullptr, 2, "", "--svg draws"},
      {{"--port", "0", "get-gain", "Cam1"}, nullptr, 2, "", "--port"},
      {{"--port", closed_port, "get-gain", "Cam1"}, nullptr, 3, "", "cannot connect to 127.0.0.1:"},
      {{"help", "fix-circle"}, nullptr, 0, "usage: kestrel fix-circle [POINTS(X Y)...]", ""},
      {{"get-rotate-center", "--help"}, nullptr, 0, "Calls Kestrel_GetRotateCenter", ""},
      {{"--help"}, nullptr, 0, "  get-point-after-rotate-real FIRST(X Y) SECOND(X Y) ANGLE\n", ""},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    FakeServer server;
    if (c.reply != nullptr) server.Push(FakeServer::Line(c.reply));
    const Outcome o = RunCli(server, c.args);
    EXPECT_EQ(o.code, c.code) << o.err;
    EXPECT_THAT(o.out, HasSubstr(c.out));
    EXPECT_THAT(o.err, HasSubstr(c.err));
    EXPECT_TRUE(c.code != 2 || server.connections() == 0) << "a usage error connected";
  }
}

TEST(CliExecutable, ScriptPrintsOneJsonObjectPerCommandAndStopsAtTheFirstFailure) {
  const std::string script =
      "# a refused one\nget-gain Cam1\nget-light Cam1\n\nget-real Cam1 1 2\n";
  const std::string first_two =
      "{\"command\":\"get-gain\",\"line\":2,\"ok\":true,\"outputs\":{\"gain\":1.25}}\n"
      "{\"command\":\"get-light\",\"line\":3,\"ok\":false,\"outputs\":{},\"error\":\"busy\"}\n";
  const std::string third =
      "{\"command\":\"get-real\",\"line\":5,\"ok\":true,\"outputs\":{\"real\":{\"x\":3.0,\"y\":4.0}"
      "}}\n";
  for (const bool keep_going : {false, true}) {
    FakeServer server;
    for (const char* reply : {"<GetGain,OK,1.25>", "<GetIntensity,NG,busy>", "<GetReal,OK,3&4>"})
      server.Push(FakeServer::Line(reply));
    std::vector<std::string> args = {"-q", "--json", "--script", "-"};
    if (keep_going) args.push_back("--keep-going");
    const Outcome o = RunCli(server, args, script);
    EXPECT_EQ(o.code, 1);
    EXPECT_EQ(o.out, keep_going ? first_two + third : first_two);
    EXPECT_EQ(server.requests().size(), keep_going ? 3u : 2u);
  }
}

TEST(CliExecutable, SvgFileIsTheDrawingOfTheResult) {
  FakeServer server;
  server.Push(FakeServer::Line("<WaferEdge,OK,5,10&0,0&10,-10&0,0&-10,6&8>"));
  const std::string path = testing::TempDir() + "cli_edge.svg";
  std::remove(path.c_str());
  const Outcome o =
      RunCli(server, {"-q", "--svg", path, "wafer-edge", "Cam1", "Edge1", "0", "0", "true"});
  ASSERT_EQ(o.code, 0) << o.err;
  EXPECT_EQ(Slurp(path), kestrel_cli::EdgeSvg({{10, 0}, {0, 10}, {-10, 0}, {0, -10}, {6, 8}}));
}

}  // namespace
