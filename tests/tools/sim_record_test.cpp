// Recording and replay: the recorder in-process in front of a scripted
// server (bytes on the wire and in the trace), the trace reader's errors and
// grouping, and a whole session recorded and replayed by the built programs.
#include <gmock/gmock.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

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
  // Stops once the trace holds a close or refusal (or when none comes in time).
  std::vector<trace::Record> Stop() {
    const std::regex last("\"event\":\"(close|refused)\"");
    for (const auto start = Clock::now(); MsSince(start) < 3000;
         std::this_thread::sleep_for(std::chrono::milliseconds(2)))
      if (std::regex_search(Slurp(path), last)) break;
    server.Stop();
    return trace::Load(path).records;
  }
};

// Each line of a trace as direction, bytes and terminator; each event with
// who, up to the first close (a second one races with the stop).
std::vector<std::string> Lines(const std::vector<trace::Record>& records) {
  std::vector<std::string> lines;
  for (auto r = records.begin(); r != records.end() && (lines.empty() || lines.back()[0] != 'c');
       ++r)
    lines.push_back(r->event.empty() ? (r->dir == Dir::kRequest ? "> " : "< ") + r->bytes +
                                           std::string(trace::Terminator(r->end))
                                     : r->event + " " + r->by);
  return lines;
}

// The client must get the bytes of the reply lines, and see the server's close.
TEST(Recorder, PassesEveryByteBothWaysAndRecordsEachLine) {
  const std::string gbk_long = "<SetStateColor,Cam1,\xBA\xEC\\\"" + std::string(20000, 'x') + ">";
  const std::string get = "<GetGain,Cam1>\r\n";
  const struct {
    const char* name;
    std::string request;  // what the client sends
    FakeServer::Step step;
    std::vector<std::string> lines;
  } cases[] = {
      // clang-format off
      {"reply in chunks", get, FakeServer::Chunks({"<GetGain,OK,", "1.000000>\r", "\n"}, 20),
       {"open ", "> " + get, "< <GetGain,OK,1.000000>\r\n", "close client"}},
      {"two replies in one segment", get, FakeServer::Answer("<GetGain,OK,1>\r\n<GetGain,OK,2>\n"),
       {"open ", "> " + get, "< <GetGain,OK,1>\r\n", "< <GetGain,OK,2>\n", "close client"}},
      {"over-long GBK line", gbk_long + "\r\n", FakeServer::Line(gbk_long),
       {"open ", "> " + gbk_long + "\r\n", "< " + gbk_long + "\r\n", "close client"}},
      {"close mid-line", get, FakeServer::AnswerThenHangup("<GetGain,OK,1.0"),
       {"open ", "> " + get, "< <GetGain,OK,1.0", "close server"}},
      {"reset", get, FakeServer::Reset(), {"open ", "> " + get, "close server"}},
      // The server refuses: the client is closed at once.
      {"refused", "", FakeServer::Reset(), {"refused "}},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string reply;
    for (const std::string& line : c.lines)
      if (line[0] == '<') reply += line.substr(2);
    const bool server_closes = c.lines.back() != "close client";
    FakeServer upstream;
    upstream.Push(c.step);
    Recording rec(c.request.empty() ? FakeServer().port() : upstream.port());  // gone again
    {
      RawClient client(rec.server.port());
      client.Send(c.request);
      EXPECT_EQ(client.Take(reply.size()), reply);
      EXPECT_TRUE(!server_closes || client.WaitClosed(3000)) << "the server's close was kept";
    }
    const std::vector<trace::Record> records = rec.Stop();
    EXPECT_EQ(Lines(records), c.lines);
    // Replayed, the trace gives a client the same bytes and the same close
    // (an over-long line the simulator refuses before the replay sees it).
    if (c.request.empty() || c.request.size() > kMaxLineBytes) continue;
    Replay replay(trace::Exchanges(records), true);
    Server replaying{rec.sim, rec.plan, nullptr, ServerOptions{"127.0.0.1", 0, 64}};
    replaying.UseReplay(&replay);
    replaying.Start();
    RawClient again(replaying.port());
    again.Send(c.request);
    EXPECT_EQ(again.Take(reply.size()), reply);
    EXPECT_TRUE(!server_closes || again.WaitClosed(3000)) << "the replay kept the close";
  }
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
    EXPECT_THAT([&] { trace::Parse(in, "t.jsonl"); },
                ::testing::ThrowsMessage<trace::TraceError>(HasSubstr(message)));
  }
}

TEST(TraceFile, RepliesGoToTheRequestTheyAnswer) {
  // A late GetReal reply after the next request, a silent request, a close.
  const std::vector<trace::Record> records = {
      {0, 1, "", Dir::kRequest, "<GetReal,C,1,2>", End::kCrLf, "", ""},
      {5000, 1, "", Dir::kRequest, "<GetGain,C>", End::kCrLf, "", ""},
      {6000, 1, "", Dir::kReply, "<GetReal,OK,1&2>", End::kCrLf, "", ""},
      {6100, 1, "", Dir::kReply, "<GetGain,OK,1>", End::kCrLf, "", ""},
      {7000, 1, "", Dir::kRequest, "<GetExposure,C>", End::kCrLf, "", ""},
      {8000, 1, "", Dir::kRequest, "<GetIntensity,C>", End::kCrLf, "", ""},
      {9000, 1, "close", Dir::kReply, "", End::kNone, "server", ""},
  };
  std::string summary;
  for (const auto& e : trace::Exchanges(records)) {
    summary += (e.has_request ? e.request : "-") + ":";
    for (const auto& r : e.replies) summary += " " + r.bytes + "@" + std::to_string(r.wait_us);
    summary += e.closed ? " closed@" + std::to_string(e.close_wait_us) + "|" : "|";
  }
  EXPECT_EQ(summary,
            "-:|<GetReal,C,1,2>: <GetReal,OK,1&2>@6000|<GetGain,C>: <GetGain,OK,1>@100|"
            "<GetExposure,C>:|<GetIntensity,C>: closed@1000|");
}

// POSIX only: the programs are stopped with signals (the Recorder case runs
// the relay and the replay's server on Winsock too).
#ifndef _WIN32
TEST(RecordProgram, ReplayGivesTheClientTheRecordedSessionAndNamesDivergences) {
  const std::string trace = TempFile("session.jsonl"),
                    script = KESTREL_TEST_DATA "/all_commands.txt";
  const auto run = [](int port, const std::string& script) {
    return RunCli({"--port", std::to_string(port), "--json", "--keep-going", "--script", script});
  };
  const Spawned sim = Spawn("--port 0 --autofocus-ms 50 --fault GetIntensity/1:ng:busy");
  const Spawned rec =
      Spawn("--port 0 --record " + trace + " --forward 127.0.0.1:" + std::to_string(sim.port));
  const CliRun recorded = run(rec.port, script);
  for (const Spawned& s : {rec, sim}) {
    ::kill(s.pid, SIGTERM);
    EXPECT_EQ(WaitExit(s), 0);
  }
  EXPECT_EQ(recorded.code, 1) << "template-match-scell and get-light fail";

  const std::string changed = TempFile("changed.txt");
  std::ofstream(changed) << std::regex_replace(Slurp(script), std::regex("get-real Cam1 100"),
                                               "get-real Cam1 101");
  for (const bool diverge : {false, true}) {
    SCOPED_TRACE(diverge);
    const std::string summary = TempFile("summary");
    const Spawned replay = Spawn("--port 0 --replay " + trace +
                                 " --pace fast --exit-after-replay --strict 2>" + summary);
    const CliRun replayed = run(replay.port, diverge ? changed : script);
    EXPECT_EQ(WaitExit(replay), diverge ? 3 : 0);
    if (diverge) {
      EXPECT_THAT(replayed.out, HasSubstr("\"error\":\"no recorded reply\""));
    } else {
      EXPECT_EQ(replayed.out, recorded.out);
    }
    EXPECT_THAT(
        Slurp(summary),
        HasSubstr(diverge ? "31 requests replayed, 1 diverged, 1 recorded replies unused\n"
                            "  diverged: <GetReal,Cam1,101.000000,-20.500000> (no "
                            "recorded reply)\n  unused: <GetReal,Cam1,100.000000,-20.500000>"
                          : "31 requests replayed, 0 diverged, 0 recorded replies unused\n"));
  }

  const CliRun view = RunCli({"trace", "--json", trace});
  EXPECT_EQ(view.code, 0) << view.err;
  EXPECT_EQ(std::count(view.out.begin(), view.out.end(), '\n'), 31);
  EXPECT_THAT(view.out,
              HasSubstr("\"command\":\"GetIntensity\",\"outcome\":\"NG\",\"message\":\"busy\""));
  std::ofstream(trace, std::ios::app) << "{\"us\":1}\n";
  const CliRun broken = RunCli({"trace", trace});
  EXPECT_EQ(broken.code, 2);
  EXPECT_THAT(broken.err, ::testing::ContainsRegex(trace + ":[0-9]+: record has no 'conn'"));
}
#endif

}  // namespace
}  // namespace kestrel::sim
