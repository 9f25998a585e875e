// One call from Python into the library. While the library works the GIL is
// released, so other Python threads run; the console lines the call prints
// are collected on the calling thread and handed to the "kestrel" logger
// when it is back, each record carrying the call's command, request, reply
// and latency; Ctrl-C during the call raises the abort flag of the client's
// procedure; a false result becomes an exception chosen by the failure kind
// the library reports.
#ifndef KESTREL_PYTHON_CALL_H
#define KESTREL_PYTHON_CALL_H

#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "convert.h"
#include "kestrel/host.h"
#include "kestrel/kestrel.h"

namespace kestrel_py {

// A kestrel.Client: the library's client and the procedure that owns it,
// the caller's or one of its own, so that Ctrl-C can always end a wait.
class Client {
 public:
  explicit Client(Corvus::Procedure* procedure);

  Kestrel& library() { return library_; }
  Corvus::Procedure& procedure() { return *procedure_; }

  // The address and port given last (to the constructor or to connect), as
  // the library stores them for reconnect; none before that.
  std::optional<Text> address;
  int port = 0;

 private:
  std::unique_ptr<Corvus::Procedure> own_;
  Corvus::Procedure* procedure_;
  Kestrel library_;
};

// What a call is, for what a false result raises and the levels its
// console lines are logged at (call.cpp):
//   kCommand: a command; false raises a CommandError of the failure's kind.
//   kLink: connect, disconnect, reconnect; false raises ConnectionError.
//   kStatus: a status query; never raises, its lines are DEBUG.
//   kClose: the disconnect that ends a `with` block; never raises, and when
//           there was no link to close its lines are DEBUG.
enum class Mode { kCommand, kLink, kStatus, kClose };

using Body = bool (*)(void* context, Kestrel& library);

// Runs `body` on the client's library as described above and returns its
// result (when it does not raise). `operation` is the library's name of the
// operation, carried by the exception.
bool call_library(Client& client, const char* operation, Mode mode, Body body,
                  void* context);

template <typename Op>
bool call(Client& client, const char* operation, Op&& op,
          Mode mode = Mode::kCommand) {
  using Stored = std::remove_reference_t<Op>;
  return call_library(
      client, operation, mode,
      [](void* context, Kestrel& library) { return (*static_cast<Stored*>(context))(library); },
      &op);
}

// True while the client is connected, asked without logging anything (repr).
bool connected_quietly(Client& client);

// Routes the library's console lines to the calls (and to logging); called
// once, when the module is imported.
void start_console_capture();

}  // namespace kestrel_py

#endif  // KESTREL_PYTHON_CALL_H
