// PutData: the gate's value into the data text of a write command.
//
// The single-element encoding is chosen by count == 1. For a block of one
// 16-bit or 8-bit element the write transaction passes the block's first
// element as the value word, since a block keeps it at the start of the
// storage, not in the second 16-bit word.
#include <cstring>

#include "address/address.h"
#include "codec/codec.h"
#include "host/host.h"
#include "transfer/transfer.h"

namespace kiv {
namespace {

uint32_t LoadLong(const void* data, size_t index) {
  uint32_t value;
  std::memcpy(&value, static_cast<const char*>(data) + 4 * index, sizeof value);
  return value;
}
uint16_t LoadWord(const void* data, size_t index) {
  uint16_t value;
  std::memcpy(&value, static_cast<const char*>(data) + 2 * index, sizeof value);
  return value;
}

// One 32-bit element in the gate's format. 0 done, 1 after its message.
int Encode32(const ChannelContext& channel, const GateIo& gate, uint32_t value, bool block, uint32_t* word) {
  const char modifier = AreaModifier(gate.address.area);
  if (modifier == 'B') {
    if (!EncodeLongBcd(value, word)) {
      err(kTrace, block ? "DUVAD> PutData() overflow in long BCD in block" : "DUVAD> PutData() overflow in long BCD");
      return kRefused;
    }
    return kOk;
  }
  if (modifier == 'L' ||
      (gate.address.plc_id < KIV_PLC_COUNT && channel.float_format[gate.address.plc_id] == KIV_FLOAT_IEEE)) {
    *word = HalfExchange(value);
    return kOk;
  }
  float number;
  std::memcpy(&number, &value, sizeof number);
  if (EncodeBcdFloat(number, word) != 0) {
    err(kTrace, "DUVAD> PutData() BCD float out of range");
    return kRefused;
  }
  return kOk;
}

int TooLong() {
  err(kTrace, "DUVAD> PutData() data too long for the command buffer");
  return kRefused;
}

}  // namespace

int PutData(KivRequest* request, uint32_t value_word, char* text, int32_t capacity, int32_t* length) {
  const ChannelContext& channel = ChannelOf(request);
  const GateIo& gate = ParamsOf<GateIo>(request);
  const PlcAddress& address = gate.address;
  const int64_t room = capacity > 0 ? capacity : 0;

  if (gate.count == 1) {
    int32_t size;
    if (address.width == 32) {
      uint32_t word;
      if (room < 8) return TooLong();
      if (Encode32(channel, gate, LoadLong(gate.data, 0), false, &word) != kOk) return kRefused;
      WriteHex(text, word, 8);
      size = 8;
    } else if (IsGateString(gate.gate_type)) {
      const uint32_t characters = StringLength(address.area);
      if (2 * int64_t(characters) > room) return TooLong();
      // Every one of the L bytes goes out, a NUL and what follows included.
      const auto* bytes = static_cast<const uint8_t*>(gate.data);
      for (uint32_t i = 0; i < characters; ++i) WriteHex(text + 2 * i, bytes[i], 2);
      size = int32_t(2 * characters);
    } else if (address.width == 16) {
      if (room < 4) return TooLong();
      WriteHex(text, value_word & 0xFFFF, 4);
      size = 4;
    } else {
      // A completion flag is two characters; a larger value would lengthen
      // the command beyond what was counted, so it is refused, not cut.
      if ((value_word & 0xFFFF) > 0xFF) {
        err(kTrace, "DUVAD> PutData() completion flag value above 255");
        return kRefused;
      }
      if (room < 2) return TooLong();
      WriteHex(text, value_word & 0xFF, 2);
      size = 2;
    }
    text[size] = '\0';
    *length = size;
    return kOk;
  }

  const int64_t count = gate.count > 0 ? gate.count : 0;
  int element_size;
  if (Is32BitKind(address.area)) element_size = 8;
  else if (address.width == 16) element_size = 4;
  else element_size = 2;
  if (count * element_size > room) return TooLong();

  for (int64_t i = 0; i < count; ++i) {
    char* place = text + element_size * i;
    if (element_size == 8) {
      uint32_t word;
      if (Encode32(channel, gate, LoadLong(gate.data, size_t(i)), true, &word) != kOk) return kRefused;
      WriteHex(place, word, 8);
    } else if (element_size == 4) {
      WriteHex(place, LoadWord(gate.data, size_t(i)), 4);
    } else {
      WriteHex(place, static_cast<const uint8_t*>(gate.data)[i], 2);
    }
  }
  text[count * element_size] = '\0';
  *length = int32_t(count * element_size);
  return kOk;
}

}  // namespace kiv
