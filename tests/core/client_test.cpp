// The client object: defaults, the timeout rule, connection lines, the stored
// address, and records shared through assignment.
#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "kestrel/host.h"
#include "kestrel/kestrel.h"
#include "support/console.h"
#include "support/fake_server.h"

namespace {

using kestrel_test::ConsoleCapture;
using kestrel_test::FakeServer;
using kestrel_test::Green;
using kestrel_test::Red;
using kestrel_test::Yellow;

std::string At(const char* format, const std::string& address, int port) {
  char line[256];
  std::snprintf(line, sizeof line, format, address.c_str(), port);
  return line;
}

// Title "Kestrel", or the owner's name (cut to 63 characters) and
// "/Kestrel"; server 127.0.0.1:8000; timeout 5000; no error text.
TEST(Client, Defaults) {
  Corvus::Procedure procedure("Seq1");
  Corvus::Procedure long_name(std::string(80, 'p').c_str());
  const struct {
    Corvus::Procedure* owner;
    const char* title;
  } cases[] = {{nullptr, "Kestrel"}, {&procedure, "Seq1/Kestrel"}, {&long_name, ""}};
  for (const auto& c : cases) {
    const auto client = c.owner ? std::make_unique<Kestrel>(c.owner) : std::make_unique<Kestrel>();
    EXPECT_EQ(client->Kestrel_GetTimeout(), 5000);
    EXPECT_STREQ(client->Kestrel_GetErrorString(), "");
    ConsoleCapture console;
    EXPECT_FALSE(client->Kestrel_Connect_Status());
    const std::string title = *c.title ? c.title : std::string(63, 'p');
    EXPECT_EQ(console.lines(), (std::vector<kestrel_test::ConsoleLine>{
                                   Red(title, "Net 127.0.0.1:8000 Disconnect Warning.")}));
  }
}

TEST(Client, TimeoutRuleStoresOnlyTwoValues) {
  const struct {
    int given, stored;
  } cases[] = {{999, 1000},   {0, 1000},     {-5, 1000},    {1000, 10000},
               {3000, 10000}, {5000, 10000}, {60000, 10000}};
  for (const auto& c : cases) {
    Kestrel client;
    client.Kestrel_SetTimeout(c.given);
    EXPECT_EQ(client.Kestrel_GetTimeout(), c.stored) << c.given;
  }
}

TEST(Client, ConnectDisconnectAndStatusLines) {
  FakeServer server;
  Kestrel client;
  ConsoleCapture console;
  const int port = server.port();
  EXPECT_TRUE(client.Kestrel_Connect_Port("127.0.0.1", port));
  EXPECT_TRUE(client.Kestrel_Connect_Status());
  EXPECT_TRUE(client.Kestrel_Disconnect_Port());
  EXPECT_FALSE(client.Kestrel_Disconnect_Port());
  EXPECT_FALSE(client.Kestrel_Connect_Status());
  const std::vector<kestrel_test::ConsoleLine> expected = {
      Green("Kestrel", At("Net %s:%d Connect Success.", "127.0.0.1", port)),
      Yellow("Kestrel", At("Net %s:%d Disconnect Success.", "127.0.0.1", port)),
      Red("Kestrel", At("Net %s:%d Disconnect Error.", "127.0.0.1", port)),
      Red("Kestrel", At("Net %s:%d Disconnect Warning.", "127.0.0.1", port)),
  };
  EXPECT_EQ(console.lines(), expected);
  EXPECT_STREQ(client.Kestrel_GetErrorString(), "");
}

// A failed connect stores the address (cut to 63 characters) and the port;
// a failed disconnect is only printed, and reconnect and status use the
// stored copy.
TEST(Client, FailedConnectStoresAddressAndPortForReconnect) {
  const std::string address(70, 'a'), cut(63, 'a');  // no such host: fails at once
  Kestrel client;
  ConsoleCapture console;
  EXPECT_FALSE(client.Kestrel_Connect_Port(address.c_str(), 9));
  EXPECT_FALSE(client.Kestrel_Reconnect_Port());
  EXPECT_FALSE(client.Kestrel_Connect_Status());
  const std::vector<kestrel_test::ConsoleLine> expected = {
      Red("Kestrel", At("Net %s:%d Connect Error.", address, 9)),
      Red("Kestrel", At("Net %s:%d Disconnect Error.", cut, 9)),
      Red("Kestrel", At("Net %s:%d Connect Error.", cut, 9)),
      Red("Kestrel", At("Net %s:%d Disconnect Warning.", cut, 9)),
  };
  EXPECT_EQ(console.lines(), expected);
}

TEST(Client, AssignmentSharesLinkAndErrorText) {
  FakeServer server;
  Kestrel first;
  Kestrel second;
  // Keep second's own record reachable so that it can be given back (records
  // are not counted: of the clients sharing one, only one may be destroyed).
  alignas(Kestrel) static unsigned char slot[sizeof(Kestrel)];
  Kestrel* own_record = new (slot) Kestrel(second);
  second = first;
  ASSERT_TRUE(second.Kestrel_Connect_Port("127.0.0.1", server.port()));
  EXPECT_TRUE(first.Kestrel_Connect_Status());
  ConsoleCapture console;
  server.Push(FakeServer::Line("<SetGain,NG,lens cap on>"));
  EXPECT_FALSE(first.Kestrel_SetGain("Cam1", 1.0));
  EXPECT_STREQ(second.Kestrel_GetErrorString(), "lens cap on");
  second.Kestrel_ClearErrorString();
  EXPECT_STREQ(first.Kestrel_GetErrorString(), "");
  second = *own_record;
}

}  // namespace
