// The network link against the scripted fake server on 127.0.0.1.
#include "host/lynk.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_server.h"

namespace {

using Corvus::Lynk;
using kestrel_test::FakeServer;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

struct ReadResult {
  bool ok;
  int count;
  std::string text;
  long long ms;
};

// One read of a CR LF line; checks that the link kept inside `limit` and
// NUL-terminated what it placed.
ReadResult ReadLine(Lynk& link, int limit = 10240, int timeout_ms = 2000) {
  constexpr int kGuard = 16;
  std::vector<char> buffer(static_cast<std::size_t>(limit) + kGuard, 'x');
  int count = -1;
  const auto start = Clock::now();
  const bool ok = link.Lynk_Read_String(buffer.data(), "\r\n", limit, timeout_ms, &count);
  ReadResult r{ok, count, std::string(), MsSince(start)};
  EXPECT_GE(count, 0);
  EXPECT_LT(count, limit);
  if (count >= 0 && count < limit) {
    EXPECT_EQ(buffer[static_cast<std::size_t>(count)], '\0');
    r.text.assign(buffer.data(), static_cast<std::size_t>(count));
  }
  for (int i = 0; i < kGuard; ++i) EXPECT_EQ(buffer[static_cast<std::size_t>(limit + i)], 'x');
  if (!ok) {
    EXPECT_EQ(count, 0);
  }
  return r;
}

bool WriteLine(Lynk& link, const std::string& text) {
  const std::string line = text + "\r\n";
  return link.Lynk_Write_String(line.data(), static_cast<int>(line.size()));
}

#ifdef _WIN32
// The sockets the tests open themselves, besides the link's and the fake
// server's.
using RawSocket = SOCKET;
using SockLen = int;
void CloseRaw(RawSocket s) { ::closesocket(s); }
const bool kWinsockStarted = [] {
  WSADATA data;
  return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}();
#else
using RawSocket = int;
using SockLen = socklen_t;
void CloseRaw(RawSocket fd) { ::close(fd); }
#endif

// A port on 127.0.0.1 where nothing listens.
int ClosedPort() {
  const RawSocket fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  SockLen size = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
  CloseRaw(fd);
  return ntohs(addr.sin_port);
}

#ifdef _WIN32
long ThreadId() { return static_cast<long>(::GetCurrentThreadId()); }

// Windows shows no portable sign that a thread sleeps inside a recv or send
// (and Wine reports no pending I/O for one), so the thread is given time to
// get into its call; true when it is still inside it after that: the thread
// only ends once its call has returned.
bool WaitUntilSleeping(long tid) {
  const HANDLE thread = ::OpenThread(SYNCHRONIZE, FALSE, static_cast<DWORD>(tid));
  if (thread == nullptr) return false;
  const bool still_inside = ::WaitForSingleObject(thread, 300) == WAIT_TIMEOUT;
  ::CloseHandle(thread);
  return still_inside;
}
#else
long ThreadId() { return static_cast<long>(::syscall(SYS_gettid)); }

// Waits until thread `tid` of this process sleeps in the kernel (here: a
// blocking recv or send); false after two seconds.
bool WaitUntilSleeping(long tid) {
  const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
  const auto start = Clock::now();
  while (MsSince(start) < 2000) {
    std::ifstream stat(path);
    std::string line;
    std::getline(stat, line);
    const auto paren = line.rfind(')');
    if (paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'S')
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}
#endif

class LynkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(link.Lynk_Connect_Port("127.0.0.1", server.port(), false, false));
  }

  FakeServer server;
  Lynk link;
};

TEST(LynkUnconnected, EveryCallFailsAtOnce) {
  FakeServer server;
  for (const bool was_connected : {false, true}) {
    SCOPED_TRACE(was_connected ? "after a disconnect" : "never connected");
    Lynk link;
    if (was_connected) {
      ASSERT_TRUE(link.Lynk_Connect_Port("127.0.0.1", server.port(), false, false));
      ASSERT_TRUE(link.Lynk_Disconnect_Port());
    }
    EXPECT_FALSE(link.Lynk_Connect_Status());
    EXPECT_FALSE(link.Lynk_Disconnect_Port());
    EXPECT_FALSE(WriteLine(link, "<Ping>"));
    link.Lynk_Clear_Buffer();
    const ReadResult r = ReadLine(link, 64, 2000);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.text, "");
    EXPECT_LT(r.ms, 200);
  }
}

TEST(LynkConnect, RefusesBadArgumentsAndClosedPortsQuickly) {
  struct Case {
    const char* address;
    int port;
  };
  const int closed = ClosedPort();
  for (const Case& c : {Case{nullptr, 8000}, Case{"127.0.0.1", 0}, Case{"127.0.0.1", -1},
                        Case{"127.0.0.1", 65536}, Case{"127.0.0.1", closed}}) {
    SCOPED_TRACE(std::string(c.address ? c.address : "(null)") + ":" + std::to_string(c.port));
    Lynk link;
    const auto start = Clock::now();
    EXPECT_FALSE(link.Lynk_Connect_Port(c.address, c.port, false, false));
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_FALSE(link.Lynk_Connect_Status());
  }
}

TEST(LynkConnect, ReachesTheServerByLiteralAndByName) {
  for (const char* address : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(address);
    FakeServer server;
    server.Push(FakeServer::Line("<Hello,OK,>"));
    Lynk link;
    ASSERT_TRUE(link.Lynk_Connect_Port(address, server.port(), true, true));
    EXPECT_TRUE(link.Lynk_Connect_Status());
    ASSERT_TRUE(WriteLine(link, "<Hello>"));
    const ReadResult r = ReadLine(link);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.count, 13);
    EXPECT_EQ(r.text, "<Hello,OK,>\r\n");
    EXPECT_EQ(server.requests(), std::vector<std::string>{"<Hello>"});
  }
}

// A listener whose accept queue is full drops new handshakes, so a connect
// gets no answer at all: it must give up after its own limit.
TEST(LynkConnect, GivesUpAfterItsLimitWhenNobodyAnswers) {
  const RawSocket listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  SockLen size = sizeof addr;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &size), 0);
  const RawSocket filler = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

  Lynk link;
  const auto start = Clock::now();
  EXPECT_FALSE(link.Lynk_Connect_Port("127.0.0.1", ntohs(addr.sin_port), false, false));
  const long long ms = MsSince(start);
  EXPECT_GE(ms, Lynk::kConnectLimitMs - 100);
  EXPECT_LT(ms, Lynk::kConnectLimitMs + 1500);
  CloseRaw(filler);
  CloseRaw(listener);
}

TEST_F(LynkTest, ReconnectClosesTheOldConnectionAndForgetsItsBytes) {
  server.Push(FakeServer::Answer("<a>\r\n<left over>\r\n"));
  ASSERT_TRUE(WriteLine(link, "<A>"));
  EXPECT_EQ(ReadLine(link).text, "<a>\r\n");

  ASSERT_TRUE(link.Lynk_Connect_Port("127.0.0.1", server.port(), false, false));
  // The server takes a second connection only once the first has closed.
  EXPECT_TRUE(server.WaitForConnections(2, 2000));
  server.Push(FakeServer::Line("<b>"));
  ASSERT_TRUE(WriteLine(link, "<B>"));
  EXPECT_EQ(ReadLine(link).text, "<b>\r\n");
  EXPECT_EQ(server.requests(), (std::vector<std::string>{"<A>", "<B>"}));
}

struct FramingCase {
  const char* name;
  std::vector<std::string> chunks;  // as the server writes them, 20 ms apart
  int limit;
  std::vector<std::string> lines;  // what successive reads yield
};

void PrintTo(const FramingCase& c, std::ostream* os) { *os << c.name; }

class LynkFraming : public LynkTest, public ::testing::WithParamInterface<FramingCase> {};

TEST_P(LynkFraming, YieldsTheExpectedLines) {
  const FramingCase& c = GetParam();
  server.Push(FakeServer::Chunks(c.chunks, 20));
  ASSERT_TRUE(WriteLine(link, "<Go>"));
  for (const std::string& line : c.lines) {
    const ReadResult r = ReadLine(link, c.limit);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.count, static_cast<int>(line.size()));
    EXPECT_EQ(r.text, line);
  }
  // Nothing else may come out: dropped rests stay dropped.
  EXPECT_FALSE(ReadLine(link, c.limit, 60).ok);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LynkFraming,
    ::testing::Values(
        FramingCase{
            "SplitReply", {"<Get,OK,", "1.5", "&2.5>\r\n"}, 10240, {"<Get,OK,1.5&2.5>\r\n"}},
        FramingCase{"SplitTerminator", {"<a>\r", "\n<b>\r\n"}, 10240, {"<a>\r\n", "<b>\r\n"}},
        FramingCase{"TwoLinesInOneWrite", {"<a>\r\n<b>\r\n"}, 10240, {"<a>\r\n", "<b>\r\n"}},
        FramingCase{"BareCrAndLfInsideALine", {"a\rb\nc\r\n"}, 10240, {"a\rb\nc\r\n"}},
        FramingCase{"EmptyLine", {"\r\n<x>\r\n"}, 10240, {"\r\n", "<x>\r\n"}},
        FramingCase{"LineFillsTheLimitExactly", {"abc\r\nde\r\n"}, 6, {"abc\r\n", "de\r\n"}},
        FramingCase{"OverlongLineInOneWrite", {"abcdefgh\r\nok\r\n"}, 6, {"abcde", "ok\r\n"}},
        FramingCase{"OverlongLineRestArrivesLater",
                    {"abcdefg", "hij", "k\r", "\nok\r\n"},
                    6,
                    {"abcde", "ok\r\n"}},
        FramingCase{
            "OverlongLineCutInsideItsTerminator", {"abcd\r", "\nok\r\n"}, 6, {"abcd\r", "ok\r\n"}},
        FramingCase{
            "TwoOverlongLinesInARow", {"abcdef\r\nghijkl\r\nx\r\n"}, 4, {"abc", "ghi", "x\r\n"}}),
    [](const ::testing::TestParamInfo<FramingCase>& info) { return std::string(info.param.name); });

TEST_F(LynkTest, TimedOutReadKeepsAPartialLine) {
  ASSERT_TRUE(server.Send("<par"));
  const ReadResult first = ReadLine(link, 10240, 100);
  EXPECT_FALSE(first.ok);
  EXPECT_EQ(first.text, "");
  ASSERT_TRUE(server.Send("tial>\r\n"));
  const ReadResult second = ReadLine(link);
  EXPECT_TRUE(second.ok);
  EXPECT_EQ(second.text, "<partial>\r\n");
}

TEST_F(LynkTest, ReadWithNothingArrivingKeepsToItsLimit) {
  for (const int timeout : {0, 200}) {
    SCOPED_TRACE(timeout);
    const ReadResult r = ReadLine(link, 10240, timeout);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.text, "");
    EXPECT_GE(r.ms, timeout - 5);
    EXPECT_LT(r.ms, timeout + 150);
  }
  EXPECT_TRUE(link.Lynk_Connect_Status());
  // A zero limit still takes a line that is already there.
  ASSERT_TRUE(server.Send("<now>\r\n"));
  EXPECT_EQ(ReadLine(link, 10240, 0).text, "<now>\r\n");
}

struct EndCase {
  const char* name;
  FakeServer::Step step;
  std::vector<std::string> lines;  // still read before the end shows
};

void PrintTo(const EndCase& c, std::ostream* os) { *os << c.name; }

class LynkPeerEnds : public LynkTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(LynkPeerEnds, ReadFailsAtOnceAndStatusTurnsFalse) {
  server.Push(GetParam().step);
  ASSERT_TRUE(WriteLine(link, "<Bye>"));
  for (const std::string& line : GetParam().lines) EXPECT_EQ(ReadLine(link).text, line);
  const ReadResult r = ReadLine(link, 10240, 5000);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.text, "");
  EXPECT_LT(r.ms, 1000);
  EXPECT_FALSE(link.Lynk_Connect_Status());
  EXPECT_LT(ReadLine(link, 10240, 5000).ms, 100);  // and stays failed
  // Writing to the dead connection fails instead of raising SIGPIPE.
  bool written = true;
  for (int i = 0; i < 100 && written; ++i) written = WriteLine(link, "<Again>");
  EXPECT_FALSE(written);
  EXPECT_TRUE(link.Lynk_Disconnect_Port());
}

INSTANTIATE_TEST_SUITE_P(Ends, LynkPeerEnds,
                         ::testing::Values(EndCase{"Hangup", FakeServer::Hangup(), {}},
                                           EndCase{"AnswerThenHangup",
                                                   FakeServer::AnswerThenHangup("<bye>\r\n"),
                                                   {"<bye>\r\n"}},
                                           EndCase{"Reset", FakeServer::Reset(), {}}),
                         [](const ::testing::TestParamInfo<EndCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(LynkTest, StatusCountsUnreadDataAsConnected) {
  ASSERT_TRUE(server.Send("<last>\r\n"));
  ASSERT_TRUE(server.Drop());
  EXPECT_TRUE(link.Lynk_Connect_Status());
  EXPECT_EQ(ReadLine(link).text, "<last>\r\n");
  EXPECT_FALSE(link.Lynk_Connect_Status());
}

TEST_F(LynkTest, ClearBufferDropsEveryUnreadByte) {
  // Bytes already in the link's buffer.
  server.Push(FakeServer::Answer("<one>\r\n<stale>\r\n"));
  ASSERT_TRUE(WriteLine(link, "<One>"));
  EXPECT_EQ(ReadLine(link).text, "<one>\r\n");
  link.Lynk_Clear_Buffer();
  server.Push(FakeServer::Line("<two>"));
  ASSERT_TRUE(WriteLine(link, "<Two>"));
  EXPECT_EQ(ReadLine(link).text, "<two>\r\n");

  // Bytes still in the socket, more than the link's buffer holds at once.
  ASSERT_TRUE(server.Send(std::string(Lynk::kBufferSize + 1000, 'z') + "\r\n<stale>\r\n"));
  link.Lynk_Clear_Buffer();
  server.Push(FakeServer::Line("<three>"));
  ASSERT_TRUE(WriteLine(link, "<Three>"));
  EXPECT_EQ(ReadLine(link).text, "<three>\r\n");

  // The rest of an overlong line is no longer skipped after a clear.
  ASSERT_TRUE(server.Send("abcdefgh"));
  EXPECT_EQ(ReadLine(link, 6).text, "abcde");
  link.Lynk_Clear_Buffer();
  server.Push(FakeServer::Line("ok"));
  ASSERT_TRUE(WriteLine(link, "<Four>"));
  EXPECT_EQ(ReadLine(link, 6).text, "ok\r\n");
}

TEST_F(LynkTest, DisconnectFromAnotherThreadWakesABlockedReader) {
  std::atomic<long> tid{0};
  ReadResult r{};
  std::thread reader([&] {
    tid = ThreadId();
    r = ReadLine(link, 10240, 5000);
  });
  while (tid.load() == 0) std::this_thread::yield();
  EXPECT_TRUE(WaitUntilSleeping(tid.load()));
  EXPECT_TRUE(link.Lynk_Connect_Status());
  EXPECT_TRUE(link.Lynk_Disconnect_Port());
  reader.join();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.text, "");
  EXPECT_LT(r.ms, 2500);
  EXPECT_FALSE(link.Lynk_Connect_Status());
}

TEST_F(LynkTest, DisconnectFromAnotherThreadWakesABlockedWriter) {
  server.StopReading();
  const std::string huge(32u << 20, 'w');
  std::atomic<long> tid{0};
  bool written = true;
  std::thread writer([&] {
    tid = ThreadId();
    written = link.Lynk_Write_String(huge.data(), static_cast<int>(huge.size()));
  });
  while (tid.load() == 0) std::this_thread::yield();
  EXPECT_TRUE(WaitUntilSleeping(tid.load()));
  const auto start = Clock::now();
  EXPECT_TRUE(link.Lynk_Disconnect_Port());
  writer.join();
  EXPECT_LT(MsSince(start), 1000);
  EXPECT_FALSE(written);  // and the process got no SIGPIPE from the shut-down socket
}

TEST_F(LynkTest, WriteGivesUpWhenThePeerNeverReads) {
  server.StopReading();
  const std::string huge(32u << 20, 'w');
  const auto start = Clock::now();
  EXPECT_FALSE(link.Lynk_Write_String(huge.data(), static_cast<int>(huge.size())));
  const long long ms = MsSince(start);
  EXPECT_GE(ms, Lynk::kWriteLimitMs - 100);
  EXPECT_LT(ms, Lynk::kWriteLimitMs + 1500);
}

// Transactions on one thread, status queries and reconnects on others.
TEST_F(LynkTest, StatusAndReconnectRaceWithTraffic) {
  constexpr int kRounds = 200;
  for (int i = 0; i < kRounds; ++i) server.Push(FakeServer::Line("<R," + std::to_string(i) + ">"));
  std::atomic<bool> done{false};
  std::thread watcher([&] {
    while (!done.load()) link.Lynk_Connect_Status();
  });
  int answered = 0;
  for (int i = 0; i < kRounds; ++i) {
    link.Lynk_Clear_Buffer();
    ASSERT_TRUE(WriteLine(link, "<Q," + std::to_string(i) + ">"));
    answered += ReadLine(link).text == "<R," + std::to_string(i) + ">\r\n";
  }
  EXPECT_EQ(answered, kRounds);

  std::atomic<bool> churned{false};
  std::thread churn([&] {
    for (int i = 0; i < 30; ++i) {
      link.Lynk_Connect_Port("127.0.0.1", server.port(), false, false);
      link.Lynk_Disconnect_Port();
    }
    churned = true;
  });
  int slow = 0;
  while (!churned.load()) {
    link.Lynk_Clear_Buffer();
    WriteLine(link, "<Churn>");
    slow += ReadLine(link, 10240, 20).ms > 500;
  }
  churn.join();
  done = true;
  watcher.join();
  EXPECT_EQ(slow, 0);
  ASSERT_TRUE(link.Lynk_Connect_Port("127.0.0.1", server.port(), false, false));
  server.Push(FakeServer::Line("<after>"));
  link.Lynk_Clear_Buffer();
  ASSERT_TRUE(WriteLine(link, "<After>"));
  EXPECT_EQ(ReadLine(link).text, "<after>\r\n");
}

// A long wait ends at its limit, not on the kernel's coarse timer, which may
// end a wait of seconds tens of milliseconds late.
#ifndef _WIN32
TEST_F(LynkTest, LongWaitsEndOnTime) {
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const ReadResult r = ReadLine(link, 10240, 700);
    EXPECT_FALSE(r.ok);
    EXPECT_GE(r.ms, 699);
    EXPECT_LE(r.ms, 740);
  }
  EXPECT_TRUE(link.Lynk_Connect_Status());
}
#endif

// A short wait (polled rather than a blocking recv) still takes a line that
// arrives while it waits, and at once.
TEST_F(LynkTest, ShortWaitTakesALineArrivingMeanwhile) {
  std::thread late([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    server.Send("<late>\r\n");
  });
  const ReadResult r = ReadLine(link, 10240, 190);
  late.join();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.text, "<late>\r\n");
  EXPECT_LT(r.ms, 185);
}

}  // namespace
