// The abort command and the preparation of every transaction attempt.
#include "hostlink/hostlink.h"

namespace kiv {

namespace {
constexpr uint32_t kAbortPauseMs = 100;
}

int SendAbort(ChannelContext& channel, uint32_t unit) {
  if (channel.frame_gap_ms != 0) ComSleep(channel.frame_gap_ms);
  // Built in a local buffer, never in tx_frame: the transaction resends the
  // command that waits there. Units are 0..99; % 10 keeps any value in range.
  const char text[5] = {'@', static_cast<char>('0' + unit / 10 % 10), static_cast<char>('0' + unit % 10),
                        'X', 'Z'};
  (void)Send(text, sizeof text, channel.port);
  ComSleep(kAbortPauseMs);
  (void)ComFlushInput(channel.port);
  return 1;
}

void PrepareAttempt(ChannelContext& channel) {
  (void)ComFlushInput(channel.port);
  if (channel.frame_gap_ms != 0) ComSleep(channel.frame_gap_ms);
}

}  // namespace kiv
