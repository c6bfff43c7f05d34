// Reads and writes end to end: KivMain against the simulator on a pty,
// with the commands checked byte for byte on the simulator's side.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "kivhnom/kivhnom.h"
#include "simulator.h"
#include "tests/support/log_capture.h"

namespace {

using hlsim::Area;
using hlsim::FaultKind;

class Transaction : public ::testing::Test {
 protected:
  void SetUp() override {
    hlsim::Options options;
    options.units = {0, 5};
    options.trace = true;
    sim_ = std::make_unique<hlsim::Simulator>(options);
    sim_->Start();
    std::memset(&channel_, 0, sizeof channel_);
    ColdStartParams params{};
    std::strncpy(params.port_name, sim_->port_name().c_str(), sizeof params.port_name - 1);
    params.comm_enabled = 1;
    params.reply_timeout = 20;  // 200 ms keeps the failing paths quick
    params.line = {9600, 7, 2, 2};
    ASSERT_EQ(Call(KIV_OP_COLD_START, &params), KIV_OK);
    sim_->SetMode(0, hlsim::Mode::Monitor);
    sim_->SetMode(5, hlsim::Mode::Monitor);
    sim_->TakeTrace();
    log_.Clear();
  }
  void TearDown() override {
    Call(KIV_OP_END_KIV, nullptr);
    sim_->Stop();
  }

  int32_t Call(uint32_t opcode, void* params) {
    KivRequest request{&channel_, opcode, 0, 0, params};
    return KivMain(&request);
  }

  // A gate as a host configures it: parsed by the driver, then read/written.
  GateIo Gate(const char* text, int32_t type, int32_t count, void* data) {
    GateDefinition definition{text, 0, type, count, {}};
    const int32_t parsed = Call(count == 1 ? KIV_OP_SINGLE_ADDRESS_PARSER : KIV_OP_BLOCK_ADDRESS_PARSER, &definition);
    EXPECT_EQ(parsed, KIV_OK) << text;
    return GateIo{text, 0, definition.address, type, count, 0, data, 0};
  }

  // The command texts the simulator received (frames joined, FCS removed).
  std::vector<std::string> Commands() {
    std::vector<std::string> commands;
    std::string pending;
    for (const std::string& line : sim_->TakeTrace()) {
      const size_t at = line.find(" > ");
      if (at == std::string::npos) continue;
      std::string frame = line.substr(at + 3);
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
  kivtest::LogCapture log_;
};

uint16_t Second(const uint8_t* data) {
  uint16_t value;
  std::memcpy(&value, data + 2, 2);
  return value;
}
uint32_t First32(const uint8_t* data) {
  uint32_t value;
  std::memcpy(&value, data, 4);
  return value;
}
float FirstFloat(const uint8_t* data) {
  float value;
  std::memcpy(&value, data, 4);
  return value;
}

struct ReadRow {
  const char* text;
  int32_t type;
  int32_t count;
  std::function<void(hlsim::Simulator&)> setup;
  const char* command;
  std::function<void(const uint8_t*)> check;
};

TEST_F(Transaction, EveryAreaAndKindReads) {
  channel_.float_format[5] = KIV_FLOAT_IEEE;
  const std::vector<ReadRow> rows = {
      {"001000", 0, 1, [](auto& s) { s.SetWord(0, Area::DM, 1000, 0x1234); }, "@00RD10000001",
       [](auto* d) { EXPECT_EQ(Second(d), 0x1234); }},
      {"00100012", 6, 1, [](auto& s) { s.SetWord(0, Area::DM, 1000, 0x1000); }, "@00RD10000001",
       [](auto* d) { EXPECT_EQ(Second(d), 1); }},
      {"00I1234", 1, 1, [](auto& s) { s.SetWord(0, Area::IR, 1234, 0xBEEF); }, "@00RR12340001",
       [](auto* d) { EXPECT_EQ(Second(d), 0xBEEF); }},
      {"00H10", 0, 1, [](auto& s) { s.SetWord(0, Area::HR, 10, 7); }, "@00RH00100001",
       [](auto* d) { EXPECT_EQ(Second(d), 7); }},
      {"00L20", 0, 1, [](auto& s) { s.SetWord(0, Area::LR, 20, 8); }, "@00RL00200001",
       [](auto* d) { EXPECT_EQ(Second(d), 8); }},
      {"00A100", 0, 1, [](auto& s) { s.SetWord(0, Area::AR, 100, 9); }, "@00RJ01000001",
       [](auto* d) { EXPECT_EQ(Second(d), 9); }},
      {"00T0123", 0, 1, [](auto& s) { s.SetWord(0, Area::TC, 123, 0x0450); }, "@00RC01230001",
       [](auto* d) { EXPECT_EQ(Second(d), 0x0450); }},
      {"001000L", 4, 1, [](auto& s) { s.SetWord(0, Area::DM, 1000, 0x5678); s.SetWord(0, Area::DM, 1001, 0x1234); },
       "@00RD10000002", [](auto* d) { EXPECT_EQ(First32(d), 0x12345678u); }},
      {"001000B", 5, 1, [](auto& s) { s.SetWord(0, Area::DM, 1000, 0x5678); s.SetWord(0, Area::DM, 1001, 0x1234); },
       "@00RD10000002", [](auto* d) { EXPECT_EQ(First32(d), 12345678u); }},
      {"001000F", 3, 1, [](auto& s) { s.SetWord(0, Area::DM, 1000, 0x4560); s.SetWord(0, Area::DM, 1001, 0x3123); },
       "@00RD10000002", [](auto* d) { EXPECT_FLOAT_EQ(FirstFloat(d), 123.456f); }},
      {"051000F", 3, 1, [](auto& s) { s.SetWord(5, Area::DM, 1000, 0x0000); s.SetWord(5, Area::DM, 1001, 0x3F80); },
       "@05RD10000002", [](auto* d) { EXPECT_EQ(FirstFloat(d), 1.0f); }},
      {"001000S04", 7, 1, [](auto& s) { s.SetWord(0, Area::DM, 1000, 0x4142); s.SetWord(0, Area::DM, 1001, 0x4344); },
       "@00RD10000002", [](auto* d) { EXPECT_STREQ(reinterpret_cast<const char*>(d), "ABCD"); }},
      {"00V1010", 0, 1, [](auto& s) { s.SetSetValue(0, "TIM ", 10, 0x0100); }, "@00R#TIM 0010",
       [](auto* d) { EXPECT_EQ(Second(d), 0x0100); }},
      {"00V0005", 6, 1, [](auto& s) { s.SetCompletionFlag(0, 5, true); }, "@00RG00050001",
       [](auto* d) { EXPECT_EQ(Second(d), 1); }},
      {"00SR", 0, 1, [](auto&) {}, "@00MS", [](auto* d) { EXPECT_EQ(Second(d) & 0x0300, 0x0300); }},
      {"00E20000", 0, 1, [](auto& s) { s.SetErrorInfo(0, 0x1111, 0x2222); }, "@00MF01",
       [](auto* d) { EXPECT_EQ(Second(d), 0x2222); }},
      // Blocks.
      {"051000", 0, 3, [](auto& s) { for (int i = 0; i < 3; ++i) s.SetWord(5, Area::DM, 1000 + i, uint16_t(i + 1)); },
       "@05RD10000003", [](auto* d) { const uint16_t want[3] = {1, 2, 3}; EXPECT_EQ(std::memcmp(d, want, 6), 0); }},
      {"002000L", 4, 2, [](auto& s) { s.SetWord(0, Area::DM, 2002, 1); }, "@00RD20000004",
       [](auto* d) { uint32_t v[2]; std::memcpy(v, d, 8); EXPECT_EQ(v[0], 0u); EXPECT_EQ(v[1], 1u); }},
      {"00V0010", 6, 4, [](auto& s) { s.SetCompletionFlag(0, 11, true); s.SetCompletionFlag(0, 13, true); },
       "@00RG00100004", [](auto* d) { const uint8_t want[4] = {0, 1, 0, 1}; EXPECT_EQ(std::memcmp(d, want, 4), 0); }},
      {"00D3", 0, 8, [](auto& s) { s.SetDmBuffer(0, 7, 0x7777); }, "@00CR",
       [](auto* d) { uint16_t v[8]; std::memcpy(v, d, 16); EXPECT_EQ(v[7], 0x7777); }},
      {"001000S04", 7, 2, [](auto& s) { s.SetWord(0, Area::DM, 1002, 0x5859); s.SetWord(0, Area::DM, 1003, 0x5A00); },
       "@00RD10000004", [](auto* d) { EXPECT_STREQ(reinterpret_cast<const char*>(d + 81), "XYZ"); }},
  };
  for (const ReadRow& row : rows) {
    SCOPED_TRACE(row.text);
    row.setup(*sim_);
    std::vector<uint8_t> storage(1024, 0xEE);
    GateIo gate = Gate(row.text, row.type, row.count, storage.data());
    sim_->TakeTrace();
    EXPECT_EQ(Call(row.count == 1 ? KIV_OP_SINGLE_READ : KIV_OP_BLOCK_READ, &gate), KIV_OK) << log_.Texts().size();
    const auto commands = Commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.front(), row.command);
    row.check(storage.data());
    if (row.count == 1 && row.type != 7 && gate.address.width != 32) {
      EXPECT_EQ(storage[0], 0xEE) << "first word untouched";
    }
  }
}

TEST_F(Transaction, LargestBlockReadSpansFramesAndOneMoreIsRefused) {
  for (int i = 0; i < 541; ++i) sim_->SetWord(0, Area::DM, i, uint16_t(i * 3));
  std::vector<uint16_t> words(600, 0);
  GateIo gate = Gate("000000", 0, 541, words.data());
  ASSERT_EQ(Call(KIV_OP_BLOCK_READ, &gate), KIV_OK);
  for (int i = 0; i < 541; ++i) ASSERT_EQ(words[size_t(i)], uint16_t(i * 3)) << i;
  EXPECT_GT(sim_->counters().frames_out, 10u);

  sim_->ResetCounters();
  gate.count = 542;
  EXPECT_EQ(Call(KIV_OP_BLOCK_READ, &gate), KIV_REFUSED);
  EXPECT_EQ(sim_->counters().bytes_in, 0u) << "nothing on the line";
  EXPECT_TRUE(log_.Contains("'000000'"));
}

struct WriteRow {
  const char* text;
  int32_t type;
  int32_t count;
  std::vector<uint8_t> storage;
  const char* command;
  std::function<void(hlsim::Simulator&)> check;
};

std::vector<uint8_t> Bytes(std::initializer_list<int> bytes) {
  std::vector<uint8_t> out;
  for (int b : bytes) out.push_back(uint8_t(b));
  return out;
}

TEST_F(Transaction, EveryAreaAndKindWrites) {
  const std::vector<WriteRow> rows = {
      {"000100", 0, 1, Bytes({0, 0, 0x34, 0x12}), "@00WD01001234",
       [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::DM, 100), 0x1234); }},
      {"00I0010", 0, 1, Bytes({0, 0, 1, 0}), "@00WR00100001", [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::IR, 10), 1); }},
      {"00H5", 0, 1, Bytes({0, 0, 2, 0}), "@00WH00050002", [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::HR, 5), 2); }},
      {"00L5", 0, 1, Bytes({0, 0, 3, 0}), "@00WL00050003", [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::LR, 5), 3); }},
      {"00A5", 0, 1, Bytes({0, 0, 4, 0}), "@00WJ00050004", [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::AR, 5), 4); }},
      {"00T0012", 0, 1, Bytes({0, 0, 0x50, 0}), "@00WC00120050",
       [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::TC, 12), 0x50); }},
      {"000100L", 4, 1, Bytes({0x78, 0x56, 0x34, 0x12}), "@00WD010056781234",
       [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::DM, 100), 0x5678); }},
      {"000100B", 5, 1, Bytes({0x4E, 0x61, 0xBC, 0x00}), "@00WD010056781234",  // 12345678
       [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::DM, 101), 0x1234); }},
      {"000100F", 3, 1, Bytes({0x79, 0xE9, 0xF6, 0x42}), "@00WD010045603123",  // 123.456f
       [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::DM, 101), 0x3123); }},
      {"000100S04", 7, 1, Bytes({'A', 'B', 0, 'Z'}), "@00WD0100414200" "5A",
       [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::DM, 100), 0x4142); }},
      {"00V3012", 0, 1, Bytes({0, 0, 0x50, 0}), "@00W#CNT 00120050",
       [](auto& s) { EXPECT_EQ(s.GetSetValue(0, "CNT ", 12), 0x50); }},
      {"00V0005", 6, 1, Bytes({0, 0, 1, 0}), "@00WG000501", [](auto& s) { EXPECT_TRUE(s.GetCompletionFlag(0, 5)); }},
      {"000200", 0, 3, Bytes({1, 0, 2, 0, 3, 0}), "@00WD0200000100020003",
       [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::DM, 202), 3); }},
      {"00V0020", 6, 2, Bytes({1, 0}), "@00WG00200100", [](auto& s) { EXPECT_TRUE(s.GetCompletionFlag(0, 20)); }},
  };
  for (const WriteRow& row : rows) {
    SCOPED_TRACE(row.text);
    std::vector<uint8_t> storage = row.storage;
    storage.resize(256, 0);
    GateIo gate = Gate(row.text, row.type, row.count, storage.data());
    sim_->TakeTrace();
    EXPECT_EQ(Call(row.count == 1 ? KIV_OP_SINGLE_WRITE : KIV_OP_BLOCK_WRITE, &gate), KIV_OK);
    const auto commands = Commands();
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[0], row.command);
    EXPECT_EQ(commands[1], "@00XZ") << "a successful first attempt is followed by the abort";
    row.check(*sim_);
  }
}

TEST_F(Transaction, BlockWriteOfOneElementTakesItFromTheStart) {
  uint16_t words[2] = {0x0042, 0x7777};
  GateIo gate = Gate("000400", 0, 2, words);
  gate.count = 1;
  EXPECT_EQ(Call(KIV_OP_BLOCK_WRITE, &gate), KIV_OK);
  EXPECT_EQ(Commands().front(), "@00WD04000042");
}

struct EndCodeRow {
  int code;
  int32_t read_result;
  uint64_t read_attempts;
  uint64_t read_aborts;
  int32_t write_result;
  uint64_t write_attempts;
  uint64_t write_aborts;
};

TEST_F(Transaction, EndCodesAreFinalOrRetried) {
  const EndCodeRow rows[] = {
      {0x13, 2, 3, 3, 2, 3, 2}, {0x14, 1, 1, 1, 1, 1, 0}, {0xB0, 1, 1, 1, 1, 1, 0},
      {0xB1, 2, 3, 3, 2, 3, 2}, {0x03, 1, 1, 1, 1, 1, 0},
  };
  uint16_t storage[2] = {0, 5};
  for (const EndCodeRow& row : rows) {
    SCOPED_TRACE(row.code);
    GateIo gate = Gate("000010", 0, 1, storage);
    sim_->ResetCounters();
    sim_->ArmFault({FaultKind::EndCode, "RD", -1, 1.0, row.code});
    EXPECT_EQ(Call(KIV_OP_SINGLE_READ, &gate), row.read_result);
    EXPECT_EQ(Count("RD"), row.read_attempts);
    EXPECT_EQ(sim_->counters().aborts, row.read_aborts);
    sim_->ClearFaults();

    sim_->ResetCounters();
    sim_->ArmFault({FaultKind::EndCode, "WD", -1, 1.0, row.code});
    EXPECT_EQ(Call(KIV_OP_SINGLE_WRITE, &gate), row.write_result);
    EXPECT_EQ(Count("WD"), row.write_attempts);
    EXPECT_EQ(sim_->counters().aborts, row.write_aborts);
    sim_->ClearFaults();
  }
}

TEST_F(Transaction, RetriesShowAttemptNumbersAndRecover) {
  uint16_t storage[2] = {0, 0};
  sim_->SetWord(0, Area::DM, 10, 0x0A0A);
  GateIo gate = Gate("000010", 0, 1, storage);

  // Two lost replies, then success at the third attempt.
  sim_->ArmFault({FaultKind::NoReply, "RD", 2});
  EXPECT_EQ(Call(KIV_OP_SINGLE_READ, &gate), KIV_OK);
  EXPECT_EQ(storage[1], 0x0A0A);
  EXPECT_EQ(sim_->counters().aborts, 2u);
  const auto texts = log_.Texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], "DUVAD> DoRead() error receiving data, retry 1 '000010'");
  EXPECT_EQ(texts[1], "DUVAD> DoRead() error receiving data, retry 2 '000010'");

  // A reply from another unit is a wrong answer and is retried.
  log_.Clear();
  sim_->ResetCounters();
  sim_->ArmFault({FaultKind::WrongUnit, "RD", 1});
  EXPECT_EQ(Call(KIV_OP_SINGLE_READ, &gate), KIV_OK);
  EXPECT_EQ(Count("RD"), 2u);
  EXPECT_TRUE(log_.Contains("DUVAD> DoRead() wrong answer to req, retry 1 '000010'"));

  // "IC": one attempt, no abort, result 1.
  log_.Clear();
  sim_->ResetCounters();
  sim_->ArmFault({FaultKind::UndefinedCommand, "RD", 1});
  EXPECT_EQ(Call(KIV_OP_SINGLE_READ, &gate), KIV_REFUSED);
  EXPECT_EQ(Count("RD"), 1u);
  EXPECT_EQ(sim_->counters().aborts, 0u);
  EXPECT_EQ(log_.Texts().front(), "DUVAD> DoRead() undefined command 'RD', retry 1 '000010'");
  sim_->ArmFault({FaultKind::UndefinedCommand, "WD", 1});
  EXPECT_EQ(Call(KIV_OP_SINGLE_WRITE, &gate), KIV_REFUSED);
  EXPECT_TRUE(log_.Contains("DUVAD> DoWrite() undefined command 'WD', retry 1 '000010'"));
}

TEST_F(Transaction, BitWriteIsReadModifyWrite) {
  sim_->SetWord(0, Area::DM, 100, 0x00F0);
  uint16_t storage[2] = {0xAAAA, 1};
  GateIo gate = Gate("00010003", 6, 1, storage);
  const GateIo before = gate;
  EXPECT_EQ(Call(KIV_OP_SINGLE_WRITE, &gate), KIV_OK);
  EXPECT_EQ(sim_->GetWord(0, Area::DM, 100), 0x00F8);
  EXPECT_EQ(storage[0], 0xAAAA);
  EXPECT_EQ(storage[1], 1) << "the host's value is back";
  EXPECT_EQ(std::memcmp(&gate, &before, sizeof gate), 0);

  storage[1] = 0;
  EXPECT_EQ(Call(KIV_OP_SINGLE_WRITE, &gate), KIV_OK);
  EXPECT_EQ(sim_->GetWord(0, Area::DM, 100), 0x00F0);

  // A failed read writes nothing.
  sim_->ResetCounters();
  storage[1] = 1;
  sim_->ArmFault({FaultKind::EndCode, "RD", 1, 1.0, 0x14});
  EXPECT_EQ(Call(KIV_OP_SINGLE_WRITE, &gate), KIV_REFUSED);
  EXPECT_EQ(Count("WD"), 0u);
  EXPECT_EQ(storage[1], 1);
  EXPECT_EQ(std::memcmp(&gate, &before, sizeof gate), 0);
  EXPECT_TRUE(log_.Contains("DUVAD> DoWrite() SingleRead for read-modify-write failed '00010003'"));
}

TEST_F(Transaction, WriteInRunModeSwitchesToMonitorOnce) {
  sim_->SetMode(0, hlsim::Mode::Run);
  uint16_t storage[2] = {0, 0x0042};
  GateIo gate = Gate("000100", 0, 1, storage);
  KivRequest request{&channel_, KIV_OP_SINGLE_WRITE, 0, 0, &gate};
  EXPECT_EQ(KivMain(&request), KIV_OK);
  EXPECT_EQ(request.params, &gate);
  EXPECT_EQ(sim_->GetWord(0, Area::DM, 100), 0x42);
  EXPECT_EQ(sim_->GetMode(0), hlsim::Mode::Monitor);
  const std::vector<std::string> expected = {"@00WD01000042", "@00SC02", "@00XZ", "@00XZ", "@00WD01000042", "@00XZ"};
  EXPECT_EQ(Commands(), expected);
  EXPECT_TRUE(log_.Contains("DUVAD> DoWrite() resp.code. 01h, retry 1 '000100'"));
  EXPECT_TRUE(log_.Contains("DUVAD> DoWrite() PLC changed to MONITOR mode"));

  // A PLC that keeps refusing gets one mode change, then the write ends.
  log_.Clear();
  sim_->ArmFault({FaultKind::EndCode, "WD", -1, 1.0, 0x01});
  EXPECT_EQ(KivMain(&request), KIV_REFUSED);
  const std::vector<std::string> refused = {"@00WD01000042", "@00SC02", "@00XZ", "@00XZ", "@00WD01000042"};
  EXPECT_EQ(Commands(), refused);

  // The mode change itself refused by mode: no further nesting.
  sim_->ClearFaults();
  sim_->ArmFault({FaultKind::EndCode, "", -1, 1.0, 0x01});
  log_.Clear();
  EXPECT_EQ(KivMain(&request), KIV_REFUSED);
  EXPECT_EQ(Count("SC") >= 1, true);
  EXPECT_TRUE(log_.Contains("DUVAD> DoWrite() change PLC to MONITOR mode failed"));
  EXPECT_EQ(request.params, &gate);
}

TEST_F(Transaction, RefusalsTouchNothingOnTheLine) {
  uint8_t storage[256] = {};
  struct Row {
    const char* text;
    int32_t type;
    int32_t count;
    uint32_t opcode;
    const char* message;
  };
  const Row rows[] = {
      {"00SW", 0, 1, KIV_OP_SINGLE_READ, "DUVAD> DoRead() status write gate is write only, '00SW'"},
      {"00SR", 0, 1, KIV_OP_SINGLE_WRITE, "DUVAD> DoWrite() status read gate is read only, '00SR'"},
      {"00E10000", 0, 1, KIV_OP_SINGLE_WRITE, "DUVAD> DoWrite() write to error gate not allowed, '00E10000'"},
      {"00D3", 0, 1, KIV_OP_SINGLE_READ, "DUVAD> SingleRead() High Speed DM should be read in blocks"},
      {"00D3", 0, 8, KIV_OP_BLOCK_WRITE, "DUVAD> DoWrite() write high speed buff not allowed, '00D3'"},
      {"001000S04", 7, 2, KIV_OP_BLOCK_WRITE, "DUVAD> BlockWrite() not supported for STRING gates"},
      {"000000", 0, 542, KIV_OP_BLOCK_WRITE, "'000000'"},
      {"000000L", 4, 271, KIV_OP_BLOCK_READ, "'000000L'"},
      {"009999", 0, 2, KIV_OP_BLOCK_READ, nullptr},  // fits: the PLC answers 15
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    GateIo gate = Gate(row.text, row.type, row.count, storage);
    sim_->ResetCounters();
    log_.Clear();
    const int32_t result = Call(row.opcode, &gate);
    EXPECT_EQ(result, KIV_REFUSED);
    if (row.message) {
      EXPECT_EQ(sim_->counters().bytes_in, 0u);
      EXPECT_TRUE(log_.Contains(row.message));
    }
  }
  // Without an open port: 1, and only the operation's own line.
  Call(KIV_OP_CLOSE_COM, nullptr);
  log_.Clear();
  GateIo gate = Gate("000000", 0, 1, storage);
  EXPECT_EQ(Call(KIV_OP_SINGLE_READ, &gate), KIV_REFUSED);
  EXPECT_EQ(log_.Texts(), std::vector<std::string>{"DUVAD> SingleRead() , ret val is 1"});
}

}  // namespace
