// kestrel-bench: what the library costs on top of one TCP round trip.
//
// Starts its own servers (the reply server as a forked child process, a
// silent listener, and the simulator as a child process), runs every
// benchmark with repetitions interleaved at random so that machine noise
// falls on all of them alike, and ends with the table of figures, each
// beside its target.
//
//   kestrel-bench [--smoke] [--sim=PATH] [--no-sim] [--table=FILE]
//                 [--iterations=N] [--reply-port=PORT] [--serve-replies[=PORT]]
//                 [--no-audit] [--no-pin]
//                 [Google Benchmark flags]
//
//   --smoke          every benchmark once with a few iterations; checks that
//                    each runs and succeeds, judges no figure
//   --sim=PATH       the simulator to start (default: the one built with it)
//   --no-sim         leave the simulator figures out
//   --table=FILE     also write the table of figures (Markdown) to FILE
//   --iterations=N   fixed iteration count for the timed benchmarks (used
//                    under strace to count system calls per command)
//   --reply-port=P   use a reply server already running on P instead of
//                    forking one (so that strace -f sees the client alone)
//   --serve-replies  be that reply server (on PORT, or a free port), and
//                    print "reply server listening on 127.0.0.1:PORT"
//   --no-audit       skip the allocation audit of every operation
//   --no-pin         let the reply server's threads run on any CPU (by
//                    default it keeps to the last one; see servers.cpp)
#include <benchmark/benchmark.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "alloc_count.h"
#include "benchmarks.h"
#include "servers.h"
#include "workloads.h"

#ifndef KESTREL_SIM_PATH
#define KESTREL_SIM_PATH ""
#endif

namespace {

using namespace kbench;

// ---- Collecting the runs ---------------------------------------------------------

struct Sample {
  double real_us = 0;  // wall time per iteration
  std::map<std::string, double> counters;
};

struct Series {
  std::vector<Sample> samples;
  std::string error;
};

class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      Series& series = results[run.run_name.function_name];
      if (run.error_occurred) {
        series.error = run.error_message;
        continue;
      }
      Sample sample;
      const double iterations = run.iterations > 0 ? static_cast<double>(run.iterations) : 1.0;
      sample.real_us = run.real_accumulated_time * 1e6 / iterations;
      for (const auto& [name, counter] : run.counters) sample.counters[name] = counter.value;
      series.samples.push_back(std::move(sample));
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, Series> results;
};

double Median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

// One measured quantity of a benchmark across its repetitions.
struct Stat {
  bool valid = false;
  double median = NAN;
  double spread = NAN;  // half the interquartile range, relative to the median
  double low = NAN;     // lowest and highest repetition
  double high = NAN;
  int runs = 0;
};

Stat Of(const Collector& c, const std::string& name, const std::string& what) {
  Stat s;
  const auto it = c.results.find(name);
  if (it == c.results.end() || it->second.samples.empty()) return s;
  std::vector<double> v;
  for (const Sample& sample : it->second.samples) {
    if (what == "real_us") {
      v.push_back(sample.real_us);
    } else {
      const auto k = sample.counters.find(what);
      if (k == sample.counters.end()) return s;
      v.push_back(k->second);
    }
  }
  s.valid = true;
  s.runs = static_cast<int>(v.size());
  s.median = Median(v);
  std::sort(v.begin(), v.end());
  const auto at = [&](double q) {  // linear interpolation between order statistics
    const double pos = q * static_cast<double>(v.size() - 1);
    const std::size_t i = static_cast<std::size_t>(pos);
    const double f = pos - static_cast<double>(i);
    return i + 1 < v.size() ? v[i] * (1 - f) + v[i + 1] * f : v[i];
  };
  s.low = v.front();
  s.high = v.back();
  s.spread = s.median != 0 ? (at(0.75) - at(0.25)) / 2.0 / std::fabs(s.median) : 0.0;
  return s;
}

// ---- The table ---------------------------------------------------------------

std::string Fixed(double v, int decimals) {
  if (std::isnan(v)) return "n/a";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

std::string Spread(const Stat& s) {
  if (!s.valid || s.runs < 2) return "";
  return " (±" + Fixed(100.0 * s.spread, 1) + "%)";
}

// The lowest and highest repetition, e.g. " [1.01-1.24]".
std::string Range(const Stat& s, int decimals) {
  if (!s.valid || s.runs < 2) return "";
  return " [" + Fixed(s.low, decimals) + "-" + Fixed(s.high, decimals) + "]";
}

struct Row {
  std::string figure;
  std::string measured;
  std::string target;
  std::string verdict;  // "met", "missed ..." or "" when there is no target
};

std::string Verdict(bool judged, bool met, const std::string& by) {
  if (!judged) return "not measured";
  return met ? "met" : "missed" + (by.empty() ? std::string() : " (" + by + ")");
}

std::vector<Row> Figures(const Collector& c, const std::vector<AllocationAudit>& audit,
                         bool smoke, double recorder_start_kb) {
  std::vector<Row> rows;
  auto real = [&](const std::string& n) { return Of(c, n, "real_us"); };
  auto counter = [&](const std::string& n, const char* k) { return Of(c, n, k); };
  auto judge = [&](bool valid, bool met, const std::string& by) {
    if (smoke) return std::string("(smoke run: not judged)");
    return Verdict(valid, met, by);
  };

  // Round trip of GetReal against the floor, from the paired runs.
  {
    const std::string n = "roundtrip/paired/GetReal";
    const Stat wr = counter(n, "kestrel_wall_ratio"), cr = counter(n, "kestrel_cpu_ratio");
    const Stat kw = counter(n, "kestrel_us"), fw = counter(n, "floor_us");
    const Stat kc = counter(n, "kestrel_cpu_us"), fc = counter(n, "floor_cpu_us");
    rows.push_back({"GetReal round trip, wall: Kestrel (discarding sink) / floor",
                    "**" + Fixed(wr.median, 3) + "x**" + Spread(wr) + Range(wr, 2) + " (" + Fixed(kw.median, 1) +
                        " us / " + Fixed(fw.median, 1) + " us)",
                    "<= 1.10x",
                    judge(wr.valid, wr.median <= 1.10, "by " + Fixed(wr.median - 1.10, 3) + "x")});
    rows.push_back({"GetReal round trip, CPU (user+sys) per command: Kestrel / floor",
                    "**" + Fixed(cr.median, 3) + "x**" + Spread(cr) + Range(cr, 2) + " (" + Fixed(kc.median, 2) +
                        " us / " + Fixed(fc.median, 2) + " us)",
                    "<= 1.5x",
                    judge(cr.valid, cr.median <= 1.5, "by " + Fixed(cr.median - 1.5, 3) + "x")});
    const Stat ku = counter("roundtrip/kestrel/GetReal", "usr_us");
    const Stat ks = counter("roundtrip/kestrel/GetReal", "sys_us");
    const Stat fu = counter("roundtrip/floor/GetReal", "usr_us");
    const Stat fs = counter("roundtrip/floor/GetReal", "sys_us");
    const Stat kw1 = real("roundtrip/kestrel/GetReal"), fw1 = real("roundtrip/floor/GetReal");
    rows.push_back({"GetReal, each side run on its own: wall; CPU user / system (getrusage)",
                    "Kestrel " + Fixed(kw1.median, 1) + Spread(kw1) + " us, " +
                        Fixed(ku.median, 2) + " / " + Fixed(ks.median, 2) + " us; floor " +
                        Fixed(fw1.median, 1) + Spread(fw1) + " us, " + Fixed(fu.median, 2) +
                        " / " + Fixed(fs.median, 2) + " us",
                    "", ""});
    const Stat sw = counter(n, "console_wall_ratio"), sc = counter(n, "console_cpu_ratio");
    const Stat su = counter(n, "console_us"), scu = counter(n, "console_cpu_us");
    rows.push_back({"GetReal round trip, default console printer to /dev/null / floor",
                    "wall " + Fixed(sw.median, 3) + "x" + Spread(sw) + " (" + Fixed(su.median, 1) +
                        " us); CPU " + Fixed(sc.median, 3) + "x" + Spread(sc) + " (" +
                        Fixed(scu.median, 2) + " us)",
                    "", ""});
  }
  // Allocations.
  {
    const Stat a = counter("roundtrip/paired/GetReal", "kestrel_allocs");
    rows.push_back({"Heap allocations per GetReal round trip (malloc family, operator new included)",
                    Fixed(a.median, 3), "0", judge(a.valid, a.valid && a.median == 0.0, "")});
    int fixed_total = 0, fixed_nonzero = 0;
    std::string offenders;
    for (const AllocationAudit& x : audit) {
      if (x.list) continue;
      ++fixed_total;
      if (!x.ok || x.allocations != 0) {
        ++fixed_nonzero;
        offenders += " " + x.operation + "=" + std::to_string(x.allocations) +
                     (x.ok ? "" : "(failed)");
      }
    }
    rows.push_back({"Heap allocations per call, each of the " + std::to_string(fixed_total) +
                        " operations with fixed outputs (over the network)",
                    fixed_nonzero == 0 ? "0 for all" : std::to_string(fixed_nonzero) +
                                                           " allocate:" + offenders,
                    "0", judge(!audit.empty(), !audit.empty() && fixed_nonzero == 0, "")});
    // With outputs reused, what may be left: the copy a by-value vector
    // argument makes (SetTargetColor, FixCircle) and FixCircle's joined text.
    const std::map<std::string, unsigned long> allowed = {
        {"Kestrel_SetTargetColor", 1}, {"Kestrel_FixCircle", 2}};
    bool lists_met = !audit.empty();
    std::string lists;
    for (const AllocationAudit& x : audit) {
      if (!x.list) continue;
      const auto a = allowed.find(x.operation);
      lists_met = lists_met && x.ok && x.allocations <= (a == allowed.end() ? 0 : a->second);
      if (!lists.empty()) lists += "; ";
      lists += x.operation.substr(8) + " " + std::to_string(x.allocations);
      if (x.fresh != x.allocations) lists += " (fresh outputs " + std::to_string(x.fresh) + ")";
      if (!x.ok) lists += " FAILED";
    }
    rows.push_back({"Heap allocations per call, list/text operations (outputs reused)", lists,
                    "caller's vectors and joined texts only: 0, SetTargetColor 1, FixCircle 2",
                    judge(!audit.empty(), lists_met, "")});
  }
  // List round trips, from the paired runs.
  for (const char* name : {"WaferEdge600", "MultTemplateMatch150", "FixCircle500"}) {
    const std::string n = std::string("roundtrip/paired/") + name;
    const Stat wr = counter(n, "kestrel_wall_ratio"), cr = counter(n, "kestrel_cpu_ratio");
    const Stat kw = counter(n, "kestrel_us"), fw = counter(n, "floor_us");
    const Stat kc = counter(n, "kestrel_cpu_us"), fc = counter(n, "floor_cpu_us");
    const Stat a = counter(n, "kestrel_allocs");
    rows.push_back({std::string(name) + " round trip: Kestrel / floor",
                    "wall " + Fixed(wr.median, 3) + "x" + Spread(wr) + " (" +
                        Fixed(kw.median, 1) + " / " + Fixed(fw.median, 1) + " us); CPU " +
                        Fixed(cr.median, 3) + "x" + Spread(cr) + " (" + Fixed(kc.median, 2) +
                        " / " + Fixed(fc.median, 2) + " us); allocs/call " + Fixed(a.median, 2),
                    "", ""});
  }
  // The recorder.
  {
    const std::string n = "recorder/paired/GetReal";
    const Stat added = counter(n, "added_us"), d = counter(n, "direct_us");
    const Stat r = counter(n, "recorder_us"), rss = counter(n, "recorder_rss_kb");
    rows.push_back({"Recorder (kestrel-sim --record) in front of the reply server: added wall time "
                    "per GetReal round trip of the bare client",
                    "**" + Fixed(added.median, 1) + " us**" + Range(added, 1) + " (" +
                        Fixed(r.median, 1) + " us through it / " + Fixed(d.median, 1) +
                        " us direct)",
                    "< 50 us",
                    judge(added.valid, added.median < 50.0,
                          "by " + Fixed(added.median - 50.0, 1) + " us")});
    rows.push_back({"Recorder resident memory: at start / after every repetition (lowest-highest), "
                    "every line recorded",
                    Fixed(recorder_start_kb, 0) + " kB / " + Fixed(rss.low, 0) + "-" +
                        Fixed(rss.high, 0) + " kB",
                    "flat", ""});
  }
  // Parsing.
  {
    const Stat k = real("parse/kestrel/WaferEdge600"), s = real("parse/strtod/WaferEdge600");
    const double r = k.median / s.median;
    rows.push_back({"WaferEdge600 reply handling (no network) / strtod loop over the payload",
                    Fixed(k.median, 2) + Spread(k) + " us / " + Fixed(s.median, 2) + Spread(s) +
                        " us = **" + Fixed(r, 3) + "x**",
                    "<= 2x", judge(k.valid && s.valid, r <= 2.0, "by " + Fixed(r - 2.0, 3) + "x")});
    const Stat k2 = real("parse/kestrel/MultTemplateMatch150");
    const Stat s2 = real("parse/strtod/MultTemplateMatch150");
    rows.push_back({"MultTemplateMatch150 reply handling / strtod loop",
                    Fixed(k2.median, 2) + Spread(k2) + " us / " + Fixed(s2.median, 2) +
                        Spread(s2) + " us = " + Fixed(k2.median / s2.median, 3) + "x",
                    "", ""});
    const Stat k3 = real("parse/kestrel/FixCircle500");
    const Stat s3 = real("format/snprintf/FixCircle500");
    rows.push_back({"FixCircle500 request building and reply handling / snprintf(\"%f\") of "
                    "the 1000 coordinates",
                    Fixed(k3.median, 2) + Spread(k3) + " us / " + Fixed(s3.median, 2) +
                        Spread(s3) + " us = " + Fixed(k3.median / s3.median, 3) + "x",
                    "", ""});
    const Stat k4 = real("parse/kestrel/GetReal");
    rows.push_back({"GetReal without network (request, verdict, conversion, console lines)",
                    Fixed(k4.median, 3) + Spread(k4) + " us", "", ""});
  }
  // Waiting.
  {
    const Stat c1 = counter("wait/link_read_2000ms", "cpu_us");
    const Stat w1 = counter("wait/link_read_2000ms", "wall_ms");
    rows.push_back({"Unanswered link read with a 2000 ms limit: CPU time",
                    Fixed(c1.median / 1000.0, 3) + " ms", "< 20 ms",
                    judge(c1.valid, c1.median < 20000.0, "")});
    rows.push_back({"Unanswered link read with a 2000 ms limit: returns after",
                    Fixed(w1.median, 1) + " ms", "<= 2020 ms",
                    judge(w1.valid, w1.median <= 2020.0,
                          "by " + Fixed(w1.median - 2020.0, 1) + " ms")});
    const Stat c2 = counter("wait/kestrel_unanswered_1000ms", "cpu_us");
    const Stat w2 = counter("wait/kestrel_unanswered_1000ms", "wall_ms");
    rows.push_back({"Kestrel_GetReal on a silent server, timeout 1000 ms: returns after",
                    Fixed(w2.median, 1) + " ms (CPU " + Fixed(c2.median / 1000.0, 3) + " ms)",
                    "<= 1020 ms, CPU < 20 ms",
                    judge(w2.valid && c2.valid, w2.median <= 1020.0 && c2.median < 20000.0,
                          "")});
  }
  // The simulator.
  {
    const Stat one = counter("sim/clients:1", "items_per_second");
    const Stat four = counter("sim/clients:4", "items_per_second");
    const Stat eight = counter("sim/clients:8", "items_per_second");
    const Stat shared = counter("sim/shared_client:2", "items_per_second");
    rows.push_back({"Simulator, 4 clients on 4 threads (Kestrel_GetReal): requests/s",
                    Fixed(four.median, 0) + Spread(four), ">= 20000",
                    judge(four.valid, four.median >= 20000.0,
                          "by " + Fixed(20000.0 - four.median, 0) + "/s")});
    const double r = eight.median / one.median;
    rows.push_back({"Simulator, 8 clients on 8 threads / 1 client: throughput",
                    Fixed(eight.median, 0) + Spread(eight) + " / " + Fixed(one.median, 0) +
                        Spread(one) + " req/s = **" + Fixed(r, 2) + "x**",
                    ">= 1.5x", judge(eight.valid && one.valid, r >= 1.5,
                                     "by " + Fixed(1.5 - r, 2) + "x")});
    const Stat s1 = counter("sim/clients:1", "sim_cpu_us"), s8 = counter("sim/clients:8", "sim_cpu_us");
    const Stat c1 = counter("sim/clients:1", "clients_cpu_us");
    const Stat c8 = counter("sim/clients:8", "clients_cpu_us");
    rows.push_back({"CPU per request, simulator process / client process (1 client; 8 clients)",
                    Fixed(s1.median, 2) + " / " + Fixed(c1.median, 2) + " us; " +
                        Fixed(s8.median, 2) + " / " + Fixed(c8.median, 2) + " us",
                    "", ""});
    rows.push_back({"Simulator, 2 threads sharing 1 client: requests/s (one after the other)",
                    Fixed(shared.median, 0) + Spread(shared) + " = " +
                        Fixed(shared.median / one.median, 2) + "x one client alone",
                    "", ""});
  }
  return rows;
}

std::string ReadFirst(const char* path, const char* key) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) {
      const std::size_t colon = line.find(':');
      if (colon != std::string::npos) return line.substr(colon + 2);
    }
  }
  return "?";
}

std::string Table(const std::vector<Row>& rows, const std::string& command, int repetitions,
                  bool smoke) {
  std::ostringstream out;
  utsname u{};
  uname(&u);
  out << "Machine: nproc " << sysconf(_SC_NPROCESSORS_ONLN) << ", CPU "
      << ReadFirst("/proc/cpuinfo", "model name") << ", kernel " << u.release << "\n";
  out << "Command: " << command << "\n";
  out << "Servers: the reply server is a child process forked by kestrel-bench (a thread per "
         "connection, pre-built replies, one recv and one send per request"
      << (ReplyServer::hold_on_one_cpu ? ", kept on the last CPU" : "")
      << "), used by the floor and by the library alike; the simulator, and the recorder "
         "(kestrel-sim --record, forwarding to the reply server), are kestrel-sim processes "
         "started by kestrel-bench.\n";
  if (smoke) {
    out << "Smoke run: each benchmark once with a few iterations, to show that it runs and "
           "succeeds; the figures mean nothing.\n\n";
  } else {
    out << "Medians of " << repetitions
      << " repetitions run in random interleaved order; (±x%) is half the interquartile "
         "range of the repetitions, relative to the median; [a-b] the lowest and highest "
           "repetition.\n\n";
  }
  out << "| Figure | Measured | Target | Verdict |\n|---|---|---|---|\n";
  for (const Row& r : rows) {
    out << "| " << r.figure << " | " << r.measured << " | " << r.target << " | " << r.verdict
        << " |\n";
  }
  return out.str();
}

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

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  std::string command = "kestrel-bench";
  for (int i = 1; i < argc; ++i) command += std::string(" ") + argv[i];
  std::string value;
  Setting& s = setting();
  s.smoke = TakeFlag(args, "--smoke", nullptr);
  std::string sim_path = KESTREL_SIM_PATH;
  if (TakeFlag(args, "--sim", &value)) sim_path = value;
  if (TakeFlag(args, "--no-sim", nullptr)) sim_path.clear();
  std::string table_file;
  TakeFlag(args, "--table", &table_file);
  if (TakeFlag(args, "--iterations", &value)) s.iterations = std::atol(value.c_str());
  int reply_port = 0;
  if (TakeFlag(args, "--reply-port", &value)) reply_port = std::atoi(value.c_str());
  if (TakeFlag(args, "--no-pin", nullptr)) ReplyServer::hold_on_one_cpu = false;
  std::string serve_port;
  const bool serve = TakeFlag(args, "--serve-replies", &serve_port);

  DiscardLines();
  std::string why;
  if (!BuildWorkloads(s.workloads, why)) {
    std::fprintf(stderr, "kestrel-bench: %s\n", why.c_str());
    return 1;
  }
  const ReplyTable replies = ServerReplies(s.workloads);
  if (serve) ReplyServer::ServeHere(replies, std::atoi(serve_port.c_str()));

  if (!allocation_counting_works()) {
    std::fprintf(stderr, "kestrel-bench: the allocation counter is not in effect\n");
    return 1;
  }
  // Servers first, while this process has no other thread.
  ReplyServer reply_server;
  if (reply_port > 0) {
    s.reply_port = reply_port;
  } else {
    if (!reply_server.Start(replies, why)) {
      std::fprintf(stderr, "kestrel-bench: reply server: %s\n", why.c_str());
      return 1;
    }
    s.reply_port = reply_server.port();
  }
  SilentServer silent;
  if (!silent.Start(why)) {
    std::fprintf(stderr, "kestrel-bench: silent server: %s\n", why.c_str());
    return 1;
  }
  s.silent_port = silent.port();
  SimulatorProcess sim;
  bool sim_missing = false;
  if (!sim_path.empty()) {
    if (sim.Start(sim_path, {}, why)) {
      s.sim_port = sim.port();
      s.sim_pid = static_cast<int>(sim.pid());
    } else {
      std::fprintf(stderr, "kestrel-bench: simulator not started: %s\n", why.c_str());
      sim_missing = true;
    }
  }
  // The recorder in front of the reply server, writing its trace beside the
  // figures (removed at the end).
  SimulatorProcess recorder;
  const std::string trace_file =
      "/tmp/kestrel-bench-" + std::to_string(::getpid()) + ".trace.jsonl";
  double recorder_start_kb = -1;
  if (!sim_path.empty()) {
    if (recorder.Start(sim_path,
                       {"--record", trace_file, "--forward",
                        "127.0.0.1:" + std::to_string(s.reply_port)},
                       why)) {
      s.recorder_port = recorder.port();
      s.recorder_pid = static_cast<int>(recorder.pid());
      recorder_start_kb = ResidentKb(s.recorder_pid);
    } else {
      std::fprintf(stderr, "kestrel-bench: recorder not started: %s\n", why.c_str());
      sim_missing = true;
    }
  }
  std::printf("reply server: child process %d on 127.0.0.1:%d; silent server on port %d; "
              "simulator %s\n",
              static_cast<int>(reply_server.pid()), s.reply_port, s.silent_port,
              s.sim_port > 0 ? ("on port " + std::to_string(s.sim_port)).c_str() : "not used");
  for (const Workload& w : s.workloads) {
    std::printf("  %-22s request %5zu bytes, reply %5zu bytes, %zu numbers in the reply\n",
                w.name.c_str(), w.request.size(), w.reply.size(), w.numbers);
  }

  const bool no_audit = TakeFlag(args, "--no-audit", nullptr);
  const std::vector<AllocationAudit> audit =
      no_audit ? std::vector<AllocationAudit>() : AuditAllocations(s.reply_port);
  bool failed = !no_audit && audit.empty();
  for (const AllocationAudit& a : audit) {
    std::printf("  allocations per call %-34s %lu%s%s\n", a.operation.c_str(), a.allocations,
                a.fresh != a.allocations ? (" (fresh outputs " + std::to_string(a.fresh) + ")").c_str()
                                         : "",
                a.ok ? "" : "  FAILED");
    failed = failed || !a.ok;
  }

  RegisterAll();
  // Defaults first, so that flags given on the command line win.
  int repetitions = s.smoke ? 1 : 21;
  std::vector<std::string> defaults;
  if (!s.smoke) {
    defaults = {"--benchmark_repetitions=21", "--benchmark_enable_random_interleaving=true"};
  }
  for (char* a : args) {
    if (std::strncmp(a, "--benchmark_repetitions=", 24) == 0) repetitions = std::atoi(a + 24);
  }
  std::vector<char*> gb_args{args[0]};
  for (auto& d : defaults) gb_args.push_back(d.data());
  gb_args.insert(gb_args.end(), args.begin() + 1, args.end());
  int gb_argc = static_cast<int>(gb_args.size());
  gb_args.push_back(nullptr);
  benchmark::Initialize(&gb_argc, gb_args.data());
  if (benchmark::ReportUnrecognizedArguments(gb_argc, gb_args.data())) return 2;
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();

  for (const auto& [name, series] : collector.results) {
    if (!series.error.empty()) {
      std::fprintf(stderr, "kestrel-bench: %s failed: %s\n", name.c_str(), series.error.c_str());
      failed = true;
    }
  }
  if (s.smoke && sim_missing) failed = true;

  const std::string table =
      Table(Figures(collector, audit, s.smoke, recorder_start_kb), command, repetitions, s.smoke);
  std::printf("\n%s", table.c_str());
  if (!table_file.empty()) std::ofstream(table_file) << table;
  sim.Stop();
  recorder.Stop();
  std::remove(trace_file.c_str());
  reply_server.Stop();
  if (failed) std::fprintf(stderr, "kestrel-bench: FAILED (see above)\n");
  return failed ? 1 : 0;
}
