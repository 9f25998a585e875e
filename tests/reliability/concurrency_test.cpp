// One client shared by eight threads: every caller gets the reply to its own
// request, requests never interleave on the wire, and the lock-free
// operations (timeout, error text, status) run beside the commands. Meant to
// run under ThreadSanitizer too (preset tsan).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "kestrel/host.h"
#include "kestrel/kestrel.h"
#include "loopback_server.h"

namespace {

using kestrel_reliability::EchoX;
using kestrel_reliability::EchoY;
using kestrel_reliability::LoopbackServer;

constexpr int kThreads = 8;
constexpr int kCommandsPerThread = 1000;

// Counts console lines by colour; the lines themselves are not kept.
struct LineCounter {
  std::atomic<int> plain{0}, red{0}, other{0};
  static void Receive(Corvus::HeraldColor color, const char*, const char*, void* self) {
    auto* c = static_cast<LineCounter*>(self);
    (color == Corvus::HeraldColor::Plain ? c->plain
     : color == Corvus::HeraldColor::Red ? c->red
                                         : c->other)++;
  }
  LineCounter() { Corvus::Herald_Set_Sink(&Receive, this); }
  ~LineCounter() { Corvus::Herald_Set_Sink(nullptr, nullptr); }
};

TEST(Concurrency, EightThreadsOnOneClientEachGetTheirOwnReply) {
  LoopbackServer server;
  Kestrel client;
  LineCounter lines;
  ASSERT_TRUE(client.Kestrel_Connect_Port("127.0.0.1", server.port()));

  std::atomic<int> mismatched{0}, failed{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&, t] {
      const std::string camera = "T" + std::to_string(t);
      for (int i = 0; i < kCommandsPerThread; ++i) {
        // Distinct per thread and command, exact in binary and in "%f".
        const Point asked{t * 100000.0 + i + 0.25, -(t * 100000.0 + i) - 0.5};
        Point real{0, 0};
        if (!client.Kestrel_GetReal(camera.c_str(), asked, real)) {
          ++failed;
        } else if (real.X != EchoX(asked.X) || real.Y != EchoY(asked.Y)) {
          ++mismatched;
        }
      }
    });
  }

  // Meanwhile: the operations that take no lock, on the same client.
  std::atomic<bool> done{false};
  int odd_timeouts = 0, status_down = 0, rounds = 0;
  std::thread side([&] {
    while (!done.load()) {
      client.Kestrel_SetTimeout(rounds % 2 ? 999 : 5000);
      const int timeout = client.Kestrel_GetTimeout();
      odd_timeouts += timeout != 1000 && timeout != 10000;
      client.Kestrel_ClearErrorString();
      odd_timeouts += std::string(client.Kestrel_GetErrorString()) != "";
      status_down += !client.Kestrel_Connect_Status();
      ++rounds;
    }
  });
  for (auto& c : callers) c.join();
  done = true;
  side.join();

  constexpr int kTotal = kThreads * kCommandsPerThread;
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(mismatched.load(), 0);
  EXPECT_EQ(server.requests(), static_cast<std::uint64_t>(kTotal));
  EXPECT_EQ(server.overlaps(), 0u) << "a request went out before the last reply came";
  EXPECT_EQ(server.malformed(), 0u) << "request lines interleaved on the wire";
  EXPECT_EQ(server.connections(), 1u);
  EXPECT_EQ(lines.plain.load(), 2 * kTotal);  // one send and one receive line each
  EXPECT_EQ(lines.red.load(), 0);
  EXPECT_GT(rounds, 0);
  EXPECT_EQ(odd_timeouts, 0);
  EXPECT_EQ(status_down, 0);
}

}  // namespace
