// The exported interface as a host program sees it, through the shared
// library (on Windows kestrel.dll and its import library): strings and
// vectors cross the library's boundary in both directions (filled inside and
// released outside, and the other way round), and the console lines reach
// the host's sink with the procedure's title.
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

#include <string>
#include <thread>
#include <vector>

#include "kestrel/host.h"
#include "kestrel/kestrel.h"

namespace {

#ifdef _WIN32
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

// The console lines the library hands to the host's sink (all from the
// calling thread here): colour, title and text.
struct Lines {
  Lines() { Corvus::Herald_Set_Sink(&Lines::Receive, this); }
  ~Lines() { Corvus::Herald_Set_Sink(nullptr, nullptr); }
  static void Receive(Corvus::HeraldColor color, const char* title, const char* text, void* self) {
    static_cast<Lines*>(self)->all.push_back({color, title, text});
  }
  struct Line {
    Corvus::HeraldColor color;
    std::string title, text;
  };
  std::vector<Line> all;
};

// "通讯失败!" in GBK.
const char kCommFailed[] = "\xCD\xA8\xD1\xB6\xCA\xA7\xB0\xDC!";

// Against a server on 127.0.0.1 that answers one connection's requests with
// the replies given, in order, and records them; the client belongs to a
// procedure, whose name titles its lines.
TEST(Api, CommandsRoundTripThroughTheLibrary) {
  const RawSocket listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  SockLen size = sizeof addr;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &size), 0);
  const std::vector<std::string> replies = {"<GetGain,OK,2.5>\r\n",
                                            "<AutoFocus,OK,12.5,focus done, sharp>\r\n",
                                            "<FixCircle,OK,120.5&-30.25,75.125>\r\n"};
  Lines lines;
  Corvus::Procedure procedure("Seq1");
  Kestrel client(&procedure);  // connected before the server accepts: no thread to stop
  ASSERT_TRUE(client.Kestrel_Connect_Port("127.0.0.1", ntohs(addr.sin_port)));
  ASSERT_EQ(lines.all.size(), 1u);
  EXPECT_EQ(lines.all[0].color, Corvus::HeraldColor::Green);
  EXPECT_EQ(lines.all[0].title, "Seq1/Kestrel");
  EXPECT_EQ(lines.all[0].text,
            "Net 127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + " Connect Success.");
  std::vector<std::string> requests;
  std::thread server([&] {
    const RawSocket conn = ::accept(listener, nullptr, nullptr);
    std::string pending;
    char chunk[512];
    for (int n; (n = static_cast<int>(::recv(conn, chunk, sizeof chunk, 0))) > 0;) {
      pending.append(chunk, static_cast<std::size_t>(n));
      for (std::size_t end; (end = pending.find("\r\n")) != std::string::npos;) {
        requests.push_back(pending.substr(0, end));
        pending.erase(0, end + 2);
        const std::string& reply = replies[(requests.size() - 1) % replies.size()];
        ::send(conn, reply.data(), static_cast<int>(reply.size()), 0);
      }
    }
    CloseRaw(conn);  // once the client has closed
  });
  double gain = 0, focus = 0, radius = 0;
  EXPECT_TRUE(client.Kestrel_GetGain("Cam1", gain));
  EXPECT_EQ(gain, 2.5);
  std::string text = "before";  // filled inside the library, released here
  EXPECT_TRUE(client.Kestrel_AutoFocus("Cam1", 3, 1, 2, 3, 4, 5, focus, text, false));
  EXPECT_EQ(focus, 12.5);
  EXPECT_EQ(text, "focus done, sharp");
  Point centre;  // the points: copied here, released inside
  EXPECT_TRUE(client.Kestrel_FixCircle({{1, 2}, {3.5, -4}}, centre, radius));
  EXPECT_EQ(centre.X, 120.5);
  EXPECT_EQ(centre.Y, -30.25);
  EXPECT_EQ(radius, 75.125);
  EXPECT_TRUE(client.Kestrel_Disconnect_Port());
  server.join();
  CloseRaw(listener);
  EXPECT_EQ(requests,
            (std::vector<std::string>{
                "<GetGain,Cam1>", "<AutoFocus,Cam1,3,1.000000,2.000000,3.000000,4.000000,5.000000>",
                "<FixCircle,2,1.000000,2.000000,3.500000,-4.000000>"}));
  // Disconnected: the outputs keep the caller's values; the error text the
  // library keeps is read and cleared from here.
  EXPECT_FALSE(client.Kestrel_FixCircle({{1, 2}, {3.5, -4}}, centre, radius));
  EXPECT_EQ(radius, 75.125);
  EXPECT_STREQ(client.Kestrel_GetErrorString(), kCommFailed);
  client.Kestrel_ClearErrorString();
  EXPECT_STREQ(client.Kestrel_GetErrorString(), "");
}

}  // namespace
