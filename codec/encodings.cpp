// Value encodings: BCD float, long BCD, and the bounded hex text helpers.
#include <cmath>
#include <cstring>

#include "codec/codec.h"

namespace kiv {
namespace {

constexpr uint32_t kLongBcdMax = 99999999u;

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
  static constexpr int kShift[7] = {8, 4, 0, 28, 24, 20, 16};  // d1 .. d7
  double r = std::fmod(10.0 * m, 10.0);
  for (int i = 0; i < 7; ++i) {
    if (i > 0) r = std::fmod(10.0 * r, 10.0);
    const uint32_t digit = static_cast<uint32_t>(r);
    w |= digit << kShift[i];
  }
  *word = w;
  return 0;
}

uint32_t DecodeBcdFloat(uint32_t word) {
  const int magnitude = static_cast<int>((word >> 12) & 0x7);
  const int exponent = (word & 0x8000u) ? -magnitude : magnitude;
  static constexpr int kShift[7] = {8, 4, 0, 28, 24, 20, 16};
  static constexpr double kScale[7] = {0.1, 0.01, 0.001, 0.0001, 0.00001, 0.000001, 0.0000001};
  uint32_t digits[7];
  for (int i = 0; i < 7; ++i) {
    digits[i] = (word >> kShift[i]) & 0xF;
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

bool EncodeLongBcd(uint32_t value, uint32_t* word) {
  if (value > kLongBcdMax) return false;
  // Eight decimal digits, one per nibble, most significant on top.
  uint32_t bcd = 0;
  for (int shift = 0; shift < 32; shift += 4) {
    bcd |= (value % 10) << shift;
    value /= 10;
  }
  *word = HalfExchange(bcd);
  return true;
}

bool DecodeLongBcd(uint32_t word, uint32_t* value) {
  const uint32_t bcd = HalfExchange(word);
  uint32_t result = 0;
  for (int shift = 28; shift >= 0; shift -= 4) {
    const uint32_t digit = (bcd >> shift) & 0xF;
    if (digit > 9) return false;
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

bool ReadHexField(const char* text, const char* end, int max_digits, uint32_t* value) {
  const char* p = text;
  while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
  uint32_t result = 0;
  int digits = 0;
  for (; p < end && digits < max_digits; ++p, ++digits) {
    const char c = *p;
    uint32_t nibble;
    if (c >= '0' && c <= '9') nibble = static_cast<uint32_t>(c - '0');
    else if (c >= 'A' && c <= 'F') nibble = static_cast<uint32_t>(c - 'A' + 10);
    else if (c >= 'a' && c <= 'f') nibble = static_cast<uint32_t>(c - 'a' + 10);
    else break;
    result = (result << 4) | nibble;
  }
  if (digits == 0) return false;
  *value = result;
  return true;
}

void WriteHex(char* out, uint32_t value, int digits) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (int i = digits - 1; i >= 0; --i) {
    out[i] = kHex[value & 0xF];
    value >>= 4;
  }
}

}  // namespace kiv
