// One simulated PLC unit: Host Link command text in, reply text out.
#include <cstdio>
#include <cstring>

#include "simulator.h"

namespace hlsim {
namespace {

// End codes a real PLC gives.
constexpr int kNormal = 0x00;
constexpr int kNotInRun = 0x01;
constexpr int kFormatError = 0x14;
constexpr int kEntryNumberError = 0x15;
constexpr int kNotSupported = 0x16;

const char* const kInstructions[] = {"TIM ", "TIMH", "CNT ", "CNTR", "TMS ", "TIMW", "CNTW", "TMHW"};

bool Decimal(std::string_view text, size_t at, size_t digits, int* value) {
  if (at + digits > text.size()) return false;
  int result = 0;
  for (size_t i = 0; i < digits; ++i) {
    const char c = text[at + i];
    if (c < '0' || c > '9') return false;
    result = result * 10 + (c - '0');
  }
  *value = result;
  return true;
}

bool Hex(std::string_view text, size_t at, size_t digits, unsigned* value) {
  if (at + digits > text.size()) return false;
  unsigned result = 0;
  for (size_t i = 0; i < digits; ++i) {
    const char c = text[at + i];
    unsigned nibble;
    if (c >= '0' && c <= '9') nibble = unsigned(c - '0');
    else if (c >= 'A' && c <= 'F') nibble = unsigned(c - 'A' + 10);
    else return false;  // a PLC expects upper-case hex
    result = result * 16 + nibble;
  }
  *value = result;
  return true;
}

void AppendHex(std::string& out, unsigned value, int digits) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%0*X", digits, value);
  out += buffer;
}

bool AreaOfLetter(char letter, Area* area) {
  switch (letter) {
    case 'D': *area = Area::DM; return true;
    case 'R': *area = Area::IR; return true;
    case 'H': *area = Area::HR; return true;
    case 'L': *area = Area::LR; return true;
    case 'J': *area = Area::AR; return true;
    case 'C': *area = Area::TC; return true;
    default: return false;
  }
}

bool IsInstruction(std::string_view name) {
  for (const char* known : kInstructions)
    if (name == known) return true;
  return false;
}

}  // namespace

int AreaSize(Area area) {
  switch (area) {
    case Area::DM: return 10000;
    case Area::IR: return 10000;
    case Area::HR: return 100;
    case Area::LR: return 100;
    case Area::AR: return 1000;
    case Area::TC: return Plc::kTimers;
  }
  return 0;
}

Plc::Plc() {
  for (int a = 0; a < 6; ++a) memory_[a].assign(size_t(AreaSize(Area(a))), 0);
  for (const char* name : kInstructions) set_values[name].assign(kTimers, 0);
}

std::string Plc::Handle(std::string_view command) {
  if (command.size() < 5) return "";  // too short to parse: a PLC stays silent
  const std::string echo(command.substr(0, 5));
  const std::string header(command.substr(3, 2));
  const std::string_view operands = command.substr(5);
  auto reply = [&](int code) {
    std::string out = echo;
    AppendHex(out, unsigned(code), 2);
    return out;
  };
  const bool writable = mode != Mode::Run;

  if (header == "XZ") return "";  // the abort is never answered
  Area area;
  if (header[0] == 'R' && AreaOfLetter(header[1], &area)) {
    int address, count;
    if (operands.size() != 8) return reply(kFormatError);
    if (!Decimal(operands, 0, 4, &address) || !Decimal(operands, 4, 4, &count) || count < 1 ||
        address + count > AreaSize(area))
      return reply(kEntryNumberError);
    std::string out = reply(kNormal);
    for (int i = 0; i < count; ++i) AppendHex(out, Word(area, address + i), 4);
    return out;
  }
  if (header[0] == 'W' && AreaOfLetter(header[1], &area)) {
    int address;
    if (operands.size() < 8 || (operands.size() - 4) % 4 != 0) return reply(kFormatError);
    if (!Decimal(operands, 0, 4, &address)) return reply(kEntryNumberError);
    const int count = int(operands.size() - 4) / 4;
    if (address + count > AreaSize(area)) return reply(kEntryNumberError);
    std::vector<uint16_t> values(static_cast<size_t>(count), 0);
    for (int i = 0; i < count; ++i) {
      unsigned value;
      if (!Hex(operands, 4 + 4 * size_t(i), 4, &value)) return reply(kEntryNumberError);
      values[size_t(i)] = uint16_t(value);
    }
    if (!writable) return reply(kNotInRun);
    for (int i = 0; i < count; ++i) Word(area, address + i) = values[size_t(i)];
    return reply(kNormal);
  }
  if (header == "RG") {
    int number, count;
    if (operands.size() != 8) return reply(kFormatError);
    if (!Decimal(operands, 0, 4, &number) || !Decimal(operands, 4, 4, &count) || count < 1 ||
        number + count > kTimers)
      return reply(kEntryNumberError);
    std::string out = reply(kNormal);
    for (int i = 0; i < count; ++i) out += completion_flags[number + i] ? '1' : '0';
    return out;
  }
  if (header == "WG") {
    int number;
    if (operands.size() < 6 || operands.size() % 2 != 0) return reply(kFormatError);
    if (!Decimal(operands, 0, 4, &number)) return reply(kEntryNumberError);
    const int count = int(operands.size() - 4) / 2;
    if (number + count > kTimers) return reply(kEntryNumberError);
    std::vector<bool> flags;
    for (int i = 0; i < count; ++i) {
      unsigned value;
      if (!Hex(operands, 4 + 2 * size_t(i), 2, &value) || value > 1) return reply(kEntryNumberError);
      flags.push_back(value == 1);
    }
    if (!writable) return reply(kNotInRun);
    for (int i = 0; i < count; ++i) completion_flags[number + i] = flags[size_t(i)];
    return reply(kNormal);
  }
  if (header == "R#" || header == "W#") {
    const bool write = header[0] == 'W';
    if (operands.size() != (write ? 12u : 8u)) return reply(kFormatError);
    const std::string name(operands.substr(0, 4));
    int number;
    if (!Decimal(operands, 4, 4, &number) || number >= kTimers) return reply(kEntryNumberError);
    if (!IsInstruction(name)) return reply(kNotSupported);
    if (!write) {
      std::string out = reply(kNormal);
      AppendHex(out, set_values[name][size_t(number)], 4);
      return out;
    }
    unsigned value;
    if (!Hex(operands, 8, 4, &value)) return reply(kEntryNumberError);
    if (!writable) return reply(kNotInRun);
    set_values[name][size_t(number)] = uint16_t(value);
    return reply(kNormal);
  }
  if (header == "MS") {
    if (!operands.empty()) return reply(kFormatError);
    // Status word bits 9-8: 00 PROGRAM, 10 RUN, 11 MONITOR.
    unsigned status = mode == Mode::Program ? 0x0000 : mode == Mode::Run ? 0x0200 : 0x0300;
    std::string out = reply(kNormal);
    AppendHex(out, status, 4);
    out += "SIMULATED PLC   ";
    return out;
  }
  if (header == "MF") {
    int clear;
    if (operands.size() != 2) return reply(kFormatError);
    if (!Decimal(operands, 0, 2, &clear) || clear > 1) return reply(kEntryNumberError);
    std::string out = reply(kNormal);
    AppendHex(out, error_words[0], 4);
    AppendHex(out, error_words[1], 4);
    if (clear == 1) error_words[0] = error_words[1] = 0;  // 01 reads and clears
    return out;
  }
  if (header == "CR") {
    if (!operands.empty()) return reply(kFormatError);
    std::string out = reply(kNormal);
    for (uint16_t word : dm_buffer) AppendHex(out, word, 4);
    return out;
  }
  if (header == "SC") {
    int value;
    if (operands.size() != 2 || !Decimal(operands, 0, 2, &value)) return reply(kFormatError);
    switch (value) {
      case 0: mode = Mode::Program; break;
      case 2: mode = Mode::Monitor; break;
      case 3: mode = Mode::Run; break;
      default: return reply(kEntryNumberError);
    }
    return reply(kNormal);
  }
  // A header this PLC does not know.
  return std::string(command.substr(0, 3)) + "IC";
}

}  // namespace hlsim
