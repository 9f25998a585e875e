#include <cstdio>

#include "kestrel/host.h"

namespace Corvus {

bool Maestro::Routine_Get_Abort_Flag() const {
  return routine_abort_.load(std::memory_order_acquire);
}
bool Maestro::Plant_Abort_Manager_Get() const {
  return plant_abort_.load(std::memory_order_acquire);
}
void Maestro::Routine_Set_Abort_Flag(bool raised) {
  routine_abort_.store(raised, std::memory_order_release);
}
void Maestro::Plant_Abort_Manager_Set(bool raised) {
  plant_abort_.store(raised, std::memory_order_release);
}

Procedure::Procedure(const char* name) {
  std::snprintf(name_, sizeof name_, "%s", name ? name : "");
}

}  // namespace Corvus
