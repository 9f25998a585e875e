// Faults of the peer, through the public operations over loopback: each ends
// with its documented result, console lines and error text, within its
// bound. (Faults of the bytes on the wire are the link's and the frame
// check's tables.) And one client shared by eight threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "host/lynk.h"
#include "kestrel/kestrel.h"
#include "support/console.h"
#include "support/fake_server.h"

namespace {

using namespace kestrel_test;

class Faults : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(client.Kestrel_Connect_Port("127.0.0.1", server.port()));
    server.StopReading();
  }
  // Runs `command` until it fails (5000 times at most), which must be within
  // [min_ms, max_ms) and as a lost connection fails: on its read (else on its
  // write) of `request`. Returns how often it succeeded before.
  int ExpectNetFail(const std::function<bool()>& command, const std::string& request,
                    bool read_fails, long long min_ms, long long max_ms) {
    int passed = 0;
    long long ms = 0;
    for (bool ok = true; ok && passed < 5000; passed += ok) {
      console.clear();
      const auto start = std::chrono::steady_clock::now();
      ok = command();
      ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
               .count();
    }
    EXPECT_LT(passed, 5000);
    EXPECT_GE(ms, min_ms);
    EXPECT_LT(ms, max_ms);
    const std::string net = "Net:127.0.0.1:" + std::to_string(server.port());
    std::vector<ConsoleLine> expected = {
        Red("Kestrel", net + " Net_IO_Send Error:" + request + " ")};
    if (read_fails) {
      expected = {Plain("Kestrel", "Net_IO_Send Success:" + request),
                  Yellow("Kestrel", "等待接收" + request + "完成.....超时时间[5000/10000毫秒]..."),
                  Red("Kestrel", "Net_IO_Recv Read Error ,  Receive[]")};
    }
    expected.push_back(Red("Kestrel", net + " fail."));
    EXPECT_EQ(console.lines(), expected);
    EXPECT_EQ(client.Kestrel_GetErrorString(), Gbk("通讯失败!"));
    return passed;
  }

  FakeServer server;
  Kestrel client;
  ConsoleCapture console;
};

// Reset in the middle of a reply (closing with the request unread resets the
// connection): both reads of a 10000 ms timeout end at once, no output is
// written, and a reconnect works.
TEST_F(Faults, ResetMidReplyEndsBothReadsAtOnce) {
  client.Kestrel_SetTimeout(1000);
  std::thread peer([this] {
    while (console.lines().empty()) std::this_thread::yield();  // the request is out
    server.Send("<GetReal,OK,1.0");
    server.Drop();
  });
  Point real{-1, -1};
  EXPECT_EQ(ExpectNetFail(
                [&] {
                  return client.Kestrel_GetReal("Cam1", Point{1, 2}, real);
                },
                "<GetReal,Cam1,1.000000,2.000000>", true, 0, 1000),
            0);
  peer.join();
  EXPECT_EQ(real.X, -1);
  EXPECT_FALSE(client.Kestrel_Connect_Status());
  EXPECT_TRUE(client.Kestrel_Reconnect_Port());
}

// A server that answers (unsolicited, every 2 ms) but never reads: requests
// pile up until one no longer fits, whose write gives up at the write bound.
TEST_F(Faults, ServerThatNeverReadsEndsAWriteAtItsBound) {
  client.Kestrel_SetTimeout(999);  // 1000 ms: one read before giving up
  std::atomic<bool> done{false};
  std::thread answers([&] {
    for (; !done.load(); std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
      server.Send("<SetStateColor,OK,>\r\n");
    }
  });
  const std::vector<const char*> colours(1000, "colour123");
  std::string request = "<SetStateColor,Cam1";
  for (const char* colour : colours) request += std::string(",") + colour;
  constexpr int kLimitMs = Corvus::Lynk::kWriteLimitMs;
  EXPECT_GT(ExpectNetFail([&] { return client.Kestrel_SetTargetColor("Cam1", colours); },
                          request + ">", false, kLimitMs - 100, kLimitMs + 1500),
            0);
  done = true;
  answers.join();
}

// Every caller gets the reply to its own request, requests reach the server
// whole and one at a time, and the lock-free operations (timeout, error
// text, status) run beside the commands. Meant to run under ThreadSanitizer
// too (preset tsan).
TEST(SharedClient, EightThreadsOnOneClientEachGetTheirOwnReply) {
  constexpr int kThreads = 8, kCommands = 1000, kTotal = kThreads * kCommands;
  FakeServer server;
  Kestrel client;
  ASSERT_TRUE(client.Kestrel_Connect_Port("127.0.0.1", server.port()));
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
