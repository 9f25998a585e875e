// Faults of the peer and the wire, through the public operations, over
// loopback: each ends with the documented result, console lines and error
// text, within its bound, and without touching memory it must not.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <ostream>
#include <string>
#include <vector>

#include "kestrel/host.h"
#include "kestrel/kestrel.h"
#include "loopback_server.h"
#include "support/console.h"
#include "support/fake_server.h"

namespace {

using kestrel_reliability::LoopbackServer;
using kestrel_reliability::Reaction;
using kestrel_test::ConsoleCapture;
using kestrel_test::ConsoleLine;
using kestrel_test::FakeServer;
using kestrel_test::Gbk;
using kestrel_test::Green;
using kestrel_test::Plain;
using kestrel_test::Red;
using kestrel_test::Yellow;
using Clock = std::chrono::steady_clock;

constexpr int kWriteLimitMs = 5000;  // the link's bound on one write

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string Net(int port) { return "127.0.0.1:" + std::to_string(port); }

const std::string kRequest = "<GetReal,Cam1,1.000000,2.000000>";

// The bytes of a literal, NUL bytes inside it included.
template <std::size_t N>
std::string Bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

// Runs GetReal(Cam1, (1, 2)) and returns its result and elapsed time.
struct Outcome {
  bool ok;
  Point point;
  long long ms;
};
Outcome GetReal(Kestrel& client) {
  Outcome o{false, {-1, -1}, 0};
  const auto start = Clock::now();
  o.ok = client.Kestrel_GetReal("Cam1", Point{1, 2}, o.point);
  o.ms = MsSince(start);
  return o;
}

// A port on 127.0.0.1 where nothing listens.
int ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size);
  ::close(fd);
  return ntohs(addr.sin_port);
}

// The lines of an exchange that ended on an unframed reply.
std::vector<ConsoleLine> UnframedLines(const std::string& received, int count, int port) {
  return {{Corvus::HeraldColor::Plain, "Kestrel", "Net_IO_Send Success:" + kRequest},
          {Corvus::HeraldColor::Red, "Kestrel",
           "Net_IO_Recv Error, Receive[" + received + "],ReadCount:" + std::to_string(count)},
          Red("Kestrel", "Net:" + Net(port) + " fail.")};
}

// ---- Against the scripted fake server ----------------------------------------

class FakeServerFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(client.Kestrel_Connect_Port("127.0.0.1", server.port()));
    client.Kestrel_SetTimeout(999);  // 1000 ms: one read before giving up
  }
  FakeServer server;
  Kestrel client;
};

struct ChunkCase {
  const char* name;
  std::vector<std::string> chunks;
  int pause_ms;
};
void PrintTo(const ChunkCase& c, std::ostream* os) { *os << c.name; }

class ChunkedReply : public FakeServerFaults, public ::testing::WithParamInterface<ChunkCase> {};

// However a reply is cut into writes, the pieces make one reply.
TEST_P(ChunkedReply, IsAssembledWithinOneRead) {
  ConsoleCapture console;
  server.Push(FakeServer::Chunks(GetParam().chunks, GetParam().pause_ms));
  const Outcome o = GetReal(client);
  ASSERT_TRUE(o.ok);
  EXPECT_EQ(o.point.X, 3.25);
  EXPECT_EQ(o.point.Y, -1.5);
  EXPECT_LT(o.ms, 1000);
  EXPECT_TRUE(console.texts(Corvus::HeraldColor::Red).empty());
}

std::vector<std::string> EveryByte(const std::string& text) {
  std::vector<std::string> out;
  for (char c : text) out.emplace_back(1, c);
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Splits, ChunkedReply,
    ::testing::Values(
        ChunkCase{"EveryByteApart", EveryByte("<GetReal,OK,3.250000&-1.500000>\r\n"), 5},
        ChunkCase{"CrAndLfApart", {"<GetReal,OK,3.25&-1.5>\r", "\n"}, 100},
        ChunkCase{"FrameBytesAlone", {"<", "GetReal,OK,3.25&-1.5", ">", "\r", "\n"}, 40},
        ChunkCase{"SlowPiecesWithinOneRead", {"<GetReal,OK,", "3.25", "&", "-1.5>\r\n"}, 250}),
    [](const auto& info) { return std::string(info.param.name); });

// A reply that comes with a stale one behind it in one segment: the stale one
// is dropped by the next request's clear, not taken as its answer.
TEST_F(FakeServerFaults, StaleReplyInTheSameSegmentIsDropped) {
  server.Push(FakeServer::Answer("<GetReal,OK,1&1>\r\n<GetReal,OK,9&9>\r\n"));
  server.Push(FakeServer::Line("<GetReal,OK,2&2>"));
  const Outcome first = GetReal(client);
  ASSERT_TRUE(first.ok);
  EXPECT_EQ(first.point.X, 1.0);
  const Outcome second = GetReal(client);
  ASSERT_TRUE(second.ok);
  EXPECT_EQ(second.point.X, 2.0);
  EXPECT_EQ(second.point.Y, 2.0);
}

// The reply buffer holds 10240 bytes: a line of 10239 bytes, CR LF included,
// is taken whole; one byte more and the line is cut at 10239 bytes, which
// leaves it unframed. Either way the next command gets its own reply.
TEST_F(FakeServerFaults, ReplyAtAndPastTheBufferSize) {
  const std::string head = "<GetReal,NG,";
  const std::string fits(10239 - head.size() - 3, 'm');  // "<GetReal,NG," fits ">\r\n"
  {
    ConsoleCapture console;
    server.Push(FakeServer::Answer(head + fits + ">\r\n"));
    EXPECT_FALSE(GetReal(client).ok);
    EXPECT_EQ(client.Kestrel_GetErrorString(), fits);  // the whole message
  }
  {
    ConsoleCapture console;
    const std::string line = head + fits + "m>\r\n";  // 10240 bytes
    ASSERT_EQ(line.size(), 10240u);
    server.Push(FakeServer::Answer(line));
    const Outcome o = GetReal(client);
    EXPECT_FALSE(o.ok);
    EXPECT_LT(o.ms, 500);  // refused at once, not waited for
    EXPECT_EQ(console.lines(), UnframedLines(line.substr(0, 10239), 10239, server.port()));
    EXPECT_EQ(client.Kestrel_GetErrorString(), Gbk("通讯失败!"));
  }
  server.Push(FakeServer::Line("<GetReal,OK,5&6>"));
  const Outcome next = GetReal(client);
  ASSERT_TRUE(next.ok);
  EXPECT_EQ(next.point.X, 5.0);
}

// A megabyte without a terminator: the first 10239 bytes end the command at
// once as an unframed reply. The commands after it fail at once too while
// the rest of the flood drains, and the client recovers by itself.
TEST_F(FakeServerFaults, MegabyteWithoutTerminator) {
  const std::string flood = "<GetReal,OK," + std::string(1 << 20, 'A');
  server.Push(FakeServer::Answer(flood));
  constexpr int kFollowing = 20;
  for (int i = 1; i <= kFollowing; ++i) {
    server.Push(FakeServer::Line("<GetReal,OK," + std::to_string(i) + "&0>"));
  }
  {
    ConsoleCapture console;
    const Outcome o = GetReal(client);
    EXPECT_FALSE(o.ok);
    EXPECT_LT(o.ms, 1000);
    EXPECT_EQ(console.lines(), UnframedLines(flood.substr(0, 10239), 10239, server.port()));
  }
  const auto start = Clock::now();
  int tries = 0;
  Outcome o{false, {}, 0};
  while (!o.ok && tries < kFollowing) {
    ++tries;
    o = GetReal(client);
    EXPECT_LT(o.ms, 1500) << "try " << tries;  // no command waits past its one read
  }
  ASSERT_TRUE(o.ok) << "no reply taken after " << tries << " commands";
  // Without request ids, a late reply may answer a later request: the value
  // is one the server sent, never a mix of bytes.
  EXPECT_GE(o.point.X, 1.0);
  EXPECT_LE(o.point.X, kFollowing);
  EXPECT_EQ(o.point.X, static_cast<int>(o.point.X));
  EXPECT_EQ(o.point.Y, 0.0);
  EXPECT_LT(MsSince(start), 10000);
}

struct NulCase {
  const char* name;
  std::string reply;  // framed, with CR LF
};
void PrintTo(const NulCase& c, std::ostream* os) { *os << c.name; }

class NulInReply : public FakeServerFaults, public ::testing::WithParamInterface<NulCase> {};

// A NUL byte inside a framed reply would cut the text the verdict sees short
// of what the frame holds: such a reply is refused as unframed, whatever the
// bytes before the NUL say.
TEST_P(NulInReply, IsRefusedAsUnframed) {
  ConsoleCapture console;
  const std::string& reply = GetParam().reply;
  server.Push(FakeServer::Answer(reply));
  const Outcome o = GetReal(client);
  EXPECT_FALSE(o.ok);
  EXPECT_EQ(o.point.X, -1);  // no output written
  EXPECT_EQ(console.lines(), UnframedLines(reply.substr(0, reply.find('\0')),
                                           static_cast<int>(reply.size()), server.port()));
  EXPECT_EQ(client.Kestrel_GetErrorString(), Gbk("通讯失败!"));
}

INSTANTIATE_TEST_SUITE_P(
    Places, NulInReply,
    ::testing::Values(NulCase{"InANumber", Bytes("<GetReal,OK,12\0.5&3>\r\n")},
                      NulCase{"AfterTheLastField", Bytes("<GetReal,OK,1&2\0&9>\r\n")},
                      NulCase{"InTheHead", Bytes("<Get\0Real,OK,1&2>\r\n")},
                      NulCase{"BeforeTheBracket", Bytes("<GetReal,OK,1&2\0>\r\n")}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Against the loopback server of these tests ---------------------------------

// The peer aborts the connection in the middle of a reply: the waiting read
// ends at once, not after the timeout, and the link reports itself down.
TEST(PeerFaults, ResetMidReplyEndsTheWaitAtOnce) {
  std::atomic<int> served{0};
  LoopbackServer server([&](const std::string& line) {
    Reaction r = kestrel_reliability::EchoReal(line);
    if (served++ == 0) {
      r.bytes = "<GetReal,OK,1.0";
      r.then = Reaction::Then::kReset;
    }
    return r;
  });
  Kestrel client;
  ASSERT_TRUE(client.Kestrel_Connect_Port("127.0.0.1", server.port()));
  client.Kestrel_SetTimeout(1000);  // 10000 ms: two reads
  {
    ConsoleCapture console;
    const Outcome o = GetReal(client);
    EXPECT_FALSE(o.ok);
    EXPECT_LT(o.ms, 1000);
    const std::vector<ConsoleLine> expected = {
        Plain("Kestrel", "Net_IO_Send Success:" + kRequest),
        Yellow("Kestrel", "等待接收" + kRequest + "完成.....超时时间[5000/10000毫秒]..."),
        Red("Kestrel", "Net_IO_Recv Read Error ,  Receive[]"),
        Red("Kestrel", "Net:" + Net(server.port()) + " fail."),
    };
    EXPECT_EQ(console.lines(), expected);
    EXPECT_EQ(client.Kestrel_GetErrorString(), Gbk("通讯失败!"));
    EXPECT_FALSE(client.Kestrel_Connect_Status());
  }
  ASSERT_TRUE(client.Kestrel_Reconnect_Port());
  const Outcome o = GetReal(client);
  ASSERT_TRUE(o.ok);
  EXPECT_EQ(o.point.X, kestrel_reliability::EchoX(1));
  EXPECT_EQ(o.point.Y, kestrel_reliability::EchoY(2));
}

// The server goes away and comes back on the same port: commands fail at
// once while it is away, a reconnect fails while nothing listens, and after
// it is back a reconnect and the next command succeed.
TEST(PeerFaults, ServerRestartedThenReconnect) {
  LoopbackServer server;
  Kestrel client;
  ASSERT_TRUE(client.Kestrel_Connect_Port("127.0.0.1", server.port()));
  ASSERT_TRUE(GetReal(client).ok);
  const std::string net = Net(server.port());

  server.Stop();
  {
    ConsoleCapture console;
    const Outcome o = GetReal(client);
    EXPECT_FALSE(o.ok);
    EXPECT_LT(o.ms, 500);
    const std::vector<ConsoleLine> expected = {
        Red("Kestrel", "Net:" + net + " Net_IO_Send Error:" + kRequest + " "),
        Red("Kestrel", "Net:" + net + " fail."),
    };
    EXPECT_EQ(console.lines(), expected);
    EXPECT_EQ(client.Kestrel_GetErrorString(), Gbk("通讯失败!"));
  }
  {
    ConsoleCapture console;
    EXPECT_FALSE(client.Kestrel_Connect_Status());
    const auto start = Clock::now();
    EXPECT_FALSE(client.Kestrel_Reconnect_Port());
    EXPECT_LT(MsSince(start), 500);
    const std::vector<ConsoleLine> expected = {
        Red("Kestrel", "Net " + net + " Disconnect Warning."),
        Yellow("Kestrel", "Net " + net + " Disconnect Success."),
        Red("Kestrel", "Net " + net + " Connect Error."),
    };
    EXPECT_EQ(console.lines(), expected);
  }

  server.Start();
  {
    ConsoleCapture console;
    ASSERT_TRUE(client.Kestrel_Reconnect_Port());
    const std::vector<ConsoleLine> expected = {
        Red("Kestrel", "Net " + net + " Disconnect Error."),
        Green("Kestrel", "Net " + net + " Connect Success."),
    };
    EXPECT_EQ(console.lines(), expected);
  }
  const Outcome o = GetReal(client);
  ASSERT_TRUE(o.ok);
  EXPECT_EQ(o.point.X, kestrel_reliability::EchoX(1));
  EXPECT_EQ(server.connections(), 2u);
}

// Nothing listens: the connect fails at once, and a command on the client
// fails at its write, without waiting.
TEST(PeerFaults, NothingListens) {
  const int port = ClosedPort();
  Kestrel client;
  ConsoleCapture console;
  const auto start = Clock::now();
  EXPECT_FALSE(client.Kestrel_Connect_Port("127.0.0.1", port));
  EXPECT_LT(MsSince(start), 500);
  const Outcome o = GetReal(client);
  EXPECT_FALSE(o.ok);
  EXPECT_LT(o.ms, 100);
  const std::vector<ConsoleLine> expected = {
      Red("Kestrel", "Net " + Net(port) + " Connect Error."),
      Red("Kestrel", "Net:" + Net(port) + " Net_IO_Send Error:" + kRequest + " "),
      Red("Kestrel", "Net:" + Net(port) + " fail."),
  };
  EXPECT_EQ(console.lines(), expected);
  EXPECT_EQ(client.Kestrel_GetErrorString(), Gbk("通讯失败!"));
}

// A server that accepts and answers but never reads: the client's requests
// pile up in the socket buffers until a write no longer goes through, and
// that write gives up after the link's write limit instead of hanging.
TEST(PeerFaults, ServerThatNeverReadsBoundsTheWrite) {
  LoopbackServer::Options options;
  options.read = false;
  options.receive_buffer = 4096;
  options.unsolicited = "<SetStateColor,OK,>\r\n";  // answers every request in time
  options.every_ms = 2;
  LoopbackServer server(kestrel_reliability::EchoReal, options);
  Kestrel client;
  ASSERT_TRUE(client.Kestrel_Connect_Port("127.0.0.1", server.port()));
  client.Kestrel_SetTimeout(999);
  const std::vector<const char*> colours(1000, "colour123");  // a request of 10027 bytes

  ConsoleCapture console;
  int sent = 0;
  long long failed_ms = -1;
  const auto start = Clock::now();
  while (failed_ms < 0 && sent < 5000 && MsSince(start) < 60000) {
    console.clear();
    const auto one = Clock::now();
    if (client.Kestrel_SetTargetColor("Cam1", colours)) {
      ++sent;
    } else {
      failed_ms = MsSince(one);
    }
  }
  ASSERT_GE(failed_ms, 0) << "every write went through";
  EXPECT_GT(sent, 0);
  EXPECT_GE(failed_ms, kWriteLimitMs - 100);
  EXPECT_LT(failed_ms, kWriteLimitMs + 1500);
  const std::vector<std::string> red = console.texts(Corvus::HeraldColor::Red);
  ASSERT_EQ(red.size(), 2u);
  EXPECT_EQ(
      red[0].rfind(
          "Net:" + Net(server.port()) + " Net_IO_Send Error:<SetStateColor,Cam1,colour123,", 0),
      0u);
  EXPECT_EQ(red[1], "Net:" + Net(server.port()) + " fail.");
}

// A peer that floods replies without end: the next command's clear of stale
// input must not spin on the flood forever.
TEST(PeerFaults, EndlessFloodDoesNotHoldTheNextCommand) {
  std::string block;
  while (block.size() < 64 * 1024) block += "<GetReal,OK,1&1>\r\n";
  LoopbackServer server([&](const std::string&) {
    Reaction r;
    r.bytes = block;
    r.then = Reaction::Then::kFlood;
    return r;
  });
  Kestrel client;
  ASSERT_TRUE(client.Kestrel_Connect_Port("127.0.0.1", server.port()));
  client.Kestrel_SetTimeout(999);
  ASSERT_TRUE(GetReal(client).ok);
  for (int i = 0; i < 5; ++i) {
    auto next = std::async(std::launch::async, [&] { return GetReal(client); });
    if (next.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      server.Stop();  // ends the flood, so that the command can return
      next.wait();
      FAIL() << "command " << i << " was held by the flood for more than 5 s";
    }
    EXPECT_LT(next.get().ms, 1500);
  }
}

}  // namespace
