// Internal pieces shared by the read and write transactions.
#pragma once

#include <cstdint>

#include "kivhnom/kivhnom.h"

namespace kiv {

inline constexpr int kAttempts = 3;
// The reply text in rx_frame: "@", unit, header, end code, then data.
inline constexpr int32_t kEchoLength = 5;
inline constexpr int32_t kReplyHeaderLength = 7;
// What a reply adds after its text: FCS, "*", CR.
inline constexpr int32_t kReplyTrailer = 4;
// PLC word addresses and counts are printed in four digits.
inline constexpr int64_t kMaxWordNumber = 9999;

// Writes "@" and the unit's two digits, then the header, at the start of
// a command text. Returns the position behind them (5).
int32_t BeginCommand(char* text, uint32_t unit, char header0, char header1);

// Writes value as `digits` decimal digits.
void WriteDecimal(char* out, uint32_t value, int digits);

// Classifies a reply against its command: 0 echo matched; 1 an "IC" reply;
// 2 any other mismatch.
enum class Echo { kMatch, kUndefinedCommand, kMismatch };
Echo CheckEcho(const char* command, const char* reply, int32_t reply_length);

// End codes after which retrying cannot help, for reads.
bool IsFinalEndCode(uint32_t code);

}  // namespace kiv
