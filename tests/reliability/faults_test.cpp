// Faults of the peer, through the public operations over loopback: each ends
// with its documented result, console lines and error text, within its
// bound. (Faults of the bytes on the wire are the link's and the frame
// check's tables.) And one client shared by eight threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "host/lynk.h"
#include "kestrel/kestrel.h"
#include "support/console.h"
#include "support/fake_server.h"

namespace {

using namespace kestrel_test;
using Clock = std::chrono::steady_clock;

const std::string kRequest = "<GetReal,Cam1,1.000000,2.000000>";

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string Net(int port) { return "127.0.0.1:" + std::to_string(port); }

struct Outcome {
  bool ok = false;
  Point point{-1, -1};
  long long ms = 0;
  std::vector<ConsoleLine> lines;  // of this command alone
  std::string error;               // the error text after it
  std::string request = kRequest;
};

class Faults : public ::testing::Test {
 public:
  void SetUp() override {
    ASSERT_TRUE(client.Kestrel_Connect_Port("127.0.0.1", port));
    client.Kestrel_SetTimeout(999);  // 1000 ms: one read before giving up
  }
  template <typename Command>  // bool(Point& output)
  Outcome Run(Command command) {
    Outcome o;
    console.clear();
    const auto start = Clock::now();
    o.ok = command(o.point);
    o.ms = MsSince(start);
    o.lines = console.lines();
    o.error = client.Kestrel_GetErrorString();
    return o;
  }
  Outcome GetReal() {
    return Run([this](Point& p) { return client.Kestrel_GetReal("Cam1", Point{1, 2}, p); });
  }

  FakeServer server;
  Kestrel client;
  ConsoleCapture console;
  int port = server.port();  // where the client is connected
};

// ---- The peer goes away or stops reading ---------------------------------------

struct PeerFault {
  const char* name;
  Outcome (*run)(Faults& f);  // breaks the peer, runs the failing command and what follows
  bool read_fails;            // else the write fails
  long long min_ms, max_ms;
};
void PrintTo(const PeerFault& f, std::ostream* os) { *os << f.name; }

// Reset in the middle of a reply (closing with the request unread resets the
// connection): both reads of a 10000 ms timeout end at once.
Outcome ResetMidReply(Faults& f) {
  f.client.Kestrel_SetTimeout(1000);
  f.server.StopReading();
  f.console.clear();
  std::thread peer([&f] {
    while (f.console.lines().empty()) std::this_thread::yield();  // the request is out
    f.server.Send("<GetReal,OK,1.0");
    f.server.Drop();
  });
  const Outcome o = f.GetReal();
  peer.join();
  EXPECT_FALSE(f.client.Kestrel_Connect_Status());
  EXPECT_TRUE(f.client.Kestrel_Reconnect_Port());
  return o;
}

// A server that answers (unsolicited, every 2 ms) but never reads: requests
// pile up until one no longer fits, whose write gives up at the write bound.
Outcome ServerNeverReads(Faults& f) {
  f.server.StopReading();
  std::atomic<bool> done{false};
  std::thread answers([&] {
    for (; !done.load(); std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
      f.server.Send("<SetStateColor,OK,>\r\n");
    }
  });
  const std::vector<const char*> colours(1000, "colour123");
  Outcome o;
  int sent = 0;
  do {
    o = f.Run([&](Point&) { return f.client.Kestrel_SetTargetColor("Cam1", colours); });
  } while (o.ok && ++sent < 5000);
  EXPECT_GT(sent, 0);
  o.request = "<SetStateColor,Cam1";
  for (const char* colour : colours) o.request += std::string(",") + colour;
  o.request += ">";
  done = true;
  answers.join();
  return o;
}

class PeerFaults : public Faults, public ::testing::WithParamInterface<PeerFault> {};

TEST_P(PeerFaults, FailAsDocumented) {
  const Outcome o = GetParam().run(*this);
  EXPECT_FALSE(o.ok);
  EXPECT_GE(o.ms, GetParam().min_ms);
  EXPECT_LT(o.ms, GetParam().max_ms);
  const std::string net = Net(port);
  std::vector<ConsoleLine> expected = {
      Red("Kestrel", "Net:" + net + " Net_IO_Send Error:" + o.request + " ")};
  if (GetParam().read_fails) {
    expected = {Plain("Kestrel", "Net_IO_Send Success:" + o.request),
                Yellow("Kestrel", "等待接收" + o.request + "完成.....超时时间[5000/10000毫秒]..."),
                Red("Kestrel", "Net_IO_Recv Read Error ,  Receive[]")};
  }
  expected.push_back(Red("Kestrel", "Net:" + net + " fail."));
  EXPECT_EQ(o.lines, expected);
  EXPECT_EQ(o.error, Gbk("通讯失败!"));
  EXPECT_EQ(o.point.X, -1);  // no output written
}

constexpr int kWriteLimitMs = Corvus::Lynk::kWriteLimitMs;
INSTANTIATE_TEST_SUITE_P(Peers, PeerFaults,
                         ::testing::Values(PeerFault{"ResetMidReply", ResetMidReply, true, 0, 1000},
                                           PeerFault{"ServerNeverReads", ServerNeverReads, false,
                                                     kWriteLimitMs - 100, kWriteLimitMs + 1500}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- One client shared by eight threads -----------------------------------------

// Every caller gets the reply to its own request, requests reach the server
// whole and one at a time, and the lock-free operations (timeout, error
// text, status) run beside the commands. Meant to run under ThreadSanitizer
// too (preset tsan).
TEST_F(Faults, EightThreadsOnOneClientEachGetTheirOwnReply) {
  constexpr int kThreads = 8, kCommands = 1000, kTotal = kThreads * kCommands;
  // The n-th request the server reads is answered with n: a caller that
  // takes n must have sent the n-th request line, whole.
  for (int n = 0; n < kTotal; ++n) {
    server.Push(FakeServer::Line("<GetReal,OK," + std::to_string(n) + "&0>"));
  }

  std::vector<std::string> sent(kTotal);  // by the reply taken
  std::vector<std::atomic<bool>> taken(kTotal);
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&, t] {
      const std::string camera = "T" + std::to_string(t);
      for (int i = 0; i < kCommands; ++i) {
        const Point asked{t * 100000.0 + i + 0.25, -i - 0.5};
        Point real{-1, -1};
        if (!client.Kestrel_GetReal(camera.c_str(), asked, real)) return;  // missing below
        const int n = static_cast<int>(real.X);
        if (n < 0 || n >= kTotal || taken[n].exchange(true)) return;  // unpaired below
        sent[n] = "<GetReal," + camera + "," + std::to_string(asked.X) + "," +
                  std::to_string(asked.Y) + ">";  // "%f", as the request writes it
      }
    });
  }
  std::atomic<bool> done{false};
  int odd = 0, rounds = 0;
  std::thread side([&] {
    for (; !done.load(); ++rounds) {
      client.Kestrel_SetTimeout(rounds % 2 ? 999 : 5000);
      const int timeout = client.Kestrel_GetTimeout();
      odd += timeout != 1000 && timeout != 10000;
      client.Kestrel_ClearErrorString();
      odd += std::string(client.Kestrel_GetErrorString()) != "";
      odd += !client.Kestrel_Connect_Status();
    }
  });
  for (auto& c : callers) c.join();
  done = true;
  side.join();

  EXPECT_EQ(server.requests(), sent);
  EXPECT_EQ(server.connections(), 1);
  EXPECT_GT(rounds, 0);
  EXPECT_EQ(odd, 0);
}

}  // namespace
