// The write transaction: SingleWrite, BlockWrite and DoWrite, with the
// read-modify-write of single bits and the switch to MONITOR mode.
#include <cstring>

#include "address/address.h"
#include "codec/codec.h"
#include "host/host.h"
#include "hostlink/hostlink.h"
#include "transfer/transaction.h"
#include "transfer/transfer.h"

namespace kiv {
namespace {

constexpr uint32_t kMonitorMode = 2;
constexpr int32_t kCommandEnd = KIV_FRAME_SIZE - 1;  // room for the NUL

bool IsModeEndCode(uint32_t code) { return code == 0x01 || code == 0x02 || code == 0x0B || code == 0x0C; }

uint16_t LoadWord(const void* data, size_t index) {
  uint16_t value;
  std::memcpy(&value, static_cast<const char*>(data) + 2 * index, sizeof value);
  return value;
}
void StoreSecondWord(void* data, uint16_t value) { std::memcpy(static_cast<char*>(data) + 2, &value, sizeof value); }

// Characters of the data text that PutData makes for the gate.
int64_t DataLength(const GateIo& gate) {
  const PlcAddress& address = gate.address;
  const int64_t count = gate.count;
  if (count == 1) {
    if (address.width == 32) return 8;
    if (IsGateString(gate.gate_type)) return 2 * int64_t(StringLength(address.area));
    return address.width == 16 ? 4 : 2;
  }
  if (Is32BitKind(address.area)) return 8 * count;
  return (address.width == 16 ? 4 : 2) * count;
}

// Refuses, before anything is sent, what the command table has no command
// for and what cannot fit tx_frame or four-digit operands. 0 or 1.
int CheckWrite(const GateIo& gate) {
  const PlcAddress& address = gate.address;
  const uint32_t area = address.area;
  const char letter = AreaLetter(area);

  if (letter == kAreaStatus) {
    if (address.offset != kStatusWrite) {
      err(kTrace, "DUVAD> DoWrite() status read gate is read only, '%s'", gate.name);
      return kRefused;
    }
    return kOk;  // the mode value is checked when the word is known
  }
  if (letter == kAreaError) {
    err(kTrace, "DUVAD> DoWrite() write to error gate not allowed, '%s'", gate.name);
    return kRefused;
  }
  if (letter == kAreaDmBuffer) {
    err(kTrace, "DUVAD> DoWrite() write high speed buff not allowed, '%s'", gate.name);
    return kRefused;
  }
  const bool set_value = letter == kAreaTimerSv && !IsTimerStatus(area);
  if ((!IsWordArea(letter) && letter != kAreaTimerSv) ||
      (set_value && SetValueName(AreaModifier(area)) == nullptr)) {
    err(kTrace, "DUVAD> DoWrite() illegal memtype, '%s'", gate.name);
    return kRefused;
  }
  // Only the read-modify-write looks at the bit, but a bit outside the
  // word must never reach its shift.
  if (address.bit < -1 || address.bit > 15) {
    err(kTrace, "DUVAD> DoWrite() bit number out of range, '%s'", gate.name);
    return kRefused;
  }
  const int64_t data_start = set_value ? 13 : 9;
  const TransferSize size{gate.count, WordAddress(address), 0, data_start + DataLength(gate)};
  if (!FitsOneTransfer(size, kCommandTextMax)) {
    err(kTrace, "DUVAD> DoWrite() request does not fit one transfer, '%s'", gate.name);
    return kRefused;
  }
  return kOk;
}

// Builds the command for this attempt; its length, or 0 after a refusal.
int32_t BuildWriteCommand(KivRequest* request, uint32_t value_word) {
  ChannelContext& channel = ChannelOf(request);
  const GateIo& gate = ParamsOf<GateIo>(request);
  char* text = channel.tx_frame;
  const PlcAddress& address = gate.address;
  const uint32_t area = address.area;
  const char letter = AreaLetter(area);
  const uint32_t unit = address.plc_id;

  if (letter == kAreaStatus) {
    // The mode operand has two digits; a larger value would be cut.
    if ((value_word & 0xFFFF) > 99) {
      err(kTrace, "DUVAD> DoWrite() mode value out of range, '%s'", gate.name);
      return 0;
    }
    BeginCommand(text, unit, 'S', 'C');
    WriteDecimal(text + 5, value_word & 0xFFFF, 2);
    return 7;
  }
  int32_t data_start = 9;
  if (letter == kAreaTimerSv && !IsTimerStatus(area)) {
    BeginCommand(text, unit, 'W', '#');
    std::memcpy(text + 5, SetValueName(AreaModifier(area)), 4);
    WriteDecimal(text + 9, uint32_t(address.offset), 4);
    data_start = 13;
  } else {
    BeginCommand(text, unit, 'W', letter == kAreaTimerSv ? 'G' : letter);
    WriteDecimal(text + 5, uint32_t(WordAddress(address)), 4);
  }
  int32_t data_length = 0;
  if (PutData(request, value_word, text + data_start, kCommandEnd - data_start, &data_length) != kOk) return 0;
  return data_start + data_length;
}

int DoWriteAttempts(KivRequest* request, uint32_t opcode, bool may_change_mode);

// Switches the unit to MONITOR mode with a nested write of its own, which
// is given no permission to change the mode itself, so the nesting ends.
void ChangeToMonitorMode(KivRequest* request) {
  GateIo& gate = ParamsOf<GateIo>(request);
  uint16_t storage[2] = {0, kMonitorMode};
  GateIo mode_gate = gate;
  mode_gate.name = "Change PLC Mode";
  mode_gate.address.area = static_cast<uint32_t>(kAreaStatus);
  mode_gate.address.offset = kStatusWrite;
  mode_gate.address.bit = -1;
  mode_gate.address.width = 16;
  mode_gate.gate_type = 0;
  mode_gate.count = 1;
  mode_gate.host_reserved2 = 65535;
  mode_gate.data = storage;

  void* const params = request->params;
  request->params = &mode_gate;
  const int result = DoWriteAttempts(request, KIV_OP_SINGLE_WRITE, false);
  request->params = params;
  if (result == kOk) err(kTrace, "DUVAD> DoWrite() PLC changed to MONITOR mode");
  else err(kTrace, "DUVAD> DoWrite() change PLC to MONITOR mode failed");
}

int DoWriteAttempts(KivRequest* request, uint32_t opcode, bool may_change_mode) {
  ChannelContext& channel = ChannelOf(request);
  GateIo& gate = ParamsOf<GateIo>(request);
  if (channel.port == kNoPort) return kRefused;
  if (CheckWrite(gate) != kOk) return kRefused;

  const int32_t width = gate.address.width;
  uint32_t value_word = 0;
  if (width == 16 || width == 8) {
    if (opcode == KIV_OP_SINGLE_WRITE) value_word = LoadWord(gate.data, 1);
    else if (gate.count == 1)  // a block keeps its one element at the start
      value_word = width == 16 ? LoadWord(gate.data, 0) : *static_cast<const uint8_t*>(gate.data);
  }

  if (opcode == KIV_OP_SINGLE_WRITE && width == 16 && gate.address.bit != -1) {
    const int32_t bit = gate.address.bit;
    const int32_t gate_type = gate.gate_type;
    gate.address.bit = -1;
    gate.gate_type = 0;
    const int read = SingleRead(request);
    gate.address.bit = bit;
    gate.gate_type = gate_type;
    const uint16_t word = LoadWord(gate.data, 1);
    StoreSecondWord(gate.data, static_cast<uint16_t>(value_word));  // the host's own value again
    if (read != kOk) {
      err(kTrace, "DUVAD> DoWrite() SingleRead for read-modify-write failed '%s'", gate.name);
      return read;
    }
    const uint16_t mask = static_cast<uint16_t>(1u << bit);
    value_word = (value_word != 0) ? (word | mask) : (word & ~mask);
  }

  bool permission = may_change_mode;
  int result = kFailed;
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    const int32_t length = BuildWriteCommand(request, value_word);
    if (length == 0) return kRefused;
    bool last = attempt == kAttempts;
    PrepareAttempt(channel);
    int32_t reply_length = 0;
    if (Send(channel.tx_frame, length, channel.port) != kOk) {
      err(kTrace, "DUVAD> DoWrite() error sending write request, retry %d '%s'", attempt, gate.name);
      result = kFailed;
    } else if (Receive(channel.rx_frame, KIV_FRAME_SIZE, &reply_length, channel.port) != kOk) {
      err(kTrace, "DUVAD> DoWrite() error receiving data, retry %d '%s'", attempt, gate.name);
      result = kFailed;
    } else {
      const char* reply = channel.rx_frame;
      uint32_t code = 0;
      switch (CheckEcho(channel.tx_frame, reply, reply_length)) {
        case Echo::kUndefinedCommand:
          err(kTrace, "DUVAD> DoWrite() undefined command '%c%c', retry %d '%s'", channel.tx_frame[3],
              channel.tx_frame[4], attempt, gate.name);
          return kRefused;
        case Echo::kMismatch:
          err(kTrace, "DUVAD> DoWrite() wrong answer to req, retry %d '%s'", attempt, gate.name);
          result = kFailed;
          break;
        case Echo::kMatch:
          if (reply_length != kReplyHeaderLength || !ReadHexField(reply + 5, reply + 7, 2, &code)) {
            err(kTrace, "DUVAD> DoWrite() Error reading response code, retry %d '%s'", attempt, gate.name);
            result = kFailed;
          } else if (code == 0) {
            result = kOk;
          } else {
            err(kTrace, "DUVAD> DoWrite() resp.code. %02xh, retry %d '%s'", code, attempt, gate.name);
            result = IsFinalEndCode(code) ? kRefused : kFailed;
            if (IsModeEndCode(code) && permission) {
              permission = false;
              ChangeToMonitorMode(request);
            } else if (IsFinalEndCode(code)) {
              last = true;
            }
          }
          break;
      }
    }
    if (last) return result;
    // An attempt that leaves one in reserve is followed by the abort, a
    // successful one included.
    SendAbort(channel, gate.address.plc_id);
    if (result == kOk) return kOk;
  }
  return result;
}

}  // namespace

int DoWrite(KivRequest* request, uint32_t opcode) {
  // Whatever happens, the host finds its record and request as it passed them.
  void* const params = request->params;
  GateIo& gate = ParamsOf<GateIo>(request);
  const GateIo saved = gate;
  const int result = DoWriteAttempts(request, opcode, true);
  request->params = params;
  gate = saved;
  return result;
}

int32_t SingleWrite(KivRequest* request) {
  const int result = DoWrite(request, KIV_OP_SINGLE_WRITE);
  if (result != kOk) err(kTrace, "DUVAD> SingleWrite() , ret val is %d", result);
  return result;
}

int32_t BlockWrite(KivRequest* request) {
  const GateIo& gate = ParamsOf<GateIo>(request);
  if (IsString(gate.address.area)) {
    err(kTrace, "DUVAD> BlockWrite() not supported for STRING gates");
    return kRefused;
  }
  const int result = DoWrite(request, KIV_OP_BLOCK_WRITE);
  if (result != kOk) err(kTrace, "DUVAD> BlockWrite() , ret val is %d", result);
  return result;
}

}  // namespace kiv
