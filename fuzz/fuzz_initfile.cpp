// Initialisation files of any content, read by ColdStart.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>

#include "fuzz/fuzz_common.h"
#include "kivhnom/kivhnom.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = [] {
    kivfuzz::Quiet();
    static char dir[] = "/tmp/kivfuzzXXXXXX";
    return mkdtemp(dir) != nullptr && chdir(dir) == 0;
  }();
  if (!ready) return 0;
  FILE* file = fopen("DUVAD.INT", "wb");
  if (!file) return 0;
  fwrite(data, 1, size, file);
  fclose(file);
  static ChannelContext channel;
  std::memset(&channel, 0, sizeof channel);
  ColdStartParams start{};
  std::strcpy(start.port_name, "NULLDEV");
  start.comm_enabled = 1;
  start.reply_timeout = 10;
  KivRequest request{&channel, KIV_OP_COLD_START, 7, 0, &start};
  if (KivMain(&request) != 0) __builtin_trap();
  for (uint8_t format : channel.float_format)
    if (format != KIV_FLOAT_BCD && format != KIV_FLOAT_IEEE) __builtin_trap();
  return 0;
}
