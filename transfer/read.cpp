// The read transaction: SingleRead, BlockRead and DoRead.
#include <cstring>

#include "address/address.h"
#include "codec/codec.h"
#include "host/host.h"
#include "hostlink/hostlink.h"
#include "transfer/transaction.h"
#include "transfer/transfer.h"

namespace kiv {

int32_t BeginCommand(char* text, uint32_t unit, char header0, char header1) {
  text[0] = '@';
  text[1] = static_cast<char>('0' + unit / 10 % 10);
  text[2] = static_cast<char>('0' + unit % 10);
  text[3] = header0;
  text[4] = header1;
  return 5;
}

void WriteDecimal(char* out, uint32_t value, int digits) {
  for (int i = digits - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

Echo CheckEcho(const char* command, const char* reply, int32_t reply_length) {
  if (reply_length >= kEchoLength && std::memcmp(command, reply, kEchoLength) == 0) return Echo::kMatch;
  if (reply_length >= kEchoLength && reply[3] == 'I' && reply[4] == 'C') return Echo::kUndefinedCommand;
  return Echo::kMismatch;
}

bool IsFinalEndCode(uint32_t code) {
  switch (code) {
    case 0x01: case 0x02: case 0x03: case 0x04: case 0x0B: case 0x0C: case 0x0D:
    case 0x14: case 0x15: case 0x16: case 0x18: case 0x19: case 0xB0:
      return true;
    default:
      return false;
  }
}

bool FitsOneTransfer(const TransferSize& size, int64_t limit) {
  return size.count >= 1 && size.word_address >= 0 && size.word_address <= kMaxWordNumber && size.words >= 0 &&
         size.words <= kMaxWordNumber && size.text <= limit;
}

int64_t WordAddress(const PlcAddress& address) {
  const int64_t offset = address.offset;
  if (Is32BitKind(address.area)) return offset * 2;
  if (IsString(address.area)) return offset * int64_t(StringLength(address.area)) / 2;
  return offset;
}

namespace {

// The command for the gate's area in `text`; its length, or 0 after a
// refusal message. A request whose numbers cannot be printed in four
// digits, or whose reply cannot fit rx_frame, is refused before anything
// is sent.
int32_t BuildReadCommand(char* text, const GateIo& gate) {
  const PlcAddress& address = gate.address;
  const uint32_t area = address.area;
  const char letter = AreaLetter(area);
  const int64_t count = gate.count;
  const char* set_value = nullptr;
  TransferSize size{count, 0, 0, 0};

  if (IsWordArea(letter)) {
    int64_t words = count;
    if (Is32BitKind(area)) words = count * 2;
    else if (IsString(area)) words = count * int64_t(StringLength(area)) / 2;
    size = {count, WordAddress(address), words, 4 * words};
  } else if (letter == kAreaTimerSv && IsTimerStatus(area)) {
    size = {count, address.offset, count, count};  // one character per flag
  } else if (letter == kAreaTimerSv) {
    set_value = SetValueName(AreaModifier(area));
    if (set_value == nullptr) {
      err(kTrace, "DUVAD> DoRead() illegal memtype, '%s'", gate.name);
      return 0;
    }
    size = {count, address.offset, 0, 4};
  } else if (letter == kAreaStatus) {
    if (address.offset != kStatusRead) {
      err(kTrace, "DUVAD> DoRead() status write gate is write only, '%s'", gate.name);
      return 0;
    }
    size.text = 4;
  } else if (letter == kAreaError) {
    size.text = 8;
  } else if (letter == kAreaDmBuffer) {
    size.text = 4 * count;
  } else {
    err(kTrace, "DUVAD> DoRead() illegal memtype, '%s'", gate.name);
    return 0;
  }
  if (!FitsOneTransfer(size, kReplyDataMax)) {
    err(kTrace, "DUVAD> DoRead() request does not fit one transfer, '%s'", gate.name);
    return 0;
  }

  const uint32_t unit = address.plc_id;
  switch (letter) {
    case kAreaError:
      BeginCommand(text, unit, 'M', 'F');
      text[5] = '0';
      text[6] = AreaUpper(area) == 0 ? '1' : '0';
      return 7;
    case kAreaStatus:
      return BeginCommand(text, unit, 'M', 'S');
    case kAreaDmBuffer:
      return BeginCommand(text, unit, 'C', 'R');
    case kAreaTimerSv:
      if (set_value != nullptr) {
        BeginCommand(text, unit, 'R', '#');
        std::memcpy(text + 5, set_value, 4);
        WriteDecimal(text + 9, uint32_t(size.word_address), 4);
        return 13;
      }
      BeginCommand(text, unit, 'R', 'G');
      break;
    default:
      BeginCommand(text, unit, 'R', letter);
      break;
  }
  WriteDecimal(text + 5, uint32_t(size.word_address), 4);
  WriteDecimal(text + 9, uint32_t(size.words), 4);
  return 13;
}

}  // namespace

int DoRead(KivRequest* request, uint32_t opcode) {
  ChannelContext& channel = ChannelOf(request);
  const GateIo& gate = ParamsOf<GateIo>(request);
  if (channel.port == kNoPort) return kRefused;

  // Built once: every attempt resends the same text.
  const int32_t length = BuildReadCommand(channel.tx_frame, gate);
  if (length == 0) return kRefused;

  int result = kFailed;
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    bool final_code = false;
    PrepareAttempt(channel);
    int32_t reply_length = 0;
    if (Send(channel.tx_frame, length, channel.port) != kOk) {
      err(kTrace, "DUVAD> DoRead() error sending data, retry %d '%s'", attempt, gate.name);
      result = kFailed;
    } else if (Receive(channel.rx_frame, KIV_FRAME_SIZE, &reply_length, channel.port) != kOk) {
      err(kTrace, "DUVAD> DoRead() error receiving data, retry %d '%s'", attempt, gate.name);
      result = kFailed;
    } else {
      const char* reply = channel.rx_frame;
      uint32_t code;
      switch (CheckEcho(channel.tx_frame, reply, reply_length)) {
        case Echo::kUndefinedCommand:
          err(kTrace, "DUVAD> DoRead() undefined command '%c%c', retry %d '%s'", channel.tx_frame[3],
              channel.tx_frame[4], attempt, gate.name);
          return kRefused;
        case Echo::kMismatch:
          err(kTrace, "DUVAD> DoRead() wrong answer to req, retry %d '%s'", attempt, gate.name);
          result = kFailed;
          break;
        case Echo::kMatch:
          // The end code must lie inside the reply text.
          if (reply_length < kReplyHeaderLength || !ReadHexField(reply + 5, reply + 7, 2, &code)) {
            err(kTrace, "DUVAD> DoRead() Error reading response code, retry %d '%s'", attempt, gate.name);
            result = kFailed;
          } else if (code != 0) {
            err(kTrace, "DUVAD> DoRead() resp.code. %02xh, retry %d '%s'", code, attempt, gate.name);
            final_code = IsFinalEndCode(code);
            result = final_code ? kRefused : kFailed;
          } else {
            result = StoreData(request, reply + kReplyHeaderLength, reply_length - kReplyHeaderLength, opcode);
          }
          break;
      }
    }
    if (result == kOk) return kOk;
    SendAbort(channel, gate.address.plc_id);
    if (final_code) break;
  }
  return result;
}

int32_t SingleRead(KivRequest* request) {
  const GateIo& gate = ParamsOf<GateIo>(request);
  if (gate.address.area == static_cast<uint32_t>(kAreaDmBuffer)) {
    err(kTrace, "DUVAD> SingleRead() High Speed DM should be read in blocks");
    return kRefused;
  }
  const int result = DoRead(request, KIV_OP_SINGLE_READ);
  if (result != kOk) err(kTrace, "DUVAD> SingleRead() , ret val is %d", result);
  return result;
}

int32_t BlockRead(KivRequest* request) {
  const int result = DoRead(request, KIV_OP_BLOCK_READ);
  if (result != kOk) err(kTrace, "DUVAD> BlockRead(), ret val is %d", result);
  return result;
}

}  // namespace kiv
