// The commands the benchmarks run, each with its pre-built server reply and
// the exact request bytes the library sends for it.
#ifndef KESTREL_BENCH_WORKLOADS_H
#define KESTREL_BENCH_WORKLOADS_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "core/record.h"
#include "kestrel/kestrel.h"
#include "servers.h"

namespace kbench {

struct Workload {
  std::string name;     // as the benchmarks name it: "GetReal", "WaferEdge600", ...
  std::string word;     // the command word on the wire
  std::string reply;    // framed reply line, CR LF included
  std::string request;  // what the library sends, CR LF included (captured from the library)
  std::size_t numbers = 0;  // numbers in the reply's payload (the strtod loop's count)
  // One library call, outputs reused from call to call as a caller's loop
  // would; true when the call succeeded and its outputs are the reply's.
  std::function<bool(Kestrel&)> call;

  // The reply as the transaction leaves it: no frame, no CR LF.
  std::string unframed() const { return reply.substr(1, reply.size() - 4); }
  // Everything after the reply's second comma.
  std::string payload() const;
};

// GetReal, WaferEdge600, MultTemplateMatch150, FixCircle500. Builds the
// replies and captures each request by running the call once through a
// stand-in exchange; false (with `why`) when a call does not succeed on its
// own reply or a request does not fit.
bool BuildWorkloads(std::vector<Workload>& out, std::string& why);

// The reply server's table: the workloads' replies and, for every other
// command word of the tools' catalogue, an "OK" reply with its sample payload.
ReplyTable ServerReplies(const std::vector<Workload>& all);

// Installs on `client` an exchange that hands back `unframed` (a reply
// without frame) without any network, and copies each request into
// `captured` when it is not null; the destructor puts the real exchange back.
class CannedExchange {
 public:
  CannedExchange(Kestrel& client, const std::string& unframed, std::string* captured = nullptr);
  ~CannedExchange();
  CannedExchange(const CannedExchange&) = delete;
  CannedExchange& operator=(const CannedExchange&) = delete;

 private:
  static kestrel::Exchange Exchange(KestrelCore& core, char* request, char* reply);
  KestrelCore& core_;
  KestrelCore::ExchangeFn previous_;
  void* previous_context_;
  const std::string& unframed_;
  std::string* captured_;
};

// Heap allocations of one call of every command operation over the network
// (against the reply server on `port`), each measured on its third call so
// that the caller's reused outputs have their capacity.
struct AllocationAudit {
  std::string operation;
  bool ok = false;              // the call returned true
  unsigned long allocations = 0;  // malloc-family calls (operator new included)
  unsigned long fresh = 0;        // the same with fresh output vectors/strings
};
std::vector<AllocationAudit> AuditAllocations(int port);

}  // namespace kbench

#endif  // KESTREL_BENCH_WORKLOADS_H
