// Channel start and end without a line: ColdStart's defaults and messages,
// the no-communication names, comm_enabled 0, ports that cannot be opened,
// WarmStart, CloseCom and EndKiv on a channel without a port.
#include <gtest/gtest.h>

#include "tests/channel/channel_fixture.h"

namespace channeltest {
namespace {

using ColdStart = InTempDir;

void ExpectDefaults(const ChannelContext& channel, int32_t reply_timeout) {
  EXPECT_EQ(channel.reply_timeout, reply_timeout);
  EXPECT_EQ(channel.port, 0u);
  EXPECT_EQ(channel.frame_gap_ms, 0u);
  for (int plc = 0; plc < KIV_PLC_COUNT; ++plc)
    ASSERT_EQ(channel.float_format[plc], KIV_FLOAT_BCD) << "plc " << plc;
}

TEST_F(ColdStart, NoCommunicationNamesOpenNothingAndStoreTheSettings) {
  struct Case {
    const char* name;
    uint16_t host_flags;     // open_flags as the host left them
    uint16_t stored_flags;   // what the block holds afterwards
  };
  const Case cases[] = {
      {"NULLDEV", 0x0101, 0x0101},  // the host's flags stay
      {"NUL", 0x8000, 0x8000},
      {"NULLDEV", 0, KIV_OPEN_DEFAULT},  // zero: the flags the start used
      {"NUL", 0, KIV_OPEN_DEFAULT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " flags " + std::to_string(c.host_flags));
    kivtest::LogCapture log;
    ChannelContext channel = DirtyChannel();
    channel.port_config.open_flags = c.host_flags;
    ColdStartParams params = StartParams(c.name, 1, 37, {4800, 8, 0, 1});
    EXPECT_EQ(Call(KIV_OP_COLD_START, &channel, &params), KIV_OK);
    EXPECT_EQ(AfterVersion(log.Lines()),
              (std::vector<LogLine>{kNoInitFile, kNullDevStart, kColdStartDone}));
    ExpectDefaults(channel, 37);
    EXPECT_STREQ(channel.port_config.port_name, c.name);
    // The rest of the name field is cleared, not left as the host had it.
    for (size_t i = std::strlen(c.name); i < KIV_PORT_NAME_SIZE; ++i)
      EXPECT_EQ(channel.port_config.port_name[i], '\0');
    EXPECT_TRUE(SameLine(channel.port_config.line, LineSettings{4800, 8, 0, 1}));
    EXPECT_EQ(channel.port_config.open_flags, c.stored_flags);
  }
}

TEST_F(ColdStart, CommunicationDisabledLeavesThePortConfigAlone) {
  kivtest::LogCapture log;
  ChannelContext channel = DirtyChannel();
  const PortConfig before = channel.port_config;
  ColdStartParams params = StartParams("ttyS0", 0, 12);
  EXPECT_EQ(Call(KIV_OP_COLD_START, &channel, &params), KIV_OK);
  EXPECT_EQ(AfterVersion(log.Lines()), (std::vector<LogLine>{kNoInitFile, kColdStartDone}));
  ExpectDefaults(channel, 12);
  EXPECT_EQ(std::memcmp(&channel.port_config, &before, sizeof before), 0);
}

TEST_F(ColdStart, TheInitFileIsReadAlsoWithoutCommunication) {
  WriteFile("DUVAD.INT", "IFG = 15\nIEEE 9\n");
  kivtest::LogCapture log;
  ChannelContext channel = DirtyChannel();
  ColdStartParams params = StartParams("ttyS0", 0);
  EXPECT_EQ(Call(KIV_OP_COLD_START, &channel, &params), KIV_OK);
  EXPECT_EQ(AfterVersion(log.Lines()),
            (std::vector<LogLine>{Trace("DUVAD> ReadInitFile()  IFG= 15"),
                                  Trace("DUVAD> ReadInitFile()  plc 9 uses IEEE floats"),
                                  kColdStartDone}));
  EXPECT_EQ(channel.frame_gap_ms, 15u);
  EXPECT_EQ(channel.float_format[9], KIV_FLOAT_IEEE);
  EXPECT_EQ(channel.float_format[8], KIV_FLOAT_BCD);
}

// Names that only resemble the no-communication names, and ports that do
// not exist, go to the open and fail there: result 1, the port
// configuration untouched, the defaults set all the same.
TEST_F(ColdStart, AnUnopenablePortRefusesTheStart) {
  for (const char* name : {"nul", "NULLDEV1", "NUL ", "nulldev", "ttyNOSUCH9", "/no/such"}) {
    SCOPED_TRACE(name);
    kivtest::LogCapture log;
    ChannelContext channel = DirtyChannel();
    const PortConfig before = channel.port_config;
    ColdStartParams params = StartParams(name, 1, 20);
    EXPECT_EQ(Call(KIV_OP_COLD_START, &channel, &params), KIV_REFUSED);
    EXPECT_EQ(AfterVersion(log.Lines()),
              (std::vector<LogLine>{kNoInitFile, kOpenFailed,
                                    Trace(std::string("DUVAD> ColdStart() unable to open ") +
                                          name + " port")}));
    ExpectDefaults(channel, 20);
    EXPECT_EQ(std::memcmp(&channel.port_config, &before, sizeof before), 0);
  }
}

// A host name field of 12 characters without a NUL is read as its first
// 11 characters, never beyond the field.
TEST_F(ColdStart, AnUnterminatedNameFieldIsCutToElevenCharacters) {
  kivtest::LogCapture log;
  ChannelContext channel = DirtyChannel();
  ColdStartParams params = StartParams("");
  std::memcpy(params.port_name, "NULLDEVXXXYZ", KIV_PORT_NAME_SIZE);
  params.comm_enabled = 0x4E4E4E4E;  // "NNNN" right behind the field
  EXPECT_EQ(Call(KIV_OP_COLD_START, &channel, &params), KIV_REFUSED);
  EXPECT_EQ(log.Lines().back(), Trace("DUVAD> ColdStart() unable to open NULLDEVXXXY port"));
}

TEST_F(ColdStart, OnlyTheNameUpToItsNulIsStored) {
  ChannelContext channel = DirtyChannel();
  ColdStartParams params = StartParams("");
  std::memcpy(params.port_name, "NUL\0GARBAGE!", KIV_PORT_NAME_SIZE);
  EXPECT_EQ(Call(KIV_OP_COLD_START, &channel, &params), KIV_OK);
  const char expected[KIV_PORT_NAME_SIZE] = "NUL";
  EXPECT_EQ(std::memcmp(channel.port_config.port_name, expected, sizeof expected), 0);
}

using NoPort = InTempDir;

TEST_F(NoPort, WarmStartCloseComAndEndKivOnlyLog) {
  ChannelContext channel = DirtyChannel();
  ColdStartParams params = StartParams("NULLDEV");
  ASSERT_EQ(Call(KIV_OP_COLD_START, &channel, &params), KIV_OK);
  const ChannelContext started = channel;

  kivtest::LogCapture log;
  EXPECT_EQ(Call(KIV_OP_WARM_START, &channel), KIV_OK);
  EXPECT_EQ(Call(KIV_OP_CLOSE_COM, &channel), KIV_OK);
  EXPECT_EQ(Call(KIV_OP_CLOSE_COM, &channel), KIV_OK);
  EXPECT_EQ(Call(KIV_OP_END_KIV, &channel), KIV_OK);
  EXPECT_EQ(log.Lines(), (std::vector<LogLine>{Trace("DUVAD> WarmStart() exited, 0"), kCloseDone,
                                               kCloseDone, kCloseDone,
                                               Trace("DUVAD> EndKiv() exited, 0")}));
  EXPECT_EQ(std::memcmp(&channel, &started, sizeof channel), 0);
}

TEST_F(NoPort, ColdStartAfterEndKivStartsAgain) {
  ChannelContext channel = DirtyChannel();
  ColdStartParams first = StartParams("NULLDEV", 1, 10);
  ASSERT_EQ(Call(KIV_OP_COLD_START, &channel, &first), KIV_OK);
  ASSERT_EQ(Call(KIV_OP_END_KIV, &channel), KIV_OK);
  channel.float_format[4] = KIV_FLOAT_IEEE;
  channel.frame_gap_ms = 99;
  ColdStartParams second = StartParams("NUL", 1, 30, {19200, 8, 0, 0});
  EXPECT_EQ(Call(KIV_OP_COLD_START, &channel, &second), KIV_OK);
  ExpectDefaults(channel, 30);
  EXPECT_STREQ(channel.port_config.port_name, "NUL");
  EXPECT_TRUE(SameLine(channel.port_config.line, LineSettings{19200, 8, 0, 0}));
}

}  // namespace
}  // namespace channeltest
