// Hexadecimal fields of the data texts, read and written without the C
// library's formatted I/O so that nothing on the transaction path allocates,
// depends on the locale, or reads beyond the reply.
#include "codec/codec.h"

namespace kiv {

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
