// The benchmarks of the library and their shared setting.
#ifndef KESTREL_BENCH_BENCHMARKS_H
#define KESTREL_BENCH_BENCHMARKS_H

#include <string>
#include <vector>

#include "workloads.h"

namespace kbench {

struct Setting {
  std::vector<Workload> workloads;
  int reply_port = 0;   // the reply server (single-client figures and the floor)
  int silent_port = 0;  // a server that never answers
  int sim_port = 0;     // the simulator; 0 when it is not available
  int sim_pid = 0;      // its process, for its CPU time
  int console_port = 0;  // a second simulator with its control plane (--http) and
  int console_pid = 0;   // one journal stream read throughout; 0: none
  int recorder_port = 0;  // kestrel-sim --record in front of the reply server; 0: none
  int recorder_pid = 0;   // its process, for its memory
  bool smoke = false;   // each benchmark once, briefly: no figures
  long iterations = 0;  // fixed iteration count of the round trips (for strace), 0: timed
};
Setting& setting();

// Resident memory of process `pid` in kB (VmRSS); -1 when it cannot be read.
double ResidentKb(int pid);

// The console sink that drops every line.
void DiscardLines();

// Registers every benchmark with Google Benchmark.
void RegisterAll();

}  // namespace kbench

#endif  // KESTREL_BENCH_BENCHMARKS_H
