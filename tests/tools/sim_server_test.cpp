// The simulator over real loopback sockets: what only a socket shows (line
// framing, faults on the wire, closing, concurrent clients) with the server
// started in-process; the recorder in front of a scripted server (bytes on the
// wire and in the trace), the trace reader's errors and grouping; and the
// built programs: kestrel-sim's stop on signals, a whole session recorded and
// replayed, and the client's view of the trace.
#include <gmock/gmock.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim_client.h"
#include "support/fake_server.h"

namespace kestrel::sim {
namespace {

using kestrel_test::FakeServer;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using trace::Dir;
using trace::End;

const std::string kGain = "<GetGain,OK,1.000000>";

TEST(SimServer, ServesClientsAtOnceWhileAnAutoFocusRuns) {
  SimConfig cfg;
  cfg.autofocus_ms = 300;
  const SimOnPort sim({}, cfg);
  RawClient focus(sim.port()), other(sim.port());
  const auto start = Clock::now();
  focus.Send("<AutoFocus,Cam1,2,0.5,1.5,0.01,3,0>\r\n");
  EXPECT_EQ(other.Ask("<GetGain,Cam1>"), kGain);
  EXPECT_LT(MsSince(start), 300) << "a client waited for another's auto focus";
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      RawClient c(sim.port());
      const std::string cam = "Cam" + std::to_string(i);
      for (int k = 0; k < 200; ++k) {
        const std::string gain = std::to_string(i * 1000 + k) + ".000000";
        EXPECT_EQ(c.Ask("<SetGain," + cam + "," + gain + ">"), "<SetGain,OK,done>");
        EXPECT_EQ(c.Ask("<GetGain," + cam + ">"), "<GetGain,OK," + gain + ">");
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_THAT(focus.Take(), StartsWith("<AutoFocus,OK,1.000000,"));
  EXPECT_GE(MsSince(start), 300) << "the auto focus cycle was cut short";
}

// A GetRuler request exactly `total` bytes long, CR LF included.
std::string RulerLine(std::size_t total) {
  const std::string head = "<GetRuler,Cam1,1,2.";
  return head + std::string(total - head.size() - 3, '0') + ">\r\n";
}

// What a client sending `send` (in pieces of `piece` bytes; 0: at once) gets
// with a fault `rule`: the exact bytes, at the earliest `min_ms` later. The
// connection then serves another word normally.
struct Wire {
  const char* rule;
  std::string bytes;  // "": no reply at all
  long min_ms = 0;
  bool pieces = false;  // the first read brings part of the line only
  std::string send = "<GetGain,Cam1>\r\n";
  std::size_t piece = 0;
};

TEST(SimServer, FramesLinesAndAltersTheRepliesOfFaultRules) {
  const std::string too_long = ",NG,request line longer than 10240 bytes refused>\r\n";
  const Wire cases[] = {
      // clang-format off
      {"", kGain + "\r\n", 0, false, "<GetGain,Cam1>\r\n", 3},  // across reads
      {"", "<SetGain,OK,done>\r\n<GetGain,OK,3.000000>\r\n<GetIntensity,OK,128>\r\n", 0, false,
       "<SetGain,Cam1,3>\r\n<GetGain,Cam1>\r\n<GetIntensity,Cam1>\n"},
      {"", "<GetRuler,OK,0.002500&0.005000>\r\n", 0, false, RulerLine(kMaxLineBytes)},  // longest
      {"", "<GetRuler" + too_long, 0, false, RulerLine(kMaxLineBytes + 1)},
      {"", "<GetRuler" + too_long, 0, false, RulerLine(25000), 1000},
      {"", "<Unknown" + too_long, 0, false, std::string(12000, 'x') + "\r\n"},
      {"GetGain/3:wrong-head:SetGain", "<SetGain,OK,1.000000>\r\n"},
      {"GetGain:bad-type:WAIT", "<GetGain,WAIT,1.000000>\r\n"},
      {"GetGain:ng:lens error: code 7, retry", "<GetGain,NG,lens error: code 7, retry>\r\n"},
      {"GetGain:unframed", "GetGain,OK,1.000000\r\n"},
      {"GetGain:oversized:12000", "<GetGain,OK," + std::string(11985, 'X') + ">\r\n"},
      {"GetGain:delay:200", kGain + "\r\n", 200},
      {"GetGain:chunks:3:120", kGain + "\r\n", 240, true},
      {"GetGain:silent", ""}, {"*/1:silent", ""},
      // clang-format on
  };
  for (const Wire& f : cases) {
    SCOPED_TRACE(std::string(f.rule) + " " + f.send.substr(0, 40));
    const SimOnPort sim(*f.rule ? std::vector<Fault>{ParseFault(f.rule)} : std::vector<Fault>{});
    RawClient c(sim.port());
    const auto start = Clock::now();
    const std::size_t piece = f.piece ? f.piece : f.send.size();
    for (std::size_t at = 0; at < f.send.size(); at += piece) c.Send(f.send.substr(at, piece));
    if (f.pieces) {
      ASSERT_TRUE(c.Receive(3000));
      EXPECT_EQ(c.Take(0, 0), "") << "the first piece is the whole reply";
    }
    EXPECT_EQ(c.Take(std::max<std::size_t>(f.bytes.size(), 1), f.bytes.empty() ? 300 : 3000),
              f.bytes);
    EXPECT_GE(MsSince(start), f.min_ms);
    EXPECT_EQ(c.Ask("<GetExposure,Cam1>"), "<GetExposure,OK,10000.000000>");
  }
  // A reset ends the connection at once, with no reply.
  const SimOnPort sim({ParseFault("GetGain:reset")});
  RawClient c(sim.port());
  c.Send("<GetGain,Cam1>\r\n");
  EXPECT_TRUE(c.WaitClosed(2000));
}

TEST(SimServer, CloseAfterCountsEachConnectionsRequests) {
  const SimOnPort sim({ParseFault("GetGain/2:close-after:2")});
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    RawClient c(sim.port());
    c.Send(
        "<GetGain,Cam1>\r\n<GetExposure,Cam1>\r\n<GetGain,Cam1>\r\n");  // GetExposure not counted
    const std::string replies = kGain + "\r\n<GetExposure,OK,10000.000000>\r\n" + kGain + "\r\n";
    EXPECT_EQ(c.Take(replies.size()), replies) << "closed before it replied";
    // The rule closes two connections; the third one is left open.
    EXPECT_EQ(c.WaitClosed(round < 2 ? 2000 : 200), round < 2);
  }
}

// The recorder in front of `upstream_port`, writing to a fresh trace file.
struct Recording {
  std::string path = TempFile("trace.jsonl");
  trace::Writer writer{path, "upstream"};
  Recorder recorder;
  SimOnPort sim;
  explicit Recording(int upstream_port, FaultPlan* faults = nullptr, Journal* journal = nullptr)
      : recorder(writer, "127.0.0.1", upstream_port, faults, journal), sim({}, {}, &recorder) {}
  // Stops once the trace holds a close or refusal (or when none comes in time).
  std::vector<trace::Record> Stop() {
    const std::regex last("\"event\":\"(close|refused)\"");
    for (const auto start = Clock::now(); MsSince(start) < 3000;
         std::this_thread::sleep_for(std::chrono::milliseconds(2)))
      if (std::regex_search(Slurp(path), last)) break;
    sim.server->Stop();
    return trace::Load(path).records;
  }
};

// Each line of a trace as direction, bytes and terminator (and a fault's
// rule and what the client got, "-" for nothing); each event with who, up to
// the first close (a second one races with the stop).
std::vector<std::string> Lines(const std::vector<trace::Record>& records) {
  std::vector<std::string> lines;
  for (auto r = records.begin(); r != records.end() && (lines.empty() || lines.back()[0] != 'c');
       ++r)
    lines.push_back(r->event.empty() ? (r->dir == Dir::kRequest ? "> " : "< ") + r->bytes +
                                           std::string(trace::Terminator(r->end)) +
                                           (r->fault.empty() ? "" : " [" + r->fault + "] " +
                                                                        r->client.value_or("-"))
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
      RawClient client(rec.sim.port());
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
    const SimOnPort replaying({}, {}, nullptr, &replay);
    RawClient again(replaying.port());
    again.Send(c.request);
    EXPECT_EQ(again.Take(reply.size()), reply);
    EXPECT_TRUE(!server_closes || again.WaitClosed(3000)) << "the replay kept the close";
  }
}

// The simulator behind the recorder, whose rules shape what its client gets;
// the trace and the journal keep both sides.
TEST(Recorder, ShapesTheServersRepliesWithFaultRulesAndRecordsBoth) {
  const SimOnPort server;
  FaultPlan faults({ParseFault("GetGain/1:ng:camera busy"), ParseFault("GetExposure:reset")});
  Journal journal(10);
  Recording rec(server.port(), &faults, &journal);
  {
    RawClient client(rec.sim.port());
    EXPECT_EQ(client.Ask("<GetGain,Cam1>"), "<GetGain,NG,camera busy>");
    EXPECT_EQ(client.Ask("<GetGain,Cam1>"), kGain);
    EXPECT_EQ(client.Ask("<GetExposure,Cam1>"), "");
    EXPECT_TRUE(client.WaitClosed(3000));
  }
  const std::string get = "> <GetGain,Cam1>\r\n";
  EXPECT_THAT(Lines(rec.Stop()),
              ::testing::ElementsAre("open ", get,
                                     "< " + kGain + "\r\n [GetGain/1:ng:camera busy] "
                                                    "<GetGain,NG,camera busy>",
                                     get, "< " + kGain + "\r\n", "> <GetExposure,Cam1>\r\n",
                                     "< <GetExposure,OK,10000.000000>\r\n [GetExposure:reset] -",
                                     "close fault"));
  std::string entries;
  for (const Exchange& e : journal.Since(1, 10).entries)
    entries += e.outcome + " " + e.reply.value_or("-") + " " + e.server_reply.value_or("-") + "|";
  EXPECT_EQ(entries, "NG <GetGain,NG,camera busy> " + kGain + "|OK " + kGain +
                         " -|reset - <GetExposure,OK,10000.000000>|");
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

// The programs, stopped with signals: POSIX only (a Windows program stops on
// a console control event, which a test cannot send to a program without a
// console; the Recorder case runs the relay and the replay's server on
// Winsock too).
#ifndef _WIN32
TEST(SimProgram, StopsPromptlyOnASignalEvenMidAutoFocus) {
  const Spawned sim = Spawn("--port 0 --log - --autofocus-ms 20000");
  RawClient focusing(sim.port);
  focusing.Send("<AutoFocus,Cam1,2,0,1,0,0,0>\r\n");
  char log[256];  // the log tells when the cycle has begun
  while (std::fgets(log, sizeof log, sim.out) && !std::strstr(log, "<- <AutoFocus")) continue;
  const auto start = Clock::now();
  ::kill(sim.pid, SIGTERM);
  EXPECT_EQ(WaitExit(sim), 0);
  EXPECT_LT(MsSince(start), 3000) << "the auto focus cycle held up the stop";
}

TEST(RecordProgram, ReplayGivesTheClientTheRecordedSessionAndNamesDivergences) {
  const std::string trace = TempFile("session.jsonl"), summary = TempFile("summary");
  const auto run = [](int port) {
    return RunCli({"--port", std::to_string(port), "--json", "--keep-going", "--script",
                   KESTREL_TEST_DATA "/all_commands.txt"});
  };
  const auto replay = [&] {
    return Spawn("--port 0 --replay " + trace + " --pace fast --exit-after-replay --strict 2>" +
                 summary);
  };
  const Spawned sim = Spawn("--port 0 --autofocus-ms 50 --fault GetIntensity/1:ng:busy");
  const Spawned rec =
      Spawn("--port 0 --record " + trace + " --forward 127.0.0.1:" + std::to_string(sim.port));
  const CliRun recorded = run(rec.port);
  ::kill(rec.pid, SIGINT);
  EXPECT_EQ(WaitExit(rec), 0);
  ::kill(sim.pid, SIGTERM);
  EXPECT_EQ(WaitExit(sim), 0);

  Spawned played = replay();
  EXPECT_EQ(run(played.port).out, recorded.out);
  EXPECT_EQ(WaitExit(played), 0);
  EXPECT_THAT(Slurp(summary), HasSubstr("31 requests replayed, 0 diverged, 0 recorded replies"));
#ifdef KESTREL_CAPTURES
  // The session as a packet capture replays the same.
  const std::string capture = TempFile("session.pcap");
  ASSERT_EQ(RunCli({"trace", trace, "--pcap", capture}).code, 0);
  played = Spawn("--port 0 --replay " + capture + " --pace fast --exit-after-replay --strict");
  EXPECT_EQ(run(played.port).out, recorded.out);
  EXPECT_EQ(WaitExit(played), 0);
#endif
  // A request that was not recorded is refused and named, and fails a strict replay.
  played = replay();
  EXPECT_EQ(RawClient(played.port).Ask("<GetReal,Cam1,101>"), "<GetReal,NG,no recorded reply>");
  EXPECT_EQ(WaitExit(played), 3);
  EXPECT_THAT(Slurp(summary),
              HasSubstr("1 requests replayed, 1 diverged, 31 recorded replies unused\n"
                        "  diverged: <GetReal,Cam1,101> (no recorded reply)\n"
                        "  unused: <AdjustBrightness,B,A,120,1> (connection 1 at"));

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
