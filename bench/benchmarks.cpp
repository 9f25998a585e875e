#include "benchmarks.h"

#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "alloc_count.h"
#include "host/lynk.h"
#include "kestrel/host.h"
#include "kestrel/kestrel_c.h"
#include "kestrel/kestrel.h"

namespace kbench {

Setting& setting() {
  static Setting instance;
  return instance;
}

namespace {

void Discard(Corvus::HeraldColor, const char*, const char*, void*) {}

// ---- Round trips against the reply server ----------------------------------

void Floor(benchmark::State& state, const Workload* w) {
  BareClient client;
  if (!client.Connect(setting().reply_port)) {
    state.SkipWithError("cannot connect to the reply server");
    return;
  }
  for (auto _ : state) {
    if (!client.RoundTrip(w->request, w->reply.size())) {
      state.SkipWithError("round trip failed");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(w->request.size() + w->reply.size()));
}

// Standard output sent to /dev/null for the lifetime of the object.
class StdoutToNull {
 public:
  StdoutToNull() {
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
  }
  ~StdoutToNull() {
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }
  StdoutToNull(const StdoutToNull&) = delete;
  StdoutToNull& operator=(const StdoutToNull&) = delete;

 private:
  int saved_ = -1;
};

void Library(benchmark::State& state, const Workload* w, bool console) {
  Kestrel client;
  if (!client.Kestrel_Connect_Port("127.0.0.1", setting().reply_port)) {
    state.SkipWithError("cannot connect to the reply server");
    return;
  }
  std::unique_ptr<StdoutToNull> redirect;
  if (console) {
    redirect = std::make_unique<StdoutToNull>();
    Corvus::Herald_Set_Sink(nullptr, nullptr);  // the console printer
  }
  for (auto _ : state) {
    if (!w->call(client)) {
      state.SkipWithError("command failed");
      break;
    }
  }
  if (console) {
    DiscardLines();
    redirect.reset();
  }
  client.Kestrel_Disconnect_Port();
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(w->request.size() + w->reply.size()));
}

// The floor and the library in one run, in alternating blocks of round trips
// against the same reply server: what disturbs the machine during a
// repetition falls on both alike, so the ratios of one repetition compare
// like with like. For GetReal a third side runs the library with the default
// console printer (standard output sent to /dev/null). The block order turns
// round from one iteration to the next. Counters: per round trip wall and CPU
// time of each side, their ratios to the floor, and the library's heap
// allocations per call.
void Paired(benchmark::State& state, const Workload* w) {
  const bool console = w->name == "GetReal";
  const int sides = console ? 3 : 2;
  const int block = console ? 40 : 10;
  BareClient floor;
  Kestrel with_sink, with_console;
  if (!floor.Connect(setting().reply_port) ||
      !with_sink.Kestrel_Connect_Port("127.0.0.1", setting().reply_port) ||
      (console && !with_console.Kestrel_Connect_Port("127.0.0.1", setting().reply_port))) {
    state.SkipWithError("cannot connect to the reply server");
    return;
  }
  std::unique_ptr<StdoutToNull> redirect;
  if (console) redirect = std::make_unique<StdoutToNull>();
  struct Side {
    double wall_ns = 0;
    double cpu_ns = 0;
    std::uint64_t allocations = 0;
    std::int64_t calls = 0;
  } side[3];
  auto now = [](clockid_t clock) {
    timespec t;
    clock_gettime(clock, &t);
    return t.tv_sec * 1e9 + static_cast<double>(t.tv_nsec);
  };
  bool ok = true;
  int turn = 0;
  for (auto _ : state) {
    for (int k = 0; k < sides && ok; ++k) {
      const int which = (turn + k) % sides;
      if (which == 2) Corvus::Herald_Set_Sink(nullptr, nullptr);
      const Allocations a0 = thread_allocations();
      const double c0 = now(CLOCK_THREAD_CPUTIME_ID);
      const double w0 = now(CLOCK_MONOTONIC);
      for (int i = 0; i < block && ok; ++i) {
        ok = which == 0 ? floor.RoundTrip(w->request, w->reply.size())
                        : w->call(which == 1 ? with_sink : with_console);
      }
      const double w1 = now(CLOCK_MONOTONIC);
      const double c1 = now(CLOCK_THREAD_CPUTIME_ID);
      const Allocations a1 = thread_allocations();
      if (which == 2) DiscardLines();
      side[which].wall_ns += w1 - w0;
      side[which].cpu_ns += c1 - c0;
      side[which].allocations += a1.mallocs - a0.mallocs;
      side[which].calls += block;
    }
    ++turn;
    if (!ok) {
      state.SkipWithError("round trip failed");
      break;
    }
  }
  redirect.reset();
  if (!ok || side[0].calls == 0) return;
  auto per_call_us = [](double ns, std::int64_t calls) { return ns / 1e3 / static_cast<double>(calls); };
  const char* names[3] = {"floor", "kestrel", "console"};
  for (int i = 0; i < sides; ++i) {
    state.counters[std::string(names[i]) + "_us"] = per_call_us(side[i].wall_ns, side[i].calls);
    state.counters[std::string(names[i]) + "_cpu_us"] = per_call_us(side[i].cpu_ns, side[i].calls);
    if (i > 0) {
      state.counters[std::string(names[i]) + "_wall_ratio"] = side[i].wall_ns / side[0].wall_ns;
      state.counters[std::string(names[i]) + "_cpu_ratio"] = side[i].cpu_ns / side[0].cpu_ns;
      state.counters[std::string(names[i]) + "_allocs"] =
          static_cast<double>(side[i].allocations) / static_cast<double>(side[i].calls);
    }
  }
}

// Kestrel_GetReal through the C++ class and kestrel_get_real through the C
// interface, in alternating blocks against the same reply server (the
// pairing of Paired): what the C layer adds to a call. Counters: wall and
// CPU time per call of each side and the C side's ratios to the C++ side.
void CInterfacePaired(benchmark::State& state, const Workload*) {
  constexpr int kBlock = 20;
  Kestrel cpp;
  kestrel_client* c = kestrel_client_new(nullptr);
  if (c == nullptr || !cpp.Kestrel_Connect_Port("127.0.0.1", setting().reply_port) ||
      !kestrel_connect(c, "127.0.0.1", setting().reply_port)) {
    state.SkipWithError("cannot connect to the reply server");
    kestrel_client_free(c);
    return;
  }
  auto now = [](clockid_t clock) {
    timespec t;
    clock_gettime(clock, &t);
    return t.tv_sec * 1e9 + static_cast<double>(t.tv_nsec);
  };
  double wall[2] = {0, 0}, cpu[2] = {0, 0};
  std::int64_t calls[2] = {0, 0};
  const Point pixel{1024.5, 768.25};
  const kestrel_point c_pixel{1024.5, 768.25};
  bool ok = true;
  int turn = 0;
  for (auto _ : state) {
    for (int k = 0; k < 2 && ok; ++k) {
      const int which = (turn + k) % 2;
      const double c0 = now(CLOCK_THREAD_CPUTIME_ID);
      const double w0 = now(CLOCK_MONOTONIC);
      for (int i = 0; i < kBlock && ok; ++i) {
        if (which == 0) {
          Point real;
          ok = cpp.Kestrel_GetReal("Cam1", pixel, real) && real.X == 2.56125;
        } else {
          kestrel_point real{0, 0};
          ok = kestrel_get_real(c, "Cam1", c_pixel, &real) == 1 && real.x == 2.56125;
        }
      }
      wall[which] += now(CLOCK_MONOTONIC) - w0;
      cpu[which] += now(CLOCK_THREAD_CPUTIME_ID) - c0;
      calls[which] += kBlock;
    }
    ++turn;
    if (!ok) {
      state.SkipWithError("round trip failed");
      break;
    }
  }
  kestrel_client_free(c);
  if (!ok || calls[0] == 0 || calls[1] == 0) return;
  state.counters["cpp_us"] = wall[0] / 1e3 / static_cast<double>(calls[0]);
  state.counters["c_us"] = wall[1] / 1e3 / static_cast<double>(calls[1]);
  state.counters["cpp_cpu_us"] = cpu[0] / 1e3 / static_cast<double>(calls[0]);
  state.counters["c_cpu_us"] = cpu[1] / 1e3 / static_cast<double>(calls[1]);
  state.counters["c_wall_ratio"] = (wall[1] / static_cast<double>(calls[1])) /
                                   (wall[0] / static_cast<double>(calls[0]));
  state.counters["c_cpu_ratio"] = (cpu[1] / static_cast<double>(calls[1])) /
                                  (cpu[0] / static_cast<double>(calls[0]));
}

// The bare client's round trip straight to the reply server and through the
// recorder in front of it, in alternating blocks within each iteration (the
// same pairing as Paired). Counters: wall time per round trip of each side,
// what the recorder adds, and the recorder's resident memory at the end.
void RecorderPaired(benchmark::State& state, const Workload* w) {
  constexpr int kBlock = 20;
  BareClient direct, through;
  if (!direct.Connect(setting().reply_port) || !through.Connect(setting().recorder_port)) {
    state.SkipWithError("cannot connect to the reply server or the recorder");
    return;
  }
  double wall_ns[2] = {0, 0};
  std::int64_t calls = 0;
  bool ok = true;
  int turn = 0;
  for (auto _ : state) {
    for (int k = 0; k < 2 && ok; ++k) {
      BareClient& side = (turn + k) % 2 == 0 ? direct : through;
      const auto t0 = std::chrono::steady_clock::now();
      for (int i = 0; i < kBlock && ok; ++i) ok = side.RoundTrip(w->request, w->reply.size());
      wall_ns[(turn + k) % 2] +=
          std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
    }
    calls += kBlock;
    ++turn;
    if (!ok) {
      state.SkipWithError("round trip failed");
      return;
    }
  }
  if (calls == 0) return;
  const double direct_us = wall_ns[0] / 1e3 / static_cast<double>(calls);
  const double through_us = wall_ns[1] / 1e3 / static_cast<double>(calls);
  state.counters["direct_us"] = direct_us;
  state.counters["recorder_us"] = through_us;
  state.counters["added_us"] = through_us - direct_us;
  state.counters["recorder_rss_kb"] = ResidentKb(setting().recorder_pid);
}

// ---- Reply handling without a network -----------------------------------------

void Parse(benchmark::State& state, const Workload* w) {
  Kestrel client;
  const std::string unframed = w->unframed();
  CannedExchange canned(client, unframed);
  for (auto _ : state) {
    if (!w->call(client)) {
      state.SkipWithError("reply handling failed");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(unframed.size()));
}

// strtod over every number of the payload, skipping one separator after
// each: the least a parser of these bytes has to do.
void Strtod(benchmark::State& state, const Workload* w) {
  const std::string payload = w->payload();
  for (auto _ : state) {
    const char* p = payload.c_str();
    double sum = 0.0;
    std::size_t n = 0;
    while (*p != '\0') {
      char* end = nullptr;
      sum += std::strtod(p, &end);
      ++n;
      p = end;
      if (*p != '\0') ++p;
    }
    benchmark::DoNotOptimize(sum);
    if (n != w->numbers) {
      state.SkipWithError("strtod count differs");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(payload.size()));
}

// snprintf("%f") of the 1000 coordinates FixCircle sends: the least a
// writer of that request has to do.
void FormatPoints(benchmark::State& state) {
  double values[1000];
  for (int i = 0; i < 1000; ++i) values[i] = 5.0 + 3.0 * std::sin(0.0125663706 * i + (i % 2));
  static char text[16384];
  for (auto _ : state) {
    std::size_t at = 0;
    for (double v : values) {
      at += static_cast<std::size_t>(std::snprintf(text + at, sizeof text - at, "%f,", v));
    }
    benchmark::DoNotOptimize(at);
    benchmark::ClobberMemory();
  }
}

// ---- Many clients against the simulator ---------------------------------------

// CPU time (ns) that process `pid` has used so far, all its threads together
// (from the scheduler's per-thread accounting, exact to the nanosecond); -1
// when it cannot be read.
double ProcessCpuNs(int pid) {
  DIR* tasks = ::opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
  if (tasks == nullptr) return -1;
  double total = 0;
  while (const dirent* e = ::readdir(tasks)) {
    if (e->d_name[0] == '.') continue;
    std::FILE* f = std::fopen(
        ("/proc/" + std::to_string(pid) + "/task/" + e->d_name + "/schedstat").c_str(), "r");
    if (f == nullptr) continue;
    unsigned long long on_cpu = 0;
    if (std::fscanf(f, "%llu", &on_cpu) == 1) total += static_cast<double>(on_cpu);
    std::fclose(f);
  }
  ::closedir(tasks);
  return total;
}

// `threads` threads run Kestrel_GetReal against the simulator, each on its own
// client (`shared` false) or all on one (true), against the plain simulator
// or (`console`) the one whose control plane streams every exchange. One iteration is a window of
// about 50 ms in which every thread sends as fast as it is answered; its time
// is the window's wall time, from the moment all threads run to the last one's
// end, so a thread that the scheduler holds back cannot stretch it.
void Sim(benchmark::State& state, int threads, bool shared, bool console) {
  const int port = console ? setting().console_port : setting().sim_port;
  const int pid = console ? setting().console_pid : setting().sim_pid;
  std::vector<std::unique_ptr<Kestrel>> clients;
  for (int i = 0; i < (shared ? 1 : threads); ++i) {
    clients.push_back(std::make_unique<Kestrel>());
    if (!clients.back()->Kestrel_Connect_Port("127.0.0.1", port)) {
      state.SkipWithError("cannot connect to the simulator");
      return;
    }
  }
  const double sim_before = ProcessCpuNs(pid);
  rusage self_before{};
  getrusage(RUSAGE_SELF, &self_before);
  std::int64_t total = 0;
  bool failed = false;
  for (auto _ : state) {
    std::atomic<int> running{0};
    std::atomic<bool> stop{false};
    std::atomic<std::int64_t> done{0};
    std::atomic<bool> error{false};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
      pool.emplace_back([&, t] {
        Kestrel& client = *clients[static_cast<std::size_t>(t) % clients.size()];
        Point real;
        std::int64_t n = 0;
        running.fetch_add(1);
        while (running.load() < threads) std::this_thread::yield();
        while (!stop.load(std::memory_order_relaxed)) {
          if (!client.Kestrel_GetReal("Cam1", Point{1024.5, 768.25}, real)) {
            error = true;
            break;
          }
          ++n;
        }
        done.fetch_add(n);
      });
    }
    while (running.load() < threads) std::this_thread::yield();
    const auto begin = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop = true;
    for (auto& thread : pool) thread.join();
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
    total += done.load();
    if (error.load()) {
      failed = true;
      break;
    }
  }
  if (failed) {
    state.SkipWithError("command failed");
    return;
  }
  rusage self_after{};
  getrusage(RUSAGE_SELF, &self_after);
  const double sim_after = ProcessCpuNs(pid);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec * 1e-6; };
  const double n = total > 0 ? static_cast<double>(total) : 1.0;
  state.SetItemsProcessed(total);
  state.counters["clients_cpu_us"] =
      (seconds(self_after.ru_utime) + seconds(self_after.ru_stime) -
       seconds(self_before.ru_utime) - seconds(self_before.ru_stime)) * 1e6 / n;
  if (sim_before >= 0 && sim_after >= 0) state.counters["sim_cpu_us"] = (sim_after - sim_before) / 1e3 / n;
}

// ---- Waiting ------------------------------------------------------------------

void LinkRead(benchmark::State& state) {
  const int limit_ms = 2000;
  Corvus::Lynk link;
  if (!link.Lynk_Connect_Port("127.0.0.1", setting().silent_port, true, false)) {
    state.SkipWithError("cannot connect to the silent server");
    return;
  }
  static char buffer[10240];
  for (auto _ : state) {
    int count = 0;
    if (link.Lynk_Read_String(buffer, "\r\n", sizeof buffer, limit_ms, &count)) {
      state.SkipWithError("a silent server answered");
      break;
    }
  }
}

void Unanswered(benchmark::State& state) {
  Kestrel client;
  client.Kestrel_SetTimeout(999);  // 1000 ms, one read
  if (!client.Kestrel_Connect_Port("127.0.0.1", setting().silent_port)) {
    state.SkipWithError("cannot connect to the silent server");
    return;
  }
  Point real;
  for (auto _ : state) {
    if (client.Kestrel_GetReal("Cam1", Point{1.0, 2.0}, real)) {
      state.SkipWithError("a silent server answered");
      break;
    }
  }
}

// Timed benchmarks run for `seconds`; fixed or smoke runs a few iterations.
benchmark::internal::Benchmark* Timed(benchmark::internal::Benchmark* b, double seconds) {
  const Setting& s = setting();
  if (s.smoke) return b->Iterations(s.iterations > 0 ? s.iterations : 20)->Repetitions(1);
  if (s.iterations > 0) return b->Iterations(s.iterations);
  return b->MinTime(seconds)->MinWarmUpTime(0.05);
}

}  // namespace

void DiscardLines() { Corvus::Herald_Set_Sink(&Discard, nullptr); }

double ResidentKb(int pid) {
  std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  if (f == nullptr) return -1;
  char line[256];
  double kb = -1;
  while (kb < 0 && std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, "VmRSS:", 6) == 0) kb = std::atof(line + 6);
  }
  std::fclose(f);
  return kb;
}

void RegisterAll() {
  const Setting& s = setting();
  auto round_trip = [](benchmark::internal::Benchmark* b, double seconds) {
    Timed(b, seconds)->UseRealTime()->Unit(benchmark::kMicrosecond);
  };
  for (const Workload& w : s.workloads) {
    // GetReal each side on its own too, for absolute figures and for counting
    // system calls under strace; the ratios come from the paired runs.
    if (w.name == "GetReal") {
      round_trip(benchmark::RegisterBenchmark("roundtrip/floor/GetReal", Floor, &w), 0.15);
      round_trip(benchmark::RegisterBenchmark("roundtrip/kestrel/GetReal", Library, &w, false), 0.15);
      round_trip(benchmark::RegisterBenchmark("roundtrip/kestrel_stdout/GetReal", Library, &w, true),
                 0.15);
    }
    round_trip(benchmark::RegisterBenchmark(("roundtrip/paired/" + w.name).c_str(), Paired, &w), 0.2);
    if (w.name == "GetReal") {
      round_trip(benchmark::RegisterBenchmark("capi/paired/GetReal", CInterfacePaired, &w), 0.2);
    }
  }
  for (const Workload& w : s.workloads) {
    if (s.recorder_port == 0 || w.name != "GetReal") continue;
    Timed(benchmark::RegisterBenchmark("recorder/paired/GetReal", RecorderPaired, &w), 0.2)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
  }
  for (const Workload& w : s.workloads) {
    Timed(benchmark::RegisterBenchmark(("parse/kestrel/" + w.name).c_str(), Parse, &w), 0.1)
        ->Unit(benchmark::kMicrosecond);
    if (w.name == "WaferEdge600" || w.name == "MultTemplateMatch150") {
      Timed(benchmark::RegisterBenchmark(("parse/strtod/" + w.name).c_str(), Strtod, &w), 0.1)
          ->Unit(benchmark::kMicrosecond);
    }
  }
  Timed(benchmark::RegisterBenchmark("format/snprintf/FixCircle500", FormatPoints), 0.1)
      ->Unit(benchmark::kMicrosecond);

  // The same load on the simulator with its console open, beside the plain one.
  for (const bool console : {false, true}) {
    if ((console ? s.console_port : s.sim_port) <= 0) continue;
    for (const auto& [name, threads, shared] : {std::tuple{"clients:1", 1, false},
                                                std::tuple{"clients:4", 4, false},
                                                std::tuple{"clients:8", 8, false},
                                                std::tuple{"shared_client:2", 2, true}}) {
      auto* b = benchmark::RegisterBenchmark(
          (std::string(console ? "sim_console/" : "sim/") + name).c_str(), Sim, threads, shared,
          console);
      (s.smoke ? b->Iterations(1)->Repetitions(1) : b->MinTime(0.25))
          ->UseManualTime()
          ->Unit(benchmark::kMicrosecond);
    }
  }
  // One wait per repetition: the real time is when it returned, the CPU time
  // what waiting cost.
  for (auto* b : {benchmark::RegisterBenchmark("wait/link_read_2000ms", LinkRead),
                  benchmark::RegisterBenchmark("wait/kestrel_unanswered_1000ms", Unanswered)}) {
    b->Iterations(1)->Repetitions(s.smoke ? 1 : 3)->UseRealTime()->Unit(benchmark::kMillisecond);
  }
}

}  // namespace kbench
