// Stop requests as console control events. Windows calls the handler on a
// thread of its own; a closing console (or a logoff or shutdown) ends the
// process as soon as the handler returns, so for those the handler waits
// until the tool has stopped in order (Windows allows it a few seconds).
#include "host/win32.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/stop.h"

namespace kestrel::platform {

namespace {

struct State {
  std::mutex mutex;
  std::condition_variable changed;
  const char* request = nullptr;  // set by the handler
  bool stopped = false;           // set when the tool has stopped
};

State& state() {
  static State* s = new State;  // the handler may run while the process exits
  return *s;
}

BOOL WINAPI OnControl(DWORD event) {
  const char* name = nullptr;
  switch (event) {
    case CTRL_C_EVENT: name = "Ctrl-C"; break;
    case CTRL_BREAK_EVENT: name = "Ctrl-Break"; break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: name = "console close"; break;
    default: return FALSE;
  }
  State& s = state();
  std::unique_lock<std::mutex> lock(s.mutex);
  if (s.request == nullptr) s.request = name;
  s.changed.notify_all();
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
    s.changed.wait(lock, [&s] { return s.stopped; });
  return TRUE;
}

}  // namespace

StopRequests::StopRequests() { ::SetConsoleCtrlHandler(&OnControl, TRUE); }

StopRequests::~StopRequests() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.stopped = true;
  s.changed.notify_all();
}

const char* StopRequests::Wait(const std::function<bool()>& finished) {
  State& s = state();
  std::unique_lock<std::mutex> lock(s.mutex);
  const auto requested = [&s] { return s.request != nullptr; };
  if (!finished) {
    s.changed.wait(lock, requested);
  } else {
    while (!s.changed.wait_for(lock, std::chrono::milliseconds(20), requested))
      if (finished()) return nullptr;
  }
  return s.request;
}

}  // namespace kestrel::platform
