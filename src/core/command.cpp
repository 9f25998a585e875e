#include "core/command.h"

#include <charconv>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/texts.h"
#include "host/yarn.h"

namespace kestrel {

// Most numbers a command sends are coordinates, well below 2^43 in magnitude:
// for those the six-decimal text is worked out exactly in integers, which
// costs a fraction of the general conversion. The value is M * 2^E with an
// integer M < 2^53; M * 10^6 fits 128 bits, and shifting it right by -E with
// rounding half to even (what %f does in the default rounding mode) gives the
// value in millionths. Everything else (larger magnitudes, infinities, NaN,
// or a compiler without 128-bit integers) takes std::to_chars.
char* write_fixed(char* first, char* last, double value) {
#if defined(__SIZEOF_INT128__)
  __extension__ typedef unsigned __int128 Wide;
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const bool negative = (bits >> 63) != 0;
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  // Below 2^43: a biased exponent under 1023 + 43, so that the value in
  // millionths fits 64 bits. The longest text then is "-8796093022207.999999",
  // 21 characters.
  if (biased < 1023 + 43 && last - first >= 24) {
    const std::uint64_t mantissa = biased == 0 ? fraction : fraction | (std::uint64_t{1} << 52);
    const int shift = biased == 0 ? 1074 : 1075 - biased;  // value = mantissa / 2^shift, shift >= 1
    const Wide scaled = static_cast<Wide>(mantissa) * 1000000u;
    std::uint64_t millionths = 0;
    if (shift < 128) {
      const Wide quotient = scaled >> shift;
      const Wide rest = scaled & ((static_cast<Wide>(1) << shift) - 1);
      const Wide half = static_cast<Wide>(1) << (shift - 1);
      millionths = static_cast<std::uint64_t>(quotient);
      if (rest > half || (rest == half && (millionths & 1) != 0)) ++millionths;
    }  // else below 2^-53: rounds to zero
    char digits[24];
    char* d = digits + sizeof digits;
    std::uint64_t whole = millionths / 1000000u;
    std::uint64_t part = millionths % 1000000u;
    for (int i = 0; i < 6; ++i) {
      *--d = static_cast<char>('0' + part % 10);
      part /= 10;
    }
    *--d = '.';
    do {
      *--d = static_cast<char>('0' + whole % 10);
      whole /= 10;
    } while (whole != 0);
    if (negative) *--d = '-';
    const std::size_t n = static_cast<std::size_t>(digits + sizeof digits - d);
    std::memcpy(first, d, n);
    return first + n;
  }
#endif
  return std::to_chars(first, last, value, std::chars_format::fixed, 6).ptr;
}

Request::Request(const char* format, ...) {
  va_list args;
  va_start(args, format);
  this->format(format, args);
  va_end(args);
}

Request& Request::add(const char* format, ...) {
  va_list args;
  va_start(args, format);
  this->format(format, args);
  va_end(args);
  return *this;
}

// Appends `piece`, keeping what fits and counting it all.
void Request::append(const char* piece, std::size_t piece_length) {
  if (length_ < kTextCapacity - 1) {
    const std::size_t room = static_cast<std::size_t>(kTextCapacity - 1 - length_);
    std::memcpy(text_ + length_, piece, piece_length < room ? piece_length : room);
  }
  length_ += static_cast<long>(piece_length);
}

void Request::format(const char* format, std::va_list args) {
  char number[400];  // the longest %f of a double has 309 digits before the point
  for (const char* f = format; *f != '\0'; ++f) {
    if (*f != '%') {
      const char* plain = f;
      while (f[1] != '\0' && f[1] != '%') ++f;
      append(plain, static_cast<std::size_t>(f - plain + 1));
      continue;
    }
    ++f;
    switch (*f) {
      case 's': {
        const char* s = va_arg(args, const char*);
        if (s == nullptr) s = "";
        append(s, std::strlen(s));
        break;
      }
      case 'd': {
        auto result = std::to_chars(number, number + sizeof number, va_arg(args, int));
        append(number, static_cast<std::size_t>(result.ptr - number));
        break;
      }
      case 'f': {
        char* end = write_fixed(number, number + sizeof number, va_arg(args, double));
        append(number, static_cast<std::size_t>(end - number));
        break;
      }
      case '%':
        append("%", 1);
        break;
      default:  // not used by any request format
        --f;
        break;
    }
    if (*f == '\0') break;
  }
  text_[length_ < kTextCapacity - 1 ? length_ : kTextCapacity - 1] = '\0';
}

void refuse_request(KestrelCore& core, const Command& command, const Request& request) {
  const int length = static_cast<int>(request.length());
  core.set_failure(Failure::kRequestTooLong);
  Corvus::Herald_Red(core.title, text::kRequestTooLong, length, kMaxRequestLength,
                     command.function);
  char error[256];
  std::snprintf(error, sizeof error, text::kRequestTooLong, length, kMaxRequestLength,
                command.function);
  core.set_error({error});
}

void report_out_of_memory(const KestrelCore& core, const Command& command) noexcept {
  Corvus::Herald_Red(core.title, text::kOutOfMemory, command.function);
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

bool take_count(const KestrelCore& core, ListCursor& list, int& count) {
  Field<> count_text;
  list.take(count_text.text, ',');
  return convert(core, count_text, count, text::kLengthNotInt);
}

}  // namespace kestrel
