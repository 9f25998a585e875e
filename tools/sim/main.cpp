// kestrel-sim: a simulated vision server for the Kestrel client.
#include <cstdio>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <string>

#include "platform/stop.h"
#include "sim/cli.h"
#include "sim/recorder.h"
#include "sim/replay.h"
#include "sim/server.h"

int main(int argc, char** argv) {
  using namespace kestrel::sim;
  Settings settings;
  const int rc = ParseCommandLine(argc, argv, settings, std::cout, std::cerr);
  if (rc >= 0) return rc;

  // Before any thread exists.
  kestrel::platform::StopRequests stop;

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
    const char* request = stop.Wait(finished);
    if (log)
      log->Write(0, RequestLog::kEvent,
                 request == nullptr ? std::string("stopping: replay finished")
                                    : std::string("stopping on ") + request);
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
