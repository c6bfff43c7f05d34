// Reply data of any length and bytes into every kind of gate.
#include <cstring>
#include <vector>

#include "address/address.h"
#include "fuzz/fuzz_common.h"
#include "transfer/transfer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = (kivfuzz::Quiet(), true);
  (void)quiet;
  if (size < 4) return 0;
  static const uint32_t kAreas[] = {
      kiv::MakeArea('D'),      kiv::MakeArea('D', 'L'), kiv::MakeArea('D', 'B'), kiv::MakeArea('D', 'F'),
      kiv::MakeArea('D', 'S', 4), kiv::MakeArea('D', 'S', 98), kiv::MakeArea('#', '0'), kiv::MakeArea('#', '5'),
      kiv::MakeArea('F', 0, 1), kiv::MakeArea('S'),     kiv::MakeArea('X'),      kiv::MakeArea('C'),
      kiv::MakeArea('Z')};
  const uint32_t area = kAreas[data[0] % (sizeof kAreas / sizeof kAreas[0])];
  const int32_t count = int32_t(data[1] % 64) - 2;
  const uint32_t opcode = data[2] & 1 ? KIV_OP_SINGLE_READ : KIV_OP_BLOCK_READ;
  const int32_t width = kiv::Is32BitKind(area) ? 32 : kiv::IsTimerStatus(area) ? 8 : 16;
  const int32_t type = kiv::IsString(area) ? KIV_GATE_STRING : int32_t(data[3] % 8);
  // Storage exactly as large as the layout needs.
  size_t need = 4;
  if (count > 0) {
    if (kiv::IsString(area)) need = opcode == KIV_OP_SINGLE_READ ? kiv::StringLength(area) + 1 : size_t(count) * KIV_STRING_SLOT_SIZE;
    else need = std::max<size_t>(4, size_t(count) * 4);
  }
  if (opcode == KIV_OP_SINGLE_READ && kiv::IsString(area)) need = std::max<size_t>(need, kiv::StringLength(area) + 1);
  std::vector<uint8_t> storage(need);
  ChannelContext channel{};
  channel.float_format[0] = data[3] & 0x80 ? KIV_FLOAT_IEEE : KIV_FLOAT_BCD;
  GateIo gate{"fuzz", 0, {0, area, 1, data[3] & 0x40 ? int32_t(data[3] % 16) : -1, width}, type,
              opcode == KIV_OP_SINGLE_READ ? 1 : count, 0, storage.data(), 0};
  KivRequest request{&channel, opcode, 0, 0, &gate};
  const std::vector<char> reply(data + 4, data + size);  // exactly the data, nothing after
  kiv::StoreData(&request, reply.data(), int32_t(reply.size()), opcode);
  return 0;
}
