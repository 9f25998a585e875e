// The simulator over real loopback sockets: what only a socket shows (line
// framing, concurrent clients, faults on the wire, closing) with the server
// started in-process, and the built kestrel-sim program's life cycle.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sim_client.h"
#include "sim_on_port.h"

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
  EXPECT_THAT(focus.ReadLine(), StartsWith("<AutoFocus,OK,1.000000,"));
  EXPECT_GE(MsSince(start), 300) << "the auto focus cycle was cut short";
}

// A GetRuler request exactly `total` bytes long, CR LF included.
std::string RulerLine(std::size_t total) {
  const std::string head = "<GetRuler,Cam1,1,2.";
  return head + std::string(total - head.size() - 3, '0') + ">\r\n";
}

TEST(SimServer, LinesAreFramedAcrossReadsAndOverlongOnesRefused) {
  const SimOnPort sim;
  RawClient c(sim.port());
  for (const char* piece : {"<GetG", "ain,Cam1>\r", "\n"}) c.Send(piece);
  EXPECT_EQ(c.ReadLine(), kGain + "\r\n");
  c.Send("<SetGain,Cam1,3>\r\n<GetGain,Cam1>\r\n<GetIntensity,Cam1>\n");
  for (const char* reply :
       {"<SetGain,OK,done>\r\n", "<GetGain,OK,3.000000>\r\n", "<GetIntensity,OK,128>\r\n"})
    EXPECT_EQ(c.ReadLine(), reply);
  c.Send(RulerLine(kMaxLineBytes));  // the longest line taken
  EXPECT_THAT(c.ReadLine(), StartsWith("<GetRuler,OK,"));
  const std::string refused = ",NG,request line longer than 10240 bytes refused>\r\n";
  // Each line, and the size of the pieces it is sent in.
  const std::pair<std::string, std::size_t> cases[] = {
      {RulerLine(kMaxLineBytes + 1), kMaxLineBytes + 1},
      {RulerLine(30000), 30000},
      {RulerLine(25000), 1000},
      {std::string(12000, 'x') + "\r\n", 12002}};
  for (const auto& [line, piece] : cases) {
    for (std::size_t at = 0; at < line.size(); at += piece) c.Send(line.substr(at, piece));
    EXPECT_EQ(c.ReadLine(), (line[0] == '<' ? "<GetRuler" : "<Unknown") + refused);
    EXPECT_EQ(c.Ask("<GetGain,Cam1>"), "<GetGain,OK,3.000000>") << line.size();
  }
}

// Every fault rule on the wire (each kind, its defaults and arguments): the
// reply bytes to <GetGain,Cam1>, and how late they come at the least. Another
// word is answered normally afterwards.
struct WireFault {
  const char* rule;
  std::string bytes;  // "": no reply at all
  long min_ms = 0;
  bool pieces = false;  // the first read brings part of the line only
};
std::ostream& operator<<(std::ostream& os, const WireFault& f) { return os << f.rule; }

class SimServerFault : public ::testing::TestWithParam<WireFault> {};

TEST_P(SimServerFault, AltersTheReplyOfItsWordOnly) {
  const WireFault& f = GetParam();
  const SimOnPort sim({f.rule});
  RawClient c(sim.port());
  const auto start = Clock::now();
  c.Send("<GetGain,Cam1>\r\n");
  if (f.pieces) {
    ASSERT_TRUE(c.Receive(3000));
    EXPECT_EQ(c.ReadLine(0), "") << "the first piece is the whole reply";
  }
  EXPECT_EQ(c.ReadLine(f.bytes.empty() ? 300 : 3000), f.bytes);
  EXPECT_GE(MsSince(start), f.min_ms);
  EXPECT_EQ(c.Ask("<GetExposure,Cam1>"), "<GetExposure,OK,10000.000000>");
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, SimServerFault,
    ::testing::Values(
        WireFault{"GetGain:wrong-head", "<WrongHead,OK,1.000000>\r\n"},
        WireFault{"GetGain/3:wrong-head:SetGain", "<SetGain,OK,1.000000>\r\n"},
        WireFault{"GetGain:bad-type", "<GetGain,ERR,1.000000>\r\n"},
        WireFault{"GetGain:bad-type:WAIT", "<GetGain,WAIT,1.000000>\r\n"},
        WireFault{"GetGain:ng", "<GetGain,NG,injected failure>\r\n"},
        WireFault{"GetGain:ng:lens error: code 7, retry", "<GetGain,NG,lens error: code 7, retry>\r\n"},
        WireFault{"GetGain:unframed", "GetGain,OK,1.000000\r\n"},
        WireFault{"GetGain:oversized", "<GetGain,OK," + std::string(19985, 'X') + ">\r\n"},
        WireFault{"GetGain:oversized:12000", "<GetGain,OK," + std::string(11985, 'X') + ">\r\n"},
        WireFault{"GetGain:delay:200", kGain + "\r\n", 200},
        WireFault{"GetGain:chunks:3:120", kGain + "\r\n", 240, true},
        WireFault{"GetGain:silent", ""}, WireFault{"*/1:silent", ""}));

TEST(SimServer, CloseAfterCountsEachConnectionsRequests) {
  const SimOnPort sim({"GetGain/2:close-after:2"});
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    RawClient c(sim.port());
    EXPECT_EQ(c.Ask("<GetExposure,Cam1>"), "<GetExposure,OK,10000.000000>");  // not counted
    EXPECT_EQ(c.Ask("<GetGain,Cam1>"), kGain);
    EXPECT_EQ(c.Ask("<GetGain,Cam1>"), kGain) << "closed before it replied";
    // The rule closes two connections; the third one is left open.
    EXPECT_EQ(c.WaitClosed(round < 2 ? 2000 : 200), round < 2);
  }
}

// ---------------------------------------------------------------------------
// The program itself.

#ifdef _WIN32
TEST(SimProgram, ServesAndStopsPromptlyOnSignalsEvenMidReply) {
  GTEST_SKIP() << "stops the program with POSIX signals; a Windows program stops on a console "
                  "control event, which a test cannot send to a program without a console";
}
#else
TEST(SimProgram, ServesAndStopsPromptlyOnSignalsEvenMidReply) {
  for (const auto& [sig, name] : {std::pair{SIGTERM, "SIGTERM"}, std::pair{SIGINT, "SIGINT"}}) {
    SCOPED_TRACE(name);
    const auto [pid, out] = Spawn("--port 0 --autofocus-ms 20000 --fault GetExposure:ng:cli");
    int port = 0;
    const bool listening = std::fscanf(out, "kestrel-sim listening on 127.0.0.1:%d", &port) == 1;
    if (!listening) ::kill(pid, SIGKILL);
    ASSERT_TRUE(listening);
    RawClient c(port), focusing(port);
    focusing.Send("<AutoFocus,Cam1,2,0,1,0,0,0>\r\n");
    EXPECT_EQ(c.Ask("<GetGain,Cam1>"), kGain);
    EXPECT_EQ(c.Ask("<GetExposure,Cam1>"), "<GetExposure,NG,cli>");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the cycle start
    const auto start = Clock::now();
    ::kill(pid, sig);
    EXPECT_TRUE(c.WaitClosed(3000));
    EXPECT_TRUE(focusing.WaitClosed(3000));
    EXPECT_EQ(WaitExit(pid), 0);
    EXPECT_LT(MsSince(start), 3000) << "the auto focus cycle held up the stop";
    ::pclose(out);
  }
}
#endif

}  // namespace
}  // namespace kestrel::sim
