// The transaction lock of a client: a critical section on Windows, a mutex
// elsewhere, behind one small type.
#ifndef KESTREL_CORE_LOCK_H
#define KESTREL_CORE_LOCK_H

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <mutex>
#endif

namespace kestrel {

class TransactionLock {
 public:
#ifdef _WIN32
  TransactionLock() { InitializeCriticalSection(&section_); }
  ~TransactionLock() { DeleteCriticalSection(&section_); }
  void lock() { EnterCriticalSection(&section_); }
  void unlock() { LeaveCriticalSection(&section_); }
#else
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
#endif
  TransactionLock(const TransactionLock&) = delete;
  TransactionLock& operator=(const TransactionLock&) = delete;
#ifndef _WIN32
  TransactionLock() = default;
#endif

 private:
#ifdef _WIN32
  CRITICAL_SECTION section_;
#else
  std::mutex mutex_;
#endif
};

}  // namespace kestrel

#endif  // KESTREL_CORE_LOCK_H
