// Fixtures for the read and write transactions end to end: KivMain on a
// channel whose line is either the simulator (commands checked from its
// trace) or a pty whose far side the test plays byte by byte.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kivhnom/kivhnom.h"
#include "simulator.h"
#include "tests/support/log_capture.h"
#include "tests/support/pty.h"

namespace kivtest {

inline int32_t CallKiv(ChannelContext* channel, uint32_t opcode, void* params) {
  KivRequest request{channel, opcode, 0, 0, params};
  return KivMain(&request);
}

// ColdStart on `port` with a short reply timeout, so failing paths are quick.
inline int32_t StartChannel(ChannelContext* channel, const std::string& port) {
  std::memset(channel, 0, sizeof *channel);
  ColdStartParams params{};
  std::snprintf(params.port_name, sizeof params.port_name, "%s", port.c_str());
  params.comm_enabled = 1;
  params.reply_timeout = 20;  // 200 ms
  params.line = {9600, 7, 2, 2};
  return CallKiv(channel, KIV_OP_COLD_START, &params);
}

// Host Link framing, written here from the protocol's rule rather than
// taken from the driver: text, XOR of its characters in two upper-case hex
// digits, "*", CR.
inline std::string Framed(const std::string& text) {
  uint8_t fcs = 0;
  for (char c : text) fcs ^= static_cast<uint8_t>(c);
  char tail[8];
  std::snprintf(tail, sizeof tail, "%02X*\r", fcs);
  return text + tail;
}

inline uint16_t SecondWord(const uint8_t* data) {
  uint16_t value;
  std::memcpy(&value, data + 2, 2);
  return value;
}
inline uint16_t WordAt(const uint8_t* data, size_t index) {
  uint16_t value;
  std::memcpy(&value, data + 2 * index, 2);
  return value;
}
inline uint32_t LongAt(const uint8_t* data, size_t index) {
  uint32_t value;
  std::memcpy(&value, data + 4 * index, 4);
  return value;
}
inline float FloatAt(const uint8_t* data, size_t index) {
  float value;
  std::memcpy(&value, data + 4 * index, 4);
  return value;
}
inline std::vector<uint8_t> Bytes(std::initializer_list<int> bytes) {
  std::vector<uint8_t> out;
  for (int b : bytes) out.push_back(static_cast<uint8_t>(b));
  return out;
}

// A channel on the simulator with units 0 and 5 in MONITOR mode.
class SimChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    hlsim::Options options;
    options.units = {0, 5};
    options.trace = true;
    sim_ = std::make_unique<hlsim::Simulator>(options);
    sim_->Start();
    ASSERT_EQ(StartChannel(&channel_, sim_->port_name()), KIV_OK);
    sim_->SetMode(0, hlsim::Mode::Monitor);
    sim_->SetMode(5, hlsim::Mode::Monitor);
    sim_->TakeTrace();
    log_.Clear();
  }
  void TearDown() override {
    Call(KIV_OP_END_KIV, nullptr);
    sim_->Stop();
  }

  int32_t Call(uint32_t opcode, void* params) { return CallKiv(&channel_, opcode, params); }

  // A gate as a host configures it: parsed by the driver (single or block
  // parser by count), then passed to the reads and writes.
  GateIo Gate(const char* text, int32_t type, int32_t count, void* data) {
    GateDefinition definition{text, 0, type, count, {}};
    const uint32_t parser = count == 1 ? KIV_OP_SINGLE_ADDRESS_PARSER : KIV_OP_BLOCK_ADDRESS_PARSER;
    EXPECT_EQ(Call(parser, &definition), KIV_OK) << text;
    return GateIo{text, 0, definition.address, type, count, 0, data, 0};
  }

  // The command texts the simulator received since the last call, frames
  // of a multi-frame command joined, FCS, "*" and CR removed. The simulator
  // answers a wrong FCS with end code 13 and counts it (fcs_errors).
  std::vector<std::string> Commands() {
    std::vector<std::string> commands;
    std::string pending;
    for (const std::string& line : sim_->TakeTrace()) {
      const size_t at = line.find(" > ");
      if (at == std::string::npos) continue;
      const std::string frame = line.substr(at + 3);
      const size_t end = frame.find("<CR>");
      if (end == std::string::npos || end < 2) continue;
      const bool last = frame[end - 1] == '*';
      pending += frame.substr(0, end - (last ? 3 : 2));
      if (last) {
        commands.push_back(pending);
        pending.clear();
      }
    }
    return commands;
  }

  uint64_t Count(const char* header) {
    const auto counters = sim_->counters();
    auto it = counters.commands_by_header.find(header);
    return it == counters.commands_by_header.end() ? 0 : it->second;
  }

  std::unique_ptr<hlsim::Simulator> sim_;
  ChannelContext channel_;
  LogCapture log_;
};

// A channel on a bare pty: the test is the PLC and sees every byte.
class PeerChannel : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(StartChannel(&channel_, pty_.port_name()), KIV_OK); }
  void TearDown() override {
    if (driver_.joinable()) driver_.join();
    CallKiv(&channel_, KIV_OP_END_KIV, nullptr);
  }

  // Runs one operation on the driver's side while the test answers.
  void Start(uint32_t opcode, GateIo* gate) {
    pty_.Drain();
    log_.Clear();
    driver_ = std::thread([this, opcode, gate] { result_ = CallKiv(&channel_, opcode, gate); });
  }
  // The driver's result; its own reply timeouts bound the wait.
  int32_t Finish() {
    driver_.join();
    return result_;
  }
  // The next frame the driver sends, up to and including its CR.
  std::string NextFrame() { return pty_.ReadUntil('\r', 2000); }

  PtyPair pty_;
  ChannelContext channel_;
  LogCapture log_;
  std::thread driver_;
  int32_t result_ = -1;
};

}  // namespace kivtest
