// Stop requests as signals, taken synchronously by the waiting thread.
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include "platform/stop.h"

namespace kestrel::platform {

namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

StopRequests::StopRequests() {
  // Threads inherit the mask of the thread that starts them.
  const sigset_t stop = StopSignals();
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

StopRequests::~StopRequests() = default;

const char* StopRequests::Wait(const std::function<bool()>& finished) {
  const sigset_t stop = StopSignals();
  int sig = 0;
  if (!finished) {
    sigwait(&stop, &sig);
  } else {
    const timespec tick{0, 20 * 1000 * 1000};
    while ((sig = sigtimedwait(&stop, nullptr, &tick)) <= 0)
      if (finished()) return nullptr;
  }
  return sig == SIGINT ? "SIGINT" : "SIGTERM";
}

}  // namespace kestrel::platform
