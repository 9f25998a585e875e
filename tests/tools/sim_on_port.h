// The simulator served in process on a free port of 127.0.0.1, with fault
// rules: the server of the tool tests.
#ifndef KESTREL_TEST_SIM_ON_PORT_H
#define KESTREL_TEST_SIM_ON_PORT_H

#include <string>
#include <vector>

#include "sim/server.h"

struct SimOnPort {
  explicit SimOnPort(const std::vector<std::string>& rules = {},
                     kestrel::sim::SimConfig config = {})
      : model(config), plan([&] {
          std::vector<kestrel::sim::Fault> faults;
          for (const auto& r : rules) faults.push_back(kestrel::sim::ParseFault(r));
          return faults;
        }()) {
    server.Start();
  }
  int port() const { return server.port(); }

  kestrel::sim::Simulator model;
  kestrel::sim::FaultPlan plan;
  kestrel::sim::Server server{model, plan, nullptr, {"127.0.0.1", 0, 64}};  // stopped first
};

#endif  // KESTREL_TEST_SIM_ON_PORT_H
