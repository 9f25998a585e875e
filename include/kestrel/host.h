// What a host program sees of the base layer that the client runs on: the
// machine procedure that owns a client, its two abort flags, and the console
// printer's sink. The bundled stand-in layer provides these; a host whose own
// base libraries provide them builds Kestrel against those instead.
#ifndef KESTREL_HOST_H
#define KESTREL_HOST_H

#include <atomic>

#include "kestrel/export.h"

namespace Corvus {

// The sequence-controller part of a machine procedure. A client polls both
// flags between unsuccessful reads and gives up its wait when one is raised.
// Every member is safe to call from any thread.
class KESTREL_API Maestro {
 public:
  Maestro() = default;
  Maestro(const Maestro&) = delete;
  Maestro& operator=(const Maestro&) = delete;

  // True while the procedure's own abort is raised.
  bool Routine_Get_Abort_Flag() const;
  // True while the machine-wide (plant) abort is raised.
  bool Plant_Abort_Manager_Get() const;
  // Raises (true) or clears (false) the procedure's own abort.
  void Routine_Set_Abort_Flag(bool raised);
  // Raises (true) or clears (false) the machine-wide abort.
  void Plant_Abort_Manager_Set(bool raised);

 private:
#ifdef _MSC_VER
  // The flags are private and used only by the exported members, so the
  // standard atomics need no DLL interface of their own (warning C4251).
#pragma warning(push)
#pragma warning(disable : 4251)
#endif
  std::atomic<bool> routine_abort_{false};
  std::atomic<bool> plant_abort_{false};
#ifdef _MSC_VER
#pragma warning(pop)
#endif
};

// A machine procedure: a name and its sequence controller. A client built with
// a procedure borrows it; the procedure must outlive the client.
class KESTREL_API Procedure : public Maestro {
 public:
  // Builds a procedure named `name` (cut to 63 characters; null gives "").
  explicit Procedure(const char* name);

  // The procedure's name, NUL-terminated.
  const char* Procedure_Get_Name() const { return name_; }
  // The sequence-controller part whose abort flags the client polls.
  Maestro& Procedure_Get_Maestro() { return *this; }
  const Maestro& Procedure_Get_Maestro() const { return *this; }

 private:
  char name_[64];
};

// Colour of a console line.
enum class HeraldColor { Plain, Red, Yellow, Green };

// Receives one console line: its colour, the title of the client that printed
// it, and the formatted text as the exact (GBK) bytes the library produced,
// NUL-terminated and without a line break. Called on the thread that prints,
// one line at a time (never two lines at once); it must not call back into
// the client that prints.
using HeraldSink = void (*)(HeraldColor color, const char* title, const char* text, void* user);

// Installs `sink` (with `user` handed back on every call) in place of the
// console; a null `sink` restores the console printer. Thread-safe.
KESTREL_API void Herald_Set_Sink(HeraldSink sink, void* user);

}  // namespace Corvus

#endif  // KESTREL_HOST_H
