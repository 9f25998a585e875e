// kestrel-sim: a simulated vision server for the Kestrel client.
#include <cstdio>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>

#include "platform/stop.h"
#include "platform/text.h"
#include "sim/cli.h"
#include "sim/control.h"
#include "sim/journal.h"
#include "sim/recorder.h"
#include "sim/replay.h"
#include "sim/request_log.h"
#include "sim/faults.h"
#include "wire/server.h"

int main(int argc, char** argv) {
  using namespace kestrel::sim;
  Settings settings;
  const kestrel::platform::Utf8Args args(argc, argv);
  const int rc = ParseCommandLine(args.argc(), args.argv(), settings, std::cout, std::cerr);
  if (rc >= 0) return rc;

  // Before any thread exists.
  kestrel::platform::StopRequests stop;

  std::unique_ptr<Replay> replay;
  try {
    if (!settings.replay.empty()) {
      replay = std::make_unique<Replay>(
          kestrel::trace::Exchanges(kestrel::trace::Load(settings.replay, settings.server_port).records), settings.fast);
    }
  } catch (const kestrel::trace::TraceError& e) {
    std::fprintf(stderr, "kestrel-sim: %s\n", e.what());
    return 2;
  }

  try {
    std::unique_ptr<RequestLog> log;
    if (!settings.log.empty()) log = RequestLog::Open(settings.log);
    kestrel::wire::Log note;
    if (log) note = [&log](long conn, std::string_view mark, std::string_view text) {
      log->Write(conn, mark, text);
    };
    // One server; what it does with a connection is the mode's: relay it to
    // the real server, answer from the recording, or simulate.
    Simulator sim(settings.sim);
    FaultPlan faults(std::move(settings.faults));
    // With the control plane, each exchange also goes to its journal.
    Journal journal(settings.journal_size);
    SimResponder plain(sim, faults);
    JournaledResponder journaled(sim, faults, journal);
    SimResponder& simulated = settings.http_port >= 0 ? journaled : plain;
    std::unique_ptr<kestrel::trace::Writer> writer;
    std::unique_ptr<Recorder> recorder;
    std::unique_ptr<kestrel::wire::Server> server;
    if (!settings.record.empty()) {
      const auto [host, port] = SplitHostPort(settings.forward);
      writer = std::make_unique<kestrel::trace::Writer>(settings.record, settings.forward);
      // Fault rules and the control plane's journal have the replies pass
      // line by line; without them every byte passes as it comes.
      const bool control_plane = settings.http_port >= 0;
      recorder = std::make_unique<Recorder>(*writer, host, port,
                                            control_plane || !faults.empty() ? &faults : nullptr,
                                            control_plane ? &journal : nullptr);
      server = std::make_unique<kestrel::wire::Server>(
          [&recorder](auto&&... relay) { return recorder->Relay(relay...); }, settings.server,
          note);
    } else if (replay) {
      server = std::make_unique<kestrel::wire::Server>(*replay, settings.server, note);
    } else {
      server = std::make_unique<kestrel::wire::Server>(simulated, settings.server, note);
    }
    server->Start();
    std::printf("kestrel-sim listening on %s:%d\n", server->address().c_str(), server->port());
    std::fflush(stdout);
    if (log) log->Write(0, RequestLog::kEvent, "listening");
#ifdef KESTREL_SIM_HTTP
    std::unique_ptr<ControlPlane> control;
    if (settings.http_port >= 0) {
      control = std::make_unique<ControlPlane>(ControlPlane::Parts{sim, faults, journal, *server});
      control->Start(settings.http_address, settings.http_port);
      std::printf("console on http://%s:%d/\n", settings.http_address.c_str(), control->port());
      std::fflush(stdout);
    }
#endif

    std::function<bool()> finished;
    if (replay && settings.exit_after_replay)
      finished = [&] { return replay->Finished(server->active_connections()); };
    const char* request = stop.Wait(finished);
    if (log)
      log->Write(0, RequestLog::kEvent,
                 request == nullptr ? std::string("stopping: replay finished")
                                    : std::string("stopping on ") + request);
#ifdef KESTREL_SIM_HTTP
    if (control) control->Stop();
#endif
    server->Stop();
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
