// codec: value encodings of 32-bit values in two PLC words, and the
// bounded hexadecimal text reading and writing of the data texts.
//
// All pure functions; nothing logs, nothing keeps state.
#pragma once

#include <cstdint>

namespace kiv {

// Exchanges the 16-bit halves: the first PLC word carries the low half.
constexpr uint32_t HalfExchange(uint32_t value) { return (value << 16) | (value >> 16); }

// BCD float: 0 after writing *word; 1 when the value cannot be represented
// (below -1e-14, 1e7 or more, NaN, infinite), *word untouched.
int EncodeBcdFloat(float value, uint32_t* word);
// The float's bit pattern, or 0xFFFFFFFF when a digit nibble is above 9.
uint32_t DecodeBcdFloat(uint32_t word);
inline constexpr uint32_t kInvalidBcdFloat = 0xFFFFFFFFu;

// Long BCD: value 0..99999999 to the data word W (halves exchanged).
// False on overflow.
bool EncodeLongBcd(uint32_t value, uint32_t* word);
// Data word W back to the value; false when a digit is not decimal.
bool DecodeLongBcd(uint32_t word, uint32_t* value);

// Reads a hexadecimal field the permissive way: skip leading white space,
// then up to max_digits hex digits (either case), stopping at the first
// other character. Never reads at or past end. False when no digit is read.
bool ReadHexField(const char* text, const char* end, int max_digits, uint32_t* value);

// Writes value as exactly `digits` upper-case hex digits (no NUL).
void WriteHex(char* out, uint32_t value, int digits);

}  // namespace kiv
