// One client shared by eight threads. (The faults of the peer, a silent
// server, a hang-up, a reset, one that never reads, are the tables of the
// link's and the exchange's tests, at the depth where each is handled.)
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "kestrel/kestrel.h"
#include "support/fake_server.h"

namespace {

using namespace kestrel_test;

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
  EXPECT_FALSE(server.WaitForConnections(2, 0));  // one connection throughout
  EXPECT_GT(rounds, 0);
  EXPECT_EQ(odd, 0);
}

}  // namespace
