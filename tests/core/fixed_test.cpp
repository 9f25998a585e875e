// The six-decimal number text of requests: every double must come out as
// "%f" writes it, on the fast integer path and on the general one alike.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/command.h"

namespace {

std::string Printf(double value) {
  char text[400];
  std::snprintf(text, sizeof text, "%f", value);
  return text;
}

std::string Written(double value) {
  char text[400];
  char* end = kestrel::write_fixed(text, text + sizeof text, value);
  return std::string(text, static_cast<std::size_t>(end - text));
}

double FromBits(std::uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Edge cases, then random values of four kinds.
TEST(FixedText, EveryValueMatchesPrintf) {
  std::vector<double> values = {
      0.0, -0.0, 1.0, -1.0, 0.5, 2.5, -0.125, 1024.5, 768.25,
      // Exact ties at the seventh decimal round to even.
      0.0078125, 0.0234375, -0.0078125, 1.0000005000000000138, 0.0000005, 0.0000015, 0.0000025,
      0.9999995, 0.99999949999, 999999.9999995, -999999.9999995,
      // Below half a millionth, and tiny: zero with its sign.
      4.9e-7, -4.9e-7, 5e-324, -5e-324, 2.2250738585072014e-308, 1e-300, -1e-300,
      // Around the end of the fast path and beyond it.
      8796093022207.9999995, 8796093022207.99, -8796093022207.75, 8796093022208.0,
      18446744073709.551, 4503599627370495.5, 4503599627370496.0, -4503599627370497.0,
      9007199254740993.0, 1e16, 1e22, 1.7976931348623157e308, -1.7976931348623157e308,
      std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
  std::mt19937_64 random(20261206);
  std::uniform_real_distribution<double> coordinate(-5000.0, 5000.0);
  std::uniform_int_distribution<int> exponent(-60, 60);
  for (int i = 0; i < 300000; ++i) {
    const double c = coordinate(random);
    const double bits = FromBits(random());
    // A coordinate, one given to a few decimals as callers write them, a
    // scaled one, any finite double.
    const double kinds[] = {c, std::round(c * 1000.0) / 1000.0, std::ldexp(c, exponent(random)),
                            std::isfinite(bits) ? bits : 0.25};
    values.push_back(kinds[i % 4]);
  }
  int mismatches = 0;
  for (const double value : values) {
    const std::string written = Written(value);
    if (written != Printf(value) && ++mismatches <= 10)
      ADD_FAILURE() << std::hexfloat << value << ": " << written << " != " << Printf(value);
  }
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
