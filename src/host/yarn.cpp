#include "host/yarn.h"

#include <charconv>
#include <cstring>
#include <system_error>

namespace Corvus {

namespace yarn_detail {

bool separate(const char* text, char separator, Out* outs, int count) {
  // Find where every part begins before anything is written: the last
  // output may be the text itself.
  const char* begin[5];
  std::size_t length[5];
  const char* cursor = text;
  bool exhausted = false;
  for (int i = 0; i < count; ++i) {
    if (exhausted) {
      begin[i] = cursor;
      length[i] = 0;
      continue;
    }
    begin[i] = cursor;
    if (i == count - 1) {
      length[i] = std::strlen(cursor);
      break;
    }
    const char* next = std::strchr(cursor, separator);
    if (next == nullptr) {
      length[i] = std::strlen(cursor);
      cursor += length[i];
      exhausted = true;
    } else {
      length[i] = static_cast<std::size_t>(next - cursor);
      cursor = next + 1;
    }
  }
  bool fitted = true;
  for (int i = 0; i < count; ++i) {
    std::size_t n = length[i];
    if (n + 1 > outs[i].capacity) {
      n = outs[i].capacity - 1;
      fitted = false;
    }
    std::memmove(outs[i].text, begin[i], n);
    outs[i].text[n] = '\0';
  }
  return fitted;
}

}  // namespace yarn_detail

namespace {

// For a number text in plain or exponent form: true when its magnitude is
// below 1, judged from where its first significant digit stands against the
// point and from the exponent (not from the exponent's sign alone: a long
// mantissa can outweigh a negative exponent, and a long run of zeros after
// the point needs no exponent).
bool below_one(const char* first, const char* last) {
  long long position = 0;  // 10^position bounds the mantissa from above
  bool significant = false;
  bool point = false;
  const char* p = first;
  for (; p < last && ((*p >= '0' && *p <= '9') || *p == '.'); ++p) {
    if (*p == '.') {
      point = true;
    } else if (significant || *p != '0') {
      significant = true;
      if (!point) ++position;
    } else if (point) {
      --position;
    }
  }
  long long exponent = 0;  // saturates: only its side of zero matters beyond that
  if (p < last && (*p == 'e' || *p == 'E')) {
    ++p;
    const bool negative = p < last && *p == '-';
    if (p < last && (*p == '+' || *p == '-')) ++p;
    for (; p < last; ++p) {
      if (exponent < 1000000) exponent = exponent * 10 + (*p - '0');
    }
    if (negative) exponent = -exponent;
  }
  return position + exponent <= 0;
}

bool in_range(double value, double min, double max) {
  if (min == 0.0 && max == 0.0) return true;
  return value >= min && value <= max;
}

}  // namespace

bool Yarn_To_Double(const char* text, double min, double max, double* out) {
  if (text == nullptr || out == nullptr) return false;
  const char* first = text;
  const char* last = text + std::strlen(text);
  bool negative = false;
  if (first < last && (*first == '+' || *first == '-')) {
    negative = *first == '-';
    ++first;
  }
  if (first == last || *first == '+' || *first == '-') return false;
  // Digits or a point must come first: this refuses "nan", "inf",
  // "infinity" and NaN payloads ("nan(1)"), which from_chars would take.
  if (!((*first >= '0' && *first <= '9') || *first == '.')) return false;
  double value = 0.0;
  auto result = std::from_chars(first, last, value, std::chars_format::general);
  if (result.ptr != last) return false;
  if (result.ec == std::errc::result_out_of_range) {
    // Too small underflows to zero; too large is no double.
    if (!below_one(first, last)) return false;
    value = 0.0;
  } else if (result.ec != std::errc()) {
    return false;
  }
  if (negative) value = -value;
  if (!in_range(value, min, max)) return false;
  *out = value;
  return true;
}

bool Yarn_To_Int(const char* text, int min, int max, int* out) {
  if (text == nullptr || out == nullptr) return false;
  const char* first = text;
  const char* last = text + std::strlen(text);
  if (first < last && *first == '+') {
    ++first;
    if (first < last && *first == '-') return false;
  }
  if (first == last) return false;
  int value = 0;
  auto result = std::from_chars(first, last, value, 10);
  if (result.ec != std::errc() || result.ptr != last) return false;
  if (!(min == 0 && max == 0) && (value < min || value > max)) return false;
  *out = value;
  return true;
}

bool Yarn_Compare_L(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return std::strcmp(a, b) == 0;
}

bool Yarn_Find_SubString_L(const char* text, const char* part) {
  if (text == nullptr || part == nullptr) return false;
  return std::strstr(text, part) != nullptr;
}

char* Yarn_Cat(char* destination, const char* source) {
  return std::strcat(destination, source);
}

void Yarn_Remove(char* text, const char* part) {
  if (text == nullptr || part == nullptr || *part == '\0') return;
  std::size_t part_length = std::strlen(part);
  char* found = nullptr;
  for (char* p = std::strstr(text, part); p != nullptr; p = std::strstr(p + 1, part)) found = p;
  if (found == nullptr) return;
  std::memmove(found, found + part_length, std::strlen(found + part_length) + 1);
}

void Yarn_Remove_Bracket(char* text) {
  if (text == nullptr) return;
  std::size_t length = std::strlen(text);
  while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) --length;
  if (length > 0 && text[length - 1] == '>') --length;
  std::size_t start = (length > 0 && text[0] == '<') ? 1 : 0;
  std::memmove(text, text + start, length - start);
  text[length - start] = '\0';
}

}  // namespace Corvus
