// The operation table: empty and out-of-range codes answer 2 and log nothing.
#include <gtest/gtest.h>

#include <cstring>

#include "kivhnom/kivhnom.h"
#include "tests/support/log_capture.h"

namespace {

TEST(KivMain, EmptyAndOutOfRangeCodesAnswerTwoSilently) {
  for (uint32_t opcode : {0u, 8u, 9u, 16u, 17u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    kivtest::LogCapture log;
    ChannelContext channel;
    std::memset(&channel, 0xA5, sizeof channel);
    ChannelContext before = channel;
    KivRequest request{&channel, opcode, 0, 0, nullptr};
    EXPECT_EQ(KivMain(&request), KIV_FAILED) << "opcode " << opcode;
    EXPECT_TRUE(log.Lines().empty()) << "opcode " << opcode;
    EXPECT_EQ(std::memcmp(&channel, &before, sizeof channel), 0) << "opcode " << opcode;
  }
}

TEST(HostAbi, RecordLayoutsAreTheNaturalCLayout) {
  EXPECT_EQ(sizeof(ChannelContext), 4486u);
  EXPECT_EQ(offsetof(ChannelContext, port_config) + offsetof(PortConfig, open_flags), 32u);
  EXPECT_EQ(sizeof(KivRequest), 32u);
  EXPECT_EQ(offsetof(KivRequest, params), 24u);
  EXPECT_EQ(sizeof(ColdStartParams), 28u);
  EXPECT_EQ(sizeof(ChangeParams), 24u);
  EXPECT_EQ(offsetof(DriverInfo, default_line), 32u);
  EXPECT_EQ(sizeof(GateDefinition), 40u);
  EXPECT_EQ(offsetof(GateDefinition, address), 20u);
  EXPECT_EQ(offsetof(GateIo, address), 12u);
  EXPECT_EQ(offsetof(GateIo, data), 48u);
  EXPECT_EQ(sizeof(GateIo), 64u);
}

}  // namespace
