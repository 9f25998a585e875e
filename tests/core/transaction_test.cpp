// The exchange: request and reply bytes, the read accounting, abort flags and
// the order of the console lines, against a real server on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "kestrel/host.h"
#include "kestrel/kestrel.h"
#include "support/console.h"
#include "support/fake_server.h"

namespace {

using Corvus::HeraldColor;
using kestrel_test::ConsoleCapture;
using kestrel_test::ConsoleLine;
using kestrel_test::FakeServer;
using kestrel_test::Gbk;
using kestrel_test::Plain;
using kestrel_test::Red;
using kestrel_test::Yellow;

class Exchange : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(client.Kestrel_Connect_Port("127.0.0.1", server.port())); }
  std::string NetFail() const {
    return "Net:127.0.0.1:" + std::to_string(server.port()) + " fail.";
  }
  static std::string Waiting(const std::string& request, int waited, int limit) {
    return "等待接收" + request + "完成.....超时时间[" + std::to_string(waited) + "/" +
           std::to_string(limit) + "毫秒]...";
  }

  FakeServer server;
  Kestrel client;
};

TEST_F(Exchange, StaleBytesAreDroppedBeforeTheNextRequest) {
  server.Push(FakeServer::Answer("<GetGain,OK,1>\r\n<GetGain,OK,2>\r\n"));
  double gain = 0;
  ASSERT_TRUE(client.Kestrel_GetGain("Cam1", gain));
  EXPECT_EQ(gain, 1.0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the stale reply land
  server.Push(FakeServer::Line("<GetGain,OK,3>"));
  ASSERT_TRUE(client.Kestrel_GetGain("Cam1", gain));
  EXPECT_EQ(gain, 3.0);
}

// Every unsuccessful read counts 5000 ms against the timeout, or against
// 60000 ms for any request that holds "AutoFocus": one read with 1000 or the
// default 5000, two with 10000 (what any timeout from 1000 up stores), twelve
// for auto focus whatever the timeout. A closed peer makes each read fail at
// once; only the silent row really waits.
TEST_F(Exchange, UnsuccessfulReadsCountTowardsTheLimit) {
  const struct {
    int timeout;  // 0: not set
    bool silent;  // else the server hangs up
    const char* camera;
    std::string request;
    int limit;  // of the waiting lines
    long long min_ms, max_ms;
  } cases[] = {
      {0, false, "Cam1", "<SetGain,Cam1,1.000000>", 5000, 0, 1000},  // the default
      {999, true, "Cam1", "<SetGain,Cam1,1.000000>", 1000, 950, 1500},
      {5000, false, "Cam1", "<SetGain,Cam1,1.000000>", 10000, 0, 1000},
      {999, false, "MyAutoFocusCam", "<SetGain,MyAutoFocusCam,1.000000>", 60000, 0, 2000},
      {10000, false, "AutoFocus", "<SetGain,AutoFocus,1.000000>", 60000, 0, 2000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request + " " + std::to_string(c.timeout));
    if (c.timeout != 0) client.Kestrel_SetTimeout(c.timeout);
    if (!c.silent) server.Push(FakeServer::Hangup());
    ConsoleCapture console;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.Kestrel_SetGain(c.camera, 1));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_GE(ms, c.min_ms);
    EXPECT_LT(ms, c.max_ms);
    std::vector<ConsoleLine> expected = {Plain("Kestrel", "Net_IO_Send Success:" + c.request)};
    for (int waited = 5000; waited < c.limit; waited += 5000) {
      const std::string name = c.limit == 60000 ? "AutoFocus" : c.request;
      expected.push_back(Yellow("Kestrel", Waiting(name, waited, c.limit)));
    }
    expected.push_back(Red("Kestrel", "Net_IO_Recv Read Error ,  Receive[]"));
    expected.push_back(Red("Kestrel", NetFail()));
    EXPECT_EQ(console.lines(), expected);
    EXPECT_EQ(client.Kestrel_GetErrorString(), Gbk("通讯失败!"));
    ASSERT_TRUE(client.Kestrel_Reconnect_Port());
  }
}

TEST_F(Exchange, ShortReadCountsAsUnsuccessfulAndWaitingGoesOn) {
  client.Kestrel_SetTimeout(10000);
  server.Push(FakeServer::Answer("\r\n<SetGain,OK,>\r\n"));
  ConsoleCapture console;
  EXPECT_TRUE(client.Kestrel_SetGain("Cam1", 1));
  EXPECT_EQ(console.texts(HeraldColor::Yellow).size(), 1u);
}

// What the frame check makes of one line: refused at once (no waiting, even
// with time left) or taken, the console and the verdict seeing its text up
// to a NUL. Each time the request went out as one line, and the next command
// finds the link clean.
TEST_F(Exchange, FrameCheckTakesOnlyWholeFramedLines) {
  using namespace std::string_literals;
  const std::string sevens(10224, '7');  // puts a '>' at byte 10236 of the next line
  const struct {
    const char* name;
    std::string line;
    ConsoleLine recv;
    bool ok;
    double gain;
  } cases[] = {
      {"unframed", "GetGain,OK,1\r\n",
       Red("Kestrel", "Net_IO_Recv Error, Receive[GetGain,OK,1\r\n],ReadCount:14"), false, -1},
      {"NUL inside the frame",
       "<GetGain,OK,1\0"
       "2>\r\n"s,
       Plain("Kestrel", "Net_IO_Recv Success:<GetGain,OK,1"), true, 1},
      {"NUL in the head", "<GetGain\0,OK,0.5>\r\n"s,
       Plain("Kestrel", "Net_IO_Recv Success:<GetGain"), false, -1},
      {"longest line", "<GetGain,OK," + std::string(10223, '0') + "4>\r\n",
       Plain("Kestrel", "Net_IO_Recv Success:<GetGain,OK," + std::string(10223, '0') + "4>\r\n"),
       true, 4},
      // Cut at 10239 bytes with '>' just before the last two bytes kept.
      {"over-long line", "<GetGain,OK," + sevens + ">99" + std::string(100, '9') + ">\r\n",
       Red("Kestrel", "Net_IO_Recv Error, Receive[<GetGain,OK," + sevens + ">99],ReadCount:10239"),
       false, -1},
  };
  client.Kestrel_SetTimeout(10000);
  for (const auto& c : cases) {
    server.Push(FakeServer::Answer(c.line));
    ConsoleCapture console;
    double gain = -1;
    EXPECT_EQ(client.Kestrel_GetGain("Cam1", gain), c.ok) << c.name;
    EXPECT_EQ(gain, c.gain) << c.name;
    ASSERT_GE(console.lines().size(), 2u) << c.name;
    EXPECT_EQ(server.requests().back(), "<GetGain,Cam1>");
    EXPECT_EQ(console.lines()[0], Plain("Kestrel", "Net_IO_Send Success:<GetGain,Cam1>"));
    EXPECT_EQ(console.lines()[1], c.recv) << c.name;
    EXPECT_TRUE(console.texts(HeraldColor::Yellow).empty()) << c.name;
    server.Push(FakeServer::Line("<GetGain,OK,4>"));
    EXPECT_TRUE(client.Kestrel_GetGain("Cam1", gain)) << c.name;
    EXPECT_EQ(gain, 4.0) << c.name;
  }
}

TEST_F(Exchange, NotConnectedFailsOnTheWrite) {
  Kestrel idle;
  ConsoleCapture console;
  EXPECT_FALSE(idle.Kestrel_SetGain("Cam1", 1));
  const std::vector<ConsoleLine> expected = {
      Red("Kestrel", "Net:127.0.0.1:8000 Net_IO_Send Error:<SetGain,Cam1,1.000000> "),
      Red("Kestrel", "Net:127.0.0.1:8000 fail."),
  };
  EXPECT_EQ(console.lines(), expected);
}

class Owned : public Exchange {
 protected:
  Owned() : owned(&procedure) {}
  void SetUp() override { ASSERT_TRUE(owned.Kestrel_Connect_Port("127.0.0.1", server.port())); }
  Corvus::Procedure procedure{"Seq1"};
  Kestrel owned;
};

TEST_F(Owned, AbortFlagsEndTheWaitOwnFlagFirst) {
  const struct {
    bool routine, plant;
    const char* line;
  } cases[] = {{true, false, "Seq1接收到中止信号.数据中止接收...."},
               {false, true, "Seq1接收到系统中止信号.数据中止接收...."},
               {true, true, "Seq1接收到中止信号.数据中止接收...."},
               {true, true, ""}};  // a reply in time is taken even so
  owned.Kestrel_SetTimeout(10000);
  for (const auto& c : cases) {
    procedure.Routine_Set_Abort_Flag(c.routine);
    procedure.Plant_Abort_Manager_Set(c.plant);
    server.Push(*c.line ? FakeServer::Hangup() : FakeServer::Line("<SetGain,OK,>"));
    ConsoleCapture console;
    EXPECT_EQ(owned.Kestrel_SetGain("Cam1", 1), !*c.line);
    if (!*c.line) continue;
    EXPECT_EQ(console.texts(HeraldColor::Yellow), std::vector<std::string>{Gbk(c.line)});
    EXPECT_EQ(console.lines().back(), Red("Seq1/Kestrel", NetFail()));
    ASSERT_TRUE(owned.Kestrel_Reconnect_Port());
  }
}

}  // namespace
