// The string toolkit on arbitrary text, against models written from its
// contract rather than from its code.
//
// Input: byte 0 picks the function, byte 1 a size argument or bounds, the
// rest is the text (cut at its first NUL, as every caller's text is).
// Checked besides the sanitizers: the splits keep every output inside its
// own array (small arrays, some of one byte) and NUL-terminated, write each
// part cut to min(array, size) - 1 bytes and report a cut; the conversions
// accept exactly the documented written forms, with the value a correctly
// rounding strtod/strtol gives; compare, search, append, remove and unframe
// do what their declarations say.

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "host/yarn.h"

namespace {

// ---- Splits ---------------------------------------------------------------

// The parts the contract promises for `count` outputs: up to each separator,
// the last one the rest; empty once the text is exhausted.
std::vector<std::string> ExpectedParts(const std::string& text, char separator, std::size_t count) {
  constexpr std::size_t npos = std::string::npos;
  std::vector<std::string> parts;
  for (std::size_t i = 0, at = 0; i < count; ++i) {
    const std::size_t next = i + 1 < count && at != npos ? text.find(separator, at) : npos;
    parts.push_back(at == npos ? std::string() : text.substr(at, next - at));
    at = next == npos ? npos : next + 1;
  }
  return parts;
}

std::size_t Room(std::size_t array, int size) {
  return size <= 0 ? 1 : std::min(static_cast<std::size_t>(size), array);
}

// Checks one output array against its expected part; false when it was cut.
template <std::size_t N>
bool CheckOutput(const char (&out)[N], const std::string& part, int size) {
  FUZZ_CHECK(std::memchr(out, '\0', N) != nullptr);
  const std::size_t kept = std::min(part.size(), Room(N, size) - 1);
  FUZZ_CHECK(std::strlen(out) == kept);
  FUZZ_CHECK(std::memcmp(out, part.data(), kept) == 0);
  return kept == part.size();
}

// Splits `source` (whose text is `text`) into the arrays `outs`, and checks
// every output and the result: true only when no part was cut.
template <typename... Arrays>
void CheckSplit(const char* source, const std::string& text, char sep, int size, Arrays&... outs) {
  const std::vector<std::string> parts = ExpectedParts(text, sep, sizeof...(outs));
  const bool fitted = Corvus::Yarn_Seperate_Char(source, sep, outs..., size);
  std::size_t i = 0;
  bool all = true;
  ((all = CheckOutput(outs, parts[i++], size) && all), ...);
  FUZZ_CHECK(fitted == all);
}

void Split(std::uint8_t selector, std::uint8_t raw, const std::string& text) {
  static const int kSizes[] = {-1, 0, 1, 2, 3, 5, 8, 64, 10240, INT_MAX};
  const int size = kSizes[raw % (sizeof kSizes / sizeof kSizes[0])];
  const char sep = (raw & 0x80) ? '&' : ',';
  const char* t = text.c_str();
  // Small arrays, some of one byte, each output its own; the last two forms
  // split in place, as the list walk and a match entry do: the last output is
  // the text itself.
  char a0[1], b0[3], a1[4], b1[2], c1[9], a2[2], b2[1], c2[5], d2[3];
  char a3[3], b3[3], c3[1], d3[6], e3[2], a4[6], a5[4], b5[4], c5[2], d5[7];
  char rest4[48] = {}, rest5[40] = {};
  std::strncpy(rest4, t, sizeof rest4 - 1);
  std::strncpy(rest5, t, sizeof rest5 - 1);
  const std::string text4 = rest4, text5 = rest5;
  switch (selector % 6) {
    case 0:
      return CheckSplit(t, text, sep, size, a0, b0);
    case 1:
      return CheckSplit(t, text, sep, size, a1, b1, c1);
    case 2:
      return CheckSplit(t, text, sep, size, a2, b2, c2, d2);
    case 3:
      return CheckSplit(t, text, sep, size, a3, b3, c3, d3, e3);
    case 4:
      return CheckSplit(rest4, text4, sep, size, a4, rest4);
    default:
      return CheckSplit(rest5, text5, sep, size, a5, b5, c5, d5, rest5);
  }
}

// ---- Conversions ----------------------------------------------------------

// The documented written forms of a double: optional sign, then digits with
// an optional point and fraction (or a point and a fraction), then an
// optional exponent with its own sign and digits. No nan, inf or infinity:
// a number is finite.
bool IsDoubleForm(const char* p) {
  static const char kDigits[] = "0123456789";
  p += *p == '+' || *p == '-';
  const std::size_t whole = std::strspn(p, kDigits);
  p += whole;
  const std::size_t fraction = *p == '.' ? std::strspn(++p, kDigits) : 0;
  p += fraction;
  if (whole + fraction == 0) return false;
  if (*p == 'e' || *p == 'E') {
    p += 1 + (p[1] == '+' || p[1] == '-');
    const std::size_t exponent = std::strspn(p, kDigits);
    if (exponent == 0) return false;
    p += exponent;
  }
  return *p == '\0';
}

void ToDouble(std::uint8_t, std::uint8_t raw, const std::string& text) {
  // Bounds 0 and 0 as every caller passes, or a range.
  const bool ranged = (raw & 1) != 0;
  const double min = ranged ? -static_cast<double>(raw) : 0.0;
  const double max = ranged ? static_cast<double>(raw) * 3 : 0.0;
  double out = 12345.0;
  const bool ok = Corvus::Yarn_To_Double(text.c_str(), min, max, &out);
  errno = 0;
  const double reference = std::strtod(text.c_str(), nullptr);
  const bool overflow = errno == ERANGE && std::isinf(reference);
  const bool tiny = errno == ERANGE && !overflow;
  const bool in_range = !ranged || (reference >= min && reference <= max) || (tiny && min <= 0);
  if (!IsDoubleForm(text.c_str()) || overflow || !in_range) {
    // Not a written form, too large for a double, or outside the bounds:
    // refused, out untouched.
    FUZZ_CHECK(!ok && out == 12345.0);
    return;
  }
  FUZZ_CHECK(ok);
  if (tiny || std::fabs(reference) < DBL_MIN) {
    FUZZ_CHECK(out == reference || out == 0.0);  // 0 or the denormal
  } else {
    FUZZ_CHECK(out == reference);
  }
}

void ToInt(std::uint8_t, std::uint8_t raw, const std::string& text) {
  const bool ranged = (raw & 1) != 0;
  const int min = ranged ? -static_cast<int>(raw) : 0;
  const int max = ranged ? static_cast<int>(raw) * 3 : 0;
  // Optional sign, then digits only.
  const std::size_t start = text[0] == '+' || text[0] == '-' ? 1 : 0;
  const bool form =
      text.size() > start && text.find_first_not_of("0123456789", start) == std::string::npos;
  int out = 4242;
  const bool ok = Corvus::Yarn_To_Int(text.c_str(), min, max, &out);
  errno = 0;
  const long long reference = form ? std::strtoll(text.c_str(), nullptr, 10) : 0;
  const bool fits = form && errno == 0 && reference >= INT_MIN && reference <= INT_MAX;
  const bool accepted = fits && (!ranged || (reference >= min && reference <= max));
  FUZZ_CHECK(ok == accepted);
  FUZZ_CHECK(out == (accepted ? reference : 4242));
}

// ---- The rest -------------------------------------------------------------

void Others(std::uint8_t selector, std::uint8_t raw, const std::string& text) {
  // Two texts: split the input at its middle. `buffer` holds the first (or
  // the whole text), exactly.
  const std::size_t middle = text.size() * raw / 256;
  const std::string a = text.substr(0, middle), b = text.substr(middle);
  const std::string& first = selector % 5 == 4 ? text : a;
  std::vector<char> buffer(first.c_str(), first.c_str() + first.size() + 1);
  std::string expected = first;
  switch (selector % 5) {
    case 0:
      FUZZ_CHECK(Corvus::Yarn_Compare_L(a.c_str(), b.c_str()) == (a == b));
      FUZZ_CHECK(Corvus::Yarn_Compare_L(a.c_str(), a.c_str()));
      return;
    case 1:
      FUZZ_CHECK(Corvus::Yarn_Find_SubString_L(a.c_str(), b.c_str()) ==
                 (a.find(b) != std::string::npos));
      return;
    case 2:
      buffer.resize(a.size() + b.size() + 1);  // room for the second, no more
      FUZZ_CHECK(Corvus::Yarn_Cat(buffer.data(), b.c_str()) == buffer.data());
      expected += b;
      break;
    case 3: {
      Corvus::Yarn_Remove(buffer.data(), b.c_str());
      const std::size_t last = b.empty() ? std::string::npos : a.rfind(b);
      if (last != std::string::npos) expected.erase(last, b.size());
      break;
    }
    default:
      Corvus::Yarn_Remove_Bracket(buffer.data());
      expected.erase(expected.find_last_not_of("\r\n") + 1);
      if (!expected.empty() && expected.back() == '>') expected.pop_back();
      if (!expected.empty() && expected.front() == '<') expected.erase(0, 1);
  }
  FUZZ_CHECK(std::string(buffer.data()) == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const char* body = reinterpret_cast<const char*>(data + 2);
  const std::string text(body, strnlen(body, size - 2));
  using Target = void (*)(std::uint8_t selector, std::uint8_t raw, const std::string& text);
  static const Target kTargets[] = {Split, ToDouble, ToInt, Others};
  kTargets[data[0] % 4](static_cast<std::uint8_t>(data[0] / 4), data[1], text);
  return 0;
}
