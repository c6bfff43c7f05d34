// Hostile host input: records filled wrongly on purpose. The driver must
// refuse clearly and never touch memory outside them (these tests also run
// under AddressSanitizer).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "kivhnom/kivhnom.h"
#include "simulator.h"
#include "tests/support/log_capture.h"

namespace {

int32_t Call(ChannelContext* channel, uint32_t opcode, void* params, uint32_t number = 0) {
  KivRequest request{channel, opcode, number, 0, params};
  return KivMain(&request);
}

TEST(Hostile, PortNamesWithoutTerminator) {
  kivtest::LogCapture log;
  auto channel = std::make_unique<ChannelContext>();
  std::memset(channel.get(), 0, sizeof *channel);
  // Heap records sized exactly, so a read past the name field is caught.
  auto start = std::make_unique<ColdStartParams>();
  std::memset(start->port_name, 'x', sizeof start->port_name);
  start->comm_enabled = 1;
  start->reply_timeout = 10;
  start->line = {9600, 7, 2, 2};
  EXPECT_EQ(Call(channel.get(), KIV_OP_COLD_START, start.get()), KIV_REFUSED);
  EXPECT_TRUE(log.Contains("DUVAD> ColdStart() unable to open xxxxxxxxxxx port")) << "11 characters at most";

  auto change = std::make_unique<ChangeParams>();
  std::memset(change->port_name, 'N', sizeof change->port_name);
  change->reply_timeout = -1;
  EXPECT_EQ(Call(channel.get(), KIV_OP_CHANGE_KIV_PARAMS, change.get()), KIV_FAILED);
  EXPECT_EQ(channel->port_config.port_name[KIV_PORT_NAME_SIZE - 1], '\0');
  EXPECT_EQ(Call(channel.get(), KIV_OP_REOPEN_COM, nullptr), KIV_FAILED);
}

class HostileGates : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_.Start();
    sim_.SetMode(0, hlsim::Mode::Monitor);
    std::memset(&channel_, 0, sizeof channel_);
    ColdStartParams start{};
    std::strncpy(start.port_name, sim_.port_name().c_str(), sizeof start.port_name - 1);
    start.comm_enabled = 1;
    start.reply_timeout = 10;
    start.line = {9600, 7, 2, 2};
    ASSERT_EQ(Call(&channel_, KIV_OP_COLD_START, &start), KIV_OK);
  }
  void TearDown() override { Call(&channel_, KIV_OP_END_KIV, nullptr); }
  hlsim::Simulator sim_;
  ChannelContext channel_;
  kivtest::LogCapture log_;
};

TEST_F(HostileGates, HugeAndNegativeCountsAndAddressesAreRefusedBeforeTheLine) {
  struct Row {
    const char* text;
    uint32_t area_override;
    int32_t offset;
    int32_t count;
  } rows[] = {
      {"000000", 0, 0, -1},          {"000000", 0, 0, 0},          {"000000", 0, 0, 0x7FFFFFFF},
      {"000000", 0, 0, INT32_MIN},   {"000000", 0, -5, 1},         {"000000", 0, 10000, 1},
      {"000000L", 0, 5000, 1},       {"000000L", 0, 0, 0x40000000}, {"00V0000", 0, 0, 3000},
      {"000000S20", 0, 0, 1000},     {"000000", 0, 9999, 9999},
  };
  uint8_t storage[64] = {};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.text) + " offset " + std::to_string(row.offset) + " count " + std::to_string(row.count));
    GateDefinition definition{row.text, 0, 0, 1, {}};
    Call(&channel_, KIV_OP_BLOCK_ADDRESS_PARSER, &definition);
    GateIo gate{row.text, 0, definition.address, 0, row.count, 0, storage, 0};
    gate.address.offset = row.offset;
    for (uint32_t opcode : {KIV_OP_SINGLE_READ, KIV_OP_BLOCK_READ, KIV_OP_SINGLE_WRITE, KIV_OP_BLOCK_WRITE}) {
      sim_.ResetCounters();
      log_.Clear();
      const int32_t result = Call(&channel_, opcode, &gate);
      if (row.offset == 9999 && row.count == 9999 && (opcode == KIV_OP_SINGLE_READ || opcode == KIV_OP_BLOCK_READ)) {
        EXPECT_EQ(result, KIV_REFUSED) << "the reply could not fit: refused before sending";
      } else {
        EXPECT_EQ(result, KIV_REFUSED) << opcode;
      }
      EXPECT_EQ(sim_.counters().bytes_in, 0u) << "nothing on the line, opcode " << opcode;
      EXPECT_FALSE(log_.Texts().empty());
    }
  }
}

TEST_F(HostileGates, UnknownGateTypesAndAreasAreRefusedOrHarmless) {
  for (int32_t type : {-7, 8, 99, INT32_MAX}) {
    GateDefinition definition{"001000", 0, type, 1, {}};
    EXPECT_EQ(Call(&channel_, KIV_OP_SINGLE_ADDRESS_PARSER, &definition), KIV_REFUSED);
  }
  uint8_t storage[256] = {};
  const uint32_t areas[] = {0, 'Q', 0xFFFFFFFF, 'D' | ('Z' << 8), '#' | ('9' << 8), 'S' | (1u << 16)};
  for (uint32_t area : areas) {
    GateIo gate{"odd", 0, {0, area, 1, -1, 16}, 99, 1, 0, storage, 0};
    for (uint32_t opcode : {KIV_OP_SINGLE_READ, KIV_OP_BLOCK_READ, KIV_OP_SINGLE_WRITE, KIV_OP_BLOCK_WRITE}) {
      const int32_t result = Call(&channel_, opcode, &gate);
      EXPECT_TRUE(result == KIV_REFUSED || result == KIV_OK || result == KIV_FAILED);
    }
  }
  // A bit number the parser never gives.
  GateIo gate{"bad bit", 0, {0, 'D', 1, 40, 16}, 6, 1, 0, storage, 0};
  EXPECT_EQ(Call(&channel_, KIV_OP_SINGLE_WRITE, &gate), KIV_REFUSED);
}

class InitFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/kivhostileXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    ASSERT_NE(getcwd(previous_, sizeof previous_), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
  }
  void TearDown() override {
    std::remove("DUVAD.INT");
    EXPECT_EQ(chdir(previous_), 0);
    rmdir(dir_.c_str());
  }
  void Write(const std::string& content) {
    FILE* file = std::fopen("DUVAD.INT", "wb");
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
  }
  int32_t Start(ChannelContext* channel) {
    ColdStartParams start{};
    std::strcpy(start.port_name, "NULLDEV");
    start.comm_enabled = 1;
    return Call(channel, KIV_OP_COLD_START, &start, 4);
  }
  std::string dir_;
  char previous_[4096];
  kivtest::LogCapture log_;
};

TEST_F(InitFile, BinaryGarbageAndEnormousLines) {
  std::mt19937 random(5);
  std::string garbage(1 << 16, '\0');
  for (char& c : garbage) c = char(random());
  garbage += "\nIEEE 07\n";
  Write(garbage);
  auto channel = std::make_unique<ChannelContext>();
  std::memset(channel.get(), 0xAB, sizeof *channel);
  EXPECT_EQ(Start(channel.get()), KIV_OK);
  EXPECT_EQ(channel->float_format[7], KIV_FLOAT_IEEE) << "a good line after garbage still counts";
  for (int unit = 0; unit < KIV_PLC_COUNT; ++unit)
    EXPECT_TRUE(channel->float_format[unit] == KIV_FLOAT_BCD || channel->float_format[unit] == KIV_FLOAT_IEEE);

  Write(std::string(4 << 20, 'A') + "\nIFG = 7\n");
  log_.Clear();
  EXPECT_EQ(Start(channel.get()), KIV_OK);
  EXPECT_EQ(channel->frame_gap_ms, 7u);
  EXPECT_TRUE(log_.Contains("DUVAD> ReadIntFile() illegal line"));
}

}  // namespace
