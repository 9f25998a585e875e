// kestrel-sim: a simulated vision server for the Kestrel client.
#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>

#include "sim/cli.h"
#include "sim/server.h"

namespace {

// SIGINT and SIGTERM are blocked in every thread and taken synchronously by
// the main thread, which then stops the server in an orderly way.
sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kestrel::sim;
  Settings settings;
  const int rc = ParseCommandLine(argc, argv, settings, std::cout, std::cerr);
  if (rc >= 0) return rc;

  // Before any thread exists, so that every thread inherits the mask.
  const sigset_t stop = StopSignals();
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

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

    int sig = 0;
    sigwait(&stop, &sig);
    if (log)
      log->Write(0, RequestLog::kEvent,
                 sig == SIGINT ? "stopping on SIGINT" : "stopping on SIGTERM");
    server.Stop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kestrel-sim: %s\n", e.what());
    return 1;
  }
  return 0;
}
