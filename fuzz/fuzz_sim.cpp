// The simulator's command handling with any command text.
#include <string>

#include "fuzz/fuzz_common.h"
#include "simulator.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static hlsim::Plc* plc = new hlsim::Plc();
  if (size == 0) return 0;
  // The first byte picks the mode; the rest is a frame's text from its "@".
  plc->mode = data[0] & 1 ? hlsim::Mode::Monitor : hlsim::Mode::Run;
  const std::string command = "@" + std::string(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string reply = plc->Handle(command);
  if (!reply.empty() && (reply.size() < 5 || reply.compare(0, 3, command, 0, 3) != 0)) __builtin_trap();
  return 0;
}
