// The address text parser: fixed-column gate addresses into PlcAddress.
#include <cstring>

#include "address/address.h"
#include "host/host.h"

namespace kiv {
namespace {

// The working copy holds 31 characters; nothing beyond position 10 can be
// accepted, so a longer text is refused at position 10 like any other.
constexpr int kWorkingSize = 31;
constexpr int kMinLength = 8;

const char* const kAllowed[9] = {
    "0123456789",           "0123456789", "ILHVTASED0123456789", "0123456789RW", "0123456789 ",
    "0123456789 FL",        "0123456789 FLSB", "0123456789 FL", "0123456789 ",
};

class WorkingCopy {
 public:
  explicit WorkingCopy(const char* text) {
    const char* source = text ? text : "";
    while (length_ < kWorkingSize && source[length_] != '\0') {
      char c = source[length_];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      text_[length_++] = c;
    }
    while (length_ < kMinLength) text_[length_++] = ' ';
    text_[length_] = '\0';
  }

  int length() const { return length_; }
  const char* c_str() const { return text_; }
  // Character at position p (counted from 1); NUL past the end.
  char at(int p) const { return p >= 1 && p <= length_ ? text_[p - 1] : '\0'; }
  bool blank(int p) const { return at(p) == ' '; }

  // The number at position p, at most `width` digits, blanks skipped.
  bool Number(int p, int width, int32_t* value) const {
    while (p <= length_ && at(p) == ' ') ++p;
    if (p > length_ || !IsDigit(at(p))) return false;
    int32_t result = 0;
    for (int n = 0; n < width && p <= length_ && IsDigit(at(p)); ++n, ++p) result = result * 10 + (at(p) - '0');
    *value = result;
    return true;
  }

  static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

 private:
  char text_[kWorkingSize + 1] = {};
  int length_ = 0;
};

// One refusal: its message quotes the working copy.
int Refuse(const WorkingCopy& copy, const char* message) {
  err(kTrace, message, copy.c_str());
  return kRefused;
}

struct Result {
  char letter = 0;
  char modifier = 0;
  uint32_t upper = 0;
};

// Bit number at position p: refused when 16 or more.
enum class BitRead { kNone, kSet, kOutOfRange };
BitRead ReadBit(const WorkingCopy& copy, int p, PlcAddress& address) {
  int32_t bit;
  if (!copy.Number(p, 2, &bit)) return BitRead::kNone;
  if (bit >= 16) return BitRead::kOutOfRange;
  address.bit = bit;
  return BitRead::kSet;
}

bool IsFloatOrLong(char c) { return c == 'F' || c == 'L'; }

// What follows a word address at position 7 in the DM, AR and three-digit IR
// forms: a bit number, or blanks for the whole word; anything else is
// refused with the area's own message.
int BitOrWholeWord(const WorkingCopy& copy, PlcAddress& address, const char* wrong_message) {
  switch (ReadBit(copy, 7, address)) {
    case BitRead::kSet: return kOk;
    case BitRead::kOutOfRange: return Refuse(copy, "DUVAD> Parse() Bitnr out of range, '%s'");
    case BitRead::kNone: break;
  }
  if (copy.blank(7) && copy.blank(8)) return kOk;
  return Refuse(copy, wrong_message);
}

int ParseDataMemory(const WorkingCopy& copy, PlcAddress& address, Result& result) {
  result.letter = kAreaDm;
  copy.Number(3, 4, &address.offset);  // position 3 is a digit: never fails
  if (copy.at(7) == 'S') {
    if (copy.length() != 9) return Refuse(copy, "DUVAD> Parse() Wrong gtaddrstr len for string gate, '%s'");
    int32_t n;
    // A length of 0 cannot divide the address: refused like an unreadable one.
    if (!copy.Number(8, 2, &n) || n == 0) return Refuse(copy, "DUVAD> Parse() Illegal length of string gate, '%s'");
    if (n % 2 != 0) return Refuse(copy, "DUVAD> Parse() String length of string gate must be even, gate '%s'");
    result.modifier = 'S';
    result.upper = static_cast<uint32_t>(n);
    if (address.offset % (n / 2) != 0)
      return Refuse(copy, "DUVAD> Parse() DM addr of str gt must be multiple of str len / 2, gate '%s'");
    address.offset /= n / 2;
    return kOk;
  }
  const char c7 = copy.at(7);
  if ((IsFloatOrLong(c7) || c7 == 'B') && copy.blank(8)) {
    result.modifier = c7;
    return kOk;
  }
  return BitOrWholeWord(copy, address, "DUVAD> Parse() Wrong DM addr str, '%s'");
}

int ParseAuxiliary(const WorkingCopy& copy, PlcAddress& address, Result& result) {
  result.letter = kAreaAr;
  if (!copy.Number(4, 3, &address.offset)) return Refuse(copy, "DUVAD> Parse() Illegal auxiliary address, '%s'");
  if (copy.length() != 8) return Refuse(copy, "DUVAD> Parse() Illegal addres string len, '%s'");
  if (IsFloatOrLong(copy.at(7)) && copy.blank(8)) {
    result.modifier = copy.at(7);
    return kOk;
  }
  return BitOrWholeWord(copy, address, "DUVAD> Parse() Wrong aux addr str, '%s'");
}

int ParseHighSpeedBuffer(const WorkingCopy& copy, PlcAddress& address, Result& result) {
  result.letter = kAreaDmBuffer;
  const char c4 = copy.at(4);
  if (c4 >= '0' && c4 <= '7' && copy.blank(5) && copy.blank(6) && copy.blank(7) && copy.blank(8)) {
    address.offset = c4 - '0';
    return kOk;
  }
  return Refuse(copy, "DUVAD> Parse() Wrong high speed buff nr. , '%s'");
}

int ParseErrorInformation(const WorkingCopy& copy, PlcAddress& address, Result& result) {
  result.letter = kAreaError;
  const char c4 = copy.at(4);
  if (c4 != '1' && c4 != '2') return Refuse(copy, "DUVAD> Parse() Wrong part nr in error addr str, '%s'");
  address.offset = c4 - '0';
  const char c8 = copy.at(8);
  if (copy.at(5) != '0' || copy.at(6) != '0' || copy.at(7) != '0' || (c8 != '0' && c8 != '1'))
    return Refuse(copy, "DUVAD> Parse() Wrong error gate addr str, '%s'");
  result.upper = static_cast<uint32_t>(c8 - '0');
  return kOk;
}

int ParseHoldingOrLink(const WorkingCopy& copy, PlcAddress& address, Result& result) {
  result.letter = copy.at(3);
  if (!copy.Number(4, 2, &address.offset))
    return Refuse(copy, "DUVAD> Parse() Illegal hold/link relay address, '%s'");
  if (copy.length() != 8) return Refuse(copy, "DUVAD> Parse() Illegal addres string len, '%s'");
  if (IsFloatOrLong(copy.at(6)) && copy.blank(7) && copy.blank(8)) {
    result.modifier = copy.at(6);
    return kOk;
  }
  int32_t bit;
  if (copy.Number(6, 2, &bit) && copy.blank(8)) {
    if (bit >= 16) return Refuse(copy, "DUVAD> Parse() Bitnr out of range, '%s'");
    address.bit = bit;
    return kOk;
  }
  if (copy.blank(6) && copy.blank(7) && copy.blank(8)) return kOk;
  return Refuse(copy, "DUVAD> Parse() Wrong HR/LR addr str, '%s'");
}

int ParseIoRelay(const WorkingCopy& copy, PlcAddress& address, Result& result) {
  result.letter = kAreaIr;
  const char c7 = copy.at(7);
  const char c8 = copy.at(8);
  bool three_digits;
  if (c8 == ' ' && (c7 == ' ' || IsFloatOrLong(c7))) three_digits = true;
  else if (copy.length() == 9) three_digits = false;
  else if (c8 == ' ' || IsFloatOrLong(c8)) three_digits = false;
  else three_digits = true;

  if (three_digits) {
    if (!copy.Number(4, 3, &address.offset))
      return Refuse(copy, "DUVAD> Parse() Illegal 3 digit gate address, '%s'");
    if (copy.length() != 8) return Refuse(copy, "DUVAD> Parse() Illegal addres string len, '%s'");
    if (IsFloatOrLong(c7)) {
      result.modifier = c7;
      return kOk;
    }
    return BitOrWholeWord(copy, address, "DUVAD> Parse() Wrong IO address, '%s'");
  }
  if (!copy.Number(4, 4, &address.offset))
    return Refuse(copy, "DUVAD> Parse() Illegal 4 digit gate address, '%s'");
  if (IsFloatOrLong(c8)) {
    result.modifier = c8;
    return kOk;
  }
  if (copy.length() == 8) return kOk;
  int32_t bit;
  if (!copy.Number(8, 2, &bit)) return Refuse(copy, "DUVAD> Parse() wrong bitnr, '%s'");
  if (bit >= 16) return Refuse(copy, "DUVAD> Parse() Bitnr out of range, '%s'");
  address.bit = bit;
  return kOk;
}

int ParseStatus(const WorkingCopy& copy, PlcAddress& address, Result& result) {
  result.letter = kAreaStatus;
  const char c4 = copy.at(4);
  if (c4 != 'R' && c4 != 'W') return Refuse(copy, "DUVAD> Parse() Wrong status type R/W, '%s'");
  address.offset = c4;
  if (!(copy.blank(5) && copy.blank(6) && copy.blank(7) && copy.blank(8)))
    return Refuse(copy, "DUVAD> Parse() Wrong status asddr strd, '%s'");
  return kOk;
}

int ParseTimerPresentValue(const WorkingCopy& copy, PlcAddress& address, Result& result) {
  result.letter = kAreaTimerPv;
  if (!copy.blank(8)) return Refuse(copy, "DUVAD> Parse() Illegal timer/counter addr string, '%s'");
  // The number starts at position 5; position 4 is a filler.
  if (!copy.Number(5, copy.blank(7) ? 3 : 4, &address.offset))
    return Refuse(copy, "DUVAD> Parse() Illegal timer/counter addr, '%s'");
  if (copy.length() != 8) return Refuse(copy, "DUVAD> Parse() Illegal addres string len, '%s'");
  return kOk;
}

int ParseTimerSetValue(const WorkingCopy& copy, PlcAddress& address, Result& result) {
  result.letter = kAreaTimerSv;
  const char kind = copy.at(4);
  if (kind < '0' || kind > '8') return Refuse(copy, "DUVAD> Parse() Wrong timer/counter set value, '%s'");
  result.modifier = kind;
  if (kind == '0') address.width = 8;
  if (!copy.Number(5, copy.blank(8) ? 3 : 4, &address.offset))
    return Refuse(copy, "DUVAD> Parse() Illegal timer/counter set value address, '%s'");
  if (copy.length() != 8) return Refuse(copy, "DUVAD> Parse() Illegal addres string len, '%s'");
  return kOk;
}

}  // namespace

const char* SetValueName(char kind_digit) {
  static const char* const kNames[8] = {"TIM ", "TIMH", "CNT ", "CNTR", "TMS ", "TIMW", "CNTW", "TMHW"};
  if (kind_digit < '1' || kind_digit > '8') return nullptr;
  return kNames[kind_digit - '1'];
}

int Parse(GateDefinition& definition) {
  const WorkingCopy copy(definition.address_text);
  for (int p = 1; p <= copy.length(); ++p) {
    if (p > 9 || std::strchr(kAllowed[p - 1], copy.at(p)) == nullptr || copy.at(p) == '\0') {
      err(kTrace, "DUVAD> Parse() Illegal character %d in '%s'", p, copy.c_str());
      return kRefused;
    }
  }

  PlcAddress& address = definition.address;
  address = PlcAddress{0, 0, -1, -1, 16};
  int32_t unit = 0;
  copy.Number(1, 2, &unit);
  address.plc_id = static_cast<uint32_t>(unit);

  Result result;
  int verdict;
  const char c3 = copy.at(3);
  if (WorkingCopy::IsDigit(c3)) verdict = ParseDataMemory(copy, address, result);
  else if (c3 == 'A') verdict = ParseAuxiliary(copy, address, result);
  else if (c3 == 'D') verdict = ParseHighSpeedBuffer(copy, address, result);
  else if (c3 == 'E') verdict = ParseErrorInformation(copy, address, result);
  else if (c3 == 'H' || c3 == 'L') verdict = ParseHoldingOrLink(copy, address, result);
  else if (c3 == 'I') verdict = ParseIoRelay(copy, address, result);
  else if (c3 == 'S') verdict = ParseStatus(copy, address, result);
  else if (c3 == 'T') verdict = ParseTimerPresentValue(copy, address, result);
  else verdict = ParseTimerSetValue(copy, address, result);  // 'V', the last allowed letter

  address.area = MakeArea(result.letter, result.modifier, result.upper);
  if (verdict != kOk) return verdict;

  if (result.modifier == 'F' || result.modifier == 'L' || result.modifier == 'B') {
    address.width = 32;
    if (address.offset % 2 != 0) return Refuse(copy, "DUVAD> Parse() float or long address should be even '%s'");
    address.offset /= 2;
  }
  return kOk;
}

}  // namespace kiv
