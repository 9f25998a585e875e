#include "core/command.h"

#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/texts.h"
#include "host/yarn.h"

namespace kestrel {

namespace {

// Appends `piece` to the request, keeping what fits and counting it all.
void append(char* text, long& length, const char* piece, std::size_t piece_length) {
  if (length < kTextCapacity - 1) {
    std::size_t room = static_cast<std::size_t>(kTextCapacity - 1 - length);
    std::memcpy(text + length, piece, piece_length < room ? piece_length : room);
  }
  length += static_cast<long>(piece_length);
}

}  // namespace

Request::Request(const char* format, ...) {
  va_list args;
  va_start(args, format);
  char number[400];  // the longest %f of a double has 309 digits before the point
  for (const char* f = format; *f != '\0'; ++f) {
    if (*f != '%') {
      const char* plain = f;
      while (f[1] != '\0' && f[1] != '%') ++f;
      append(text_, length_, plain, static_cast<std::size_t>(f - plain + 1));
      continue;
    }
    ++f;
    switch (*f) {
      case 's': {
        const char* s = va_arg(args, const char*);
        if (s == nullptr) s = "";
        append(text_, length_, s, std::strlen(s));
        break;
      }
      case 'd': {
        auto result = std::to_chars(number, number + sizeof number, va_arg(args, int));
        append(text_, length_, number, static_cast<std::size_t>(result.ptr - number));
        break;
      }
      case 'f': {
        auto result = std::to_chars(number, number + sizeof number, va_arg(args, double),
                                    std::chars_format::fixed, 6);
        append(text_, length_, number, static_cast<std::size_t>(result.ptr - number));
        break;
      }
      case '%':
        append(text_, length_, "%", 1);
        break;
      default:  // not used by any request format
        --f;
        break;
    }
    if (*f == '\0') break;
  }
  va_end(args);
  text_[length_ < kTextCapacity - 1 ? length_ : kTextCapacity - 1] = '\0';
}

void append_fixed(std::string& text, double value) {
  char number[400];
  auto result = std::to_chars(number, number + sizeof number, value, std::chars_format::fixed, 6);
  text.append(number, static_cast<std::size_t>(result.ptr - number));
}

void refuse_request(KestrelCore& core, const Command& command, const Request& request) {
  const int length = static_cast<int>(request.length());
  Corvus::Herald_Red(core.title, text::kRequestTooLong, length, kMaxRequestLength,
                     command.function);
  char error[256];
  std::snprintf(error, sizeof error, text::kRequestTooLong, length, kMaxRequestLength,
                command.function);
  core.set_error(error);
}

bool convert(const KestrelCore& core, const char* text, bool fits, double& out,
             const char* message, const char* shown) {
  if (fits && Corvus::Yarn_To_Double(text, 0.0, 0.0, &out)) return true;
  Corvus::Herald_Red(core.title, message, shown ? shown : text);
  return false;
}

bool convert(const KestrelCore& core, const char* text, bool fits, int& out,
             const char* message, const char* shown) {
  if (fits && Corvus::Yarn_To_Int(text, 0, 0, &out)) return true;
  Corvus::Herald_Red(core.title, message, shown ? shown : text);
  return false;
}

bool PointPayload::operator()(KestrelCore& core, Payload& payload) const {
  Field<> x_text, y_text;
  Corvus::Yarn_Seperate_Char(payload, '&', x_text.text, y_text.text, kTextCapacity);
  const char* shown = show_payload ? payload : nullptr;
  return convert(core, x_text, x, x_message, shown) && convert(core, y_text, y, y_message, shown);
}

bool take_count(const KestrelCore& core, Payload& payload, int& count) {
  Field<> count_text;
  Corvus::Yarn_Seperate_Char(payload, ',', count_text.text, payload, kTextCapacity);
  return convert(core, count_text, count, text::kLengthNotInt);
}

}  // namespace kestrel
