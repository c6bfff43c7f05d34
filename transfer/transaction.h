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

// The bounds of one transfer. The reply's data must leave room in rx_frame
// for its header and trailer; a command keeps room for its NUL in
// tx_frame; PLC word addresses and word counts are printed in four digits.
inline constexpr int64_t kReplyDataMax = KIV_FRAME_SIZE - kReplyHeaderLength - kReplyTrailer;  // 2165
inline constexpr int64_t kCommandTextMax = KIV_FRAME_SIZE - 1;                                  // 2175
inline constexpr int64_t kMaxWordNumber = 9999;

// What a request would put on the line, worked out before anything is sent.
struct TransferSize {
  int64_t count;         // elements asked for by the host
  int64_t word_address;  // first operand as printed (0 when there is none)
  int64_t words;         // word count as printed (0 when there is none)
  int64_t text;          // reply data characters, or command characters
};

// True when count is at least 1, the printed numbers have four digits and
// `text` is within `limit` (kReplyDataMax or kCommandTextMax).
bool FitsOneTransfer(const TransferSize& size, int64_t limit);

// The PLC word address of a word-area gate: offset counts 32-bit pairs for
// the 32-bit kinds and groups of L/2 words for strings of L characters.
int64_t WordAddress(const PlcAddress& address);

// Writes "@" and the unit's two digits, then the header, at the start of
// a command text. Returns the position behind them (5).
int32_t BeginCommand(char* text, uint32_t unit, char header0, char header1);

// Writes value as `digits` decimal digits.
void WriteDecimal(char* out, uint32_t value, int digits);

// How a reply relates to its command: the echo ("@", unit, header) matches;
// the PLC did not know the command ("IC"); or anything else.
enum class Echo { kMatch, kUndefinedCommand, kMismatch };
Echo CheckEcho(const char* command, const char* reply, int32_t reply_length);

// End codes after which retrying cannot help, for reads.
bool IsFinalEndCode(uint32_t code);

}  // namespace kiv
