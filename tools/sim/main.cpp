// kestrel-sim: a simulated vision server for the Kestrel client.
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <string>

#include "platform/stop.h"
#include "sim/cli.h"
#include "sim/server.h"

int main(int argc, char** argv) {
  using namespace kestrel::sim;
  Settings settings;
  const int rc = ParseCommandLine(argc, argv, settings, std::cout, std::cerr);
  if (rc >= 0) return rc;

  // Before any thread exists.
  kestrel::platform::StopRequests stop;

  try {
    std::unique_ptr<RequestLog> log;
    if (!settings.log.empty()) log = RequestLog::Open(settings.log);
    Simulator sim(settings.sim);
    FaultPlan faults(std::move(settings.faults));
    Server server(sim, faults, log.get(), settings.server);
    server.Start();
    std::printf("kestrel-sim listening on %s:%d\n", server.address().c_str(), server.port());
    std::fflush(stdout);
    if (log) log->Write(0, RequestLog::kEvent, "listening");

    const char* request = stop.Wait();
    if (log) log->Write(0, RequestLog::kEvent, std::string("stopping on ") + request);
    server.Stop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kestrel-sim: %s\n", e.what());
    return 1;
  }
  return 0;
}
