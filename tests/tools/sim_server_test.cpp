// The simulator over real loopback sockets: what only a socket shows (line
// framing, faults on the wire, closing, concurrent clients) with the server
// started in-process, and the built kestrel-sim program's stop on signals.
#include <gmock/gmock.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sim_client.h"

namespace kestrel::sim {
namespace {

using ::testing::StartsWith;

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
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      RawClient c(sim.port());
      const std::string cam = "Cam" + std::to_string(i);
      for (int k = 0; k < 200; ++k) {
        const std::string gain = std::to_string(i * 1000 + k) + ".000000";
        wrong += c.Ask("<SetGain," + cam + "," + gain + ">") != "<SetGain,OK,done>";
        wrong += c.Ask("<GetGain," + cam + ">") != "<GetGain,OK," + gain + ">";
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
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
      {"", "<GetRuler" + too_long, 0, false, RulerLine(30000), 30000},
      {"", "<GetRuler" + too_long, 0, false, RulerLine(25000), 1000},
      {"", "<Unknown" + too_long, 0, false, std::string(12000, 'x') + "\r\n"},
      {"GetGain:wrong-head", "<WrongHead,OK,1.000000>\r\n"},
      {"GetGain/3:wrong-head:SetGain", "<SetGain,OK,1.000000>\r\n"},
      {"GetGain:bad-type:WAIT", "<GetGain,WAIT,1.000000>\r\n"},
      {"GetGain:ng", "<GetGain,NG,injected failure>\r\n"},
      {"GetGain:ng:lens error: code 7, retry", "<GetGain,NG,lens error: code 7, retry>\r\n"},
      {"GetGain:unframed", "GetGain,OK,1.000000\r\n"},
      {"GetGain:oversized", "<GetGain,OK," + std::string(19985, 'X') + ">\r\n"},
      {"GetGain:oversized:12000", "<GetGain,OK," + std::string(11985, 'X') + ">\r\n"},
      {"GetGain:delay:200", kGain + "\r\n", 200},
      {"GetGain:chunks:3:120", kGain + "\r\n", 240, true},
      {"GetGain:silent", ""}, {"*/1:silent", ""},
      // clang-format on
  };
  for (const Wire& f : cases) {
    SCOPED_TRACE(std::string(f.rule) + " " + f.send.substr(0, 40));
    const SimOnPort sim(*f.rule ? std::vector<std::string>{f.rule} : std::vector<std::string>{});
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
}

TEST(SimServer, CloseAfterCountsEachConnectionsRequests) {
  const SimOnPort sim({"GetGain/2:close-after:2"});
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

// POSIX only: a Windows program stops on a console control event, which a
// test cannot send to a program without a console.
#ifndef _WIN32
TEST(SimProgram, StopsPromptlyOnSignalsEvenMidAutoFocus) {
  for (const int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    const Spawned sim = Spawn("--port 0 --log - --autofocus-ms 20000 --fault GetExposure:ng:cli");
    RawClient c(sim.port), focusing(sim.port);
    focusing.Send("<AutoFocus,Cam1,2,0,1,0,0,0>\r\n");
    EXPECT_EQ(c.Ask("<GetExposure,Cam1>"), "<GetExposure,NG,cli>");
    char log[256];  // the log tells when the cycle has begun
    while (std::fgets(log, sizeof log, sim.out) && !std::strstr(log, "<- <AutoFocus")) continue;
    const auto start = Clock::now();
    ::kill(sim.pid, sig);
    EXPECT_EQ(WaitExit(sim), 0);
    EXPECT_LT(MsSince(start), 3000) << "the auto focus cycle held up the stop";
  }
}
#endif

}  // namespace
}  // namespace kestrel::sim
