// kestrel-sim: a simulated vision server for the Kestrel client.
#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>

#include "sim/cli.h"
#include "sim/recorder.h"
#include "sim/replay.h"
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

// Waits for SIGINT or SIGTERM, or, when `finished` is given, until it says
// so (checked every 20 ms). Returns the signal, or 0.
int WaitForStop(const sigset_t& stop, const std::function<bool()>& finished) {
  if (!finished) {
    int sig = 0;
    sigwait(&stop, &sig);
    return sig;
  }
  const timespec tick{0, 20 * 1000 * 1000};
  for (;;) {
    const int sig = sigtimedwait(&stop, nullptr, &tick);
    if (sig > 0) return sig;
    if (finished()) return 0;
  }
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

  std::unique_ptr<Replay> replay;
  try {
    if (!settings.replay.empty()) {
      replay = std::make_unique<Replay>(
          kestrel::trace::Exchanges(kestrel::trace::Load(settings.replay).records), settings.fast);
    }
  } catch (const kestrel::trace::TraceError& e) {
    std::fprintf(stderr, "kestrel-sim: %s\n", e.what());
    return 2;
  }

  try {
    std::unique_ptr<RequestLog> log;
    if (!settings.log.empty()) log = RequestLog::Open(settings.log);
    Simulator sim(settings.sim);
    FaultPlan faults(std::move(settings.faults));
    Server server(sim, faults, log.get(), settings.server);
    std::unique_ptr<kestrel::trace::Writer> writer;
    std::unique_ptr<Recorder> recorder;
    if (!settings.record.empty()) {
      const auto [host, port] = SplitHostPort(settings.forward);
      writer = std::make_unique<kestrel::trace::Writer>(settings.record, settings.forward);
      recorder = std::make_unique<Recorder>(*writer, host, port);
      server.UseRecorder(recorder.get());
    }
    server.UseReplay(replay.get());
    server.Start();
    std::printf("kestrel-sim listening on %s:%d\n", server.address().c_str(), server.port());
    std::fflush(stdout);
    if (log) log->Write(0, RequestLog::kEvent, "listening");

    std::function<bool()> finished;
    if (replay && settings.exit_after_replay)
      finished = [&] { return replay->Finished(server.active_connections()); };
    const int sig = WaitForStop(stop, finished);
    if (log)
      log->Write(0, RequestLog::kEvent,
                 sig == 0        ? "stopping: replay finished"
                 : sig == SIGINT ? "stopping on SIGINT"
                                 : "stopping on SIGTERM");
    server.Stop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kestrel-sim: %s\n", e.what());
    return 1;
  }
  if (replay) {
    std::fputs(replay->Summary().c_str(), stderr);
    if (settings.strict && replay->Diverged()) return 3;
  }
  return 0;
}
