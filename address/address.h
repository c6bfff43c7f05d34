// address: the gate records' area codes, gate types and value layouts, the
// address text parser and the single and block address checks.
//
// AreaCode: area letter in bits 0-7, modifier letter (F float, L long,
// B long BCD, S string) or set-value kind digit in bits 8-15, string length
// or error-information flag in bits 16-31. Every layer asks the questions
// below of an area code through these functions only.
#pragma once

#include <cstdint>

#include "kivhnom/kivhnom.h"

namespace kiv {

// Area letters stored in bits 0-7 (the letter the driver uses internally).
inline constexpr char kAreaDm = 'D';         // data memory
inline constexpr char kAreaAr = 'J';         // auxiliary relays
inline constexpr char kAreaHr = 'H';         // holding relays
inline constexpr char kAreaLr = 'L';         // link relays
inline constexpr char kAreaIr = 'R';         // I/O and internal relays
inline constexpr char kAreaDmBuffer = 'X';   // DM high-speed buffer
inline constexpr char kAreaError = 'F';      // error information
inline constexpr char kAreaStatus = 'S';     // PLC status
inline constexpr char kAreaTimerPv = 'C';    // timer/counter present value
inline constexpr char kAreaTimerSv = '#';    // set value, or status (kind '0')

// Status gate offsets: the character codes of R and W.
inline constexpr int32_t kStatusRead = 'R';
inline constexpr int32_t kStatusWrite = 'W';

constexpr char AreaLetter(uint32_t area) { return static_cast<char>(area & 0xFF); }
constexpr char AreaModifier(uint32_t area) { return static_cast<char>((area >> 8) & 0xFF); }
constexpr uint32_t AreaUpper(uint32_t area) { return area >> 16; }

constexpr uint32_t MakeArea(char letter, char modifier = 0, uint32_t upper = 0) {
  return static_cast<uint8_t>(letter) | (static_cast<uint32_t>(static_cast<uint8_t>(modifier)) << 8) |
         (upper << 16);
}

// A 32-bit kind: bits 8-31 as a whole are exactly 'F', 'L' or 'B'.
constexpr bool Is32BitKind(uint32_t area) {
  const uint32_t high = area >> 8;
  return high == 'F' || high == 'L' || high == 'B';
}

// A string: bits 8-15 alone are 'S'; its length is bits 16-31.
constexpr bool IsString(uint32_t area) { return AreaModifier(area) == 'S'; }
constexpr uint32_t StringLength(uint32_t area) { return AreaUpper(area); }

// Timer/counter status (completion flags): area '#', kind '0', upper zero.
constexpr bool IsTimerStatus(uint32_t area) { return (area & 0xFFFFFFFFu) == MakeArea(kAreaTimerSv, '0'); }

// The word areas that share the R?/W? commands.
constexpr bool IsWordArea(char letter) {
  return letter == kAreaDm || letter == kAreaHr || letter == kAreaLr || letter == kAreaIr ||
         letter == kAreaAr || letter == kAreaTimerPv;
}

// The 4-character instruction name of a set-value kind digit '1'..'8'
// ("TIM ", "TIMH", "CNT ", "CNTR", "TMS ", "TIMW", "CNTW", "TMHW"), or null.
const char* SetValueName(char kind_digit);

// Gate types.
constexpr bool IsGate16Bit(int32_t gate_type) { return gate_type >= 0 && gate_type <= 2; }
constexpr bool IsGateFloat(int32_t gate_type) { return gate_type == KIV_GATE_FLOAT; }
constexpr bool IsGate32Bit(int32_t gate_type) { return gate_type == 4 || gate_type == 5; }
constexpr bool IsGateDigital(int32_t gate_type) { return gate_type == KIV_GATE_DIGITAL; }
constexpr bool IsGateString(int32_t gate_type) { return gate_type == KIV_GATE_STRING; }

// Parses definition.address_text into definition.address. 0 accepted,
// 1 refused (one level-8 message quoting the upper-cased working copy).
int Parse(GateDefinition& definition);

// Operations 3 and 4.
int32_t SingleAddressParser(KivRequest* request);
int32_t BlockAddressParser(KivRequest* request);

}  // namespace kiv
