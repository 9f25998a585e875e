// The private record behind a Kestrel client.
#ifndef KESTREL_CORE_RECORD_H
#define KESTREL_CORE_RECORD_H

#include <atomic>
#include <initializer_list>
#include <mutex>
#include <string>

#include "core/lock.h"
#include "host/lynk.h"
#include "kestrel/failure.h"
#include "kestrel/host.h"
#include "kestrel/kestrel.h"

namespace kestrel {

// Sizes of the texts of one command.
inline constexpr int kTextCapacity = 10240;      // request, reply and payload buffers
inline constexpr int kMaxRequestLength = 10237;  // leaves room for CR LF and the NUL
inline constexpr int kFieldCapacity = 64;        // a payload field
inline constexpr int kLongFieldCapacity = 512;   // a match entry, the auto-focus text
inline constexpr int kReadCreditMs = 5000;       // counted per unsuccessful read
inline constexpr int kAutoFocusLimitMs = 60000;  // wait budget of auto-focus requests

// Server address and port as last given to Kestrel_Connect_Port.
struct Endpoint {
  char address[64];
  int port;
};

// How one exchange with the server ended.
enum class Exchange {
  kReplied,
  kNotConnected,  // nothing sent: the link had no connection
  kSendFailed,
  kUnframed,
  kAborted,
  kPlantAborted,
  kTimedOut
};

}  // namespace kestrel

struct KestrelCore {
  // Runs one exchange: sends `request`, reads the reply into `reply` (10240
  // bytes) and unframes it. The network transaction unless a test installs a
  // stand-in that hands back a given reply.
  using ExchangeFn = kestrel::Exchange (*)(KestrelCore& core, char* request, char* reply);

  KestrelCore();

  Corvus::Lynk link;
  Corvus::Procedure* owner = nullptr;  // borrowed; its abort flags end waits
  char terminator[3] = "\r\n";
  std::atomic<int> timeout{5000};  // milliseconds
  char title[64] = "Kestrel";      // first argument of every console line
  kestrel::TransactionLock* lock;  // owned; serialises exchanges
  ExchangeFn exchange;
  void* exchange_context = nullptr;  // for a stand-in exchange

  // The stored server address and port; may change while another thread is
  // inside an exchange.
  kestrel::Endpoint endpoint() const;
  void set_endpoint(const char* address, int port);

  // The error text; set by the command skeleton outside the transaction lock,
  // so it has a lock of its own. It is the parts given, joined, in a buffer
  // of the record's own that the longest reply fits: setting it takes no
  // memory, and the pointer the host gets stays valid as long as the client,
  // whatever fails later.
  void set_error(std::initializer_list<const char*> parts);
  const char* error() const;
  void clear_error();

  // The kind of the last failure (kestrel/failure.h). Set where each failure
  // happens; it changes no byte, wait, console line or error text.
  void set_failure(kestrel::Failure kind) const { failure_.store(kind, std::memory_order_relaxed); }
  kestrel::Failure failure() const { return failure_.load(std::memory_order_relaxed); }

 private:
  mutable std::mutex endpoint_mutex_;
  char address_[64] = "127.0.0.1";
  int port_ = 8000;
  mutable std::mutex error_mutex_;
  char error_[kestrel::kTextCapacity] = "";
  mutable std::atomic<kestrel::Failure> failure_{kestrel::Failure::kOk};
};

namespace kestrel {
// Reaches the record of a client (tests and tools of the library itself).
struct KestrelCoreAccess {
  static KestrelCore& of(Kestrel& client) { return *client.core_; }
  static const KestrelCore& of(const Kestrel& client) { return *client.core_; }
};
}  // namespace kestrel

#endif  // KESTREL_CORE_RECORD_H
