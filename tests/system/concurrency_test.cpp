// Many channels on many host threads at once, each with its own PLC: the
// driver shares nothing between channels but the serial layer's table.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "kivhnom/kivhnom.h"
#include "simulator.h"

namespace {

TEST(Concurrency, ChannelsOnThreadsReadAndWriteTheirOwnPlc) {
  constexpr int kChannels = 8;
  constexpr int kRounds = 40;
  std::vector<std::unique_ptr<hlsim::Simulator>> sims;
  for (int i = 0; i < kChannels; ++i) {
    hlsim::Options options;
    options.units = {i};
    sims.push_back(std::make_unique<hlsim::Simulator>(options));
    sims.back()->Start();
    sims.back()->SetMode(i, hlsim::Mode::Monitor);
  }
  std::atomic<int> failures{0};
  std::vector<std::thread> hosts;
  for (int i = 0; i < kChannels; ++i) {
    hosts.emplace_back([&, i] {
      auto channel = std::make_unique<ChannelContext>();
      std::memset(channel.get(), 0, sizeof *channel);
      ColdStartParams start{};
      std::strncpy(start.port_name, sims[size_t(i)]->port_name().c_str(), sizeof start.port_name - 1);
      start.comm_enabled = 1;
      start.reply_timeout = 50;
      start.line = {9600, 7, 2, 2};
      KivRequest request{channel.get(), KIV_OP_COLD_START, uint32_t(100 + i), 0, &start};
      if (KivMain(&request) != KIV_OK) ++failures;
      char text[16];
      std::snprintf(text, sizeof text, "%02d0%03d", i, i * 10);
      GateDefinition definition{text, 0, 0, 1, {}};
      request = {channel.get(), KIV_OP_SINGLE_ADDRESS_PARSER, 0, 0, &definition};
      if (KivMain(&request) != KIV_OK) ++failures;
      for (int round = 0; round < kRounds; ++round) {
        uint16_t storage[2] = {0, uint16_t(i * 1000 + round)};
        GateIo gate{text, 0, definition.address, 0, 1, 0, storage, 0};
        request = {channel.get(), KIV_OP_SINGLE_WRITE, 0, 0, &gate};
        if (KivMain(&request) != KIV_OK) ++failures;
        storage[1] = 0;
        request.opcode = KIV_OP_SINGLE_READ;
        if (KivMain(&request) != KIV_OK || storage[1] != uint16_t(i * 1000 + round)) ++failures;
      }
      request = {channel.get(), KIV_OP_END_KIV, 0, 0, nullptr};
      KivMain(&request);
    });
  }
  for (auto& host : hosts) host.join();
  EXPECT_EQ(failures.load(), 0);
  for (int i = 0; i < kChannels; ++i)
    EXPECT_EQ(sims[size_t(i)]->GetWord(i, hlsim::Area::DM, i * 10), uint16_t(i * 1000 + kRounds - 1));
}

}  // namespace
