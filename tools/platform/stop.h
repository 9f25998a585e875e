// How a tool that runs until it is told to stop learns that it is: Ctrl-C
// and SIGTERM on POSIX systems; Ctrl-C, Ctrl-Break and the closing of its
// console window on Windows.
#ifndef KESTREL_PLATFORM_STOP_H
#define KESTREL_PLATFORM_STOP_H

#include <functional>

namespace kestrel::platform {

// Create it before any thread: from then on a stop request ends nothing by
// itself but is handed to Wait (POSIX: SIGINT and SIGTERM are blocked in
// every thread and SIGPIPE ignored; Windows: a console control handler).
// One per process.
class StopRequests {
 public:
  StopRequests();
  // Windows: a console that is closing may end the process once this is
  // gone, i.e. after the orderly stop that followed Wait.
  ~StopRequests();
  StopRequests(const StopRequests&) = delete;
  StopRequests& operator=(const StopRequests&) = delete;

  // Blocks until a stop is requested; names the request ("SIGINT",
  // "SIGTERM", "Ctrl-C", "Ctrl-Break", "console close"). With `finished`,
  // also asks it every 20 ms and returns nullptr once it says so.
  const char* Wait(const std::function<bool()>& finished = {});
};

}  // namespace kestrel::platform

#endif  // KESTREL_PLATFORM_STOP_H
