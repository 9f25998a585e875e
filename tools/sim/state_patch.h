// PATCH /api/state of the control plane: a JSON merge body over the shape
// GET /api/state shows, for the parts a client may set (docs/simulator.md).
#ifndef KESTREL_SIM_STATE_PATCH_H
#define KESTREL_SIM_STATE_PATCH_H

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "sim/protocol.h"

namespace kestrel::sim {

// A body that cannot be applied; what() names the field ("cameras.Cam1.gain:
// expected a number").
struct BadPatch : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

// Merges `body` into the state and the set-up. Throws BadPatch at the first
// field it cannot take, having changed some already: the caller tries a
// copy first. Whether a body is taken depends on the body alone.
void MergeState(const nlohmann::json& body, Simulator::State& state, SimConfig& config);

}  // namespace kestrel::sim

#endif  // KESTREL_SIM_STATE_PATCH_H
