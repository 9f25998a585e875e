// The failure kind of a client, as the host reads it.
#include "kestrel/failure.h"

#include "core/record.h"

namespace kestrel {

Failure LastFailure(const Kestrel& client) noexcept {
  return KestrelCoreAccess::of(client).failure();
}

const char* FailureName(Failure failure) noexcept {
  switch (failure) {
    case Failure::kOk: return "ok";
    case Failure::kNotConnected: return "not connected";
    case Failure::kRequestTooLong: return "request too long";
    case Failure::kSendFailed: return "send failed";
    case Failure::kTimedOut: return "timed out";
    case Failure::kAborted: return "aborted";
    case Failure::kPlantAborted: return "plant aborted";
    case Failure::kUnframed: return "unframed reply";
    case Failure::kWrongHead: return "wrong reply head";
    case Failure::kBadType: return "bad reply type";
    case Failure::kServerNg: return "server NG";
    case Failure::kBadReply: return "bad reply";
    case Failure::kOutOfMemory: return "out of memory";
    case Failure::kBadArgument: return "bad argument";
  }
  return "unknown";
}

}  // namespace kestrel
