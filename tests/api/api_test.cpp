// The exported interface as a host program sees it: the client class, the
// procedure and the printer's sink, reached through the shared library (on
// Windows kestrel.dll and its import library). Strings and vectors cross the
// library's boundary in both directions here: filled inside, released
// outside, and the other way round.
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
#else
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kestrel/host.h"
#include "kestrel/kestrel.h"

namespace {

#ifdef _WIN32
using RawSocket = SOCKET;
using SockLen = int;
constexpr RawSocket kNoSocket = INVALID_SOCKET;
void CloseRaw(RawSocket s) { ::closesocket(s); }
const bool kWinsockStarted = [] {
  WSADATA data;
  return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}();
#else
using RawSocket = int;
using SockLen = socklen_t;
constexpr RawSocket kNoSocket = -1;
void CloseRaw(RawSocket fd) { ::close(fd); }
#endif

struct Line {
  Corvus::HeraldColor color;
  std::string title;
  std::string text;
};

// Collects the console lines that the library hands to the sink.
class Lines {
 public:
  Lines() { Corvus::Herald_Set_Sink(&Lines::Receive, this); }
  ~Lines() { Corvus::Herald_Set_Sink(nullptr, nullptr); }
  std::vector<Line> all() {
    std::lock_guard<std::mutex> hold(mutex_);
    return lines_;
  }

 private:
  static void Receive(Corvus::HeraldColor color, const char* title, const char* text, void* self) {
    auto* lines = static_cast<Lines*>(self);
    std::lock_guard<std::mutex> hold(lines->mutex_);
    lines->lines_.push_back({color, title, text});
  }
  std::mutex mutex_;
  std::vector<Line> lines_;
};

// Answers the request lines of one connection on 127.0.0.1 with `replies`,
// one each, and records the requests.
class OneShotServer {
 public:
  explicit OneShotServer(std::vector<std::string> replies) : replies_(std::move(replies)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    SockLen size = sizeof addr;
    if (listener_ == kNoSocket ||
        ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &size) != 0) {
      return;
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~OneShotServer() {
    if (thread_.joinable()) thread_.join();
    if (listener_ != kNoSocket) CloseRaw(listener_);
  }
  int port() const { return port_; }
  // Valid once the client has disconnected and the server has been joined.
  const std::vector<std::string>& requests() const { return requests_; }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Serve() {
    const RawSocket conn = ::accept(listener_, nullptr, nullptr);
    if (conn == kNoSocket) return;
    std::string pending;
    std::size_t answered = 0;
    char chunk[512];
    for (;;) {
      const int n = static_cast<int>(::recv(conn, chunk, sizeof chunk, 0));
      if (n <= 0) break;  // the client has closed
      pending.append(chunk, static_cast<std::size_t>(n));
      std::size_t end;
      while ((end = pending.find("\r\n")) != std::string::npos) {
        requests_.push_back(pending.substr(0, end));
        pending.erase(0, end + 2);
        if (answered < replies_.size()) {
          const std::string& reply = replies_[answered++];
          ::send(conn, reply.data(), static_cast<int>(reply.size()), 0);
        }
      }
    }
    CloseRaw(conn);
  }

  std::vector<std::string> replies_;
  std::vector<std::string> requests_;
  RawSocket listener_ = kNoSocket;
  int port_ = 0;
  std::thread thread_;
};

// "通讯失败!" in GBK.
const char kCommFailed[] = "\xCD\xA8\xD1\xB6\xCA\xA7\xB0\xDC!";

TEST(Api, DefaultsAndTheTimeoutRule) {
  Kestrel client;
  EXPECT_EQ(client.Kestrel_GetTimeout(), 5000);
  EXPECT_STREQ(client.Kestrel_GetErrorString(), "");
  client.Kestrel_SetTimeout(999);
  EXPECT_EQ(client.Kestrel_GetTimeout(), 1000);
  client.Kestrel_SetTimeout(3000);
  EXPECT_EQ(client.Kestrel_GetTimeout(), 10000);
}

TEST(Api, LinesReachTheHostsSinkWithTheProceduresTitle) {
  Lines lines;
  Corvus::Procedure procedure("Seq1");
  Kestrel client(&procedure);
  EXPECT_FALSE(client.Kestrel_Disconnect_Port());
  const std::vector<Line> got = lines.all();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].color, Corvus::HeraldColor::Red);
  EXPECT_EQ(got[0].title, "Seq1/Kestrel");
  EXPECT_EQ(got[0].text, "Net 127.0.0.1:8000 Disconnect Error.");
}

TEST(Api, ACommandWithoutAServerLeavesTheErrorText) {
  Lines lines;
  Kestrel client;
  double gain = -1;
  EXPECT_FALSE(client.Kestrel_GetGain("Cam1", gain));
  EXPECT_EQ(gain, -1);
  EXPECT_STREQ(client.Kestrel_GetErrorString(), kCommFailed);
  client.Kestrel_ClearErrorString();
  EXPECT_STREQ(client.Kestrel_GetErrorString(), "");
  // A vector handed over by value is copied here and released inside.
  Point centre{7, 8};
  double radius = 9;
  EXPECT_FALSE(client.Kestrel_FixCircle({{1, 2}, {3.5, -4}}, centre, radius));
  EXPECT_EQ(centre.X, 7);
  EXPECT_EQ(radius, 9);
  EXPECT_STREQ(client.Kestrel_GetErrorString(), kCommFailed);
}

TEST(Api, CommandsRoundTripThroughTheLibrary) {
  OneShotServer server({"<GetGain,OK,2.5>\r\n", "<AutoFocus,OK,12.5,focus done, sharp>\r\n",
                        "<FixCircle,OK,120.5&-30.25,75.125>\r\n"});
  ASSERT_NE(server.port(), 0);
  Lines lines;
  Kestrel client;
  ASSERT_TRUE(client.Kestrel_Connect_Port("127.0.0.1", server.port()));
  double gain = 0;
  EXPECT_TRUE(client.Kestrel_GetGain("Cam1", gain));
  EXPECT_EQ(gain, 2.5);
  // The result text is filled inside the library and released here.
  double focus = 0;
  std::string text = "before";
  EXPECT_TRUE(client.Kestrel_AutoFocus("Cam1", 3, 1, 2, 3, 4, 5, focus, text, false));
  EXPECT_EQ(focus, 12.5);
  EXPECT_EQ(text, "focus done, sharp");
  Point centre;
  double radius = 0;
  EXPECT_TRUE(client.Kestrel_FixCircle({{1, 2}, {3.5, -4}}, centre, radius));
  EXPECT_EQ(centre.X, 120.5);
  EXPECT_EQ(centre.Y, -30.25);
  EXPECT_EQ(radius, 75.125);
  EXPECT_TRUE(client.Kestrel_Disconnect_Port());
  server.Join();
  EXPECT_EQ(server.requests(),
            (std::vector<std::string>{
                "<GetGain,Cam1>",
                "<AutoFocus,Cam1,3,1.000000,2.000000,3.000000,4.000000,5.000000>",
                "<FixCircle,2,1.000000,2.000000,3.500000,-4.000000>"}));
  const std::vector<Line> got = lines.all();
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.front().color, Corvus::HeraldColor::Green);
  EXPECT_EQ(got.front().text, "Net 127.0.0.1:" + std::to_string(server.port()) + " Connect Success.");
}

}  // namespace
