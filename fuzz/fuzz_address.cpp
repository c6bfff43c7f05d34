// Address texts of any bytes through operations 3 and 4.
#include <string>

#include "fuzz/fuzz_common.h"
#include "kivhnom/kivhnom.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = (kivfuzz::Quiet(), true);
  (void)quiet;
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  ChannelContext channel{};
  GateDefinition definition{text.c_str(), 0, int32_t(data[0] % 10) - 1, int32_t(data[0] >> 4), {}};
  KivRequest request{&channel, KIV_OP_SINGLE_ADDRESS_PARSER, 0, 0, &definition};
  const int32_t single = KivMain(&request);
  request.opcode = KIV_OP_BLOCK_ADDRESS_PARSER;
  const int32_t block = KivMain(&request);
  if ((single != 0 && single != 1) || (block != 0 && block != 1)) __builtin_trap();
  return 0;
}
