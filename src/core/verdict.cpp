#include "core/verdict.h"

#include "core/texts.h"
#include "host/herald.h"
#include "host/yarn.h"

namespace kestrel {

Failure failure_of(Exchange outcome) {
  switch (outcome) {
    case Exchange::kReplied: return Failure::kOk;
    case Exchange::kNotConnected: return Failure::kNotConnected;
    case Exchange::kSendFailed: return Failure::kSendFailed;
    case Exchange::kUnframed: return Failure::kUnframed;
    case Exchange::kAborted: return Failure::kAborted;
    case Exchange::kPlantAborted: return Failure::kPlantAborted;
    case Exchange::kTimedOut: return Failure::kTimedOut;
  }
  return Failure::kTimedOut;
}

Verdict judge(KestrelCore& core, const Command& command, const char* reply, SplitReply& split) {
  Corvus::Yarn_Seperate_Char(reply, ',', split.head, split.type, split.payload, kTextCapacity);
  if (!Corvus::Yarn_Compare_L(split.head, command.word)) {
    Corvus::Herald_Red(core.title, text::kUnknownHead, split.head, command.word, command.function);
    core.set_failure(Failure::kWrongHead);
    core.set_error(
        {text::kHeadErrorBegin, split.head, "(", command.word, ")", text::kHeadErrorEnd});
    return Verdict::kForeignHead;
  }
  if (Corvus::Yarn_Compare_L(split.type, "OK")) return Verdict::kOk;
  if (Corvus::Yarn_Compare_L(split.type, "NG")) {
    Corvus::Herald_Red(core.title, text::kErrMessage, split.payload, command.function);
    core.set_failure(Failure::kServerNg);
    core.set_error({split.payload});
    return Verdict::kNg;
  }
  Corvus::Herald_Red(core.title, text::kUnknownType, split.type, command.function);
  core.set_failure(Failure::kBadType);
  core.set_error({text::kTypeErrorBegin, split.type, text::kTypeErrorEnd});
  return Verdict::kUnknownType;
}

void report_failed_exchange(KestrelCore& core, Exchange outcome) {
  core.set_failure(failure_of(outcome));
  core.set_error({text::kCommFailed});
  const Endpoint endpoint = core.endpoint();
  Corvus::Herald_Red(core.title, text::kNetFail, endpoint.address, endpoint.port);
}

}  // namespace kestrel
