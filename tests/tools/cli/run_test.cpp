// Commands against the scripted fake server: the requests the table's rows
// send, the outputs and errors they report, and the built executable's exit
// codes, scripts, JSON lines and drawings.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "commands.h"
#include "kestrel/kestrel.h"
#include "output.h"
#include "support/fake_server.h"

namespace {

using kestrel_cli::FindCommand;
using kestrel_test::FakeServer;

// A loopback port with nothing listening on it.
int ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
  ::close(fd);
  return ntohs(addr.sin_port);
}

// A client connected to a fresh fake server, its console lines kept quiet.
struct Session {
  kestrel_cli::ConsoleEcho echo{stderr, false, false};
  FakeServer server;
  Kestrel client;
  Session() { EXPECT_TRUE(client.Kestrel_Connect_Port("127.0.0.1", server.port())); }

  kestrel_cli::Result Run(const std::string& command, const std::string& words) {
    const kestrel_cli::CommandInfo* cmd = FindCommand(command);
    kestrel_cli::Invocation step{
        cmd, kestrel_cli::ParseArgs(*cmd, kestrel_cli::SplitScriptLine(words)), 0};
    echo.Forget();
    return kestrel_cli::Execute(client, step, [this] { return echo.last_red(); });
  }
};

TEST(Execute, SendsTheRequestOfEachShapeAndReportsTheOutputs) {
  const struct {
    const char* command;
    const char* words;
    const char* reply;
    const char* request;
    const char* text;  // FormatText of the result
  } cases[] = {
      {"get-real", "Cam1 100 -20.5", "<GetReal,OK,12.5&-3.25>",
       "<GetReal,Cam1,100.000000,-20.500000>", "real: (12.5, -3.25)\n"},
      {"set-light-and-exposure", "A B 120 true", "<AdjustBrightness,OK,>",
       "<AdjustBrightness,B,A,120,1>", "ok\n"},
      {"set-target-color", "Cam1 red \"\" blue", "<SetStateColor,OK,>",
       "<SetStateColor,Cam1,red,,blue>", "ok\n"},
      {"fix-circle", "1 2 3.5 -4", "<FixCircle,OK,120.5&-30.25,75.125>",
       "<FixCircle,2,1.000000,2.000000,3.500000,-4.000000>",
       "center: (120.5, -30.25)\nradius: 75.125\n"},
      {"auto-focus", "Cam1 2 0.5 1.5 0.01 3 0",
       "<AutoFocus,OK,12.345,\xB6\xD4\xBD\xB9\xCD\xEA\xB3\xC9>",
       "<AutoFocus,Cam1,2,0.500000,1.500000,0.010000,3.000000,0.000000>",
       "result: 12.345\nresult_text: \xE5\xAF\xB9\xE7\x84\xA6\xE5\xAE\x8C\xE6\x88\x90\n"},
      {"template-match", "Cam1 Mark1 Roi1 10 20 0.5 true false td",
       "<Template_Match,OK,2,1&2&3&0.7,4&5&6&0.9>",
       "<Template_Match,Cam1,Mark1,Roi1,1,10.000000,20.000000,0.500000,0.000000,0.000000,"
       "0.000000,true,false,td>",
       "match: center (4, 5)  angle 6  score 0.9\n"},
      {"wafer-edge", "Cam1 Edge1 100 200.5 true", "<WaferEdge,OK,2,15.25&30.5,14.75&61>",
       "<WaferEdge,Cam1,Edge1,100.000000,200.500000,true>",
       "points: 2\n  [0] (15.25, 30.5)\n  [1] (14.75, 61)\n"},
      {"kerf-check", "A B C 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 true D",
       "<KerfCheck,OK,1.5,30.2,41.7,3.1,8.0,5.5,0.4,40.9>",
       "<KerfCheck,A,B,1.000000,2.000000,3,4.000000,5.000000,6.000000,7,8.000000,9.000000,"
       "10.000000,11.000000,12.000000,13.000000,14.000000,15.000000,16.000000,17.000000,"
       "18.000000,true,D,19.000000,C>",
       "center: 1.5\nkerf_width_without_chipp: 30.2\nkerf_width_with_chipp: 41.7\n"
       "center_chipp_distance: 3.1\nchipp_size_width: 8\nchipp_size_height: 5.5\n"
       "kerf_measure7: 0.4\nkerf_width_with_chipp2: 40.9\n"},
  };
  Session s;
  for (const auto& c : cases) {
    s.server.Push(FakeServer::Line(c.reply));
    const kestrel_cli::Result r = s.Run(c.command, c.words);
    EXPECT_TRUE(r.ok) << c.command << ": " << r.error;
    EXPECT_EQ(s.server.requests().back(), c.request);
    EXPECT_EQ(kestrel_cli::FormatText(r, false), c.text) << c.command;
  }
}

TEST(Execute, EveryExampleReachesItsOwnOperation) {
  Session s;
  std::size_t sent = 0;
  for (const kestrel_cli::CommandInfo& cmd : kestrel_cli::Commands()) {
    const std::string word = cmd.word;
    if (!word.empty()) s.server.Push(FakeServer::Line("<" + word + ",NG,refused>"));
    const kestrel_cli::Result r = s.Run(cmd.name, cmd.example);
    if (word.empty()) {  // lg-kerf-check sends nothing and succeeds
      EXPECT_TRUE(r.ok) << cmd.name;
      EXPECT_EQ(s.server.requests().size(), sent) << cmd.name;
      continue;
    }
    ASSERT_EQ(s.server.requests().size(), ++sent) << cmd.name;
    EXPECT_EQ(s.server.requests().back().rfind("<" + word + ",", 0), 0u) << cmd.name;
    EXPECT_FALSE(r.ok) << cmd.name;
    EXPECT_EQ(r.error, "refused") << cmd.name;
    EXPECT_TRUE(r.outputs.empty()) << cmd.name;
  }
}

TEST(Execute, ExplainsEveryKindOfFailure) {
  const struct {
    const char* command;
    const char* words;
    FakeServer::Step step;
    const char* error;
  } cases[] = {
      {"get-light", "Cam1", FakeServer::Line("<GetIntensity,NG,camera busy>"), "camera busy"},
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

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
};

std::string ReadAll(std::FILE* f) {
  std::rewind(f);
  std::string text;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
  std::fclose(f);
  return text;
}

// Runs the built `kestrel` with `args`, `input` on its standard input.
Outcome RunCli(const std::vector<std::string>& args, const std::string& input = "") {
  std::FILE* in = std::tmpfile();
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  std::fputs(input.c_str(), in);
  std::fflush(in);
  std::rewind(in);
  std::vector<char*> argv{const_cast<char*>(KESTREL_CLI_PATH)};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fileno(in), 0);
    ::dup2(fileno(out), 1);
    ::dup2(fileno(err), 2);
    ::execv(KESTREL_CLI_PATH, argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::fclose(in);
  Outcome o;
  o.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  o.out = ReadAll(out);
  o.err = ReadAll(err);
  return o;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(Executable, ExitCodeTellsSuccessFailureUsageAndConnection) {
  // A script is converted whole before anything connects.
  const std::string bad_script = testing::TempDir() + "cli_bad_script.txt";
  std::ofstream(bad_script) << "get-gain Cam1\nset-light Cam1 bright\n";
  const struct {
    std::vector<std::string> args;
    const char* reply;  // null: the server answers nothing
    int code;
    const char* out;  // part of stdout
    const char* err;  // part of stderr
  } cases[] = {
      {{"get-real", "Cam1", "100", "-20.5"},
       "<GetReal,OK,12.5&-3.25>",
       0,
       "real: (12.5, -3.25)\n",
       "Net_IO_Send Success:<GetReal,Cam1,100.000000,-20.500000>"},
      {{"-q", "get-light", "Cam1"},
       "<GetIntensity,NG,\xCF\xE0\xBB\xFA\xC3\xA6>",
       1,
       "",
       "kestrel: get-light failed: \xE7\x9B\xB8\xE6\x9C\xBA\xE5\xBF\x99"},
      {{"get-real", "Cam1", "1", "x"}, nullptr, 2, "", "get-real: POINT.Y: 'x' is not a number"},
      {{"get-real", "Cam1", "1"}, nullptr, 2, "", "usage: kestrel get-real CAMERA POINT(X Y)"},
      {{"--script", bad_script}, nullptr, 2, "", "line 2: set-light: INTENSITY: 'bright'"},
      {{"frobnicate"}, nullptr, 2, "", "frobnicate"},
      {{"--svg", "x.svg", "get-real", "Cam1", "1", "2"}, nullptr, 2, "", "--svg draws"},
      {{"--port", "0", "get-gain", "Cam1"}, nullptr, 2, "", "--port"},
      {{"help", "fix-circle"}, nullptr, 0, "usage: kestrel fix-circle [POINTS(X Y)...]", ""},
      {{"get-rotate-center", "--help"}, nullptr, 0, "Calls Kestrel_GetRotateCenter", ""},
  };
  for (const auto& c : cases) {
    FakeServer server;
    if (c.reply != nullptr) server.Push(FakeServer::Line(c.reply));
    std::vector<std::string> args = c.args;
    if (args[0] != "--port") args.insert(args.begin(), {"--port", std::to_string(server.port())});
    const Outcome o = RunCli(args);
    EXPECT_EQ(o.code, c.code) << c.args[0] << "\n" << o.err;
    EXPECT_NE(o.out.find(c.out), std::string::npos) << c.args[0] << ": " << o.out;
    EXPECT_NE(o.err.find(c.err), std::string::npos) << c.args[0] << ": " << o.err;
    if (c.code == 2) {
      EXPECT_EQ(server.connections(), 0) << "a usage error connected: " << c.args[0];
    }
  }

  const Outcome refused = RunCli({"--port", std::to_string(ClosedPort()), "get-gain", "Cam1"});
  EXPECT_EQ(refused.code, 3);
  EXPECT_NE(refused.err.find("cannot connect to 127.0.0.1:"), std::string::npos) << refused.err;
}

TEST(Executable, HelpListsEveryCommandWithItsArguments) {
  const Outcome o = RunCli({"--help"});
  EXPECT_EQ(o.code, 0);
  for (const kestrel_cli::CommandInfo& cmd : kestrel_cli::Commands()) {
    EXPECT_NE(o.out.find("  " + kestrel_cli::UsageLine(cmd) + "\n"), std::string::npos) << cmd.name;
  }
}

TEST(Executable, ScriptPrintsOneJsonObjectPerCommandAndStopsAtTheFirstFailure) {
  const std::string script =
      "# two readings around a refused one\nget-gain Cam1\nget-light Cam1\n\nget-real Cam1 1 2\n";
  for (const bool keep_going : {false, true}) {
    FakeServer server;
    server.Push(FakeServer::Line("<GetGain,OK,1.25>"));
    server.Push(FakeServer::Line("<GetIntensity,NG,busy>"));
    server.Push(FakeServer::Line("<GetReal,OK,3&4>"));
    std::vector<std::string> args = {"-q",       "--json", "--port", std::to_string(server.port()),
                                     "--script", "-"};
    if (keep_going) args.push_back("--keep-going");
    const Outcome o = RunCli(args, script);
    EXPECT_EQ(o.code, 1);
    const std::vector<std::string> lines = Lines(o.out);
    ASSERT_EQ(lines.size(), keep_going ? 3u : 2u) << o.out;
    EXPECT_EQ(server.requests().size(), lines.size());
    const auto first = nlohmann::json::parse(lines[0]);
    EXPECT_EQ(first["command"], "get-gain");
    EXPECT_EQ(first["line"], 2);
    EXPECT_EQ(first["outputs"]["gain"], 1.25);
    const auto second = nlohmann::json::parse(lines[1]);
    EXPECT_EQ(second["ok"], false);
    EXPECT_EQ(second["error"], "busy");
    if (keep_going) {
      const auto third = nlohmann::json::parse(lines[2]);
      EXPECT_EQ(third["line"], 5);
      EXPECT_EQ(third["outputs"]["real"]["y"], 4.0);
    }
  }
}

TEST(Executable, SvgDrawsEveryEdgePoint) {
  FakeServer server;
  server.Push(FakeServer::Line("<WaferEdge,OK,5,10&0,0&10,-10&0,0&-10,6&8>"));
  const std::string path = testing::TempDir() + "cli_edge.svg";
  std::remove(path.c_str());
  const Outcome o = RunCli({"-q", "--port", std::to_string(server.port()), "--svg", path,
                            "wafer-edge", "Cam1", "Edge1", "0", "0", "true"});
  ASSERT_EQ(o.code, 0) << o.err;
  std::ifstream file(path);
  const std::string svg((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(svg.rfind("<?xml", 0), 0u);
  std::size_t points = 0;
  for (std::size_t i = svg.find("class=\"edge-point\""); i != std::string::npos;
       i = svg.find("class=\"edge-point\"", i + 1)) {
    ++points;
  }
  EXPECT_EQ(points, 5u);
  const std::size_t fit = svg.find("class=\"fit\"");
  ASSERT_NE(fit, std::string::npos) << svg;
  EXPECT_NE(svg.substr(fit, svg.find("/>", fit) - fit).find(" r=\"10\""), std::string::npos);
}

}  // namespace
