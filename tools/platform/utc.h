// The tools' time stamps: UTC to the microsecond, "2026-01-31T12:00:00.123456Z",
// for the simulator's log and the trace files. Safe from any thread.
#ifndef KESTREL_PLATFORM_UTC_H
#define KESTREL_PLATFORM_UTC_H

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

namespace kestrel::platform {

inline std::string UtcStamp(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const std::time_t secs = system_clock::to_time_t(t);
  std::tm tm{};
#ifdef _WIN32
  gmtime_s(&tm, &secs);
#else
  gmtime_r(&secs, &tm);
#endif
  char stamp[48];
  const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm);
  std::snprintf(
      stamp + n, sizeof stamp - n, ".%06ldZ",
      static_cast<long>(duration_cast<microseconds>(t.time_since_epoch()).count() % 1000000));
  return stamp;
}

}  // namespace kestrel::platform

#endif  // KESTREL_PLATFORM_UTC_H
