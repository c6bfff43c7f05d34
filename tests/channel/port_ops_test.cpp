// Port management without a line: the driver description, ReOpenCom and
// ChangeKivParams on channels without communication or with ports that
// cannot be opened.
#include <gtest/gtest.h>

#include "tests/channel/channel_fixture.h"

namespace channeltest {
namespace {

// Written out independently of the driver's construction of it.
std::string ExpectedBanner() {
  const std::string rule(71, '\xCD');
  return std::string("\x08\x0A") + "\xC9" + rule + "\xBB" + "\x0A" + "\xBA" +
         "  DUVAD:  OMRON Host Link protocol" + std::string(21, ' ') + "(32-bit driver) " + "\xBA" +
         "\x0A" + "\xC8" + rule + "\xBC";
}

TEST(GetKivInfo, DescribesTheDriverWithoutAChannel) {
  kivtest::LogCapture log;
  DriverInfo info;
  std::memset(&info, 0x5A, sizeof info);
  // The channel block is not used: no block at all.
  KivRequest request{nullptr, KIV_OP_GET_KIV_INFO, 0, 0, &info};
  EXPECT_EQ(KivMain(&request), KIV_OK);
  EXPECT_EQ(log.Lines(), (std::vector<LogLine>{Trace("DUVAD> GetKivInfo() exited")}));

  EXPECT_EQ(info.info_kind, 70u);
  ASSERT_NE(info.family_name, nullptr);
  EXPECT_STREQ(info.family_name, "Omron SYSMAC family");
  ASSERT_NE(info.banner, nullptr);
  const std::string banner = info.banner;
  EXPECT_EQ(banner.size(), 223u);
  EXPECT_EQ(banner, ExpectedBanner());
  EXPECT_EQ(info.context_size, 4486u);
  EXPECT_EQ(info.info_version, 4u);
  EXPECT_TRUE(SameLine(info.default_line, LineSettings{9600, 7, 2, 2}));
  EXPECT_EQ(info.info_flags, 3u);

  // The texts are the library's own constants: the same on every call.
  DriverInfo again{};
  request.params = &again;
  EXPECT_EQ(KivMain(&request), KIV_OK);
  EXPECT_EQ(again.family_name, info.family_name);
  EXPECT_EQ(again.banner, info.banner);
}

using PortOps = InTempDir;

// A started channel without communication (its start lines swallowed).
ChannelContext NullChannel(int32_t reply_timeout = 40, LineSettings line = {9600, 7, 2, 2}) {
  kivtest::LogCapture quiet;
  ChannelContext channel = DirtyChannel();
  ColdStartParams params = StartParams("NULLDEV", 1, reply_timeout, line);
  EXPECT_EQ(Call(KIV_OP_COLD_START, &channel, &params), KIV_OK);
  return channel;
}

TEST_F(PortOps, ReOpenComWithoutCommunicationOpensNothing) {
  for (const char* name : {"NULLDEV", "NUL"}) {
    SCOPED_TRACE(name);
    ChannelContext channel = NullChannel();
    SetName(channel.port_config.port_name, name);
    const ChannelContext before = channel;
    kivtest::LogCapture log;
    EXPECT_EQ(Call(KIV_OP_REOPEN_COM, &channel), KIV_OK);
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{
                               Trace("DUVAD> ReOpenCom() NULLDEV => no communications"),
                               Trace("DUVAD> ReOpenCom() exited 0")}));
    EXPECT_EQ(std::memcmp(&channel, &before, sizeof channel), 0);
  }
}

TEST_F(PortOps, ReOpenComOfAnUnopenablePortFails) {
  ChannelContext channel = NullChannel();
  SetName(channel.port_config.port_name, "ttyNOSUCH7");
  const ChannelContext before = channel;
  kivtest::LogCapture log;
  EXPECT_EQ(Call(KIV_OP_REOPEN_COM, &channel), KIV_FAILED);
  EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kOpenFailed, Notice("DUVAD> ReOpenCom() exited 2")}));
  EXPECT_EQ(std::memcmp(&channel, &before, sizeof channel), 0);
}

// reply_timeout 0 or -1 and baud_rate 0 keep what the block holds.
TEST_F(PortOps, ChangeKivParamsKeepsOrReplacesTimeoutAndLine) {
  struct Case {
    int32_t timeout;
    LineSettings line;
    int32_t stored_timeout;
    LineSettings stored_line;
  };
  const LineSettings old_line{9600, 7, 2, 2};
  const LineSettings new_line{19200, 8, 0, 0};
  const Case cases[] = {
      {-1, {0, 8, 0, 0}, 40, old_line},
      {0, {0, 0, 0, 0}, 40, old_line},
      {25, {0, 8, 1, 1}, 25, old_line},
      {-1, new_line, 40, new_line},
      {300, {1200, 7, 0, 1}, 300, {1200, 7, 0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("timeout " + std::to_string(c.timeout) + " baud " +
                 std::to_string(c.line.baud_rate));
    ChannelContext channel = NullChannel(40, old_line);
    ChangeParams params = NewParams("NUL", c.timeout, c.line);
    kivtest::LogCapture log;
    EXPECT_EQ(Call(KIV_OP_CHANGE_KIV_PARAMS, &channel, &params), KIV_OK);
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{
                               Trace("DUVAD> ChangeKivParams() NULLDEV => no communications")}));
    EXPECT_EQ(channel.reply_timeout, c.stored_timeout);
    EXPECT_TRUE(SameLine(channel.port_config.line, c.stored_line));
    EXPECT_STREQ(channel.port_config.port_name, "NUL");
    EXPECT_EQ(channel.port, 0u);
  }
}

// A failed open still stores the new settings, so a later ReOpenCom tries
// the new port again.
TEST_F(PortOps, ChangeKivParamsToAnUnopenablePortFailsButKeepsTheSettings) {
  ChannelContext channel = NullChannel(40);
  ChangeParams params = NewParams("ttyNOSUCH8", 70, {2400, 8, 0, 0});
  kivtest::LogCapture log;
  EXPECT_EQ(Call(KIV_OP_CHANGE_KIV_PARAMS, &channel, &params), KIV_FAILED);
  EXPECT_EQ(log.Lines(),
            (std::vector<LogLine>{kOpenFailed, Trace("DUVAD> ChangeKivParams() exited 2")}));
  EXPECT_STREQ(channel.port_config.port_name, "ttyNOSUCH8");
  EXPECT_EQ(channel.reply_timeout, 70);
  EXPECT_TRUE(SameLine(channel.port_config.line, LineSettings{2400, 8, 0, 0}));
  EXPECT_EQ(channel.port, 0u);

  log.Clear();
  EXPECT_EQ(Call(KIV_OP_REOPEN_COM, &channel), KIV_FAILED);
  EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kOpenFailed, Notice("DUVAD> ReOpenCom() exited 2")}));
}

TEST_F(PortOps, ChangeKivParamsReadsAtMostElevenNameCharacters) {
  ChannelContext channel = NullChannel();
  ChangeParams params = NewParams("");
  std::memcpy(params.port_name, "NULLDEVNULLD", KIV_PORT_NAME_SIZE);
  params.reply_timeout = 0x41414141;  // "AAAA" right behind the field
  kivtest::LogCapture log;
  EXPECT_EQ(Call(KIV_OP_CHANGE_KIV_PARAMS, &channel, &params), KIV_FAILED);
  const char expected[KIV_PORT_NAME_SIZE] = "NULLDEVNULL";
  EXPECT_EQ(std::memcmp(channel.port_config.port_name, expected, sizeof expected), 0);
}

}  // namespace
}  // namespace channeltest
