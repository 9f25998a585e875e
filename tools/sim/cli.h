// kestrel-sim's command line.
#ifndef KESTREL_SIM_CLI_H
#define KESTREL_SIM_CLI_H

#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

#include "sim/faults.h"
#include "sim/protocol.h"
#include "wire/server.h"

namespace kestrel::sim {

struct Settings {
  SimConfig sim;
  wire::ServerOptions server;
  std::vector<Fault> faults;  // --fault rules first, then the scenario's
  std::string log;            // empty: no log
  // Recording and replay (docs/trace.md).
  std::string record;   // --record FILE: the trace to write
  std::string forward;  // --forward HOST:PORT: the real server
  std::string replay;   // --replay FILE: the trace to serve
  int server_port = 0;  // --server-port: the server of a packet capture replayed
  bool fast = false;    // --pace fast: recorded waits left out
  bool exit_after_replay = false;
  bool strict = false;  // exit code 3 when the replay diverged
  // The control plane (docs/simulator.md): off when http_port < 0.
  int http_port = -1;
  std::string http_address = "127.0.0.1";
  std::size_t journal_size = 10000;
};

// Fills `settings` from the command line. Returns -1 when the simulator is to
// run, otherwise the exit code (0 after --help, non-zero for a bad command
// line, with the reason written to `err`).
int ParseCommandLine(int argc, const char* const* argv, Settings& settings, std::ostream& out,
                     std::ostream& err);

}  // namespace kestrel::sim

#endif  // KESTREL_SIM_CLI_H
