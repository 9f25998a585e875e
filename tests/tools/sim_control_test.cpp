// The simulator's control plane seen from both sides: each call of the REST
// API and what a protocol client on a real socket then gets; the journal's
// stream, a subscriber that falls behind, and the program's --http.
#include <gmock/gmock.h>
#include <httplib.h>

#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "sim/control.h"
#include "sim/journal.h"
#include "sim_client.h"

namespace kestrel::sim {
namespace {

using nlohmann::json;

const std::string kGainOk = "<GetGain,OK,1.000000>";
const char kStartRule[] = "GetIntensity:ng:\"busy\" \\ now";  // as if from --fault
const std::string kBusyReply = "<GetIntensity,NG,\"busy\" \\ now>";

// The simulator with its journal and control plane, in process.
struct Controlled {
  Controlled() {
    server.Start();
    control.Start("127.0.0.1", 0);
  }
  Simulator sim;
  FaultPlan faults{{ParseFault(kStartRule)}};
  Journal journal{100};
  JournaledResponder responder{sim, faults, journal};
  wire::Server server{responder, SimOnPort::kLoopback};
  ControlPlane control{{sim, faults, journal, server}};
};

// One API call, its status and a value of its JSON answer (a string: one
// that the answer's contains), then one request of the protocol client
// (nullptr: none) and the reply it gets ("": none, the connection is closed).
struct Call {
  const char* method;
  const char* path;
  std::string body;
  int status;
  const char* pointer;
  json value;
  const char* request = "<GetGain,Cam1>";
  std::string reply = kGainOk;
};

TEST(SimControl, ApiCallsChangeWhatTheClientGets) {
  const std::string too_long = R"({"rule": "GetGain:ng:)" + std::string(70000, 'x') + "\"}";
  const Call calls[] = {
      {"GET", "/api/faults", "", 200, "/faults/0/rule", kStartRule},
      {"POST", "/api/faults", R"({"rule": "GetGain/2:ng:camera busy"})", 201, "/rule",
       "GetGain/2:ng:camera busy", "<GetGain,Cam1>", "<GetGain,NG,camera busy>"},
      {"GET", "/api/journal?since=2", "", 200, "/entries/0/fault", "GetGain/2:ng:camera busy",
       "<GetIntensity,Cam1>", kBusyReply},
      {"DELETE", "/api/faults/2", "", 200, "/removed", 2},  // with a use left
      {"DELETE", "/api/faults/2", "", 404, "/error", "no fault rule with id 2",
       "<SetGain,Cam1,2.500000>", "<SetGain,OK,done>"},
      {"GET", "/api/journal?since=3&limit=1", "", 200, "/entries/0/reply",
       kBusyReply, "<GetGain,Cam1>", "<GetGain,OK,2.500000>"},
      {"GET", "/api/state", "", 200, "/cameras/Cam1/gain", 2.5, "<GetIntensity,Cam1>",
       kBusyReply},
      {"DELETE", "/api/faults", "", 200, "/faults", json::array(), "<GetIntensity,Cam1>",
       "<GetIntensity,OK,128>"},
      {"GET", "/api/journal?since=8", "", 200, "/entries/0/reply", "<GetIntensity,OK,128>",
       nullptr},
      // The state patched: the next request sees all of it, or none of it.
      {"PATCH", "/api/state",
       R"({"cameras": {"Cam1": {"gain": 4.5}}, "calibrations": {"cameras": {"Cam2": {"scale_x": 0.01}}}})",
       200, "/cameras/Cam1/gain", 4.5, "<GetScale,Cam2>", "<GetScale,OK,0.010000&0.002500>"},
      {"PATCH", "/api/state", R"({"cameras": {"Cam1": {"gain": 7, "gian": 1}}})", 400, "/error",
       "cameras.Cam1.gian: unknown field", "<GetGain,Cam1>", "<GetGain,OK,4.500000>"},
      {"PATCH", "/api/state", R"({"rotate_centers": {"default": {"x": 1}}, "wafer": {"points": "9"}})",
       400, "/error", "wafer.points: expected a whole number", "<GetRotateCenter,Cam3>",
       "<GetRotateCenter,OK,1024.000000&768.000000>"},
      // Reset: the command line's rules, state and an empty journal.
      {"POST", "/api/reset", "", 200, "/faults/0/rule", kStartRule, "<GetIntensity,Cam1>",
       kBusyReply},
      {"GET", "/api/journal", "", 200, "/entries/0/fault", kStartRule, "<GetScale,Cam2>",
       "<GetScale,OK,0.002500&0.002500>"},
      // Bad input is refused with its reason and changes nothing.
      {"POST", "/api/faults", "{rule", 400, "/error", "bad JSON"},
      {"POST", "/api/faults", R"(["GetGain:ng"])", 400, "/error", R"({"rule")"},
      {"POST", "/api/faults", R"({"rule": "GetGain:frob"})", 400, "/error",
       "unknown fault kind 'frob'"},
      {"POST", "/api/faults", too_long, 413, "/error", "over 65536 bytes"},
      {"GET", "/api/journal?since=-1", "", 400, "/error", "since '-1'"},
      {"GET", "/api/nothing", "", 404, "/error", "GET /api/nothing"},
      {"GET", "/api/faults", "", 200, "/faults/1", nullptr},
      {"GET", "/api/openapi.json", "", 200, "/paths/~1api~1faults~1{id}/delete/summary",
       "Removes one fault rule"},
      {"GET", "/api/connections", "", 200, "/connections/0/id", 1},
      {"DELETE", "/api/connections/1", "", 200, "/dropped", 1, "<GetGain,Cam1>", ""},
  };
  Controlled c;
  httplib::Client http("127.0.0.1", c.control.port());
  RawClient client(c.server.port());
  for (const Call& call : calls) {
    SCOPED_TRACE(std::string(call.method) + " " + call.path + " " + call.body.substr(0, 60));
    httplib::Request req;
    req.method = call.method;
    req.path = call.path;
    req.body = call.body;
    req.set_header("Content-Type", "application/json");
    // An exchange is journaled just after its reply went out: a GET asks
    // again until it shows (or the time is up).
    const auto start = Clock::now();
    httplib::Result res = http.send(req);
    const json::json_pointer at(call.pointer);
    json got;
    for (;;) {
      ASSERT_TRUE(res) << httplib::to_string(res.error());
      const json answer = json::parse(res->body, nullptr, false);
      got = answer.contains(at) ? answer[at] : json();
      if (got.is_string() && call.value.is_string())
        got = got.get<std::string>().find(call.value.get<std::string>()) != std::string::npos
                  ? call.value
                  : got;
      if (got == call.value || req.method != "GET" || MsSince(start) > 3000) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      res = http.send(req);
    }
    EXPECT_EQ(res->status, call.status) << res->body;
    EXPECT_EQ(got, call.value) << res->body;
    if (call.request != nullptr) {
      EXPECT_EQ(client.Ask(call.request), call.reply);
    }
  }
}

TEST(SimControl, StreamsEachExchangeAsItIsServed) {
  Controlled c;
  RawClient stream(c.control.port());
  stream.Send("GET /api/journal/stream HTTP/1.1\r\nHost: sim\r\n\r\n");
  EXPECT_THAT(stream.Take(), ::testing::StartsWith("HTTP/1.1 200"));
  while (stream.Take() != "\r\n") continue;  // the headers: the stream is subscribed
  RawClient client(c.server.port());
  EXPECT_EQ(client.Ask("<GetIntensity,Cam1>"), kBusyReply);
  std::string line;
  while (!(line = stream.Take()).empty() && line.rfind("data: ", 0) != 0) continue;
  const json entry = json::parse(line.substr(6), nullptr, false);
  EXPECT_EQ(entry.value("request", ""), "<GetIntensity,Cam1>") << line;
  EXPECT_EQ(entry.value("fault", ""), kStartRule) << line;
}

TEST(SimControl, SubscriberThatFallsBehindIsToldWhatItMissed) {
  Journal journal(10);
  const long subscriber = journal.Subscribe();
  const long extra = 3;
  for (long i = 0; i < 10 + extra; ++i) journal.Append({});
  Journal::Batch batch = journal.Wait(subscriber, std::chrono::milliseconds(0));
  EXPECT_EQ(batch.entries.size(), 10u);
  EXPECT_EQ(batch.missed, extra);
  EXPECT_EQ(batch.entries.front().seq, extra + 1);
  const Journal::Page page = journal.Since(0, 100);
  ASSERT_EQ(page.entries.size(), 10u) << "the ring keeps its newest";
  EXPECT_EQ(page.next, page.entries.back().seq + 1);
  journal.CloseStreams();
  EXPECT_TRUE(journal.Wait(subscriber, std::chrono::seconds(5)).closed);
}

#ifndef _WIN32
TEST(SimControl, ProgramServesTheControlPlaneOnItsSecondLine) {
  const Spawned sim = Spawn("--port 0 --http 0 --fault GetGain:reset");
  int http_port = 0;
  ASSERT_EQ(std::fscanf(sim.out, "\nconsole on http://127.0.0.1:%d", &http_port), 1);
  httplib::Client http("127.0.0.1", http_port);
  const httplib::Result res = http.Get("/api/faults");
  ASSERT_TRUE(res);
  EXPECT_EQ(json::parse(res->body, nullptr, false).value(json::json_pointer("/faults/0/rule"), ""),
            "GetGain:reset");
  ::kill(sim.pid, SIGTERM);
  EXPECT_EQ(WaitExit(sim), 0);
}
#endif

}  // namespace
}  // namespace kestrel::sim
