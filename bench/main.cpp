// kestrel-bench: what the library costs on top of one TCP round trip.
//
// Starts its own servers (the reply server as a forked child process, a
// silent listener, and the simulator as a child process, once more with its
// control plane and a reader of its journal stream), audits the heap
// allocations of every command operation, then hands over to Google
// Benchmark, with 21 repetitions in random interleaved order by default;
// its median rows are the figures (docs/performance.md).
//
//   kestrel-bench [--smoke] [--sim=PATH] [--no-sim] [--iterations=N]
//                 [--reply-port=PORT] [--serve-replies] [--no-audit] [--no-pin]
//                 [Google Benchmark flags]
//
//   --smoke          every benchmark once with a few iterations; checks that
//                    each runs and succeeds
//   --sim=PATH       the simulator to start (default: the one built with it)
//   --no-sim         leave the simulator benchmarks out
//   --iterations=N   fixed iteration count for the timed benchmarks (used
//                    under strace to count system calls per command)
//   --reply-port=P   use a reply server already running on P instead of
//                    forking one (so that strace -f sees the client alone)
//   --serve-replies  be that reply server (on a free port), and print
//                    "reply server listening on 127.0.0.1:PORT"
//   --no-audit       skip the allocation audit
//   --no-pin         let the reply server's threads run on any CPU (by
//                    default it keeps to the last one; see servers.cpp)
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "alloc_count.h"
#include "benchmarks.h"
#include "servers.h"
#include "wire/server.h"
#include "workloads.h"

#ifndef KESTREL_SIM_PATH
#define KESTREL_SIM_PATH ""
#endif

namespace {

using namespace kbench;

// Google Benchmark's console output, noting whether any run failed.
class FailureNoting : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) failed = failed || run.error_occurred;
    ConsoleReporter::ReportRuns(runs);
  }
  bool failed = false;
};

bool TakeFlag(std::vector<char*>& args, const char* name, std::string* value) {
  const std::size_t n = std::strlen(name);
  for (auto it = args.begin() + 1; it != args.end(); ++it) {
    if (std::strncmp(*it, name, n) == 0 && ((*it)[n] == '\0' || (*it)[n] == '=')) {
      if (value != nullptr) *value = (*it)[n] == '=' ? std::string(*it + n + 1) : std::string();
      args.erase(it);
      return true;
    }
  }
  return false;
}

// Prints the audit; false when a call failed or allocated more than the
// caller's reused outputs explain: nothing for fixed outputs, the copy a
// by-value vector argument makes (SetTargetColor, FixCircle) and FixCircle's
// joined request text.
bool Report(const std::vector<AllocationAudit>& audit) {
  const std::map<std::string, unsigned long> allowed = {{"Kestrel_SetTargetColor", 1},
                                                        {"Kestrel_FixCircle", 2}};
  bool met = !audit.empty();
  for (const AllocationAudit& a : audit) {
    const auto it = allowed.find(a.operation);
    const bool ok = a.ok && a.allocations <= (it == allowed.end() ? 0 : it->second);
    std::printf("  allocations per call %-34s %lu%s%s\n", a.operation.c_str(), a.allocations,
                a.fresh != a.allocations ? (" (fresh outputs " + std::to_string(a.fresh) + ")").c_str()
                                         : "",
                ok ? "" : a.ok ? "  MORE THAN ALLOWED" : "  FAILED");
    met = met && ok;
  }
  return met;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  std::string value;
  Setting& s = setting();
  s.smoke = TakeFlag(args, "--smoke", nullptr);
  std::string sim_path = KESTREL_SIM_PATH;
  if (TakeFlag(args, "--sim", &value)) sim_path = value;
  if (TakeFlag(args, "--no-sim", nullptr)) sim_path.clear();
  if (TakeFlag(args, "--iterations", &value)) s.iterations = std::atol(value.c_str());
  if (TakeFlag(args, "--reply-port", &value)) s.reply_port = std::atoi(value.c_str());
  if (TakeFlag(args, "--no-pin", nullptr)) ChildServer::hold_on_one_cpu = false;
  const bool serve = TakeFlag(args, "--serve-replies", nullptr);
  const bool no_audit = TakeFlag(args, "--no-audit", nullptr);

  DiscardLines();
  std::string why;
  if (!BuildWorkloads(s.workloads, why)) {
    std::fprintf(stderr, "kestrel-bench: %s\n", why.c_str());
    return 1;
  }
  const ReplyTable replies = ServerReplies(s.workloads);
  if (serve) ChildServer::ServeHere(replies);
  if (!allocation_counting_works()) {
    std::fprintf(stderr, "kestrel-bench: the allocation counter is not in effect\n");
    return 1;
  }
  // Servers first, while this process has no other thread.
  ChildServer reply_server;
  ChildServer sim;
  if (s.reply_port == 0 && reply_server.StartReplies(replies, why)) s.reply_port = reply_server.port();
  const auto silent = s.reply_port == 0 ? nullptr : StartSilentServer(why);
  if (!silent) {
    std::fprintf(stderr, "kestrel-bench: %s\n", why.c_str());
    return 1;
  }
  s.silent_port = silent->port();
  if (!sim_path.empty() && !sim.StartSimulator(sim_path, {}, why)) {
    std::fprintf(stderr, "kestrel-bench: simulator not started: %s\n", why.c_str());
    if (s.smoke) return 1;
  }
  s.sim_port = sim.port();
  s.sim_pid = static_cast<int>(sim.pid());
  // The simulator again, with its control plane and a reader of its journal
  // stream: what a console left open costs.
  ChildServer console;
  if (!sim_path.empty() && console.StartSimulator(sim_path, {"--http", "0"}, why)) {
    s.console_port = console.port();
    s.console_pid = static_cast<int>(console.pid());
  } else if (!sim_path.empty()) {
    std::fprintf(stderr, "kestrel-bench: simulator with --http not started: %s\n", why.c_str());
    if (s.smoke) return 1;
  }
  // The recorder in front of the reply server, its trace removed at the end.
  ChildServer recorder;
  const std::string trace_file = "/tmp/kestrel-bench-" + std::to_string(::getpid()) + ".jsonl";
  if (!sim_path.empty() &&
      recorder.StartSimulator(sim_path,
                     {"--record", trace_file, "--forward", "127.0.0.1:" + std::to_string(s.reply_port)},
                     why)) {
    s.recorder_port = recorder.port();
    s.recorder_pid = static_cast<int>(recorder.pid());
    std::printf("recorder on port %d, resident %.0f kB at start\n", s.recorder_port,
                ResidentKb(s.recorder_pid));
  } else if (!sim_path.empty()) {
    std::fprintf(stderr, "kestrel-bench: recorder not started: %s\n", why.c_str());
    if (s.smoke) return 1;
  }
  std::printf("reply server on 127.0.0.1:%d%s; silent server on port %d; simulator %s\n",
              s.reply_port, ChildServer::hold_on_one_cpu ? " (kept on the last CPU)" : "",
              s.silent_port,
              s.sim_port > 0 ? ("on port " + std::to_string(s.sim_port)).c_str() : "not used");
  for (const Workload& w : s.workloads) {
    std::printf("  %-22s request %5zu bytes, reply %5zu bytes, %zu numbers in the reply\n",
                w.name.c_str(), w.request.size(), w.reply.size(), w.numbers);
  }
  bool failed = !no_audit && !Report(AuditAllocations(s.reply_port));
  // Every child is started: threads may come now.
  std::unique_ptr<StreamReader> stream;
  if (s.console_port > 0) {
    stream = std::make_unique<StreamReader>(console.http_port());
    if (!stream->connected()) {
      std::fprintf(stderr, "kestrel-bench: cannot open the journal stream\n");
      return 1;
    }
  }

  RegisterAll();
  // Defaults first, so that flags given on the command line win.
  std::vector<std::string> defaults;
  if (!s.smoke) {
    defaults = {"--benchmark_repetitions=21", "--benchmark_enable_random_interleaving=true",
                "--benchmark_display_aggregates_only=true"};
  }
  std::vector<char*> gb_args{args[0]};
  for (auto& d : defaults) gb_args.push_back(d.data());
  gb_args.insert(gb_args.end(), args.begin() + 1, args.end());
  int gb_argc = static_cast<int>(gb_args.size());
  gb_args.push_back(nullptr);
  benchmark::Initialize(&gb_argc, gb_args.data());
  if (benchmark::ReportUnrecognizedArguments(gb_argc, gb_args.data())) return 2;
  FailureNoting reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  recorder.Stop();
  std::remove(trace_file.c_str());
  failed = failed || reporter.failed;
  if (failed) std::fprintf(stderr, "kestrel-bench: FAILED (see above)\n");
  return failed ? 1 : 0;
}
