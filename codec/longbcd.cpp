// Long BCD: eight decimal digits, one per nibble, in two PLC words with the
// low-order four digits in the first word.
#include "codec/codec.h"

namespace kiv {
namespace {

constexpr uint32_t kLongBcdMax = 99999999u;

}  // namespace

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

}  // namespace kiv
