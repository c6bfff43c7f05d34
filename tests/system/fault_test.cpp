// Every fault of the simulator against every kind of transaction, and the
// line vanishing under the driver.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kivhnom/kivhnom.h"
#include "simulator.h"
#include "tests/support/log_capture.h"

namespace {

using hlsim::Area;
using hlsim::FaultKind;

enum class Op { SingleRead, BlockRead, SingleWrite, BlockWrite, BitWrite };
const char* OpName(Op op) {
  static const char* const kNames[] = {"SingleRead", "BlockRead", "SingleWrite", "BlockWrite", "BitWrite"};
  return kNames[int(op)];
}
bool IsRead(Op op) { return op == Op::SingleRead || op == Op::BlockRead; }

// What a fault on the first attempt costs, by the transaction rules.
enum class Effect { Transient, Harmless, Final, Undefined, NotApplicable };

struct Cell {
  FaultKind kind;
  int end_code;
  Op op;
};

Effect EffectOf(const Cell& cell) {
  switch (cell.kind) {
    case FaultKind::LowerCaseFcs:
    case FaultKind::GarbageAfter:
      return Effect::Harmless;
    case FaultKind::EndCode:
      return cell.end_code == 0x13 ? Effect::Transient : Effect::Final;
    case FaultKind::UndefinedCommand:
      return Effect::Undefined;
    case FaultKind::StallDelimiter:
      return cell.op == Op::BlockWrite ? Effect::Transient : Effect::NotApplicable;
    default:
      return Effect::Transient;
  }
}

class FaultMatrix : public ::testing::TestWithParam<Cell> {
 protected:
  static constexpr int kBlock = 40;  // a block write of 40 words needs two frames

  void SetUp() override {
    sim_ = std::make_unique<hlsim::Simulator>();
    sim_->Start();
    sim_->SetMode(0, hlsim::Mode::Monitor);
    for (int i = 0; i < kBlock; ++i) sim_->SetWord(0, Area::DM, 100 + i, uint16_t(0x1000 + i));
    std::memset(&channel_, 0, sizeof channel_);
    ColdStartParams start{};
    std::strncpy(start.port_name, sim_->port_name().c_str(), sizeof start.port_name - 1);
    start.comm_enabled = 1;
    start.reply_timeout = 20;
    start.line = {9600, 7, 2, 2};
    ASSERT_EQ(Call(KIV_OP_COLD_START, &start), KIV_OK);
  }
  void TearDown() override {
    Call(KIV_OP_END_KIV, nullptr);
    sim_->Stop();
  }
  int32_t Call(uint32_t opcode, void* params) {
    KivRequest request{&channel_, opcode, 0, 0, params};
    return KivMain(&request);
  }
  GateIo Gate(Op op, void* data) {
    const bool block = op == Op::BlockRead || op == Op::BlockWrite;
    const char* text = op == Op::BitWrite ? "00010003" : "000100";
    GateDefinition definition{text, 0, op == Op::BitWrite ? KIV_GATE_DIGITAL : 0, block ? kBlock : 1, {}};
    EXPECT_EQ(Call(block ? KIV_OP_BLOCK_ADDRESS_PARSER : KIV_OP_SINGLE_ADDRESS_PARSER, &definition), KIV_OK);
    return GateIo{text, 0, definition.address, definition.gate_type, block ? kBlock : 1, 0, data, 0};
  }
  uint32_t Opcode(Op op) {
    switch (op) {
      case Op::SingleRead: return KIV_OP_SINGLE_READ;
      case Op::BlockRead: return KIV_OP_BLOCK_READ;
      case Op::SingleWrite:
      case Op::BitWrite: return KIV_OP_SINGLE_WRITE;
      case Op::BlockWrite: return KIV_OP_BLOCK_WRITE;
    }
    return 0;
  }
  uint64_t Count(const char* header) {
    const auto c = sim_->counters();
    auto it = c.commands_by_header.find(header);
    return it == c.commands_by_header.end() ? 0 : it->second;
  }

  std::unique_ptr<hlsim::Simulator> sim_;
  ChannelContext channel_;
  kivtest::LogCapture log_;
};

TEST_P(FaultMatrix, ResultAttemptsAbortsAndRecovery) {
  const Cell cell = GetParam();
  const Effect effect = EffectOf(cell);
  const bool read = IsRead(cell.op);
  const char* header = read || cell.op == Op::BitWrite ? "RD" : "WD";

  std::vector<uint16_t> storage(kBlock + 2, 0xEEEE);
  if (cell.op == Op::BlockWrite)
    for (int i = 0; i < kBlock; ++i) storage[size_t(i)] = uint16_t(0x2000 + i);
  if (cell.op == Op::SingleWrite) storage[1] = 0x2000;
  if (cell.op == Op::BitWrite) storage[1] = 1;
  GateIo gate = Gate(cell.op, storage.data());
  hlsim::Fault fault;
  fault.kind = cell.kind;
  fault.header = header;
  fault.count = 1;
  fault.end_code = cell.end_code;
  fault.delay_ms = 250;  // later than the 200 ms reply timeout
  sim_->ArmFault(fault);
  sim_->ResetCounters();

  const int32_t result = Call(Opcode(cell.op), &gate);
  const uint64_t attempts = Count(header);
  const uint64_t aborts = sim_->counters().aborts;
  // Reads abort after every failed attempt; writes after every attempt that
  // leaves one in reserve, successful ones included.
  const uint64_t write_abort = read ? 0 : 1;
  switch (effect) {
    case Effect::Transient:
      EXPECT_EQ(result, KIV_OK);
      EXPECT_EQ(attempts, cell.kind == FaultKind::StallDelimiter ? 1u : 2u);
      EXPECT_EQ(aborts, 1u + write_abort);
      break;
    case Effect::Harmless:
    case Effect::NotApplicable:
      EXPECT_EQ(result, KIV_OK);
      EXPECT_EQ(attempts, 1u);
      EXPECT_EQ(aborts, write_abort);
      break;
    case Effect::Final:
      EXPECT_EQ(result, KIV_REFUSED);
      EXPECT_EQ(attempts, 1u);
      EXPECT_EQ(aborts, header[0] == 'R' ? 1u : 0u) << "a read aborts even after a final code";
      break;
    case Effect::Undefined:
      EXPECT_EQ(result, KIV_REFUSED);
      EXPECT_EQ(attempts, 1u);
      EXPECT_EQ(aborts, 0u);
      break;
  }

  // Nothing from a rejected reply reaches the gate: what is there is the
  // PLC's memory after a success, the host's own values otherwise.
  if (cell.op == Op::SingleRead) {
    EXPECT_EQ(storage[1], result == KIV_OK ? 0x1000 : 0xEEEE);
    EXPECT_EQ(storage[0], 0xEEEE);
  } else if (cell.op == Op::BlockRead) {
    for (int i = 0; i < kBlock; ++i)
      ASSERT_EQ(storage[size_t(i)], result == KIV_OK ? uint16_t(0x1000 + i) : 0xEEEE) << i;
  } else if (cell.op == Op::BitWrite) {
    EXPECT_EQ(storage[1], 1) << "the host's value is back";
    EXPECT_EQ(sim_->GetWord(0, Area::DM, 100), result == KIV_OK ? 0x1008 : 0x1000);
  } else {
    EXPECT_EQ(sim_->GetWord(0, Area::DM, 100), result == KIV_OK ? 0x2000 : 0x1000);
  }

  // The next call on a clean line succeeds.
  sim_->ClearFaults();
  usleep(300000);  // let a late reply land and be flushed
  std::vector<uint16_t> again(kBlock + 2, 0);
  GateIo check = Gate(Op::SingleRead, again.data());
  EXPECT_EQ(Call(KIV_OP_SINGLE_READ, &check), KIV_OK);
}

std::vector<Cell> AllCells() {
  std::vector<Cell> cells;
  for (FaultKind kind : hlsim::kAllFaultKinds) {
    if (kind == FaultKind::LineVanish) continue;  // device loss: its own test
    for (Op op : {Op::SingleRead, Op::BlockRead, Op::SingleWrite, Op::BlockWrite, Op::BitWrite}) {
      // A bit write's commands are single frames: no delimiter to stall.
      if (kind == FaultKind::StallDelimiter && op == Op::BitWrite) continue;
      if (kind == FaultKind::EndCode) {
        for (int code : {0x13, 0x14}) cells.push_back({kind, code, op});
      } else {
        cells.push_back({kind, 0, op});
      }
    }
  }
  return cells;
}

std::string CellName(const ::testing::TestParamInfo<Cell>& info) {
  std::string name = std::string(hlsim::FaultName(info.param.kind)) + "_" + OpName(info.param.op);
  if (info.param.kind == FaultKind::EndCode) name += std::to_string(info.param.end_code);
  for (char& c : name)
    if (c == '-') c = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(AllFaults, FaultMatrix, ::testing::ValuesIn(AllCells()), CellName);

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         1e-6 * double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

TEST(DeviceLoss, TheLineVanishingEndsTheCallAndReopenWorksWhenItReturns) {
  // A name that stays the same when the device comes back (11 characters).
  char digits[8];
  std::snprintf(digits, sizeof digits, "%04d", int(getpid() % 10000));
  const std::string link = std::string("/tmp/hl") + digits;
  hlsim::Options options;
  options.link = link;
  hlsim::Simulator sim(options);
  sim.Start();
  sim.SetWord(0, Area::DM, 5, 0x0505);
  ChannelContext channel{};
  ColdStartParams start{};
  std::memcpy(start.port_name, link.c_str(), link.size() + 1);
  start.comm_enabled = 1;
  start.reply_timeout = 50;  // 500 ms
  start.line = {9600, 7, 2, 2};
  KivRequest request{&channel, KIV_OP_COLD_START, 0, 0, &start};
  ASSERT_EQ(KivMain(&request), KIV_OK);
  GateDefinition definition{"000005", 0, 0, 1, {}};
  request = {&channel, KIV_OP_SINGLE_ADDRESS_PARSER, 0, 0, &definition};
  ASSERT_EQ(KivMain(&request), KIV_OK);
  uint16_t storage[2] = {0, 0};
  GateIo gate{"000005", 0, definition.address, 0, 1, 0, storage, 0};

  sim.ArmFault({FaultKind::LineVanish, "RD", 1});
  const double cpu = CpuSeconds();
  const auto start_time = std::chrono::steady_clock::now();
  request = {&channel, KIV_OP_SINGLE_READ, 0, 0, &gate};
  EXPECT_EQ(KivMain(&request), KIV_FAILED);
  // Three reply timeouts and three aborts at the very most.
  EXPECT_LT(std::chrono::steady_clock::now() - start_time, std::chrono::milliseconds(3 * 500 + 3 * 100 + 1000));
  EXPECT_LT(CpuSeconds() - cpu, 0.5) << "no spinning on a dead line";

  // The device returns (the simulator offers a new line under the link).
  usleep(500000);
  request = {&channel, KIV_OP_CLOSE_COM, 0, 0, nullptr};
  EXPECT_EQ(KivMain(&request), KIV_OK);
  request = {&channel, KIV_OP_REOPEN_COM, 0, 0, nullptr};
  ASSERT_EQ(KivMain(&request), KIV_OK);
  request = {&channel, KIV_OP_SINGLE_READ, 0, 0, &gate};
  EXPECT_EQ(KivMain(&request), KIV_OK);
  EXPECT_EQ(storage[1], 0x0505);
  request = {&channel, KIV_OP_END_KIV, 0, 0, nullptr};
  KivMain(&request);
  sim.Stop();
}

}  // namespace
