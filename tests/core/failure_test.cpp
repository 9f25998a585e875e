// The failure kind: each way an operation fails, driven through a real
// exchange on loopback, sets its own kind; the next success sets kOk again.
// (Out of memory is checked with the operations' allocation failures.)
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "kestrel/failure.h"
#include "kestrel/host.h"
#include "kestrel/kestrel.h"
#include "support/console.h"
#include "support/fake_server.h"

namespace {

using kestrel::Failure;
using kestrel_test::ConsoleCapture;
using kestrel_test::FakeServer;

TEST(FailureKind, EachWayOfFailingHasItsKind) {
  enum class Setup { kConnected, kNeverConnected, kDisconnected, kRoutineAbort, kPlantAbort };
  struct Case {
    const char* name;
    Setup setup;
    std::vector<FakeServer::Step> steps;  // none: the server stays silent
    std::function<bool(Kestrel&)> call;
    Failure kind;
  };
  const auto get_gain = [](Kestrel& c) {
    double gain = 0;
    return c.Kestrel_GetGain("Cam1", gain);
  };
  const auto edges = [](Kestrel& c) {
    std::vector<Point> points;
    return c.Kestrel_WaferEdge("A", "B", Point{1, 2}, true, 0, 0, points);
  };
  const int closed = FakeServer().port();  // gone again: nothing listens there
  const std::vector<Case> cases = {
      {"ok", Setup::kConnected, {FakeServer::Line("<GetGain,OK,1.5>")}, get_gain, Failure::kOk},
      {"never connected", Setup::kNeverConnected, {}, get_gain, Failure::kNotConnected},
      {"disconnected", Setup::kDisconnected, {}, get_gain, Failure::kNotConnected},
      {"request too long", Setup::kConnected, {},
       [](Kestrel& c) { return c.Kestrel_SetGain(std::string(10300, 'c').c_str(), 1); },
       Failure::kRequestTooLong},
      {"silent server", Setup::kConnected, {}, get_gain, Failure::kTimedOut},
      {"routine abort", Setup::kRoutineAbort, {}, get_gain, Failure::kAborted},
      {"plant abort", Setup::kPlantAbort, {}, get_gain, Failure::kPlantAborted},
      {"unframed", Setup::kConnected, {FakeServer::Line("GetGain,OK,1")}, get_gain,
       Failure::kUnframed},
      {"foreign head", Setup::kConnected, {FakeServer::Line("<GetExposure,OK,1>")}, get_gain,
       Failure::kWrongHead},
      {"unknown type", Setup::kConnected, {FakeServer::Line("<GetGain,MAYBE,1>")}, get_gain,
       Failure::kBadType},
      {"NG", Setup::kConnected, {FakeServer::Line("<GetGain,NG,camera busy>")}, get_gain,
       Failure::kServerNg},
      {"number that does not convert", Setup::kConnected, {FakeServer::Line("<GetGain,OK,x1>")},
       get_gain, Failure::kBadReply},
      {"count that does not match", Setup::kConnected,
       {FakeServer::Line("<WaferEdge,OK,3,1&2,3&4>")}, edges, Failure::kBadReply},
      {"failed connect", Setup::kNeverConnected, {},
       [closed](Kestrel& c) { return c.Kestrel_Connect_Port("127.0.0.1", closed); },
       Failure::kNotConnected},
  };
  ConsoleCapture quiet;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeServer server;
    Corvus::Procedure procedure("P");
    Kestrel client(&procedure);
    client.Kestrel_SetTimeout(999);  // one read of 1000 ms
    if (c.setup != Setup::kNeverConnected) {
      ASSERT_TRUE(client.Kestrel_Connect_Port("127.0.0.1", server.port()));
    }
    if (c.setup == Setup::kDisconnected) {
      ASSERT_TRUE(client.Kestrel_Disconnect_Port());
    }
    if (c.setup == Setup::kRoutineAbort) procedure.Routine_Set_Abort_Flag(true);
    if (c.setup == Setup::kPlantAbort) procedure.Plant_Abort_Manager_Set(true);
    for (const FakeServer::Step& step : c.steps) server.Push(step);
    EXPECT_EQ(c.call(client), c.kind == Failure::kOk);
    EXPECT_EQ(kestrel::LastFailure(client), c.kind)
        << kestrel::FailureName(kestrel::LastFailure(client));
    if (c.kind == Failure::kOk || c.setup != Setup::kConnected) continue;
    // The kind is that of the last operation: a success clears it.
    server.Push(FakeServer::Line("<GetGain,OK,2>"));
    EXPECT_TRUE(get_gain(client));
    EXPECT_EQ(kestrel::LastFailure(client), Failure::kOk);
  }
}

}  // namespace
