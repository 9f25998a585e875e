// How a link read waits: a long wait ends at its limit (the kernel's socket
// timeout alone ends up to an eighth late), and a short, polled wait still
// takes a line that arrives meanwhile.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "host/lynk.h"
#include "support/fake_server.h"

namespace {

using Corvus::Lynk;
using kestrel_test::FakeServer;
using Clock = std::chrono::steady_clock;

struct Read {
  bool ok;
  std::string text;
  long long ms;
};

Read ReadLine(Lynk& link, int timeout_ms) {
  std::vector<char> buffer(10240, 'x');
  int count = -1;
  const auto start = Clock::now();
  const bool ok = link.Lynk_Read_String(buffer.data(), "\r\n", 10240, timeout_ms, &count);
  const long long ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  return {ok, ok ? std::string(buffer.data(), static_cast<std::size_t>(count)) : std::string(), ms};
}

class LynkWait : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(link.Lynk_Connect_Port("127.0.0.1", server.port(), false, false));
  }
  FakeServer server;
  Lynk link;
};

#ifndef _WIN32
// 512 ms is 128 ticks at 250 Hz (512 at 1000 Hz): a socket timeout of that
// length alone ends on the timer wheel's next 8-tick (64-tick) step, 20 to
// 30 ms (up to 64 ms) late; the link must end within 20 ms of it.
TEST_F(LynkWait, LongWaitsEndOnTime) {
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const Read r = ReadLine(link, 512);
    EXPECT_FALSE(r.ok);
    EXPECT_GE(r.ms, 511);
    EXPECT_LE(r.ms, 532);
  }
  EXPECT_TRUE(link.Lynk_Connect_Status());
}
#endif

TEST_F(LynkWait, ShortWaitTakesALineArrivingMeanwhile) {
  std::thread late([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    server.Send("<late>\r\n");
  });
  const Read r = ReadLine(link, 190);
  late.join();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.text, "<late>\r\n");
  EXPECT_LT(r.ms, 185);
}

// A line that arrives late in a long wait (after the blocking part may have
// ended) is taken too.
TEST_F(LynkWait, LongWaitTakesALineArrivingNearItsEnd) {
  std::thread late([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(900));
    server.Send("<late>\r\n");
  });
  const Read r = ReadLine(link, 1000);
  late.join();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.text, "<late>\r\n");
  EXPECT_GE(r.ms, 890);
}

}  // namespace
