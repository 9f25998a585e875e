#include "call.h"

#include <pythread.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <csignal>
#endif

namespace kestrel_py {

Client::Client(Corvus::Procedure* procedure)
    : own_(procedure != nullptr ? nullptr : new Corvus::Procedure("python")),
      procedure_(procedure != nullptr ? procedure : own_.get()),
      library_(procedure_) {}

namespace {

// ---- Console lines ---------------------------------------------------------
//
// The library prints on the thread that calls it, under the client's lock.
// The sink never touches Python there (that thread has released the GIL, and
// a Python handler could call back into the client that holds its lock): it
// only appends the line to the list of the call running on its thread.

struct Line {
  Corvus::HeraldColor color;
  std::string title;
  std::string text;
};

thread_local std::vector<Line>* t_lines = nullptr;

// The list that the sink fills on this thread while a call lasts.
class LineScope {
 public:
  explicit LineScope(std::vector<Line>& lines) : previous_(t_lines) { t_lines = &lines; }
  ~LineScope() { t_lines = previous_; }
  LineScope(const LineScope&) = delete;
  LineScope& operator=(const LineScope&) = delete;

 private:
  std::vector<Line>* previous_;
};

// Lines printed on a thread that is in no call of this module (another user
// of the library in the process): kept, up to a bound, for the next call to
// publish.
struct Strays {
  static constexpr std::size_t kMost = 1000;
  std::mutex mutex;
  std::vector<Line> lines;
  std::atomic<bool> any{false};
};

Strays& strays() {
  static Strays* instance = new Strays;  // lines may come while the process exits
  return *instance;
}

void collect(Corvus::HeraldColor color, const char* title, const char* text, void*) noexcept {
  try {
    Line line{color, title, text};
    // A received line keeps its line break; a log record has none.
    while (!line.text.empty() && (line.text.back() == '\n' || line.text.back() == '\r')) {
      line.text.pop_back();
    }
    if (t_lines != nullptr) {
      t_lines->push_back(std::move(line));
      return;
    }
    Strays& s = strays();
    std::lock_guard<std::mutex> hold(s.mutex);
    if (s.lines.size() < Strays::kMost) s.lines.push_back(std::move(line));
    s.any.store(true);
  } catch (...) {
    // Out of memory: the line is lost, the library goes on.
  }
}

// The "kestrel" logger, looked up once.
struct Logging {
  py::object is_enabled_for;
  py::object log;
};

Logging& logging() {
  static Logging* instance = [] {
    const py::object logger = py::module_::import("logging").attr("getLogger")("kestrel");
    return new Logging{logger.attr("isEnabledFor"), logger.attr("log")};
  }();
  return *instance;
}

int level_of(Corvus::HeraldColor color) {
  switch (color) {
    case Corvus::HeraldColor::Red:
      return 40;  // logging.ERROR
    case Corvus::HeraldColor::Yellow:
      return 30;  // logging.WARNING
    case Corvus::HeraldColor::Green:
    case Corvus::HeraldColor::Plain:
      break;
  }
  return 20;  // logging.INFO
}

// Logs `lines` in order; the record's message is the line, its `title`
// attribute the client's title. The logger is asked once per level.
void publish(const std::vector<Line>& lines) {
  const Logging& to = logging();
  int enabled[41] = {};  // by level: 0 not asked yet, 1 yes, -1 no
  for (const Line& line : lines) {
    const int level = level_of(line.color);
    if (enabled[level] == 0) enabled[level] = py::bool_(to.is_enabled_for(level)) ? 1 : -1;
    if (enabled[level] < 0) continue;
    py::dict extra;
    extra["title"] = from_gbk(line.title);
    to.log(level, from_gbk(line.text), py::arg("extra") = extra);
  }
}

void publish_strays() {
  Strays& s = strays();
  if (!s.any.load()) return;
  std::vector<Line> lines;
  {
    std::lock_guard<std::mutex> hold(s.mutex);
    lines.swap(s.lines);
    s.any.store(false);
  }
  publish(lines);
}

// ---- Ctrl-C ----------------------------------------------------------------
//
// Python's own SIGINT handler only notes the signal; KeyboardInterrupt comes
// when the main thread runs Python again, which it does not while it waits in
// the library. So a handler of ours stands in front of Python's: during a
// call on the main thread it raises the routine abort flag of the calling
// client's procedure, which ends the wait at the next unsuccessful read, and
// it always passes the signal on to Python's handler. Back from the library,
// the call lowers the flag again and lets Python raise its KeyboardInterrupt.

unsigned long g_main_thread = 0;

#ifndef _WIN32

bool on_main_thread() { return PyThread_get_thread_ident() == g_main_thread; }

static_assert(std::atomic<Corvus::Procedure*>::is_always_lock_free &&
                  std::atomic<bool>::is_always_lock_free,
              "the signal handler needs lock-free atomics");

std::atomic<Corvus::Procedure*> g_abort_target{nullptr};
std::atomic<bool> g_abort_raised{false};
struct sigaction g_python_handler;  // written only while ours is not installed

extern "C" void on_sigint(int signal, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  Corvus::Procedure* target = g_abort_target.load();
  if (target != nullptr && !target->Routine_Get_Abort_Flag()) {
    target->Routine_Set_Abort_Flag(true);
    g_abort_raised.store(true);
  }
  errno = saved_errno;
  if ((g_python_handler.sa_flags & SA_SIGINFO) != 0) {
    g_python_handler.sa_sigaction(signal, info, context);
  } else {
    g_python_handler.sa_handler(signal);
  }
}

// True when our handler is in front of SIGINT's, installing it when Python
// has (re)installed its own, as signal.signal() does. Nothing is installed
// when SIGINT is ignored or kills the process: the user chose so.
bool in_front_of_python() {
  struct sigaction current {};
  if (sigaction(SIGINT, nullptr, &current) != 0) return false;
  const bool info = (current.sa_flags & SA_SIGINFO) != 0;
  if (info && current.sa_sigaction == on_sigint) return true;
  if (!info && (current.sa_handler == SIG_DFL || current.sa_handler == SIG_IGN)) return false;
  g_python_handler = current;
  struct sigaction ours {};
  ours.sa_sigaction = on_sigint;
  ours.sa_flags = SA_SIGINFO | SA_ONSTACK;  // no SA_RESTART: a read ends with EINTR
  sigemptyset(&ours.sa_mask);
  return sigaction(SIGINT, &ours, nullptr) == 0;
}

// Points the handler at the calling client's procedure for the time of one
// call on the main thread (Python runs signal handlers on that thread only).
class CtrlC {
 public:
  explicit CtrlC(Corvus::Procedure& procedure) : procedure_(procedure) {
    if (!on_main_thread() || !in_front_of_python()) return;
    g_abort_raised.store(false);
    g_abort_target.store(&procedure_);
    armed_ = true;
  }
  ~CtrlC() { disarm(); }
  CtrlC(const CtrlC&) = delete;
  CtrlC& operator=(const CtrlC&) = delete;

  // Ends the call's part; true when a Ctrl-C raised the abort flag, which is
  // then lowered again.
  bool disarm() {
    if (!armed_) return false;
    armed_ = false;
    g_abort_target.store(nullptr);
    if (!g_abort_raised.exchange(false)) return false;
    procedure_.Routine_Set_Abort_Flag(false);
    return true;
  }

 private:
  Corvus::Procedure& procedure_;
  bool armed_ = false;
};

#else  // Windows: Ctrl-C reaches Python through its console handler; no abort here.

class CtrlC {
 public:
  explicit CtrlC(Corvus::Procedure&) {}
  bool disarm() { return false; }
};

#endif

// ---- Failures --------------------------------------------------------------

[[noreturn]] void raise_failure(const char* operation, OnFalse kind, const std::string& error_text,
                                const std::vector<Line>& lines) {
  py::list red;
  for (const Line& line : lines) {
    if (line.color == Corvus::HeraldColor::Red) red.append(from_gbk(line.text));
  }
  const Types& t = types();
  const py::object error = kind == OnFalse::kConnectionError
                               ? t.connection_error(operation, red)
                               : t.command_error(operation, from_gbk(error_text), red);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

}  // namespace

bool call_library(Client& client, const char* operation, OnFalse on_false, Body body,
                  void* context) {
  std::vector<Line> lines;
  lines.reserve(4);  // a command prints two lines, a failure three or four
  const LineScope scope(lines);
  CtrlC ctrl_c(client.procedure());
  // A Ctrl-C that came just before: raise it now rather than after a wait.
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  bool ok = false;
  std::string error_text;
  {
    const py::gil_scoped_release released;
    ok = body(context, client.library());
    // Read at once: another thread's failure on this client replaces it.
    if (!ok && on_false == OnFalse::kCommandError) {
      error_text = client.library().Kestrel_GetErrorString();
    }
  }
  // Python's handler runs at the first Python code after a Ctrl-C: let it
  // run here, and raise its KeyboardInterrupt after the call's lines are logged.
  std::optional<py::error_already_set> interrupt;
  if (ctrl_c.disarm() && PyErr_CheckSignals() != 0) interrupt.emplace();
  publish_strays();
  publish(lines);
  if (interrupt) throw *interrupt;
  if (!ok && on_false != OnFalse::kNothing) raise_failure(operation, on_false, error_text, lines);
  return ok;
}

void start_console_capture() {
  g_main_thread =
      py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
  logging();
  Corvus::Herald_Set_Sink(collect, nullptr);
}

}  // namespace kestrel_py
