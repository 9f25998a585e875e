// The simulator's control plane: a REST API over HTTP beside the protocol
// port (kestrel-sim --http, routes in docs/simulator.md). It reads the
// journal, changes the fault rules at run time, shows the simulated state and
// the open connections, and resets it all. It runs on threads of its own and
// never holds up the protocol's serving threads.
#ifndef KESTREL_SIM_CONTROL_H
#define KESTREL_SIM_CONTROL_H

#include <memory>
#include <string>

#include "sim/faults.h"
#include "sim/journal.h"
#include "sim/protocol.h"
#include "wire/server.h"

namespace kestrel::sim {

// Largest request body taken; a longer one is answered 413.
inline constexpr std::size_t kMaxControlBody = 64 * 1024;

class ControlPlane {
 public:
  // All must outlive the control plane.
  struct Parts {
    Simulator& sim;
    FaultPlan& faults;
    Journal& journal;
    wire::Server& server;
  };
  explicit ControlPlane(Parts parts);
  // Stops it if it still runs.
  ~ControlPlane();

  // Listens on `address`:`port` (0: any free port) and serves. Throws
  // std::runtime_error when it cannot listen.
  void Start(const std::string& address, int port);
  // Ends the streams, stops serving and joins its threads.
  void Stop();
  int port() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestrel::sim

#endif  // KESTREL_SIM_CONTROL_H
