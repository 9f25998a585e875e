// The one exchange with the vision server that every command runs.
#ifndef KESTREL_CORE_TRANSACTION_H
#define KESTREL_CORE_TRANSACTION_H

#include "core/record.h"

namespace kestrel {

// Under the client's lock: drops unread input, sends `request` with CR LF,
// then reads until a framed reply "<...>" arrives, counting 5000 ms per
// unsuccessful read against the client's timeout (against 60000 ms when the
// request contains "AutoFocus") and ending the wait when the owner's abort
// flags are raised. On kReplied `reply` holds the reply without its frame;
// `request` is always handed back as it came. Prints the transaction's own
// console lines; never touches the error text.
Exchange transact(KestrelCore& core, char* request, char* reply);

}  // namespace kestrel

#endif  // KESTREL_CORE_TRANSACTION_H
