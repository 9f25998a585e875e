#include "core/transaction.h"

#include <cstring>
#include <mutex>

#include "core/texts.h"
#include "host/herald.h"
#include "host/yarn.h"

namespace kestrel {

namespace {

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
      // A NUL inside the line would end the text that the verdict sees short
      // of the frame: such a line is not a framed reply.
      if (reply[0] == '<' && reply[count - 3] == '>' &&
          std::memchr(reply, '\0', static_cast<std::size_t>(count)) == nullptr) {
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
    return Exchange::kSendFailed;
  }
  Corvus::Herald(core.title, text::kSendSuccess, request);
  return await_reply(core, request, reply);
}

}  // namespace kestrel
