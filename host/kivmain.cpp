// KivMain: the driver's only export. Looks the operation up in a fixed
// table of 16 slots; empty and out-of-range codes answer 2 silently.
#include "address/address.h"
#include "channel/channel.h"
#include "host/host.h"
#include "transfer/transfer.h"

namespace kiv {

extern const char kModuleDescription[] __attribute__((used)) =
    "KIVHNOM Omron Host Link Dynamic Link Library";

namespace {

constexpr Operation kOperations[17] = {
    nullptr,              // 0
    ColdStart,            // 1
    WarmStart,            // 2
    SingleAddressParser,  // 3
    BlockAddressParser,   // 4
    SingleRead,           // 5
    BlockRead,            // 6
    SingleWrite,          // 7
    nullptr,              // 8
    nullptr,              // 9
    BlockWrite,           // 10
    EndKiv,               // 11
    CloseCom,             // 12
    ReOpenCom,            // 13
    GetKivInfo,           // 14
    ChangeKivParams,      // 15
    nullptr,              // 16
};

}  // namespace
}  // namespace kiv

extern "C" __attribute__((visibility("default"))) int32_t KivMain(KivRequest* request) {
  const uint32_t opcode = request->opcode;
  if (opcode >= sizeof kiv::kOperations / sizeof kiv::kOperations[0]) return kiv::kFailed;
  const kiv::Operation operation = kiv::kOperations[opcode];
  if (operation == nullptr) return kiv::kFailed;
  return operation(request);
}
