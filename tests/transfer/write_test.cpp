// The write transaction end to end: every area and kind against the
// simulator, the exact bytes against a scripted PLC, the abort after every
// attempt that leaves one in reserve, the read-modify-write of bits, the
// switch to MONITOR mode, the refusals and the bounds of one transfer.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/transfer/transaction_fixture.h"

namespace {

using hlsim::Area;
using hlsim::FaultKind;
using kivtest::Bytes;
using kivtest::Framed;
using kivtest::SecondWord;

class Write : public kivtest::SimChannel {};
class WritePeer : public kivtest::PeerChannel {};

struct WriteRow {
  const char* text;
  int32_t type;
  int32_t count;
  std::vector<uint8_t> storage;
  const char* command;
  std::function<void(hlsim::Simulator&)> check;
};

TEST_F(Write, EveryAreaAndKindGoesOutAsItsCommand) {
  channel_.float_format[5] = KIV_FLOAT_IEEE;  // unit 5 keeps IEEE floats, unit 0 BCD
  const std::vector<WriteRow> rows = {
      {"000100", 0, 1, Bytes({0, 0, 0x34, 0x12}), "@00WD01001234",
       [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::DM, 100), 0x1234); }},
      {"00I0010", 0, 1, Bytes({0, 0, 1, 0}), "@00WR00100001", [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::IR, 10), 1); }},
      {"00H5", 0, 1, Bytes({0, 0, 2, 0}), "@00WH00050002", [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::HR, 5), 2); }},
      {"00L5", 0, 1, Bytes({0, 0, 3, 0}), "@00WL00050003", [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::LR, 5), 3); }},
      {"00A5", 0, 1, Bytes({0, 0, 4, 0}), "@00WJ00050004", [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::AR, 5), 4); }},
      {"00T0012", 0, 1, Bytes({0, 0, 0x50, 0}), "@00WC00120050",
       [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::TC, 12), 0x50); }},
      // 32-bit kinds: the low half first; offset counts pairs.
      {"000100L", 4, 1, Bytes({0x78, 0x56, 0x34, 0x12}), "@00WD010056781234",
       [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::DM, 100), 0x5678); }},
      {"000100B", 5, 1, Bytes({0x4E, 0x61, 0xBC, 0x00}), "@00WD010056781234",  // 12345678
       [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::DM, 101), 0x1234); }},
      {"000100F", 3, 1, Bytes({0x79, 0xE9, 0xF6, 0x42}), "@00WD010045603123",  // 123.456f, BCD
       [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::DM, 101), 0x3123); }},
      {"050100F", 3, 1, Bytes({0x00, 0x00, 0x80, 0x3F}), "@05WD010000003F80",  // 1.0f, IEEE
       [](auto& s) { EXPECT_EQ(s.GetWord(5, Area::DM, 101), 0x3F80); }},
      {"00H10F", 3, 1, Bytes({0x79, 0xE9, 0xF6, 0x42}), "@00WH001045603123",
       [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::HR, 10), 0x4560); }},
      // A string: every one of its L bytes, a NUL included.
      {"000100S04", 7, 1, Bytes({'A', 'B', 0, 'Z'}), "@00WD0100414200" "5A",
       [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::DM, 100), 0x4142); }},
      {"000099S06", 7, 1, Bytes({'a', 'b', 'c', 'd', 'e', 'f', 0}), "@00WD0099616263646566",
       [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::DM, 101), 0x6566); }},
      // Set values of every kind, a completion flag, the operating mode.
      {"00V1005", 0, 1, Bytes({0, 0, 0x00, 0x01}), "@00W#TIM 00050100",
       [](auto& s) { EXPECT_EQ(s.GetSetValue(0, "TIM ", 5), 0x0100); }},
      {"00V2006", 0, 1, Bytes({0, 0, 0x02, 0}), "@00W#TIMH00060002",
       [](auto& s) { EXPECT_EQ(s.GetSetValue(0, "TIMH", 6), 2); }},
      {"00V3012", 0, 1, Bytes({0, 0, 0x50, 0}), "@00W#CNT 00120050",
       [](auto& s) { EXPECT_EQ(s.GetSetValue(0, "CNT ", 12), 0x50); }},
      {"00V4013", 0, 1, Bytes({0, 0, 0x04, 0}), "@00W#CNTR00130004",
       [](auto& s) { EXPECT_EQ(s.GetSetValue(0, "CNTR", 13), 4); }},
      {"00V5014", 0, 1, Bytes({0, 0, 0x05, 0}), "@00W#TMS 00140005",
       [](auto& s) { EXPECT_EQ(s.GetSetValue(0, "TMS ", 14), 5); }},
      {"00V6015", 0, 1, Bytes({0, 0, 0x06, 0}), "@00W#TIMW00150006",
       [](auto& s) { EXPECT_EQ(s.GetSetValue(0, "TIMW", 15), 6); }},
      {"00V7016", 0, 1, Bytes({0, 0, 0x07, 0}), "@00W#CNTW00160007",
       [](auto& s) { EXPECT_EQ(s.GetSetValue(0, "CNTW", 16), 7); }},
      {"00V8017", 0, 1, Bytes({0, 0, 0x08, 0}), "@00W#TMHW00170008",
       [](auto& s) { EXPECT_EQ(s.GetSetValue(0, "TMHW", 17), 8); }},
      {"00V0005", 6, 1, Bytes({0, 0, 1, 0}), "@00WG000501", [](auto& s) { EXPECT_TRUE(s.GetCompletionFlag(0, 5)); }},
      {"00SW", 0, 1, Bytes({0, 0, 0, 0}), "@00SC00", [](auto& s) { EXPECT_EQ(s.GetMode(0), hlsim::Mode::Program); }},
      // Blocks: elements from the start of the storage.
      {"000200", 0, 3, Bytes({1, 0, 2, 0, 3, 0}), "@00WD0200000100020003",
       [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::DM, 202), 3); }},
      {"00I0300", 0, 2, Bytes({0xCD, 0xAB, 0x01, 0xEF}), "@00WR0300ABCDEF01",
       [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::IR, 301), 0xEF01); }},
      {"00T0020", 0, 2, Bytes({0x10, 0, 0x20, 0}), "@00WC002000100020",
       [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::TC, 21), 0x20); }},
      {"000300L", 4, 2, Bytes({1, 0, 0, 0, 0, 0, 2, 0}), "@00WD03000001000000000002",
       [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::DM, 303), 2); }},
      {"000300B", 5, 2, Bytes({0x4E, 0x61, 0xBC, 0x00, 0xFF, 0xE0, 0xF5, 0x05}), "@00WD03005678123499999999",
       [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::DM, 302), 0x9999); }},
      {"000300F", 3, 2, Bytes({0x79, 0xE9, 0xF6, 0x42, 0, 0, 0, 0}), "@00WD03004560312300000000",
       [](auto& s) { EXPECT_EQ(s.GetWord(0, Area::DM, 300), 0x4560); }},
      {"050300F", 3, 2, Bytes({0, 0, 0x80, 0x3F, 0, 0, 0xA0, 0xC0}), "@05WD030000003F800000C0A0",
       [](auto& s) { EXPECT_EQ(s.GetWord(5, Area::DM, 303), 0xC0A0); }},
      {"00V0020", 6, 2, Bytes({1, 0}), "@00WG00200100", [](auto& s) { EXPECT_TRUE(s.GetCompletionFlag(0, 20)); }},
  };
  for (const WriteRow& row : rows) {
    SCOPED_TRACE(row.text);
    sim_->SetMode(0, hlsim::Mode::Monitor);
    std::vector<uint8_t> storage = row.storage;
    storage.resize(256, 0);
    const std::vector<uint8_t> host_values = storage;
    GateIo gate = Gate(row.text, row.type, row.count, storage.data());
    const GateIo before = gate;
    const int unit = row.text[1] - '0';
    sim_->TakeTrace();
    sim_->ResetCounters();
    log_.Clear();
    EXPECT_EQ(Call(row.count == 1 ? KIV_OP_SINGLE_WRITE : KIV_OP_BLOCK_WRITE, &gate), KIV_OK);
    const std::vector<std::string> expected = {row.command, unit == 5 ? "@05XZ" : "@00XZ"};
    EXPECT_EQ(Commands(), expected) << "a successful first attempt is followed by the abort";
    EXPECT_EQ(sim_->counters().fcs_errors, 0u);
    EXPECT_TRUE(log_.Texts().empty());
    row.check(*sim_);
    EXPECT_EQ(storage, host_values) << "a write leaves the host's values alone";
    EXPECT_EQ(std::memcmp(&gate, &before, sizeof gate), 0);
  }
}

TEST_F(Write, ABlockOfOneTakesItsElementFromTheStart) {
  uint16_t words[2] = {0x0042, 0x7777};
  GateIo gate = Gate("000400", 0, 2, words);
  gate.count = 1;
  EXPECT_EQ(Call(KIV_OP_BLOCK_WRITE, &gate), KIV_OK);
  EXPECT_EQ(Commands().front(), "@00WD04000042");
  EXPECT_EQ(sim_->GetWord(0, Area::DM, 400), 0x0042);

  uint8_t flags[4] = {1, 0, 0, 0};
  gate = Gate("00V0030", 6, 2, flags);
  gate.count = 1;
  EXPECT_EQ(Call(KIV_OP_BLOCK_WRITE, &gate), KIV_OK);
  EXPECT_EQ(Commands().front(), "@00WG003001");
  EXPECT_TRUE(sim_->GetCompletionFlag(0, 30));
}

// The exact bytes both ways, with the test as the PLC.
TEST_F(WritePeer, SuccessIsFollowedByTheAbortAndAReplyMustBeSevenCharacters) {
  uint8_t storage[4] = {0, 0, 0x34, 0x12};
  GateIo gate{"w100", 0, {0, 'D', 100, -1, 16}, 0, 1, 0, storage, 0};
  Start(KIV_OP_SINGLE_WRITE, &gate);
  EXPECT_EQ(NextFrame(), "@00WD0100123456*\r");
  pty_.Write(Framed("@00WD00"));
  EXPECT_EQ(NextFrame(), "@00XZ42*\r");
  EXPECT_EQ(Finish(), KIV_OK);
  EXPECT_TRUE(log_.Texts().empty());

  // A reply of nine characters with a good echo is no answer; the retry
  // resends the same command.
  Start(KIV_OP_SINGLE_WRITE, &gate);
  EXPECT_EQ(NextFrame(), "@00WD0100123456*\r");
  pty_.Write(Framed("@00WD0000"));
  EXPECT_EQ(NextFrame(), Framed("@00XZ"));
  EXPECT_EQ(NextFrame(), "@00WD0100123456*\r");
  pty_.Write(Framed("@00WD00"));
  EXPECT_EQ(NextFrame(), Framed("@00XZ"));
  EXPECT_EQ(Finish(), KIV_OK);
  EXPECT_EQ(log_.Texts(), std::vector<std::string>{"DUVAD> DoWrite() Error reading response code, retry 1 'w100'"});
}

TEST_F(WritePeer, TheLastAttemptAndAnUndefinedCommandGetNoAbort) {
  uint8_t storage[4] = {0, 0, 0x01, 0x00};
  GateIo gate{"w7", 0, {7, 'D', 9, -1, 16}, 0, 1, 0, storage, 0};
  Start(KIV_OP_SINGLE_WRITE, &gate);
  for (int attempt = 1; attempt <= 3; ++attempt) {
    EXPECT_EQ(NextFrame(), Framed("@07WD00090001")) << attempt;
    pty_.Write(Framed("@07WD13"));
    if (attempt < 3) {
      EXPECT_EQ(NextFrame(), Framed("@07XZ")) << attempt;
    }
  }
  EXPECT_EQ(Finish(), KIV_FAILED);
  EXPECT_EQ(pty_.Read(1, 300), "") << "no abort after the third attempt";
  std::vector<std::string> expected = {
      "DUVAD> DoWrite() resp.code. 13h, retry 1 'w7'",
      "DUVAD> DoWrite() resp.code. 13h, retry 2 'w7'",
      "DUVAD> DoWrite() resp.code. 13h, retry 3 'w7'",
      "DUVAD> SingleWrite() , ret val is 2",
  };
  EXPECT_EQ(log_.Texts(), expected);

  Start(KIV_OP_SINGLE_WRITE, &gate);
  EXPECT_EQ(NextFrame(), Framed("@07WD00090001"));
  pty_.Write(Framed("@07IC"));
  EXPECT_EQ(Finish(), KIV_REFUSED);
  EXPECT_EQ(pty_.Read(1, 300), "") << "no abort after IC";
  expected = {"DUVAD> DoWrite() undefined command 'WD', retry 1 'w7'", "DUVAD> SingleWrite() , ret val is 1"};
  EXPECT_EQ(log_.Texts(), expected);
}

struct EndCodeRow {
  int code;
  int32_t result;
  uint64_t writes;
  uint64_t aborts;
  uint64_t mode_changes;
};

TEST_F(Write, EndCodesAreFinalRetriedOrChangeTheMode) {
  const EndCodeRow rows[] = {
      // Final: one attempt, no abort.
      {0x03, 1, 1, 0, 0}, {0x04, 1, 1, 0, 0}, {0x0D, 1, 1, 0, 0}, {0x14, 1, 1, 0, 0}, {0x15, 1, 1, 0, 0},
      {0x16, 1, 1, 0, 0}, {0x18, 1, 1, 0, 0}, {0x19, 1, 1, 0, 0}, {0xB0, 1, 1, 0, 0},
      // Retried: three attempts, aborts after the first two.
      {0x13, 2, 3, 2, 0}, {0x10, 2, 3, 2, 0}, {0xB1, 2, 3, 2, 0}, {0xFF, 2, 3, 2, 0},
      // Mode: one change (which is aborted after its success), the outer
      // abort, then final at the second attempt.
      {0x01, 1, 2, 2, 1}, {0x02, 1, 2, 2, 1}, {0x0B, 1, 2, 2, 1}, {0x0C, 1, 2, 2, 1},
  };
  uint16_t storage[2] = {0, 5};
  GateIo gate = Gate("000010", 0, 1, storage);
  const GateIo before = gate;
  for (const EndCodeRow& row : rows) {
    SCOPED_TRACE(row.code);
    sim_->ResetCounters();
    sim_->ArmFault({FaultKind::EndCode, "WD", -1, 1.0, row.code});
    log_.Clear();
    EXPECT_EQ(Call(KIV_OP_SINGLE_WRITE, &gate), row.result);
    sim_->ClearFaults();
    EXPECT_EQ(Count("WD"), row.writes);
    EXPECT_EQ(Count("SC"), row.mode_changes);
    EXPECT_EQ(sim_->counters().aborts, row.aborts);
    char first[80];
    std::snprintf(first, sizeof first, "DUVAD> DoWrite() resp.code. %02xh, retry 1 '000010'", row.code);
    ASSERT_FALSE(log_.Texts().empty());
    EXPECT_EQ(log_.Texts().front(), first);
    EXPECT_EQ(std::memcmp(&gate, &before, sizeof gate), 0);
  }
}

TEST_F(Write, FailuresAreRetriedWithTheAttemptNumberAndALaterSuccessIsAborted) {
  struct Row {
    FaultKind fault;
    int failures;
    int32_t result;
    const char* message;  // of the last failed attempt
  } rows[] = {
      {FaultKind::NoReply, 1, KIV_OK, "DUVAD> DoWrite() error receiving data, retry 1 'w'"},
      {FaultKind::WrongUnit, 2, KIV_OK, "DUVAD> DoWrite() wrong answer to req, retry 2 'w'"},
      {FaultKind::WrongHeader, 1, KIV_OK, "DUVAD> DoWrite() wrong answer to req, retry 1 'w'"},
      {FaultKind::BadFcs, 2, KIV_OK, "DUVAD> DoWrite() error receiving data, retry 2 'w'"},
      {FaultKind::NoReply, 3, KIV_FAILED, "DUVAD> DoWrite() error receiving data, retry 3 'w'"},
  };
  uint16_t storage[2] = {0, 0x0B0B};
  GateIo gate{"w", 0, {0, 'D', 20, -1, 16}, 0, 1, 0, storage, 0};
  for (const Row& row : rows) {
    SCOPED_TRACE(hlsim::FaultName(row.fault) + std::to_string(row.failures));
    sim_->TakeTrace();
    sim_->ResetCounters();
    sim_->ArmFault({row.fault, "WD", row.failures});
    log_.Clear();
    EXPECT_EQ(Call(KIV_OP_SINGLE_WRITE, &gate), row.result);
    sim_->ClearFaults();
    // Every attempt but the third is followed by the abort, a successful
    // one included.
    std::vector<std::string> expected;
    const int attempts = row.failures < 3 ? row.failures + 1 : 3;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
      expected.push_back("@00WD00200B0B");
      if (attempt < 3) expected.push_back("@00XZ");
    }
    EXPECT_EQ(Commands(), expected);
    EXPECT_TRUE(log_.Contains(row.message));
    EXPECT_EQ(log_.Contains("SingleWrite() , ret val is 2"), row.result == KIV_FAILED);
  }
}

struct BitRow {
  const char* text;
  Area area;
  int address;
  uint16_t plc_word;
  uint16_t host_value;
  const char* read;
  const char* write;
  uint16_t after;
};

TEST_F(Write, ABitIsWrittenByReadModifyWrite) {
  const BitRow rows[] = {
      {"00010003", Area::DM, 100, 0x00F0, 1, "@00RD01000001", "@00WD010000F8", 0x00F8},
      {"00010003", Area::DM, 100, 0x00F0, 0, "@00RD01000001", "@00WD010000F0", 0x00F0},
      {"00010003", Area::DM, 100, 0x00F0, 0x8000, "@00RD01000001", "@00WD010000F8", 0x00F8},
      {"00010003", Area::DM, 100, 0x00F8, 0, "@00RD01000001", "@00WD010000F0", 0x00F0},
      {"00010015", Area::DM, 100, 0xFFFF, 0, "@00RD01000001", "@00WD01007FFF", 0x7FFF},
      {"00010000", Area::DM, 100, 0x0000, 1, "@00RD01000001", "@00WD01000001", 0x0001},
      {"00I001007", Area::IR, 10, 0x1200, 1, "@00RR00100001", "@00WR00101280", 0x1280},
      {"00H1015", Area::HR, 10, 0x0001, 1, "@00RH00100001", "@00WH00108001", 0x8001},
  };
  for (const BitRow& row : rows) {
    SCOPED_TRACE(std::string(row.text) + " value " + std::to_string(row.host_value));
    sim_->SetWord(0, row.area, row.address, row.plc_word);
    uint16_t storage[2] = {0xAAAA, row.host_value};
    GateIo gate = Gate(row.text, KIV_GATE_DIGITAL, 1, storage);
    const GateIo before = gate;
    sim_->TakeTrace();
    log_.Clear();
    EXPECT_EQ(Call(KIV_OP_SINGLE_WRITE, &gate), KIV_OK);
    const std::vector<std::string> expected = {row.read, row.write, "@00XZ"};
    EXPECT_EQ(Commands(), expected);
    EXPECT_EQ(sim_->GetWord(0, row.area, row.address), row.after);
    EXPECT_EQ(storage[0], 0xAAAA);
    EXPECT_EQ(storage[1], row.host_value) << "the host's value is back";
    EXPECT_EQ(std::memcmp(&gate, &before, sizeof gate), 0) << "bit and gate type as before";
    EXPECT_TRUE(log_.Texts().empty());
  }
}

TEST_F(Write, AFailedReadOfAReadModifyWriteWritesNothing) {
  struct Row {
    hlsim::Fault fault;
    int32_t result;
    uint64_t reads;
    std::vector<std::string> last_messages;
  };
  const std::vector<Row> rows = {
      {{FaultKind::EndCode, "RD", -1, 1.0, 0x14}, KIV_REFUSED, 1,
       {"DUVAD> SingleRead() , ret val is 1", "DUVAD> DoWrite() SingleRead for read-modify-write failed '00010003'",
        "DUVAD> SingleWrite() , ret val is 1"}},
      {{FaultKind::NoReply, "RD", -1}, KIV_FAILED, 3,
       {"DUVAD> SingleRead() , ret val is 2", "DUVAD> DoWrite() SingleRead for read-modify-write failed '00010003'",
        "DUVAD> SingleWrite() , ret val is 2"}},
      {{FaultKind::UndefinedCommand, "RD", 1}, KIV_REFUSED, 1,
       {"DUVAD> SingleRead() , ret val is 1", "DUVAD> DoWrite() SingleRead for read-modify-write failed '00010003'",
        "DUVAD> SingleWrite() , ret val is 1"}},
  };
  sim_->SetWord(0, Area::DM, 100, 0x00F0);
  for (const Row& row : rows) {
    SCOPED_TRACE(hlsim::FaultName(row.fault.kind));
    uint16_t storage[2] = {0xAAAA, 1};
    GateIo gate = Gate("00010003", KIV_GATE_DIGITAL, 1, storage);
    const GateIo before = gate;
    sim_->ResetCounters();
    sim_->ArmFault(row.fault);
    log_.Clear();
    EXPECT_EQ(Call(KIV_OP_SINGLE_WRITE, &gate), row.result);
    sim_->ClearFaults();
    EXPECT_EQ(Count("RD"), row.reads);
    EXPECT_EQ(Count("WD"), 0u);
    EXPECT_EQ(sim_->GetWord(0, Area::DM, 100), 0x00F0);
    EXPECT_EQ(storage[1], 1);
    EXPECT_EQ(std::memcmp(&gate, &before, sizeof gate), 0);
    const auto texts = log_.Texts();
    ASSERT_GE(texts.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(texts.end() - 3, texts.end()), row.last_messages);
  }
}

TEST_F(Write, AWriteRefusedByTheModeSwitchesToMonitorOncePerCall) {
  sim_->SetMode(0, hlsim::Mode::Run);
  uint16_t storage[2] = {0, 0x0042};
  GateIo gate = Gate("000100", 0, 1, storage);
  const GateIo before = gate;
  KivRequest request{&channel_, KIV_OP_SINGLE_WRITE, 0, 0, &gate};
  EXPECT_EQ(KivMain(&request), KIV_OK);
  EXPECT_EQ(request.params, &gate);
  EXPECT_EQ(std::memcmp(&gate, &before, sizeof gate), 0);
  EXPECT_EQ(sim_->GetWord(0, Area::DM, 100), 0x42);
  EXPECT_EQ(sim_->GetMode(0), hlsim::Mode::Monitor);
  // The mode change's own abort, then the outer write's, then the retry.
  std::vector<std::string> expected = {"@00WD01000042", "@00SC02", "@00XZ", "@00XZ", "@00WD01000042", "@00XZ"};
  EXPECT_EQ(Commands(), expected);
  std::vector<std::string> messages = {"DUVAD> DoWrite() resp.code. 01h, retry 1 '000100'",
                                       "DUVAD> DoWrite() PLC changed to MONITOR mode"};
  EXPECT_EQ(log_.Texts(), messages);

  // A PLC that keeps refusing gets one mode change, then the write ends
  // without an abort.
  log_.Clear();
  sim_->ArmFault({FaultKind::EndCode, "WD", -1, 1.0, 0x01});
  EXPECT_EQ(KivMain(&request), KIV_REFUSED);
  sim_->ClearFaults();
  expected = {"@00WD01000042", "@00SC02", "@00XZ", "@00XZ", "@00WD01000042"};
  EXPECT_EQ(Commands(), expected);
  messages = {"DUVAD> DoWrite() resp.code. 01h, retry 1 '000100'", "DUVAD> DoWrite() PLC changed to MONITOR mode",
              "DUVAD> DoWrite() resp.code. 01h, retry 2 '000100'", "DUVAD> SingleWrite() , ret val is 1"};
  EXPECT_EQ(log_.Texts(), messages);

  // The mode change itself answered with a mode code: it starts no change
  // of its own, it just fails.
  log_.Clear();
  sim_->ArmFault({FaultKind::EndCode, "", -1, 1.0, 0x01});
  EXPECT_EQ(KivMain(&request), KIV_REFUSED);
  sim_->ClearFaults();
  expected = {"@00WD01000042", "@00SC02", "@00XZ", "@00WD01000042"};
  EXPECT_EQ(Commands(), expected);
  messages = {"DUVAD> DoWrite() resp.code. 01h, retry 1 '000100'",
              "DUVAD> DoWrite() resp.code. 01h, retry 1 'Change PLC Mode'",
              "DUVAD> DoWrite() change PLC to MONITOR mode failed",
              "DUVAD> DoWrite() resp.code. 01h, retry 2 '000100'", "DUVAD> SingleWrite() , ret val is 1"};
  EXPECT_EQ(log_.Texts(), messages);
  EXPECT_EQ(request.params, &gate);
  EXPECT_EQ(std::memcmp(&gate, &before, sizeof gate), 0);
}

TEST_F(Write, AModeChangeInTheThirdAttemptEndsTheWrite) {
  sim_->SetMode(0, hlsim::Mode::Run);
  uint16_t storage[2] = {0, 0x0042};
  GateIo gate = Gate("000100", 0, 1, storage);
  sim_->ArmFault({FaultKind::NoReply, "WD", 2});
  EXPECT_EQ(Call(KIV_OP_SINGLE_WRITE, &gate), KIV_REFUSED);
  sim_->ClearFaults();
  const std::vector<std::string> expected = {"@00WD01000042", "@00XZ",   "@00WD01000042", "@00XZ",
                                             "@00WD01000042", "@00SC02", "@00XZ"};
  EXPECT_EQ(Commands(), expected) << "the mode change is aborted after its success; the write is not";
  EXPECT_EQ(sim_->GetMode(0), hlsim::Mode::Monitor);
  EXPECT_TRUE(log_.Contains("DUVAD> DoWrite() PLC changed to MONITOR mode"));
  EXPECT_EQ(log_.Texts().back(), "DUVAD> SingleWrite() , ret val is 1");
}

TEST_F(Write, RefusalsLeaveTheLineAndTheRecordsUntouched) {
  uint8_t storage[256] = {};
  struct Row {
    GateIo gate;
    uint32_t opcode;
    std::vector<std::string> messages;
  };
  uint8_t mode100[4] = {0, 0, 100, 0};
  uint8_t bcd_overflow[4] = {0x00, 0xE1, 0xF5, 0x05};  // 100000000
  const std::vector<Row> rows = {
      {{"00SR", 0, {0, 'S', 'R', -1, 16}, 0, 1, 0, storage, 0}, KIV_OP_SINGLE_WRITE,
       {"DUVAD> DoWrite() status read gate is read only, '00SR'", "DUVAD> SingleWrite() , ret val is 1"}},
      {{"00E10000", 0, {0, 'F', 1, -1, 16}, 0, 1, 0, storage, 0}, KIV_OP_SINGLE_WRITE,
       {"DUVAD> DoWrite() write to error gate not allowed, '00E10000'", "DUVAD> SingleWrite() , ret val is 1"}},
      {{"00D3", 0, {0, 'X', 3, -1, 16}, 0, 1, 0, storage, 0}, KIV_OP_SINGLE_WRITE,
       {"DUVAD> DoWrite() write high speed buff not allowed, '00D3'", "DUVAD> SingleWrite() , ret val is 1"}},
      {{"00D3", 0, {0, 'X', 3, -1, 16}, 0, 8, 0, storage, 0}, KIV_OP_BLOCK_WRITE,
       {"DUVAD> DoWrite() write high speed buff not allowed, '00D3'", "DUVAD> BlockWrite() , ret val is 1"}},
      {{"s4", 0, {0, 'D' | ('S' << 8) | (4 << 16), 10, -1, 16}, 7, 2, 0, storage, 0}, KIV_OP_BLOCK_WRITE,
       {"DUVAD> BlockWrite() not supported for STRING gates"}},
      {{"s20", 0, {0, 'D' | ('S' << 8) | (20 << 16), 10, -1, 16}, 7, 1, 0, storage, 0}, KIV_OP_BLOCK_WRITE,
       {"DUVAD> BlockWrite() not supported for STRING gates"}},
      {{"odd", 0, {0, 'Q', 3, -1, 16}, 0, 1, 0, storage, 0}, KIV_OP_SINGLE_WRITE,
       {"DUVAD> DoWrite() illegal memtype, 'odd'", "DUVAD> SingleWrite() , ret val is 1"}},
      {{"sv9", 0, {0, '#' | ('9' << 8), 3, -1, 16}, 0, 1, 0, storage, 0}, KIV_OP_SINGLE_WRITE,
       {"DUVAD> DoWrite() illegal memtype, 'sv9'", "DUVAD> SingleWrite() , ret val is 1"}},
      // Mended: a mode above 99 would be cut to two digits, a bit outside
      // the word would be shifted out of it.
      {{"00SW", 0, {0, 'S', 'W', -1, 16}, 0, 1, 0, mode100, 0}, KIV_OP_SINGLE_WRITE,
       {"DUVAD> DoWrite() mode value out of range, '00SW'", "DUVAD> SingleWrite() , ret val is 1"}},
      {{"bit16", 0, {0, 'D', 3, 16, 16}, 6, 1, 0, storage, 0}, KIV_OP_SINGLE_WRITE,
       {"DUVAD> DoWrite() bit number out of range, 'bit16'", "DUVAD> SingleWrite() , ret val is 1"}},
      {{"bcd", 0, {0, 'D' | ('B' << 8), 3, -1, 32}, 5, 1, 0, bcd_overflow, 0}, KIV_OP_SINGLE_WRITE,
       {"DUVAD> PutData() overflow in long BCD", "DUVAD> SingleWrite() , ret val is 1"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.gate.name);
    GateIo gate = row.gate;
    KivRequest request{&channel_, row.opcode, 0, 0, &gate};
    sim_->ResetCounters();
    log_.Clear();
    EXPECT_EQ(KivMain(&request), KIV_REFUSED);
    EXPECT_EQ(sim_->counters().bytes_in, 0u);
    EXPECT_EQ(log_.Texts(), row.messages);
    EXPECT_EQ(request.params, &gate);
    EXPECT_EQ(std::memcmp(&gate, &row.gate, sizeof gate), 0);
  }

  // Without an open port: 1, and only the operation's own line.
  Call(KIV_OP_CLOSE_COM, nullptr);
  log_.Clear();
  GateIo gate{"000000", 0, {0, 'D', 0, 3, 16}, 6, 1, 0, storage, 0};
  EXPECT_EQ(Call(KIV_OP_SINGLE_WRITE, &gate), KIV_REFUSED);
  EXPECT_EQ(log_.Texts(), std::vector<std::string>{"DUVAD> SingleWrite() , ret val is 1"});
}

// The largest request of each kind goes out whole; one more is refused with
// nothing on the line. The command (9 characters, or 13 for a set value,
// then the data) and its NUL must fit the 2176-character transmit buffer;
// word addresses have four digits.
struct BoundRow {
  const char* text;
  int32_t type;
  int32_t offset;  // -1: as parsed
  int32_t count;
  const char* head;      // the command's first characters; null: refused
  int32_t data_length;   // the zeros of the data behind them
};

TEST_F(Write, TheBoundsOfOneTransferHoldForEveryKind) {
  const BoundRow rows[] = {
      {"000000", 0, -1, 541, "@00WD0000", 2164},  // 9 + 2164 = 2173
      {"000000", 0, -1, 542, nullptr, 0},
      {"000000L", 4, -1, 270, "@00WD0000", 2160},
      {"000000L", 4, -1, 271, nullptr, 0},
      {"000000F", 3, -1, 271, nullptr, 0},
      {"000000B", 5, -1, 271, nullptr, 0},
      {"00V0000", 6, -1, 1083, "@00WG0000", 2166},  // 2175, the NUL takes the last place
      {"00V0000", 6, -1, 1084, nullptr, 0},
      {"00I0000", 0, -1, 541, "@00WR0000", 2164},
      {"00I0000", 0, -1, 542, nullptr, 0},
      // Word addresses.
      {"009999", 0, -1, 1, "@00WD9999", 4},
      {"009999", 0, 10000, 1, nullptr, 0},
      {"009998L", 4, -1, 1, "@00WD9998", 8},  // offset 4999
      {"009998L", 4, 5000, 1, nullptr, 0},
      {"009990S20", 7, -1, 1, "@00WD9990", 40},  // offset 999
      {"009990S20", 7, 1000, 1, nullptr, 0},
      {"00V09999", 6, -1, 1, "@00WG9999", 2},
      {"00V09999", 6, 10000, 1, nullptr, 0},
      {"00V19999", 0, -1, 1, "@00W#TIM 9999", 4},
      {"00V19999", 0, 10000, 1, nullptr, 0},
      {"000000", 0, -5, 1, nullptr, 0},
      {"000000", 0, -1, 0, nullptr, 0},
      {"000000", 0, -1, -1, nullptr, 0},
      {"000000", 0, -1, INT32_MIN, nullptr, 0},
      {"000000", 0, -1, INT32_MAX, nullptr, 0},
  };
  std::vector<uint8_t> storage(4 * 600, 0);
  for (const BoundRow& row : rows) {
    SCOPED_TRACE(std::string(row.text) + " count " + std::to_string(row.count) + " offset " +
                 std::to_string(row.offset));
    GateIo gate = Gate(row.text, row.type, row.count == 1 ? 1 : 2, storage.data());
    gate.count = row.count;
    if (row.offset != -1) gate.address.offset = row.offset;
    sim_->TakeTrace();
    sim_->ResetCounters();
    log_.Clear();
    const int32_t result = Call(row.count == 1 ? KIV_OP_SINGLE_WRITE : KIV_OP_BLOCK_WRITE, &gate);
    if (row.head == nullptr) {
      EXPECT_EQ(result, KIV_REFUSED);
      EXPECT_EQ(sim_->counters().bytes_in, 0u) << "nothing on the line";
      ASSERT_FALSE(log_.Texts().empty());
      EXPECT_EQ(log_.Texts().front(),
                "DUVAD> DoWrite() request does not fit one transfer, '" + std::string(row.text) + "'");
    } else {
      const auto commands = Commands();
      ASSERT_FALSE(commands.empty());
      EXPECT_EQ(commands.front(), row.head + std::string(size_t(row.data_length), '0'));
      EXPECT_EQ(sim_->counters().fcs_errors, 0u);
      EXPECT_FALSE(log_.Contains("does not fit"));
    }
  }
}

TEST_F(Write, TheLargestBlockArrivesWhole) {
  std::vector<uint16_t> words(541);
  for (size_t i = 0; i < words.size(); ++i) words[i] = uint16_t(0x1000 + i * 7);
  GateIo gate = Gate("009000", 0, 541, words.data());
  EXPECT_EQ(Call(KIV_OP_BLOCK_WRITE, &gate), KIV_OK);
  for (int i = 0; i < 541; ++i) ASSERT_EQ(sim_->GetWord(0, Area::DM, 9000 + i), words[size_t(i)]) << i;
  EXPECT_GT(sim_->counters().frames_in, 10u);
}

}  // namespace
