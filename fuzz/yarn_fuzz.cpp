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

// The parts the contract promises for `count` outputs.
std::vector<std::string> ExpectedParts(const std::string& text, char separator, int count) {
  std::vector<std::string> parts;
  std::size_t cursor = 0;
  bool exhausted = false;
  for (int i = 0; i < count; ++i) {
    if (exhausted) {
      parts.emplace_back();
    } else if (i == count - 1) {
      parts.push_back(text.substr(cursor));
    } else {
      const std::size_t next = text.find(separator, cursor);
      if (next == std::string::npos) {
        parts.push_back(text.substr(cursor));
        exhausted = true;
      } else {
        parts.push_back(text.substr(cursor, next - cursor));
        cursor = next + 1;
      }
    }
  }
  return parts;
}

std::size_t Room(std::size_t array, int size) {
  if (size <= 0) return 1;
  return static_cast<std::size_t>(size) < array ? static_cast<std::size_t>(size) : array;
}

// Checks one output array against its expected part; false when it was cut.
template <std::size_t N>
bool CheckOutput(const char (&out)[N], const std::string& part, int size) {
  const std::size_t room = Room(N, size);
  FUZZ_CHECK(std::memchr(out, '\0', N) != nullptr);
  const std::size_t kept = part.size() < room ? part.size() : room - 1;
  FUZZ_CHECK(std::strlen(out) == kept);
  FUZZ_CHECK(std::memcmp(out, part.data(), kept) == 0);
  return kept == part.size();
}

// Checks every output of one split and its result: true only when no part
// was cut.
template <typename... Arrays>
void CheckSplit(bool fitted, const std::vector<std::string>& parts, int size,
                const Arrays&... outs) {
  std::size_t i = 0;
  bool all = true;
  ((all = CheckOutput(outs, parts[i++], size) && all), ...);
  FUZZ_CHECK(fitted == all);
}

int SizeArgument(std::uint8_t raw) {
  static const int kSizes[] = {-1, 0, 1, 2, 3, 5, 8, 64, 10240, INT_MAX};
  return kSizes[raw % (sizeof kSizes / sizeof kSizes[0])];
}

char Separator(std::uint8_t raw) { return (raw & 0x80) ? '&' : ','; }

void Split(std::uint8_t selector, std::uint8_t raw, const std::string& text) {
  const int size = SizeArgument(raw);
  const char sep = Separator(raw);
  switch (selector % 6) {
    case 0: {
      char a[1], b[3];
      const auto parts = ExpectedParts(text, sep, 2);
      const bool fitted = Corvus::Yarn_Seperate_Char(text.c_str(), sep, a, b, size);
      CheckSplit(fitted, parts, size, a, b);
      break;
    }
    case 1: {
      char a[4], b[2], c[9];
      const auto parts = ExpectedParts(text, sep, 3);
      const bool fitted = Corvus::Yarn_Seperate_Char(text.c_str(), sep, a, b, c, size);
      CheckSplit(fitted, parts, size, a, b, c);
      break;
    }
    case 2: {
      char a[2], b[1], c[5], d[3];
      const auto parts = ExpectedParts(text, sep, 4);
      const bool fitted = Corvus::Yarn_Seperate_Char(text.c_str(), sep, a, b, c, d, size);
      CheckSplit(fitted, parts, size, a, b, c, d);
      break;
    }
    case 3: {
      char a[3], b[3], c[1], d[6], e[2];
      const auto parts = ExpectedParts(text, sep, 5);
      const bool fitted = Corvus::Yarn_Seperate_Char(text.c_str(), sep, a, b, c, d, e, size);
      CheckSplit(fitted, parts, size, a, b, c, d, e);
      break;
    }
    case 4: {
      // The list walk: the last output is the text itself.
      char rest[48] = {};
      std::strncpy(rest, text.c_str(), sizeof rest - 1);
      const std::string original = rest;
      char first[6];
      const auto parts = ExpectedParts(original, sep, 2);
      const bool fitted = Corvus::Yarn_Seperate_Char(rest, sep, first, rest, size);
      CheckSplit(fitted, parts, size, first, rest);
      break;
    }
    default: {
      // The five-output form as a match entry uses it, in place.
      char rest[40] = {};
      std::strncpy(rest, text.c_str(), sizeof rest - 1);
      const std::string original = rest;
      char a[4], b[4], c[2], d[7];
      const auto parts = ExpectedParts(original, sep, 5);
      const bool fitted = Corvus::Yarn_Seperate_Char(rest, sep, a, b, c, d, rest, size);
      CheckSplit(fitted, parts, size, a, b, c, d, rest);
      break;
    }
  }
}

// ---- Conversions ----------------------------------------------------------

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool EqualsNoCase(const char* text, const char* word) {
  for (; *text != '\0' && *word != '\0'; ++text, ++word) {
    char c = *text;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != *word) return false;
  }
  return *text == '\0' && *word == '\0';
}

// The documented written forms of a double: optional sign, then digits with
// an optional point and fraction (or a point and a fraction), then an
// optional exponent with its own sign and digits; or nan, inf, infinity.
bool IsDoubleForm(const char* p) {
  if (*p == '+' || *p == '-') ++p;
  if (EqualsNoCase(p, "nan") || EqualsNoCase(p, "inf") || EqualsNoCase(p, "infinity")) return true;
  bool digits = false;
  while (IsDigit(*p)) ++p, digits = true;
  if (*p == '.') {
    ++p;
    while (IsDigit(*p)) ++p, digits = true;
  }
  if (!digits) return false;
  if (*p == 'e' || *p == 'E') {
    ++p;
    if (*p == '+' || *p == '-') ++p;
    if (!IsDigit(*p)) return false;
    while (IsDigit(*p)) ++p;
  }
  return *p == '\0';
}

void ToDouble(std::uint8_t raw, const std::string& text) {
  // Bounds 0 and 0 as every caller passes, or a range.
  const bool ranged = (raw & 1) != 0;
  const double min = ranged ? -static_cast<double>(raw) : 0.0;
  const double max = ranged ? static_cast<double>(raw) * 3 : 0.0;
  double out = 12345.0;
  const bool ok = Corvus::Yarn_To_Double(text.c_str(), min, max, &out);
  if (!IsDoubleForm(text.c_str())) {
    FUZZ_CHECK(!ok);
    FUZZ_CHECK(out == 12345.0);
    return;
  }
  errno = 0;
  const double reference = std::strtod(text.c_str(), nullptr);
  const bool overflow = errno == ERANGE && std::isinf(reference);
  const bool tiny = errno == ERANGE && !overflow;
  const bool in_range = !ranged || (reference >= min && reference <= max) || (tiny && min <= 0);
  if (overflow || (ranged && std::isnan(reference)) || !in_range) {
    // Too large for a double, or outside the bounds: refused, out untouched.
    FUZZ_CHECK(!ok);
    FUZZ_CHECK(out == 12345.0);
    return;
  }
  FUZZ_CHECK(ok);
  if (std::isnan(reference)) {
    FUZZ_CHECK(std::isnan(out));
  } else if (tiny || std::fabs(reference) < DBL_MIN) {
    FUZZ_CHECK(out == reference || out == 0.0);  // 0 or the denormal
  } else {
    FUZZ_CHECK(out == reference);
  }
}

void ToInt(std::uint8_t raw, const std::string& text) {
  const bool ranged = (raw & 1) != 0;
  const int min = ranged ? -static_cast<int>(raw) : 0;
  const int max = ranged ? static_cast<int>(raw) * 3 : 0;
  const char* p = text.c_str();
  if (*p == '+' || *p == '-') ++p;
  bool form = IsDigit(*p);
  while (IsDigit(*p)) ++p;
  form = form && *p == '\0';
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
  // Two texts: split the input at its middle.
  const std::size_t middle = text.size() * raw / 256;
  const std::string a = text.substr(0, middle);
  const std::string b = text.substr(middle);
  switch (selector % 5) {
    case 0:
      FUZZ_CHECK(Corvus::Yarn_Compare_L(a.c_str(), b.c_str()) == (a == b));
      FUZZ_CHECK(Corvus::Yarn_Compare_L(a.c_str(), a.c_str()));
      break;
    case 1:
      FUZZ_CHECK(Corvus::Yarn_Find_SubString_L(a.c_str(), b.c_str()) ==
                 (a.find(b) != std::string::npos));
      break;
    case 2: {
      std::vector<char> buffer(a.size() + b.size() + 1);
      std::memcpy(buffer.data(), a.c_str(), a.size() + 1);
      FUZZ_CHECK(Corvus::Yarn_Cat(buffer.data(), b.c_str()) == buffer.data());
      FUZZ_CHECK(std::string(buffer.data()) == a + b);
      break;
    }
    case 3: {
      std::vector<char> buffer(a.begin(), a.end());
      buffer.push_back('\0');
      Corvus::Yarn_Remove(buffer.data(), b.c_str());
      std::string expected = a;
      const std::size_t last = b.empty() ? std::string::npos : a.rfind(b);
      if (last != std::string::npos) expected.erase(last, b.size());
      FUZZ_CHECK(std::string(buffer.data()) == expected);
      break;
    }
    default: {
      std::vector<char> buffer(text.begin(), text.end());
      buffer.push_back('\0');
      Corvus::Yarn_Remove_Bracket(buffer.data());
      std::string expected = text;
      while (!expected.empty() && (expected.back() == '\r' || expected.back() == '\n')) {
        expected.pop_back();
      }
      if (!expected.empty() && expected.back() == '>') expected.pop_back();
      if (!expected.empty() && expected.front() == '<') expected.erase(0, 1);
      FUZZ_CHECK(std::string(buffer.data()) == expected);
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const char* body = reinterpret_cast<const char*>(data + 2);
  const std::string text(body, strnlen(body, size - 2));
  const std::uint8_t selector = data[0];
  switch (selector % 4) {
    case 0:
      Split(static_cast<std::uint8_t>(selector / 4), data[1], text);
      break;
    case 1:
      ToDouble(data[1], text);
      break;
    case 2:
      ToInt(data[1], text);
      break;
    default:
      Others(static_cast<std::uint8_t>(selector / 4), data[1], text);
      break;
  }
  return 0;
}
