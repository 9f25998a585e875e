// The verdict on a reply: its head must be the command word, its type "OK".
#ifndef KESTREL_CORE_VERDICT_H
#define KESTREL_CORE_VERDICT_H

#include "core/record.h"

namespace kestrel {

// One command as the server and the console know it.
struct Command {
  const char* word;      // the server's command word: opens the request, heads the reply
  const char* function;  // "Kestrel::" and the operation's name, named in red lines
};

// An unframed reply taken apart at its first two commas.
struct SplitReply {
  char head[64];
  char type[32];
  char payload[kTextCapacity];  // everything after the second comma
};

enum class Verdict { kOk, kForeignHead, kNg, kUnknownType };

// Splits `reply` into `split` and judges it: head first, then "OK", then
// "NG". Every verdict but kOk prints its red line, sets the failure kind and
// replaces the client's error text (a head over 63 or a type over 31 characters is cut and so can
// never match).
Verdict judge(KestrelCore& core, const Command& command, const char* reply, SplitReply& split);

// The failure kind of an exchange's outcome (kOk for kReplied).
Failure failure_of(Exchange outcome);

// Ends a command whose exchange failed: the failure kind of `outcome`, error
// text "通讯失败!", then the red line "Net:%s:%d fail." with the stored
// address and port.
void report_failed_exchange(KestrelCore& core, Exchange outcome);

}  // namespace kestrel

#endif  // KESTREL_CORE_VERDICT_H
