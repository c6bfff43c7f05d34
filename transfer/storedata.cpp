// StoreData: the data of a successful read reply into the gate's storage.
#include <cstring>

#include "address/address.h"
#include "codec/codec.h"
#include "host/host.h"
#include "transfer/transfer.h"

namespace kiv {
namespace {

constexpr uint32_t kSingleOpcode = KIV_OP_SINGLE_READ;

// Reads fields at fixed positions of the reply data, never beyond it.
class ReplyData {
 public:
  ReplyData(const char* data, int32_t length) : data_(data), end_(data + (length > 0 ? length : 0)) {}
  bool Hex(int64_t position, int digits, uint32_t* value) const {
    if (position < 0 || position >= end_ - data_) return false;
    return ReadHexField(data_ + position, end_, digits, value);
  }
  char At(int64_t position) const { return data_[position]; }

 private:
  const char* data_;
  const char* end_;
};

void StoreWord(void* data, size_t index, uint16_t value) {
  std::memcpy(static_cast<char*>(data) + 2 * index, &value, sizeof value);
}
void StoreLong(void* data, size_t index, uint32_t value) {
  std::memcpy(static_cast<char*>(data) + 4 * index, &value, sizeof value);
}

enum class LongKind { kLongBcd, kLong, kFloat };

// Long BCD and long need the modifier alone in bits 8-31; a single 32-bit
// gate with anything else there is read as a float.
LongKind KindOf(uint32_t area) {
  if ((area >> 8) == 'B') return LongKind::kLongBcd;
  if ((area >> 8) == 'L') return LongKind::kLong;
  return LongKind::kFloat;
}

// Converts one 32-bit field. 0 done; otherwise the failure's result after
// its message. `block` picks the block wording of the messages.
int Convert32(const ChannelContext& channel, const GateIo& gate, uint32_t field, bool block, uint32_t* out) {
  switch (KindOf(gate.address.area)) {
    case LongKind::kLongBcd: {
      uint32_t value;
      if (!DecodeLongBcd(field, &value)) {
        // The element's place keeps the exchanged raw number.
        *out = HalfExchange(field);
        err(kTrace, block ? "DUVAD> Storedata() invalid BCD long in long block" : "DUVAD> Storedata() invalid BCD long");
        return kRefused;
      }
      *out = value;
      return kOk;
    }
    case LongKind::kLong:
      *out = HalfExchange(field);
      return kOk;
    case LongKind::kFloat:
      if (gate.address.plc_id < KIV_PLC_COUNT && channel.float_format[gate.address.plc_id] == KIV_FLOAT_IEEE) {
        *out = HalfExchange(field);
        return kOk;
      }
      *out = DecodeBcdFloat(field);
      if (*out == kInvalidBcdFloat) {
        err(kTrace, block ? "DUVAD> Storedata() invalid BCD float in float block" : "DUVAD> Storedata() invalid BCD float");
        return kRefused;
      }
      return kOk;
  }
  return kRefused;
}

int WrongLength(const GateIo& gate) {
  err(kTrace, "DUVAD> StoreData() wrong data len, '%s'", gate.name);
  return kFailed;
}

int IllegalData(const GateIo& gate, int result) {
  err(kTrace, "DUVAD> StoreData() illegal data in telegram, '%s'", gate.name);
  return result;
}

int IllegalMemtype(const GateIo& gate) {
  err(kTrace, "DUVAD> DoRead() illegal memtype, '%s'", gate.name);
  return kRefused;
}

// L characters of a string from 2L hex characters at `first`, into `slot`.
int StoreString(const ReplyData& reply, int64_t first, uint32_t length, char* slot) {
  for (uint32_t i = 0; i < length; ++i) {
    uint32_t byte;
    if (!reply.Hex(first + 2 * int64_t(i), 2, &byte)) {
      err(kTrace, "DUVAD> Storedata() illegal data in telegram for STRING gate");
      return kRefused;
    }
    slot[i] = static_cast<char>(byte);
  }
  slot[length] = '\0';
  return kOk;
}

int StoreSingle(const ChannelContext& channel, GateIo& gate, const ReplyData& reply, int32_t length) {
  const uint32_t area = gate.address.area;
  const char letter = AreaLetter(area);
  uint16_t word;

  if (letter == kAreaTimerSv) {
    if (IsTimerStatus(area)) {
      if (length != 1) return WrongLength(gate);
      const char flag = reply.At(0);
      if (flag != '0' && flag != '1') return IllegalData(gate, kRefused);
      word = static_cast<uint16_t>(flag - '0');
    } else {
      if (length != 4) return WrongLength(gate);
      uint32_t value;
      if (!reply.Hex(0, 4, &value)) return IllegalData(gate, kFailed);
      word = static_cast<uint16_t>(value);
    }
  } else if (IsWordArea(letter)) {
    if (gate.address.width == 32) {
      if (length != 8) return WrongLength(gate);
      uint32_t field, value;
      if (!reply.Hex(0, 8, &field)) return IllegalData(gate, kFailed);
      const int result = Convert32(channel, gate, field, false, &value);
      StoreLong(gate.data, 0, value);
      return result;
    }
    if (IsGateString(gate.gate_type)) {
      const uint32_t characters = StringLength(area);
      // A reply of the wrong length would have the FCS and older buffer
      // content taken as string characters.
      if (int64_t(length) != 2 * int64_t(characters)) return WrongLength(gate);
      return StoreString(reply, 0, characters, static_cast<char*>(gate.data));
    }
    if (length != 4) return WrongLength(gate);
    uint32_t value;
    if (!reply.Hex(0, 4, &value)) return IllegalData(gate, kFailed);
    word = static_cast<uint16_t>(value);
  } else if (letter == kAreaError) {
    if (length != 8) return WrongLength(gate);
    uint32_t value;
    if (!reply.Hex(gate.address.offset == 1 ? 0 : 4, 4, &value)) return IllegalData(gate, kFailed);
    word = static_cast<uint16_t>(value);
  } else if (letter == kAreaStatus) {
    if (length < 4) return WrongLength(gate);
    uint32_t value;
    if (!reply.Hex(0, 4, &value)) return IllegalData(gate, kFailed);
    word = static_cast<uint16_t>(value);
  } else {
    return IllegalMemtype(gate);
  }

  if (gate.address.bit >= 0 && gate.address.bit <= 15) word = (word >> gate.address.bit) & 1;
  else if (gate.address.bit != -1) word = 0;  // no such bit in a word
  StoreWord(gate.data, 1, word);
  return kOk;
}

int StoreBlock(const ChannelContext& channel, GateIo& gate, const ReplyData& reply, int32_t length) {
  const uint32_t area = gate.address.area;
  const char letter = AreaLetter(area);
  const int64_t count = gate.count > 0 ? gate.count : 0;

  if (letter == kAreaTimerSv) {
    if (!IsTimerStatus(area)) return IllegalMemtype(gate);
    if (length != gate.count) return WrongLength(gate);
    auto* flags = static_cast<uint8_t*>(gate.data);
    for (int64_t i = 0; i < count; ++i) {
      const char flag = reply.At(i);
      if (flag != '0' && flag != '1') return IllegalData(gate, kFailed);
      flags[i] = static_cast<uint8_t>(flag - '0');
    }
    return kOk;
  }
  if (!IsWordArea(letter) && letter != kAreaDmBuffer) return IllegalMemtype(gate);

  if (Is32BitKind(area)) {
    if (int64_t(length) != 8 * int64_t(gate.count)) return WrongLength(gate);
    for (int64_t i = 0; i < count; ++i) {
      uint32_t field, value;
      if (!reply.Hex(8 * i, 8, &field)) return IllegalData(gate, kFailed);
      const int result = Convert32(channel, gate, field, true, &value);
      StoreLong(gate.data, size_t(i), value);
      if (result != kOk) return result;
    }
    return kOk;
  }
  if (IsString(area)) {
    const uint32_t characters = StringLength(area);
    if (characters > KIV_STRING_SLOT_SIZE - 1) {
      err(kTrace, "DUVAD> StoreData() string too long for a block slot, '%s'", gate.name);
      return kRefused;
    }
    if (int64_t(length) != 2 * int64_t(characters) * int64_t(gate.count)) return WrongLength(gate);
    auto* slots = static_cast<char*>(gate.data);
    for (int64_t k = 0; k < count; ++k) {
      const int result = StoreString(reply, 2 * k * characters, characters, slots + KIV_STRING_SLOT_SIZE * k);
      if (result != kOk) return result;
    }
    return kOk;
  }
  if (int64_t(length) != 4 * int64_t(gate.count)) return WrongLength(gate);
  for (int64_t i = 0; i < count; ++i) {
    uint32_t value;
    if (!reply.Hex(4 * i, 4, &value)) return IllegalData(gate, kFailed);
    StoreWord(gate.data, size_t(i), static_cast<uint16_t>(value));
  }
  return kOk;
}

}  // namespace

int StoreData(KivRequest* request, const char* data, int32_t length, uint32_t opcode) {
  const ChannelContext& channel = ChannelOf(request);
  GateIo& gate = ParamsOf<GateIo>(request);
  // No reply has a negative amount of data; refusing it keeps a negative
  // count from matching a negative length.
  if (length < 0) return WrongLength(gate);
  const ReplyData reply(data, length);
  if (opcode == kSingleOpcode) return StoreSingle(channel, gate, reply, length);
  return StoreBlock(channel, gate, reply, length);
}

}  // namespace kiv
