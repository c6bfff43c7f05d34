// The read transaction end to end: every area and kind against the
// simulator, the exact bytes against a scripted PLC, the retry and abort
// rules, the refusals and the bounds of one transfer.
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
using kivtest::FloatAt;
using kivtest::Framed;
using kivtest::LongAt;
using kivtest::SecondWord;
using kivtest::WordAt;

class Read : public kivtest::SimChannel {};
class ReadPeer : public kivtest::PeerChannel {};

struct ReadRow {
  const char* text;
  int32_t type;
  int32_t count;
  std::function<void(hlsim::Simulator&)> setup;
  const char* command;
  std::function<void(const uint8_t*)> check;
};

void SetPair(hlsim::Simulator& sim, int unit, int address, uint16_t low_word, uint16_t high_word) {
  sim.SetWord(unit, Area::DM, address, low_word);
  sim.SetWord(unit, Area::DM, address + 1, high_word);
}

TEST_F(Read, EveryAreaAndKindGoesOutAsItsCommandAndIsStored) {
  channel_.float_format[5] = KIV_FLOAT_IEEE;  // unit 5 keeps IEEE floats, unit 0 BCD
  const std::vector<ReadRow> rows = {
      // Single words of every word area, and bits.
      {"001000", 0, 1, [](auto& s) { s.SetWord(0, Area::DM, 1000, 0x1234); }, "@00RD10000001",
       [](auto* d) { EXPECT_EQ(SecondWord(d), 0x1234); }},
      {"00100012", 6, 1, [](auto& s) { s.SetWord(0, Area::DM, 1000, 0x1000); }, "@00RD10000001",
       [](auto* d) { EXPECT_EQ(SecondWord(d), 1); }},
      {"00100011", 6, 1, [](auto& s) { s.SetWord(0, Area::DM, 1000, 0x1000); }, "@00RD10000001",
       [](auto* d) { EXPECT_EQ(SecondWord(d), 0); }},
      {"00I1234", 1, 1, [](auto& s) { s.SetWord(0, Area::IR, 1234, 0xBEEF); }, "@00RR12340001",
       [](auto* d) { EXPECT_EQ(SecondWord(d), 0xBEEF); }},
      {"00I123415", 6, 1, [](auto& s) { s.SetWord(0, Area::IR, 1234, 0x8000); }, "@00RR12340001",
       [](auto* d) { EXPECT_EQ(SecondWord(d), 1); }},
      {"00H10", 0, 1, [](auto& s) { s.SetWord(0, Area::HR, 10, 7); }, "@00RH00100001",
       [](auto* d) { EXPECT_EQ(SecondWord(d), 7); }},
      {"00L20", 0, 1, [](auto& s) { s.SetWord(0, Area::LR, 20, 8); }, "@00RL00200001",
       [](auto* d) { EXPECT_EQ(SecondWord(d), 8); }},
      {"00A100", 0, 1, [](auto& s) { s.SetWord(0, Area::AR, 100, 9); }, "@00RJ01000001",
       [](auto* d) { EXPECT_EQ(SecondWord(d), 9); }},
      {"00T0123", 0, 1, [](auto& s) { s.SetWord(0, Area::TC, 123, 0x0450); }, "@00RC01230001",
       [](auto* d) { EXPECT_EQ(SecondWord(d), 0x0450); }},
      // 32-bit kinds: offset counts pairs, the first PLC word is the low half.
      {"001000L", 4, 1, [](auto& s) { SetPair(s, 0, 1000, 0x5678, 0x1234); }, "@00RD10000002",
       [](auto* d) { EXPECT_EQ(LongAt(d, 0), 0x12345678u); }},
      {"001000B", 5, 1, [](auto& s) { SetPair(s, 0, 1000, 0x5678, 0x1234); }, "@00RD10000002",
       [](auto* d) { EXPECT_EQ(LongAt(d, 0), 12345678u); }},
      {"001000F", 3, 1, [](auto& s) { SetPair(s, 0, 1000, 0x4560, 0x3123); }, "@00RD10000002",
       [](auto* d) { EXPECT_FLOAT_EQ(FloatAt(d, 0), 123.456f); }},
      {"051000F", 3, 1, [](auto& s) { SetPair(s, 5, 1000, 0x0000, 0x3F80); }, "@05RD10000002",
       [](auto* d) { EXPECT_EQ(FloatAt(d, 0), 1.0f); }},
      {"00I1234F", 3, 1, [](auto& s) { s.SetWord(0, Area::IR, 1234, 0x4560); s.SetWord(0, Area::IR, 1235, 0x3123); },
       "@00RR12340002", [](auto* d) { EXPECT_FLOAT_EQ(FloatAt(d, 0), 123.456f); }},
      // Strings: offset counts groups of L/2 words.
      {"001000S04", 7, 1, [](auto& s) { SetPair(s, 0, 1000, 0x4142, 0x4344); }, "@00RD10000002",
       [](auto* d) { EXPECT_STREQ(reinterpret_cast<const char*>(d), "ABCD"); }},
      {"000999S06", 7, 1, [](auto& s) { SetPair(s, 0, 999, 0x6162, 0x6364); s.SetWord(0, Area::DM, 1001, 0x6566); },
       "@00RD09990003", [](auto* d) { EXPECT_STREQ(reinterpret_cast<const char*>(d), "abcdef"); }},
      // Timer/counter set values of every kind, and a completion flag.
      {"00V1010", 0, 1, [](auto& s) { s.SetSetValue(0, "TIM ", 10, 0x0100); }, "@00R#TIM 0010",
       [](auto* d) { EXPECT_EQ(SecondWord(d), 0x0100); }},
      {"00V2011", 0, 1, [](auto& s) { s.SetSetValue(0, "TIMH", 11, 0x0200); }, "@00R#TIMH0011",
       [](auto* d) { EXPECT_EQ(SecondWord(d), 0x0200); }},
      {"00V3012", 0, 1, [](auto& s) { s.SetSetValue(0, "CNT ", 12, 0x0300); }, "@00R#CNT 0012",
       [](auto* d) { EXPECT_EQ(SecondWord(d), 0x0300); }},
      {"00V4013", 0, 1, [](auto& s) { s.SetSetValue(0, "CNTR", 13, 0x0400); }, "@00R#CNTR0013",
       [](auto* d) { EXPECT_EQ(SecondWord(d), 0x0400); }},
      {"00V5014", 0, 1, [](auto& s) { s.SetSetValue(0, "TMS ", 14, 0x0500); }, "@00R#TMS 0014",
       [](auto* d) { EXPECT_EQ(SecondWord(d), 0x0500); }},
      {"00V6015", 0, 1, [](auto& s) { s.SetSetValue(0, "TIMW", 15, 0x0600); }, "@00R#TIMW0015",
       [](auto* d) { EXPECT_EQ(SecondWord(d), 0x0600); }},
      {"00V7016", 0, 1, [](auto& s) { s.SetSetValue(0, "CNTW", 16, 0x0700); }, "@00R#CNTW0016",
       [](auto* d) { EXPECT_EQ(SecondWord(d), 0x0700); }},
      {"00V8017", 0, 1, [](auto& s) { s.SetSetValue(0, "TMHW", 17, 0x0800); }, "@00R#TMHW0017",
       [](auto* d) { EXPECT_EQ(SecondWord(d), 0x0800); }},
      {"00V0005", 6, 1, [](auto& s) { s.SetCompletionFlag(0, 5, true); }, "@00RG00050001",
       [](auto* d) { EXPECT_EQ(SecondWord(d), 1); }},
      // Status, and the error words by the gate's flag digit.
      {"00SR", 0, 1, [](auto&) {}, "@00MS", [](auto* d) { EXPECT_EQ(SecondWord(d) & 0x0300, 0x0300); }},
      {"00E20000", 0, 1, [](auto& s) { s.SetErrorInfo(0, 0x1111, 0x2222); }, "@00MF01",
       [](auto* d) { EXPECT_EQ(SecondWord(d), 0x2222); }},
      {"00E10001", 0, 1, [](auto& s) { s.SetErrorInfo(0, 0x1111, 0x2222); }, "@00MF00",
       [](auto* d) { EXPECT_EQ(SecondWord(d), 0x1111); }},
      // Blocks.
      {"051000", 0, 3, [](auto& s) { for (int i = 0; i < 3; ++i) s.SetWord(5, Area::DM, 1000 + i, uint16_t(i + 1)); },
       "@05RD10000003", [](auto* d) { EXPECT_EQ(WordAt(d, 0), 1); EXPECT_EQ(WordAt(d, 2), 3); }},
      {"00I0100", 0, 2, [](auto& s) { s.SetWord(0, Area::IR, 101, 0xA5A5); }, "@00RR01000002",
       [](auto* d) { EXPECT_EQ(WordAt(d, 1), 0xA5A5); }},
      {"00H20", 0, 2, [](auto& s) { s.SetWord(0, Area::HR, 21, 0x0021); }, "@00RH00200002",
       [](auto* d) { EXPECT_EQ(WordAt(d, 1), 0x0021); }},
      {"00L30", 0, 2, [](auto& s) { s.SetWord(0, Area::LR, 31, 0x0031); }, "@00RL00300002",
       [](auto* d) { EXPECT_EQ(WordAt(d, 1), 0x0031); }},
      {"00A200", 0, 2, [](auto& s) { s.SetWord(0, Area::AR, 201, 0x0201); }, "@00RJ02000002",
       [](auto* d) { EXPECT_EQ(WordAt(d, 1), 0x0201); }},
      {"00T0200", 0, 2, [](auto& s) { s.SetWord(0, Area::TC, 201, 0x0999); }, "@00RC02000002",
       [](auto* d) { EXPECT_EQ(WordAt(d, 1), 0x0999); }},
      {"002000L", 4, 2, [](auto& s) { SetPair(s, 0, 2002, 1, 0); }, "@00RD20000004",
       [](auto* d) { EXPECT_EQ(LongAt(d, 0), 0u); EXPECT_EQ(LongAt(d, 1), 1u); }},
      {"002000B", 5, 2, [](auto& s) { SetPair(s, 0, 2000, 0x5678, 0x1234); SetPair(s, 0, 2002, 0x9999, 0x9999); },
       "@00RD20000004", [](auto* d) { EXPECT_EQ(LongAt(d, 0), 12345678u); EXPECT_EQ(LongAt(d, 1), 99999999u); }},
      {"002000F", 3, 2, [](auto& s) { SetPair(s, 0, 2000, 0x4560, 0x3123); SetPair(s, 0, 2002, 0, 0); },
       "@00RD20000004", [](auto* d) { EXPECT_FLOAT_EQ(FloatAt(d, 0), 123.456f); EXPECT_EQ(FloatAt(d, 1), 0.0f); }},
      {"052000F", 3, 2, [](auto& s) { SetPair(s, 5, 2000, 0, 0x4000); SetPair(s, 5, 2002, 0, 0xC0A0); },
       "@05RD20000004", [](auto* d) { EXPECT_EQ(FloatAt(d, 0), 2.0f); EXPECT_EQ(FloatAt(d, 1), -5.0f); }},
      {"00V0010", 6, 4, [](auto& s) { s.SetCompletionFlag(0, 11, true); s.SetCompletionFlag(0, 13, true); },
       "@00RG00100004", [](auto* d) { const uint8_t want[4] = {0, 1, 0, 1}; EXPECT_EQ(std::memcmp(d, want, 4), 0); }},
      {"00D3", 0, 8, [](auto& s) { s.SetDmBuffer(0, 7, 0x7777); }, "@00CR",
       [](auto* d) { EXPECT_EQ(WordAt(d, 7), 0x7777); }},
      {"001000S04", 7, 2, [](auto& s) { SetPair(s, 0, 1002, 0x5859, 0x5A00); }, "@00RD10000004",
       [](auto* d) { EXPECT_STREQ(reinterpret_cast<const char*>(d + KIV_STRING_SLOT_SIZE), "XYZ"); }},
  };
  for (const ReadRow& row : rows) {
    SCOPED_TRACE(row.text);
    row.setup(*sim_);
    std::vector<uint8_t> storage(1024, 0xEE);
    GateIo gate = Gate(row.text, row.type, row.count, storage.data());
    const GateIo before = gate;
    sim_->TakeTrace();
    sim_->ResetCounters();
    log_.Clear();
    EXPECT_EQ(Call(row.count == 1 ? KIV_OP_SINGLE_READ : KIV_OP_BLOCK_READ, &gate), KIV_OK);
    EXPECT_EQ(Commands(), std::vector<std::string>{row.command}) << "one command, and no abort after success";
    EXPECT_EQ(sim_->counters().fcs_errors, 0u);
    EXPECT_TRUE(log_.Texts().empty());
    row.check(storage.data());
    EXPECT_EQ(std::memcmp(&gate, &before, sizeof gate), 0);
    if (row.count == 1 && row.type != KIV_GATE_STRING && gate.address.width != 32) {
      EXPECT_EQ(storage[0], 0xEE) << "a single word leaves the first two bytes alone";
      EXPECT_EQ(storage[1], 0xEE);
    }
  }
}

// The exact bytes both ways, with the test as the PLC.
TEST_F(ReadPeer, CommandIsFramedAndSentUnchangedOnEveryAttempt) {
  uint8_t storage[4] = {};
  GateIo gate{"blk", 0, {5, 'D', 50, -1, 32}, 4, 1, 0, storage, 0};
  gate.address.area = 'D' | ('L' << 8);
  Start(KIV_OP_SINGLE_READ, &gate);
  // The first reply is of another unit, then one with a bad end code text.
  EXPECT_EQ(NextFrame(), Framed("@05RD01000002"));
  pty_.Write(Framed("@06RD0012345678"));
  EXPECT_EQ(NextFrame(), Framed("@05XZ"));
  EXPECT_EQ(NextFrame(), Framed("@05RD01000002"));
  pty_.Write(Framed("@05RDZZ"));
  EXPECT_EQ(NextFrame(), Framed("@05XZ"));
  EXPECT_EQ(NextFrame(), Framed("@05RD01000002"));
  pty_.Write(Framed("@05RD0056781234"));
  EXPECT_EQ(Finish(), KIV_OK);
  EXPECT_EQ(LongAt(storage, 0), 0x12345678u);
  EXPECT_EQ(pty_.Read(1, 300), "") << "nothing follows a successful read";
  const std::vector<std::string> expected = {
      "DUVAD> DoRead() wrong answer to req, retry 1 'blk'",
      "DUVAD> DoRead() Error reading response code, retry 2 'blk'",
  };
  EXPECT_EQ(log_.Texts(), expected);
}

TEST_F(ReadPeer, ShortAndUndefinedReplies) {
  uint8_t storage[4] = {};
  GateIo gate{"dm", 0, {0, 'D', 7, -1, 16}, 0, 1, 0, storage, 0};
  // A reply too short to hold an end code is retried.
  Start(KIV_OP_SINGLE_READ, &gate);
  EXPECT_EQ(NextFrame(), Framed("@00RD00070001"));
  pty_.Write(Framed("@00RD"));
  EXPECT_EQ(NextFrame(), Framed("@00XZ"));
  EXPECT_EQ(NextFrame(), Framed("@00RD00070001"));
  pty_.Write(Framed("@00RD00BEEF"));
  EXPECT_EQ(Finish(), KIV_OK);
  EXPECT_EQ(SecondWord(storage), 0xBEEF);
  EXPECT_EQ(log_.Texts(), std::vector<std::string>{"DUVAD> DoRead() Error reading response code, retry 1 'dm'"});

  // "IC" from whichever unit: one attempt, no abort.
  Start(KIV_OP_SINGLE_READ, &gate);
  EXPECT_EQ(NextFrame(), Framed("@00RD00070001"));
  pty_.Write(Framed("@00IC"));
  EXPECT_EQ(Finish(), KIV_REFUSED);
  EXPECT_EQ(pty_.Read(1, 300), "") << "no abort after IC";
  const std::vector<std::string> expected = {
      "DUVAD> DoRead() undefined command 'RD', retry 1 'dm'",
      "DUVAD> SingleRead() , ret val is 1",
  };
  EXPECT_EQ(log_.Texts(), expected);
}

struct EndCodeRow {
  int code;
  int32_t result;
  uint64_t attempts;  // every failed attempt, the last included, is aborted
};

TEST_F(Read, EndCodesAreFinalOrRetriedAndEveryFailureIsAborted) {
  const EndCodeRow rows[] = {
      {0x01, 1, 1}, {0x02, 1, 1}, {0x03, 1, 1}, {0x04, 1, 1}, {0x0B, 1, 1}, {0x0C, 1, 1}, {0x0D, 1, 1},
      {0x14, 1, 1}, {0x15, 1, 1}, {0x16, 1, 1}, {0x18, 1, 1}, {0x19, 1, 1}, {0xB0, 1, 1},
      {0x13, 2, 3}, {0x10, 2, 3}, {0xA3, 2, 3}, {0xB1, 2, 3}, {0xFF, 2, 3},
  };
  uint16_t storage[2] = {0, 5};
  GateIo gate = Gate("000010", 0, 1, storage);
  for (const EndCodeRow& row : rows) {
    SCOPED_TRACE(row.code);
    sim_->ResetCounters();
    sim_->ArmFault({FaultKind::EndCode, "RD", -1, 1.0, row.code});
    log_.Clear();
    EXPECT_EQ(Call(KIV_OP_SINGLE_READ, &gate), row.result);
    sim_->ClearFaults();
    EXPECT_EQ(Count("RD"), row.attempts);
    EXPECT_EQ(sim_->counters().aborts, row.attempts);
    char first[80];
    std::snprintf(first, sizeof first, "DUVAD> DoRead() resp.code. %02xh, retry 1 '000010'", row.code);
    ASSERT_FALSE(log_.Texts().empty());
    EXPECT_EQ(log_.Texts().front(), first);
    EXPECT_EQ(storage[1], 5) << "nothing stored";
  }
}

TEST_F(Read, ThreeFailedAttemptsAreNumberedAndEachIsAborted) {
  uint16_t words[4] = {};
  GateIo gate = Gate("000100", 0, 2, words);
  sim_->ArmFault({FaultKind::NoReply, "RD", -1});
  EXPECT_EQ(Call(KIV_OP_BLOCK_READ, &gate), KIV_FAILED);
  sim_->ClearFaults();
  const std::vector<std::string> expected = {
      "DUVAD> DoRead() error receiving data, retry 1 '000100'",
      "DUVAD> DoRead() error receiving data, retry 2 '000100'",
      "DUVAD> DoRead() error receiving data, retry 3 '000100'",
      "DUVAD> BlockRead(), ret val is 2",
  };
  EXPECT_EQ(log_.Texts(), expected);
  const std::vector<std::string> commands = {"@00RD01000002", "@00XZ", "@00RD01000002", "@00XZ",
                                             "@00RD01000002", "@00XZ"};
  EXPECT_EQ(Commands(), commands);
  for (const kivtest::LogLine& line : log_.Lines()) EXPECT_EQ(line.level, KIV_LOG_TRACE) << line.text;
}

TEST_F(Read, WrongEchoesAreRetriedAndALaterAttemptSucceeds) {
  struct Row {
    FaultKind fault;
    int failures;
    const char* message;
  } rows[] = {
      {FaultKind::WrongUnit, 1, "DUVAD> DoRead() wrong answer to req, retry 1 '000010'"},
      {FaultKind::WrongHeader, 2, "DUVAD> DoRead() wrong answer to req, retry 2 '000010'"},
      {FaultKind::BadFcs, 1, "DUVAD> DoRead() error receiving data, retry 1 '000010'"},
      {FaultKind::NoReply, 2, "DUVAD> DoRead() error receiving data, retry 2 '000010'"},
  };
  uint16_t storage[2] = {};
  sim_->SetWord(0, Area::DM, 10, 0x0A0A);
  GateIo gate = Gate("000010", 0, 1, storage);
  for (const Row& row : rows) {
    SCOPED_TRACE(hlsim::FaultName(row.fault));
    storage[1] = 0;
    sim_->ResetCounters();
    sim_->ArmFault({row.fault, "RD", row.failures});
    log_.Clear();
    EXPECT_EQ(Call(KIV_OP_SINGLE_READ, &gate), KIV_OK);
    sim_->ClearFaults();
    EXPECT_EQ(storage[1], 0x0A0A);
    EXPECT_EQ(Count("RD"), uint64_t(row.failures + 1));
    EXPECT_EQ(sim_->counters().aborts, uint64_t(row.failures)) << "one abort per failed attempt, none after success";
    EXPECT_EQ(log_.Texts().size(), size_t(row.failures));
    EXPECT_TRUE(log_.Contains(row.message));
  }
}

TEST_F(Read, RefusalsLeaveTheLineUntouched) {
  uint8_t storage[256] = {};
  struct Row {
    GateIo gate;
    uint32_t opcode;
    std::vector<std::string> messages;
  };
  const std::vector<Row> rows = {
      {{"00SW", 0, {0, 'S', 'W', -1, 16}, 0, 1, 0, storage, 0}, KIV_OP_SINGLE_READ,
       {"DUVAD> DoRead() status write gate is write only, '00SW'", "DUVAD> SingleRead() , ret val is 1"}},
      {{"00D3", 0, {0, 'X', 3, -1, 16}, 0, 1, 0, storage, 0}, KIV_OP_SINGLE_READ,
       {"DUVAD> SingleRead() High Speed DM should be read in blocks"}},
      {{"odd", 0, {0, 'Q', 3, -1, 16}, 0, 1, 0, storage, 0}, KIV_OP_BLOCK_READ,
       {"DUVAD> DoRead() illegal memtype, 'odd'", "DUVAD> BlockRead(), ret val is 1"}},
      {{"sv9", 0, {0, '#' | ('9' << 8), 3, -1, 16}, 0, 1, 0, storage, 0}, KIV_OP_SINGLE_READ,
       {"DUVAD> DoRead() illegal memtype, 'sv9'", "DUVAD> SingleRead() , ret val is 1"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.gate.name);
    GateIo gate = row.gate;
    sim_->ResetCounters();
    log_.Clear();
    EXPECT_EQ(Call(row.opcode, &gate), KIV_REFUSED);
    EXPECT_EQ(sim_->counters().bytes_in, 0u);
    EXPECT_EQ(log_.Texts(), row.messages);
  }

  // Without an open port: 1, and only the operation's own line.
  Call(KIV_OP_CLOSE_COM, nullptr);
  log_.Clear();
  GateIo gate{"000000", 0, {0, 'D', 0, -1, 16}, 0, 1, 0, storage, 0};
  EXPECT_EQ(Call(KIV_OP_SINGLE_READ, &gate), KIV_REFUSED);
  EXPECT_EQ(log_.Texts(), std::vector<std::string>{"DUVAD> SingleRead() , ret val is 1"});
  EXPECT_EQ(Call(KIV_OP_BLOCK_READ, &gate), KIV_REFUSED);
}

// The largest request of each kind goes out as its command; one more is
// refused with nothing on the line. The reply text (7 characters, data,
// FCS, "*", CR) must fit the 2176-character receive buffer, so the data is
// at most 2165 characters; word addresses and counts have four digits.
struct BoundRow {
  const char* text;
  int32_t type;
  int32_t offset;  // -1: as parsed
  int32_t count;
  const char* command;  // null: refused
};

TEST_F(Read, TheBoundsOfOneTransferHoldForEveryKind) {
  const BoundRow rows[] = {
      {"000000", 0, -1, 541, "@00RD00000541"},  // 7 + 2164 + 4 = 2175
      {"000000", 0, -1, 542, nullptr},
      {"000000L", 4, -1, 270, "@00RD00000540"},  // 2160 characters
      {"000000L", 4, -1, 271, nullptr},
      {"000000F", 3, -1, 271, nullptr},
      {"000000B", 5, -1, 271, nullptr},
      {"00V0000", 6, -1, 2165, "@00RG00002165"},  // one character per flag
      {"00V0000", 6, -1, 2166, nullptr},
      {"000000S20", 7, -1, 54, "@00RD00000540"},  // 2 x 20 x 54 = 2160
      {"000000S20", 7, -1, 55, nullptr},
      {"000000S02", 7, -1, 541, "@00RD00000541"},
      {"000000S02", 7, -1, 542, nullptr},
      {"000000S80", 7, -1, 13, "@00RD00000520"},  // 2080
      {"000000S80", 7, -1, 14, nullptr},
      {"00I0000", 0, -1, 541, "@00RR00000541"},
      {"00I0000", 0, -1, 542, nullptr},
      {"00D0", 0, -1, 8, "@00CR"},
      {"00D0", 0, -1, 542, nullptr},
      // Word addresses.
      {"009999", 0, -1, 1, "@00RD99990001"},
      {"009999", 0, 10000, 1, nullptr},
      {"009998L", 4, -1, 1, "@00RD99980002"},  // offset 4999
      {"009998L", 4, 5000, 1, nullptr},
      {"009990S20", 7, -1, 1, "@00RD99900010"},  // offset 999
      {"009990S20", 7, 1000, 1, nullptr},
      {"00V09999", 6, -1, 1, "@00RG99990001"},
      {"00V09999", 6, 10000, 1, nullptr},
      {"00V19999", 0, -1, 1, "@00R#TIM 9999"},
      {"00V19999", 0, 10000, 1, nullptr},
      {"000000", 0, -1, 1, "@00RD00000001"},
      {"000000", 0, -1, 0, nullptr},
      {"000000", 0, -1, -1, nullptr},
      {"000000", 0, -1, INT32_MIN, nullptr},
      {"000000", 0, -1, INT32_MAX, nullptr},
      {"000000", 0, -5, 1, nullptr},
  };
  std::vector<uint8_t> storage(81 * 600, 0);
  for (const BoundRow& row : rows) {
    SCOPED_TRACE(std::string(row.text) + " count " + std::to_string(row.count) + " offset " +
                 std::to_string(row.offset));
    // Parsed as a host would (the buffer's block is always 8), then bent.
    const bool buffer = row.text[2] == 'D';
    GateIo gate = Gate(row.text, row.type, buffer ? 8 : row.count == 1 ? 1 : 2, storage.data());
    gate.count = row.count;
    if (row.offset != -1) gate.address.offset = row.offset;
    sim_->TakeTrace();
    sim_->ResetCounters();
    log_.Clear();
    const uint32_t opcode = row.count == 1 && !buffer ? KIV_OP_SINGLE_READ : KIV_OP_BLOCK_READ;
    const int32_t result = Call(opcode, &gate);
    if (row.command == nullptr) {
      EXPECT_EQ(result, KIV_REFUSED);
      EXPECT_EQ(sim_->counters().bytes_in, 0u) << "nothing on the line";
      ASSERT_FALSE(log_.Texts().empty());
      EXPECT_EQ(log_.Texts().front(), "DUVAD> DoRead() request does not fit one transfer, '" + std::string(row.text) + "'");
    } else {
      const auto commands = Commands();
      ASSERT_FALSE(commands.empty());
      EXPECT_EQ(commands.front(), row.command);
      EXPECT_FALSE(log_.Contains("does not fit"));
    }
  }
}

TEST_F(Read, TheLargestBlockCrossesManyFramesIntact) {
  for (int i = 0; i < 541; ++i) sim_->SetWord(0, Area::DM, 9000 + i, uint16_t(i * 3 + 1));
  std::vector<uint16_t> words(541, 0);
  GateIo gate = Gate("009000", 0, 541, words.data());
  ASSERT_EQ(Call(KIV_OP_BLOCK_READ, &gate), KIV_OK);
  for (int i = 0; i < 541; ++i) ASSERT_EQ(words[size_t(i)], uint16_t(i * 3 + 1)) << i;
  EXPECT_GT(sim_->counters().frames_out, 10u);

  // Thirteen strings of 80 characters: 2080 characters of data.
  std::vector<char> strings(KIV_STRING_SLOT_SIZE * 13, 'x');
  for (int w = 0; w < 520; ++w) sim_->SetWord(0, Area::DM, w, uint16_t(0x4100 + (w / 40) * 0x0100 + 0x30 + w % 10));
  gate = Gate("000000S80", 7, 13, strings.data());
  ASSERT_EQ(Call(KIV_OP_BLOCK_READ, &gate), KIV_OK);
  for (int k = 0; k < 13; ++k) {
    const char* slot = &strings[size_t(KIV_STRING_SLOT_SIZE * k)];
    ASSERT_EQ(std::strlen(slot), 80u) << k;
    EXPECT_EQ(slot[0], char('A' + k)) << k;
    EXPECT_EQ(slot[79], char('0' + 9)) << k;
  }
}

}  // namespace
