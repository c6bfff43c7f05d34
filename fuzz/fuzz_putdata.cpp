// Any stored values of every kind into a write command's data text.
#include <cstring>
#include <vector>

#include "address/address.h"
#include "fuzz/fuzz_common.h"
#include "transfer/transfer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = (kivfuzz::Quiet(), true);
  (void)quiet;
  if (size < 6) return 0;
  static const uint32_t kAreas[] = {kiv::MakeArea('D'), kiv::MakeArea('D', 'L'), kiv::MakeArea('D', 'B'),
                                    kiv::MakeArea('D', 'F'), kiv::MakeArea('D', 'S', 20), kiv::MakeArea('#', '0')};
  const uint32_t area = kAreas[data[0] % (sizeof kAreas / sizeof kAreas[0])];
  const int32_t count = int32_t(data[1] % 80) - 2;
  const int32_t width = kiv::Is32BitKind(area) ? 32 : kiv::IsTimerStatus(area) ? 8 : 16;
  uint32_t value_word;
  std::memcpy(&value_word, data + 2, 4);
  const size_t need = std::max<size_t>(32, count > 0 ? size_t(count) * 4 : 0);
  std::vector<uint8_t> storage(need, 0);
  std::memcpy(storage.data(), data + 6, std::min(need, size - 6));
  ChannelContext channel{};
  channel.float_format[0] = data[0] & 0x80 ? KIV_FLOAT_IEEE : KIV_FLOAT_BCD;
  GateIo gate{"fuzz", 0, {0, area, 0, -1, width}, kiv::IsString(area) ? KIV_GATE_STRING : 0, count, 0,
              storage.data(), 0};
  KivRequest request{&channel, KIV_OP_BLOCK_WRITE, 0, 0, &gate};
  const int32_t capacity = KIV_FRAME_SIZE - 10;
  std::vector<char> text(size_t(capacity) + 1);
  int32_t length = -1;
  if (kiv::PutData(&request, value_word, text.data(), capacity, &length) == 0 &&
      (length < 0 || length > capacity || text[size_t(length)] != '\0'))
    __builtin_trap();
  return 0;
}
