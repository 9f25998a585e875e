// The skeleton every command operation runs: format the request, run the
// exchange, judge the reply, hand an "OK" payload to the operation's own
// handling. An operation is its command word, its request format and its
// payload handling; everything else lives here, once.
#ifndef KESTREL_CORE_COMMAND_H
#define KESTREL_CORE_COMMAND_H

#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <new>
#include <utility>

#include "core/record.h"
#include "core/verdict.h"
#include "host/herald.h"
#include "host/yarn.h"

namespace kestrel {

// A request text formatted into its own 10240-byte buffer. The format
// understands %s, %d, %f (fixed notation, six decimals, independent of the
// process locale) and %%. A request longer than 10237 characters does not
// fit: it is kept cut in the buffer, never sent, and its whole length is
// still counted. Nothing is allocated, however long the request grows.
class Request {
 public:
  explicit Request(const char* format, ...) KESTREL_PRINTF_LIKE(2, 3);
  // Appends more text in the same format (a list, item by item).
  Request& add(const char* format, ...) KESTREL_PRINTF_LIKE(2, 3);

  char* text() { return text_; }
  const char* text() const { return text_; }
  // Characters the whole request takes, even when it did not fit.
  long length() const { return length_; }
  bool fits() const { return length_ <= kMaxRequestLength; }

 private:
  void append(const char* piece, std::size_t piece_length);
  void format(const char* format, std::va_list args);

  char text_[kTextCapacity];
  long length_ = 0;
};

// Writes `value` into [first, last) as "%f" writes it (fixed notation, six
// decimals), whatever the process locale, and returns the end of the text.
// `last - first` must hold the text (400 bytes hold any double).
char* write_fixed(char* first, char* last, double value);

// Ends a command whose request does not fit: red line and error text name
// its length and the operation, failure kRequestTooLong; nothing is sent.
void refuse_request(KestrelCore& core, const Command& command, const Request& request);

// Ends an operation that could not get memory: red line naming it.
void report_out_of_memory(const KestrelCore& core, const Command& command) noexcept;

// Runs `body` (which returns the operation's result) so that nothing is
// thrown into the host: an allocation failure inside it ends the operation
// with report_out_of_memory and false.
template <typename Body>
bool guarded(KestrelCore& core, const Command& command, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const std::bad_alloc&) {
    core.set_failure(Failure::kOutOfMemory);
    report_out_of_memory(core, command);
    return false;
  }
}

// Judges `reply` (an unframed reply text) for `command` and, on "OK", returns
// what `on_ok(core, payload)` returns; false on every other verdict. A payload
// that `on_ok` refuses is a bad reply. This is the whole reply handling of a
// command, callable without a network.
template <typename OnOk>
bool handle_reply(KestrelCore& core, const Command& command, const char* reply, OnOk&& on_ok) {
  return guarded(core, command, [&] {
    SplitReply split;
    if (judge(core, command, reply, split) != Verdict::kOk) return false;
    if (on_ok(core, split.payload)) return true;
    core.set_failure(Failure::kBadReply);
    return false;
  });
}

// Runs one command: the exchange, then handle_reply.
template <typename OnOk>
bool run(KestrelCore& core, const Command& command, Request& request, OnOk&& on_ok) {
  char reply[kTextCapacity];
  core.set_failure(Failure::kOk);
  const bool replied = guarded(core, command, [&] {
    if (!request.fits()) {
      refuse_request(core, command, request);
      return false;
    }
    const Exchange outcome = core.exchange(core, request.text(), reply);
    if (outcome != Exchange::kReplied) {
      report_failed_exchange(core, outcome);
      return false;
    }
    return true;
  });
  return replied && handle_reply(core, command, reply, std::forward<OnOk>(on_ok));
}
template <typename OnOk>
bool run(KestrelCore& core, const Command& command, Request&& request, OnOk&& on_ok) {
  return run(core, command, request, std::forward<OnOk>(on_ok));
}

// ---- Payload handling shared by the operations ------------------------------

// A payload field, zero-filled before the split, that holds at most N - 1
// characters. Its text has one byte more than that, so that a longer field of
// the reply shows as N characters: a cut number would be a different number,
// so such a field is refused as not convertible.
template <std::size_t N = kFieldCapacity>
struct Field {
  char text[N + 1] = {};
  bool cut = false;  // set when a split upstream already cut this field's text
  bool fits() const { return !cut && std::strlen(text) < N; }
};

// Converts `text` straight into `out`; on failure (or when the field did not
// fit) prints `message` in red with `shown` (the text itself when null) and
// returns false, `out` untouched.
bool convert(const KestrelCore& core, const char* text, bool fits, double& out,
             const char* message, const char* shown = nullptr);
bool convert(const KestrelCore& core, const char* text, bool fits, int& out,
             const char* message, const char* shown = nullptr);
template <std::size_t N, typename T>
bool convert(const KestrelCore& core, const Field<N>& field, T& out, const char* message,
             const char* shown = nullptr) {
  return convert(core, field.text, field.fits(), out, message, shown);
}

// The payload of an "OK" reply, as the operation's handling receives it: its
// own 10240-byte buffer, which list walks split in place.
using Payload = char[kTextCapacity];

// Setters: an "OK" is all they need; the payload is not looked at.
struct AcceptAny {
  bool operator()(KestrelCore&, Payload&) const { return true; }
};

// The whole payload is one number.
template <typename T>
struct OneNumber {
  T& out;
  const char* message;
  bool operator()(KestrelCore& core, Payload& payload) const {
    return convert(core, payload, true, out, message);
  }
};
template <typename T>
OneNumber(T&, const char*) -> OneNumber<T>;

// Two numbers joined by '&', X first: each converted straight into its output,
// X before Y. A failure line names the failing field's text, or the whole
// payload when `show_payload` is set.
struct PointPayload {
  double& x;
  double& y;
  const char* x_message;
  const char* y_message;
  bool show_payload = false;
  bool operator()(KestrelCore& core, Payload& payload) const;
};

// Walks a list text item by item: each take() gives the text before the next
// separator (cut to fit `out`, as Yarn_Seperate_Char cuts) and moves past the
// separator, which is what splitting the first item off and writing the rest
// back into the list's buffer does, without moving the rest every time (a
// walk stays linear in the length of the list). The walk is over when the rest
// is empty.
class ListCursor {
 public:
  explicit ListCursor(const char* text) : rest_(text) {}
  bool done() const { return *rest_ == '\0'; }
  const char* rest() const { return rest_; }
  template <std::size_t N>
  void take(char (&out)[N], char separator) {
    static_assert(N > 0, "an item needs room for its NUL");
    const char* end = std::strchr(rest_, separator);
    const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - rest_)
                                              : std::strlen(rest_);
    const std::size_t kept = length < N - 1 ? length : N - 1;
    std::memcpy(out, rest_, kept);
    out[kept] = '\0';
    rest_ = end != nullptr ? end + 1 : rest_ + length;
  }

 private:
  const char* rest_;
};

// Takes the count text off a counted list ("N,entry,entry...") and converts
// it into `count`; red "Length:%s，不能转换int" on failure.
bool take_count(const KestrelCore& core, ListCursor& list, int& count);

}  // namespace kestrel

#endif  // KESTREL_CORE_COMMAND_H
