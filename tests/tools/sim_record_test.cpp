// Recording and replay: the recorder in-process in front of a scripted
// server (bytes on the wire and in the trace), the trace reader's errors and
// grouping, and a whole session recorded and replayed by the built programs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <tuple>

#include "sim/recorder.h"
#include "sim/replay.h"
#include "sim/server.h"
#include "sim_client.h"
#include "support/fake_server.h"

namespace kestrel::sim {
namespace {

using kestrel_test::FakeServer;
using ::testing::HasSubstr;
using trace::Dir;
using trace::End;

std::string TempFile(const std::string& name) {
  static int files = 0;
  return testing::TempDir() + "rec_" + std::to_string(getpid()) + "_" + std::to_string(++files) +
         "_" + name;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The recorder in front of `upstream_port`, writing to a fresh trace file.
struct Recording {
  std::string path = TempFile("trace.jsonl");
  trace::Writer writer{path, "upstream"};
  Simulator sim;
  FaultPlan plan;
  Recorder recorder;
  Server server{sim, plan, nullptr, ServerOptions{"127.0.0.1", 0, 64}};
  explicit Recording(int upstream_port) : recorder(writer, "127.0.0.1", upstream_port) {
    server.UseRecorder(&recorder);
    server.Start();
  }
  // Stops once the trace holds a close (or when it does not come in time).
  std::vector<trace::Record> Stop() {
    const auto start = Clock::now();
    while (Slurp(path).find("\"event\":\"close\"") == std::string::npos && MsSince(start) < 3000)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    server.Stop();
    return trace::Load(path).records;
  }
};

using Line = std::tuple<Dir, std::string, End>;
std::vector<Line> Lines(const std::vector<trace::Record>& records) {
  std::vector<Line> lines;
  for (const auto& r : records)
    if (r.event.empty()) lines.emplace_back(r.dir, r.bytes, r.end);
  return lines;
}

TEST(Recorder, PassesEveryByteBothWaysAndRecordsEachLine) {
  const std::string gbk_long = "<SetStateColor,Cam1,\xBA\xEC\\\"" + std::string(20000, 'x') + ">";
  const struct {
    const char* name;
    std::string request;  // what the client sends
    FakeServer::Step step;
    std::string reply;  // the bytes the client must get
    bool server_closes;
    std::vector<Line> lines;
  } cases[] = {
      {"reply in chunks", "<GetGain,Cam1>\r\n",
       FakeServer::Chunks({"<GetGain,OK,", "1.000000>\r", "\n"}, 20), "<GetGain,OK,1.000000>\r\n",
       false,
       {{Dir::kRequest, "<GetGain,Cam1>", End::kCrLf},
        {Dir::kReply, "<GetGain,OK,1.000000>", End::kCrLf}}},
      {"two replies in one segment", "<GetGain,Cam1>\r\n",
       FakeServer::Answer("<GetGain,OK,1>\r\n<GetGain,OK,2>\n"), "<GetGain,OK,1>\r\n<GetGain,OK,2>\n",
       false,
       {{Dir::kRequest, "<GetGain,Cam1>", End::kCrLf},
        {Dir::kReply, "<GetGain,OK,1>", End::kCrLf},
        {Dir::kReply, "<GetGain,OK,2>", End::kLf}}},
      {"over-long GBK line", gbk_long + "\r\n", FakeServer::Line(gbk_long), gbk_long + "\r\n", false,
       {{Dir::kRequest, gbk_long, End::kCrLf}, {Dir::kReply, gbk_long, End::kCrLf}}},
      {"close mid-line", "<GetGain,Cam1>\r\n", FakeServer::AnswerThenHangup("<GetGain,OK,1.0"),
       "<GetGain,OK,1.0", true,
       {{Dir::kRequest, "<GetGain,Cam1>", End::kCrLf}, {Dir::kReply, "<GetGain,OK,1.0", End::kNone}}},
      {"reset", "<GetGain,Cam1>\r\n", FakeServer::Reset(), "", true,
       {{Dir::kRequest, "<GetGain,Cam1>", End::kCrLf}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeServer upstream;
    upstream.Push(c.step);
    Recording rec(upstream.port());
    {
      RawClient client(rec.server.port());
      client.Send(c.request);
      EXPECT_EQ(client.Take(c.reply.size()), c.reply);
      if (c.server_closes) {
        EXPECT_TRUE(client.WaitClosed(3000)) << "the server's close was kept";
      }
    }
    const std::vector<trace::Record> records = rec.Stop();
    EXPECT_EQ(Lines(records), c.lines);
    EXPECT_TRUE(std::any_of(records.begin(), records.end(), [&](const trace::Record& r) {
      return r.event == "close" && r.by == (c.server_closes ? "server" : "client");
    })) << "the close is recorded";
    if (c.request.size() > kMaxLineBytes) continue;  // the simulator refuses it before the replay
    // Replayed, the trace gives a client the same bytes and the same close.
    Replay replay(trace::Exchanges(records), true);
    Server replaying{rec.sim, rec.plan, nullptr, ServerOptions{"127.0.0.1", 0, 64}};
    replaying.UseReplay(&replay);
    replaying.Start();
    RawClient again(replaying.port());
    again.Send(c.request);
    EXPECT_EQ(again.Take(c.reply.size()), c.reply);
    if (c.server_closes) {
      EXPECT_TRUE(again.WaitClosed(3000)) << "the replay kept the close";
    }
  }
}

TEST(Recorder, ClosesTheClientAtOnceWhenTheServerRefuses) {
  const int closed_port = FakeServer().port();  // gone again
  Recording rec(closed_port);
  RawClient client(rec.server.port());
  EXPECT_TRUE(client.WaitClosed(3000));
  rec.server.Stop();
  const std::vector<trace::Record> records = trace::Load(rec.path).records;
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].event, "refused");
  EXPECT_THAT(records[0].error, HasSubstr("refused"));
}

TEST(TraceFile, EscapesEveryByteAndNamesFileAndLineOfABadRecord) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string escaped = trace::Escape(all);
  EXPECT_EQ(escaped.find_first_not_of(" !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                      "[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~"),
            std::string::npos);
  EXPECT_EQ(trace::Unescape(escaped), all);

  const std::string head = "{\"format\":\"kestrel-trace\",\"version\":1}\n";
  const std::pair<std::string, const char*> cases[] = {
      {"", "t.jsonl: empty, not a kestrel trace"},
      {"{\"us\":1}\n", "t.jsonl:1: not a kestrel trace"},
      {"{\"format\":\"kestrel-trace\",\"version\":2}\n", "t.jsonl:1: trace version 2 is not"},
      {head + "{\"us\":1,\"conn\":1,\n", "t.jsonl:2: not JSON"},
      {head + "\n{\"us\":1,\"conn\":1,\"dir\":\"reply\",\"end\":\"lf\"}\n",
       "t.jsonl:3: record has no 'line'"},
      {head + "{\"us\":-4,\"conn\":1,\"event\":\"open\"}", "t.jsonl:2: 'us' is not a whole number"},
      {head + "{\"us\":1,\"conn\":1,\"dir\":\"reply\",\"line\":\"\\\\x4\",\"end\":\"lf\"}",
       "t.jsonl:2: 'line': bad escape at byte 0"},
      {head + "{\"us\":1,\"conn\":1,\"event\":\"close\"}", "t.jsonl:2: record has no 'by'"},
  };
  for (const auto& [text, message] : cases) {
    std::istringstream in(text);
    try {
      trace::Parse(in, "t.jsonl");
      ADD_FAILURE() << "read: " << text;
    } catch (const trace::TraceError& e) {
      EXPECT_THAT(e.what(), HasSubstr(message));
    }
  }
}

TEST(TraceFile, RepliesGoToTheRequestTheyAnswer) {
  auto line = [](std::int64_t us, Dir dir, const char* bytes) {
    trace::Record r;
    r.us = us;
    r.conn = 1;
    r.dir = dir;
    r.bytes = bytes;
    return r;
  };
  trace::Record close;
  close.us = 9000;
  close.conn = 1;
  close.event = "close";
  close.by = "server";
  // A late GetReal reply after the next request, a silent request, a close.
  const std::vector<trace::Exchange> ex = trace::Exchanges(
      {line(0, Dir::kRequest, "<GetReal,C,1,2>"), line(5000, Dir::kRequest, "<GetGain,C>"),
       line(6000, Dir::kReply, "<GetReal,OK,1&2>"), line(6100, Dir::kReply, "<GetGain,OK,1>"),
       line(7000, Dir::kRequest, "<GetExposure,C>"), line(8000, Dir::kRequest, "<GetIntensity,C>"),
       close});
  ASSERT_EQ(ex.size(), 5u);
  EXPECT_FALSE(ex[0].has_request);
  ASSERT_EQ(ex[1].replies.size(), 1u);
  EXPECT_EQ(ex[1].replies[0].bytes, "<GetReal,OK,1&2>");
  EXPECT_EQ(ex[1].replies[0].wait_us, 6000);
  ASSERT_EQ(ex[2].replies.size(), 1u);
  EXPECT_EQ(ex[2].replies[0].wait_us, 100) << "waited while the GetReal was served";
  EXPECT_TRUE(ex[3].replies.empty() && !ex[3].closed);
  EXPECT_TRUE(ex[4].replies.empty() && ex[4].closed);
  EXPECT_EQ(ex[4].close_wait_us, 1000);
}

// ---- The programs ---------------------------------------------------------------

#ifdef _WIN32
TEST(RecordProgram, ReplayGivesTheClientTheRecordedSessionAndNamesDivergences) {
  GTEST_SKIP() << "stops the recorder and the simulator with POSIX signals; the relay and the "
                  "replay's server run on Winsock in the cases above";
}
#else

struct CliRun {
  int code;
  std::string out, err;
};
CliRun Cli(const std::string& args) {
  const std::string io = TempFile("cli_");
  const int status =
      std::system((KESTREL_CLI_PATH " " + args + " >" + io + "out 2>" + io + "err").c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Slurp(io + "out"), Slurp(io + "err")};
}

std::string PortOf(std::FILE* out) {
  int port = 0;
  EXPECT_EQ(std::fscanf(out, "kestrel-sim listening on 127.0.0.1:%d", &port), 1);
  return std::to_string(port);
}

TEST(RecordProgram, ReplayGivesTheClientTheRecordedSessionAndNamesDivergences) {
  const std::string trace = TempFile("session.jsonl"), script = KESTREL_TEST_DATA "/all_commands.txt";
  const auto [sim, sim_out] = Spawn("--port 0 --autofocus-ms 50 --fault GetIntensity/1:ng:busy");
  const auto [rec, rec_out] =
      Spawn("--port 0 --record " + trace + " --forward 127.0.0.1:" + PortOf(sim_out));
  const CliRun recorded = Cli("--port " + PortOf(rec_out) + " --json --keep-going --script " + script);
  ::kill(rec, SIGTERM);
  EXPECT_EQ(WaitExit(rec), 0);
  ::kill(sim, SIGTERM);
  EXPECT_EQ(WaitExit(sim), 0);
  ::pclose(sim_out);
  ::pclose(rec_out);
  EXPECT_EQ(recorded.code, 1) << "template-match-scell and get-light fail";

  // The console lines name the server's port, which differs; nothing else may.
  const auto portless = [](const std::string& s) {
    return std::regex_replace(s, std::regex("127\\.0\\.0\\.1:[0-9]+"), "ADDRESS");
  };
  const std::string changed = TempFile("changed.txt");
  std::ofstream(changed) << std::regex_replace(Slurp(script), std::regex("get-real Cam1 100"),
                                               "get-real Cam1 101");
  for (const bool diverge : {false, true}) {
    SCOPED_TRACE(diverge);
    const std::string summary = TempFile("summary");
    const auto [replay, replay_out] = Spawn("--port 0 --replay " + trace +
                                            " --pace fast --exit-after-replay --strict 2>" + summary);
    const CliRun replayed = Cli("--port " + PortOf(replay_out) + " --json --keep-going --script " +
                             (diverge ? changed : script));
    EXPECT_EQ(WaitExit(replay), diverge ? 3 : 0);
    ::pclose(replay_out);
    if (!diverge) {
      EXPECT_EQ(replayed.out, recorded.out);
      EXPECT_EQ(portless(replayed.err), portless(recorded.err));
      EXPECT_THAT(Slurp(summary), HasSubstr("31 requests replayed, 0 diverged, 0 recorded replies"));
    } else {
      EXPECT_THAT(replayed.out, HasSubstr("\"error\":\"no recorded reply\""));
      EXPECT_THAT(Slurp(summary), HasSubstr("1 diverged, 1 recorded replies unused\n"
                                            "  diverged: <GetReal,Cam1,101.000000,-20.500000>"));
      EXPECT_THAT(Slurp(summary), HasSubstr("unused: <GetReal,Cam1,100.000000,-20.500000>"));
    }
  }

  const CliRun view = Cli("trace --json " + trace);
  EXPECT_EQ(view.code, 0) << view.err;
  EXPECT_EQ(std::count(view.out.begin(), view.out.end(), '\n'), 31);
  EXPECT_THAT(view.out, HasSubstr("\"command\":\"GetIntensity\",\"outcome\":\"NG\",\"message\":\"busy\""));
  std::ofstream(trace, std::ios::app) << "{\"us\":1}\n";
  const CliRun broken = Cli("trace " + trace);
  EXPECT_EQ(broken.code, 2);
  EXPECT_THAT(broken.err, HasSubstr(trace + ":"));
  EXPECT_THAT(broken.err, HasSubstr("record has no 'conn'"));
}

#endif

}  // namespace
}  // namespace kestrel::sim
