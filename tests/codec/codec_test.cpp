// The 32-bit encodings, to the last bit, and the hex text helpers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "codec/codec.h"

namespace {

using kiv::DecodeBcdFloat;
using kiv::EncodeBcdFloat;

uint32_t Bits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, 4);
  return bits;
}
float FromBits(uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, 4);
  return value;
}

// The exponent n that a BCD float word carries (value = 0.d1..d7 x 10^n).
int ExponentOf(uint32_t word) {
  const int magnitude = int((word >> 12) & 7);
  return word & 0x8000 ? -magnitude : magnitude;
}

TEST(BcdFloat, EncodesAsDocumented) {
  struct Row {
    float value;
    uint32_t word;
  } rows[] = {
      {0.0f, 0x00000000},        {1e-15f, 0x00000000},     {-1e-15f, 0x00000000}, {-0.0f, 0x00000000},
      {1.0f, 0x00001100},        {10.0f, 0x00002100},      {100.0f, 0x00003100},  {0.5f, 0x00000500},
      {0.1f, 0x00000100},        {123.456f, 0x45603123},   {0.001f, 0x0000A100},
      {99.99f, 0x89992999},      // 99.98999786...: cut off, not rounded
      {9999999.0f, 0x99987999},  // m rounds to 0.99999988 in single precision
      {5e-9f, 0x0000F050},       {1e-8f, 0x0000F100},      {2e-14f, 0x0002F000},
      {65535.0f, 0x35005655},    {67812.34375f, 0x12345678},
  };
  for (const Row& row : rows) {
    uint32_t word = 0xDEADBEEF;
    EXPECT_EQ(EncodeBcdFloat(row.value, &word), 0) << row.value;
    EXPECT_EQ(word, row.word) << row.value << " gave " << std::hex << word;
  }
}

TEST(BcdFloat, RefusesWhatItCannotHoldAndLeavesTheWordAlone) {
  for (float value : {1.0e7f, 12345678.0f, std::nextafter(1.0e7f, 0.0f) + 1.0f, -5.0f, -2e-14f,
                      std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
                      std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                      std::numeric_limits<float>::max(), std::numeric_limits<float>::lowest()}) {
    uint32_t word = 0xDEADBEEF;
    EXPECT_EQ(EncodeBcdFloat(value, &word), 1) << value;
    EXPECT_EQ(word, 0xDEADBEEFu);
  }
}

TEST(BcdFloat, ExactPowersOfTenKeepTheirLeadingDigit) {
  // The encoder needs log10 to be exact at powers of ten; otherwise 10^k
  // encodes as all-zero digits and 1e7 slips through.
  for (int k = 0; k <= 7; ++k) EXPECT_EQ(std::log10(std::pow(10.0, k)), double(k)) << k;
  for (int k = 0; k < 7; ++k) {
    uint32_t word = 0;
    ASSERT_EQ(EncodeBcdFloat(float(std::pow(10.0, k)), &word), 0);
    EXPECT_EQ(word, uint32_t(k + 1) << 12 | 0x100u) << "1e" << k << " must be 0.1000000 x 10^" << k + 1;
  }
  uint32_t word = 0;
  EXPECT_EQ(EncodeBcdFloat(1.0e7f, &word), 1);
}

TEST(BcdFloat, DecodesWithSinglePrecisionAccumulation) {
  struct Row {
    uint32_t word;
    uint32_t bits;
  } rows[] = {
      {0x00001100, Bits(1.0f)},    {0x45603123, 0x42F6E979},  {0x0000A100, 0x3A83126F},
      {0x35005655, 0x477FFF01},    {0x99987999, Bits(9999997.0f)}, {0x12345678, Bits(67812.34375f)},
      {0x00008100, Bits(0.1f)},    {0x0000F000, 0},           {0x00000000, 0},
      {0xA0000000, 0xFFFFFFFF},    {0x00000A00, 0xFFFFFFFF},
  };
  for (const Row& row : rows) EXPECT_EQ(DecodeBcdFloat(row.word), row.bits) << std::hex << row.word;
}

TEST(BcdFloat, AnyDigitAboveNineIsInvalidAndTheExponentNeverIs) {
  const int digit_shifts[] = {8, 4, 0, 28, 24, 20, 16};
  for (int shift : digit_shifts) {
    for (uint32_t nibble = 10; nibble <= 15; ++nibble) {
      EXPECT_EQ(DecodeBcdFloat((0x45603123 & ~(0xFu << shift)) | nibble << shift), kiv::kInvalidBcdFloat)
          << "nibble at bit " << shift << " = " << nibble;
    }
  }
  for (uint32_t exponent = 0; exponent <= 15; ++exponent) {
    EXPECT_NE(DecodeBcdFloat(0x45600123 | exponent << 12), kiv::kInvalidBcdFloat) << exponent;
  }
}

// Encoding then decoding, over random bit patterns of the whole float range.
//
// Bound: let n be the word's exponent and u = 10^(n-7), one unit of the
// seventh mantissa digit. Cutting the digits loses less than u. Each
// single-precision rounding of a mantissa below 1 moves it at most 2^-25,
// in value 2^-25 x 10^n: once for m, once per accumulation step (seven);
// the final product below 10^n moves at most twice that. So the decoded
// value lies in [x - (1e-7 + 10 x 2^-25) 10^n, x + 10 x 2^-25 x 10^n],
// about 4 units below and 3 above. One unit is not enough: 9999999 comes
// back as 9999997.
TEST(BcdFloat, RoundTripStaysWithinTheDerivedBoundAndRefusalsAreExact) {
  std::mt19937 random(20261210);
  const double rounding = 10 * std::ldexp(1.0, -25);
  int accepted = 0;
  for (int i = 0; i < 600000; ++i) {
    uint32_t bits = random();
    // Half of the draws go to the representable range so that it is covered
    // densely; the rest span every pattern, NaNs and infinities included.
    if (i % 2 == 0) bits = Bits(float(std::pow(10.0, std::uniform_real_distribution<double>(-14.5, 7.2)(random))));
    const float value = FromBits(bits);
    const double x = value;
    const bool representable = !std::isnan(value) && x >= -1e-14 && x < 1e7;
    uint32_t word = 0xDEADBEEF;
    const int result = EncodeBcdFloat(value, &word);
    ASSERT_EQ(result, representable ? 0 : 1) << value;
    if (!representable) {
      ASSERT_EQ(word, 0xDEADBEEFu);
      continue;
    }
    if (x < 1e-14) {
      ASSERT_EQ(word, 0u) << value;
      continue;
    }
    ++accepted;
    const int n = ExponentOf(word);
    // The exponent normalises the mantissa to 0.1 <= m < 1 down to 10^-7.
    ASSERT_LT(x, std::pow(10.0, n)) << value;
    if (n > -7) {
      ASSERT_GE(x, std::pow(10.0, n - 1)) << value;
    }
    const uint32_t back_bits = DecodeBcdFloat(word);
    ASSERT_NE(back_bits, kiv::kInvalidBcdFloat) << value;
    const double back = FromBits(back_bits);
    const double scale = std::pow(10.0, n) * (1 + 1e-12);
    ASSERT_GE(back, x - (1e-7 + rounding) * scale) << value << " word " << std::hex << word;
    ASSERT_LE(back, x + rounding * scale) << value << " word " << std::hex << word;
    // A decoded value is always one the encoder takes again.
    uint32_t again;
    ASSERT_EQ(EncodeBcdFloat(float(back), &again), 0) << back;
  }
  EXPECT_GT(accepted, 250000);
}

TEST(BcdFloat, EveryValidWordDecodesToAnEncodableValue) {
  std::mt19937 random(7);
  for (int i = 0; i < 200000; ++i) {
    uint32_t word = 0;
    for (int shift = 0; shift < 32; shift += 4) word |= uint32_t(random() % 10) << shift;
    word = (word & ~0xF000u) | (random() & 0xF000u);  // any exponent nibble
    if (i == 0) word = 0x99997999;                     // the largest value
    const uint32_t bits = DecodeBcdFloat(word);
    ASSERT_NE(bits, kiv::kInvalidBcdFloat) << std::hex << word;
    const float value = FromBits(bits);
    ASSERT_GE(value, 0.0f);
    ASSERT_LT(value, 1e7f);
    uint32_t again;
    ASSERT_EQ(EncodeBcdFloat(value, &again), 0) << std::hex << word;
  }
}

// The long BCD word the textual steps produce: "%08u", read back with
// "%8x", halves exchanged.
uint32_t LongBcdByText(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08u", value);
  unsigned bcd = 0;
  std::sscanf(text, "%8x", &bcd);
  return kiv::HalfExchange(bcd);
}

TEST(LongBcd, BoundariesBothWays) {
  struct Row {
    uint32_t value;
    bool fits;
    uint32_t word;
  } rows[] = {
      {0, true, 0x00000000},        {1, true, 0x00010000},        {1234, true, 0x12340000},
      {9999, true, 0x99990000},     {10000, true, 0x00000001},    {12345678, true, 0x56781234},
      {99999999, true, 0x99999999}, {100000000, false, 0},        {0xFFFFFFFF, false, 0},
      {0x80000000, false, 0},       {0x7FFFFFFF, false, 0},
  };
  for (const Row& row : rows) {
    uint32_t word = 0xDEADBEEF;
    EXPECT_EQ(kiv::EncodeLongBcd(row.value, &word), row.fits) << row.value;
    if (!row.fits) {
      EXPECT_EQ(word, 0xDEADBEEFu) << row.value;
      continue;
    }
    EXPECT_EQ(word, row.word) << row.value;
    uint32_t back = 0;
    ASSERT_TRUE(kiv::DecodeLongBcd(word, &back));
    EXPECT_EQ(back, row.value);
  }
  EXPECT_EQ(kiv::HalfExchange(0x12345678), 0x56781234u);
}

TEST(LongBcd, MatchesTheTextualStepsAndRefusesEveryNonDecimalNibble) {
  std::mt19937 random(3);
  for (int i = 0; i < 100000; ++i) {
    const uint32_t value = random() % 100000000u;
    uint32_t word = 0;
    ASSERT_TRUE(kiv::EncodeLongBcd(value, &word));
    ASSERT_EQ(word, LongBcdByText(value)) << value;
    uint32_t back = 0;
    ASSERT_TRUE(kiv::DecodeLongBcd(word, &back));
    ASSERT_EQ(back, value);
  }
  for (int shift = 0; shift < 32; shift += 4) {
    for (uint32_t nibble = 10; nibble <= 15; ++nibble) {
      uint32_t value = 0xDEADBEEF;
      EXPECT_FALSE(kiv::DecodeLongBcd((0x56781234 & ~(0xFu << shift)) | nibble << shift, &value))
          << "nibble at bit " << shift;
      EXPECT_EQ(value, 0xDEADBEEFu);
    }
  }
}

TEST(HexText, WriteHexIsTheUpperCaseZeroPaddedForm) {
  std::mt19937 random(5);
  for (int i = 0; i < 30000; ++i) {
    const uint32_t value = i < 3 ? uint32_t(i) * 0x7FFFFFFFu : uint32_t(random());
    for (int digits : {2, 4, 8}) {
      const uint32_t shown = digits == 8 ? value : value & ((1u << 4 * digits) - 1);
      char expected[16];
      std::snprintf(expected, sizeof expected, "%0*X", digits, shown);
      char out[16];
      std::memset(out, '#', sizeof out);
      kiv::WriteHex(out, shown, digits);
      ASSERT_EQ(std::string(out, size_t(digits)), expected);
      ASSERT_EQ(out[digits], '#') << "writes exactly the digits";
    }
  }
}

TEST(HexText, ReadHexFieldIsPermissiveButBounded) {
  struct Row {
    const char* text;
    int length;  // characters of data the reader may see
    int digits;
    bool ok;
    uint32_t value;
  } rows[] = {
      {"1234", 4, 4, true, 0x1234}, {"12G4", 4, 4, true, 0x12}, {"  12", 4, 4, true, 0x12},
      {"\t\r\n1", 4, 4, true, 0x1}, {"abCD", 4, 4, true, 0xABCD}, {"G123", 4, 4, false, 0},
      {"    ", 4, 4, false, 0},     {"", 0, 4, false, 0},       {"123456789", 9, 8, true, 0x12345678},
      {"-123", 4, 4, false, 0},     {"+123", 4, 4, false, 0},   {"0x12", 4, 4, true, 0},
      // Near the end of the data only the data counts, whatever follows it.
      {"1234", 2, 4, true, 0x12},   {"  34", 2, 4, false, 0},   {"1234", 0, 4, false, 0},
  };
  for (const Row& row : rows) {
    uint32_t value = 0xDEADBEEF;
    EXPECT_EQ(kiv::ReadHexField(row.text, row.text + row.length, row.digits, &value), row.ok) << row.text;
    EXPECT_EQ(value, row.ok ? row.value : 0xDEADBEEFu) << row.text;
  }
}

TEST(HexText, ReadHexFieldAgreesWithTheScanfForm) {
  // Over characters where the C library's "%X" has no sign or prefix to
  // accept, the reader gives what a bounded sscanf gives.
  const char alphabet[] = "0123456789abcdefABCDEFGz \t\n";
  std::mt19937 random(9);
  for (int i = 0; i < 50000; ++i) {
    std::string field(random() % 11, ' ');
    for (char& c : field) c = alphabet[random() % (sizeof alphabet - 1)];
    for (int digits : {2, 4, 8}) {
      char format[8];
      std::snprintf(format, sizeof format, "%%%dX", digits);
      unsigned expected = 0;
      const bool scanned = std::sscanf(field.c_str(), format, &expected) == 1;
      uint32_t value = 0;
      const bool read = kiv::ReadHexField(field.data(), field.data() + field.size(), digits, &value);
      ASSERT_EQ(read, scanned) << '"' << field << "\" " << digits;
      if (read) {
        ASSERT_EQ(value, expected) << '"' << field << "\" " << digits;
      }
    }
  }
}

}  // namespace
