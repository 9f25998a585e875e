// The kind of a client's last failure, beside the Kestrel class (whose
// interface, bytes on the wire, waits, console lines and error texts it leaves
// as they are). The error text says what went wrong in words that several
// failures share ("通讯失败!" for a timeout, an unframed reply, a failed send
// and an abort alike); the kind tells them apart without reading the console.
#ifndef KESTREL_FAILURE_H
#define KESTREL_FAILURE_H

#include "kestrel/export.h"
#include "kestrel/kestrel.h"

namespace kestrel {

// How the last operation of a client failed. Every command operation sets it:
// kOk when it succeeded, else the kind of the one place where it failed. The
// connection operations set kOk or kNotConnected. The wait limit, the error
// text and Kestrel_LGKerfCheck (which does nothing) leave it as it was.
// Template matches that find nothing return false with kOk.
enum class Failure {
  kOk = 0,
  kNotConnected,    // no link: never connected, disconnected, closed by the server, or a
                    // connect that failed
  kRequestTooLong,  // the request would exceed 10237 characters; nothing was sent
  kSendFailed,      // the link was up but the request could not be written
  kTimedOut,        // no reply within the wait limit (or the peer closed meanwhile)
  kAborted,         // the owning procedure's abort flag ended the wait
  kPlantAborted,    // the machine-wide abort ended the wait
  kUnframed,        // a reply line that is not "<...>" (or is too long for the buffer)
  kWrongHead,       // the reply names another command
  kBadType,         // the reply's type is neither OK nor NG
  kServerNg,        // the server answered NG; the error text holds its message
  kBadReply,        // an OK payload that does not convert or whose count does not match
  kOutOfMemory,     // the operation could not get the memory it needed
  kBadArgument,     // an argument the C interface refused (a NULL, an array too small)
};

// The kind of `client`'s last failure. Safe from any thread; with several
// threads on one client it is that of whichever operation ended last.
KESTREL_API Failure LastFailure(const Kestrel& client) noexcept;

// A short English name of `failure` ("timed out", "server NG", ...), never null.
KESTREL_API const char* FailureName(Failure failure) noexcept;

}  // namespace kestrel

#endif  // KESTREL_FAILURE_H
