// Placeholder operations until the channel layer lands: answer 2.
#include "channel/channel.h"

namespace kiv {
int32_t ColdStart(KivRequest*) { return 2; }
int32_t WarmStart(KivRequest*) { return 2; }
int32_t EndKiv(KivRequest*) { return 2; }
int32_t CloseCom(KivRequest*) { return 2; }
int32_t ReOpenCom(KivRequest*) { return 2; }
int32_t GetKivInfo(KivRequest*) { return 2; }
int32_t ChangeKivParams(KivRequest*) { return 2; }
}  // namespace kiv
