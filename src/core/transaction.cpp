#include "core/transaction.h"

#include <cstring>
#include <mutex>

#include "core/texts.h"
#include "host/herald.h"
#include "host/yarn.h"

namespace kestrel {

namespace {

// True when the `count` bytes read end with the client's terminator.
bool ends_with_terminator(const KestrelCore& core, const char* line, int count) {
  const std::size_t length = std::strlen(core.terminator);
  return static_cast<std::size_t>(count) >= length &&
         std::memcmp(line + count - length, core.terminator, length) == 0;
}

// The reads of one exchange, all under the client's lock.
Exchange await_reply(KestrelCore& core, const char* request, char* reply) {
  std::memset(reply, 0, 1024);
  int count = 0;
  int waited = 0;
  const int timeout = core.timeout.load(std::memory_order_relaxed);
  const bool auto_focus = Corvus::Yarn_Find_SubString_L(request, "AutoFocus");
  for (;;) {
    const bool read = core.link.Lynk_Read_String(reply, core.terminator, kTextCapacity, timeout,
                                                 &count);
    if (read && count > 2) {
      // "<" content ">" CR LF. A line too long for the buffer comes as its
      // first 10239 bytes, without the terminator: whatever byte lies before
      // the cut, that is no reply. A NUL inside a framed line does not
      // unframe it; the console, the verdict and the payload see the text up
      // to that NUL.
      if (reply[0] == '<' && reply[count - 3] == '>' && ends_with_terminator(core, reply, count)) {
        Corvus::Herald(core.title, text::kRecvSuccess, reply);
        Corvus::Yarn_Remove_Bracket(reply);
        return Exchange::kReplied;
      }
      // An unframed reply ends the exchange at once; it is not read again.
      Corvus::Herald_Red(core.title, text::kRecvUnframed, reply, count);
      return Exchange::kUnframed;
    }
    if (core.owner != nullptr) {
      const Corvus::Maestro& maestro = core.owner->Procedure_Get_Maestro();
      if (maestro.Routine_Get_Abort_Flag()) {
        Corvus::Herald_Yellow(core.title, text::kRoutineAbort, core.owner->Procedure_Get_Name());
        return Exchange::kAborted;
      }
      if (maestro.Plant_Abort_Manager_Get()) {
        Corvus::Herald_Yellow(core.title, text::kPlantAbort, core.owner->Procedure_Get_Name());
        return Exchange::kPlantAborted;
      }
    }
    // Every unsuccessful read counts 5000 ms, whatever the timeout is.
    waited += kReadCreditMs;
    const int limit = auto_focus ? kAutoFocusLimitMs : timeout;
    if (waited >= limit) {
      Corvus::Herald_Red(core.title, text::kRecvReadError, reply);
      return Exchange::kTimedOut;
    }
    if (auto_focus) {
      Corvus::Herald_Yellow(core.title, text::kWaitAutoFocus, waited, kAutoFocusLimitMs);
    } else {
      Corvus::Herald_Yellow(core.title, text::kWaitRequest, request, waited, timeout);
    }
  }
}

}  // namespace

Exchange transact(KestrelCore& core, char* request, char* reply) {
  std::lock_guard<TransactionLock> hold(*core.lock);
  core.link.Lynk_Clear_Buffer();
  bool written = false;
  // The skeleton refuses longer requests before they get here; a request that
  // leaves no room for CR LF is never sent cut.
  const std::size_t length = std::strlen(request);
  if (length <= static_cast<std::size_t>(kMaxRequestLength)) {
    // CR LF goes on the end and comes off again, as Yarn_Cat and Yarn_Remove
    // (its last occurrence) would do, with the request measured once rather
    // than scanned four times.
    const std::size_t terminator = std::strlen(core.terminator);
    std::memcpy(request + length, core.terminator, terminator + 1);
    written = core.link.Lynk_Write_String(request, static_cast<int>(length + terminator));
    request[length] = '\0';
  }
  if (!written) {
    const Endpoint endpoint = core.endpoint();
    Corvus::Herald_Red(core.title, text::kSendError, endpoint.address, endpoint.port, request);
    // The same line either way; the kind tells a link that was never up (or
    // was closed) from a write that failed on a live one.
    return core.link.Lynk_Connect_Status() ? Exchange::kSendFailed : Exchange::kNotConnected;
  }
  Corvus::Herald(core.title, text::kSendSuccess, request);
  return await_reply(core, request, reply);
}

}  // namespace kestrel
