// BCD float: seven decimal digits and a signed one-digit exponent in two
// PLC words. Both directions are exact to the last bit of the float, so
// digits are cut (never rounded) and decoding rounds after every digit.
#include <cmath>
#include <cstring>

#include "codec/codec.h"

namespace kiv {
namespace {

// Nibble of W that holds each of the digits d1 .. d7.
constexpr int kDigitShift[7] = {8, 4, 0, 28, 24, 20, 16};

}  // namespace

int EncodeBcdFloat(float value, uint32_t* word) {
  const double x = value;
  if (std::isnan(x) || x < -1e-14) return 1;
  if (x < 1e-14) {  // small negatives and -0 encode as zero
    *word = 0;
    return 0;
  }
  // glibc's log10 is exact for the powers of ten 1 .. 1e7, which keeps m
  // below 1 for every single-precision input.
  const double e = std::log10(x) + 1.0;
  if (e >= 8.0) return 1;  // 1e7 or more, or infinite
  int n = e >= 0 ? static_cast<int>(e) : static_cast<int>(e) - 1;
  if (n < -7) n = -7;
  const float m = static_cast<float>(x / std::pow(10.0, n));

  uint32_t w = 0;
  int magnitude = n;
  if (n < 0) {
    w |= 0x8000u;
    magnitude = -n;
  }
  w |= static_cast<uint32_t>(magnitude) << 12;

  // Seven digits cut off, never rounded; the products are exact in double.
  double r = std::fmod(10.0 * m, 10.0);
  for (int i = 0; i < 7; ++i) {
    if (i > 0) r = std::fmod(10.0 * r, 10.0);
    const uint32_t digit = static_cast<uint32_t>(r);
    w |= digit << kDigitShift[i];
  }
  *word = w;
  return 0;
}

uint32_t DecodeBcdFloat(uint32_t word) {
  const int magnitude = static_cast<int>((word >> 12) & 0x7);
  const int exponent = (word & 0x8000u) ? -magnitude : magnitude;
  static constexpr double kScale[7] = {0.1, 0.01, 0.001, 0.0001, 0.00001, 0.000001, 0.0000001};
  uint32_t digits[7];
  for (int i = 0; i < 7; ++i) {
    digits[i] = (word >> kDigitShift[i]) & 0xF;
    if (digits[i] > 9) return kInvalidBcdFloat;
  }
  // Single-precision accumulation, rounded after every digit.
  float f = static_cast<float>(digits[0] * kScale[0]);
  for (int i = 1; i < 7; ++i) f = static_cast<float>(digits[i] * kScale[i] + f);
  const float result = static_cast<float>(std::pow(10.0, exponent) * f);
  uint32_t bits;
  std::memcpy(&bits, &result, sizeof bits);
  return bits;
}

}  // namespace kiv
