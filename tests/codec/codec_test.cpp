// The 32-bit encodings, to the last bit, and the hex field reader.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

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
      {65535.0f, 0x35005655},
  };
  for (const Row& row : rows) {
    uint32_t word = 0xDEADBEEF;
    EXPECT_EQ(EncodeBcdFloat(row.value, &word), 0) << row.value;
    EXPECT_EQ(word, row.word) << row.value << " gave " << std::hex << word;
  }
}

TEST(BcdFloat, RefusesWhatItCannotHoldAndLeavesTheWordAlone) {
  for (float value : {1.0e7f, 12345678.0f, -5.0f, -2e-14f, std::numeric_limits<float>::quiet_NaN(),
                      std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()}) {
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
    EXPECT_EQ((word >> 8) & 0xF, 1u) << "d1 of 1e" << k;
    EXPECT_EQ((word >> 12) & 0x7, uint32_t(k + 1));
  }
}

TEST(BcdFloat, DecodesWithSinglePrecisionAccumulation) {
  struct Row {
    uint32_t word;
    uint32_t bits;
  } rows[] = {
      {0x00001100, Bits(1.0f)},    {0x45603123, 0x42F6E979},  {0x0000A100, 0x3A83126F},
      {0x35005655, 0x477FFF01},    {0x99987999, Bits(9999997.0f)}, {0x12345678, Bits(67812.34375f)},
      {0x00008100, Bits(0.1f)},    {0x0000F000, 0},           {0x00000000, 0},
      {0xA0000000, 0xFFFFFFFF},    {0x00000A00, 0xFFFFFFFF},  {0x000F0000, 0xFFFFFFFF},
  };
  for (const Row& row : rows) EXPECT_EQ(DecodeBcdFloat(row.word), row.bits) << std::hex << row.word;
}

TEST(BcdFloat, RoundTripStaysWithinSevenDigits) {
  std::mt19937 random(42);
  std::uniform_real_distribution<double> exponent(-13.5, 6.99);
  for (int i = 0; i < 100000; ++i) {
    const float value = float(std::pow(10.0, exponent(random)));
    uint32_t word;
    ASSERT_EQ(EncodeBcdFloat(value, &word), 0) << value;
    const float back = FromBits(DecodeBcdFloat(word));
    // Seven significant digits cut off (fewer below 1e-8, where leading
    // zeros take places), plus single-precision rounding in the decoder.
    const double digits = value < 1e-8 ? std::floor(std::log10(value)) + 15 : 7;
    const double tolerance = value * 2 * std::pow(10.0, -digits + 1) + 1e-14;
    ASSERT_NEAR(back, value, tolerance) << value << " word " << std::hex << word;
    ASSERT_LE(back, value * (1 + 1e-6)) << "digits are cut, never rounded up";
  }
}

TEST(LongBcd, BoundariesBothWays) {
  struct Row {
    uint32_t value;
    bool fits;
    uint32_t word;
  } rows[] = {
      {0, true, 0x00000000},        {1, true, 0x00010000},           {1234, true, 0x12340000},
      {12345678, true, 0x56781234}, {99999999, true, 0x99999999},    {100000000, false, 0},
      {0xFFFFFFFF, false, 0},       {0x80000000, false, 0},
  };
  for (const Row& row : rows) {
    uint32_t word = 0xDEADBEEF;
    EXPECT_EQ(kiv::EncodeLongBcd(row.value, &word), row.fits) << row.value;
    if (!row.fits) continue;
    EXPECT_EQ(word, row.word) << row.value;
    uint32_t back = 0;
    ASSERT_TRUE(kiv::DecodeLongBcd(word, &back));
    EXPECT_EQ(back, row.value);
  }
  uint32_t value;
  EXPECT_FALSE(kiv::DecodeLongBcd(0x5678123A, &value));
  EXPECT_EQ(kiv::HalfExchange(0x12345678), 0x56781234u);
}

TEST(HexField, PermissiveButBounded) {
  struct Row {
    const char* text;
    int length;  // characters of data the reader may see
    int digits;
    bool ok;
    uint32_t value;
  } rows[] = {
      {"1234", 4, 4, true, 0x1234}, {"12G4", 4, 4, true, 0x12}, {"  12", 4, 4, true, 0x12},
      {"abCD", 4, 4, true, 0xABCD}, {"G123", 4, 4, false, 0},   {"1234", 2, 4, true, 0x12},
      {"    ", 4, 4, false, 0},     {"", 0, 4, false, 0},       {"123456789", 9, 8, true, 0x12345678},
      {"-123", 4, 4, false, 0},
  };
  for (const Row& row : rows) {
    uint32_t value = 0;
    EXPECT_EQ(kiv::ReadHexField(row.text, row.text + row.length, row.digits, &value), row.ok) << row.text;
    if (row.ok) {
      EXPECT_EQ(value, row.value) << row.text;
    }
  }
}

}  // namespace
