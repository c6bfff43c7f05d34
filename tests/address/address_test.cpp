// Address texts through operations 3 and 4: what each form parses to, and
// the one message of each refusal.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include <random>
#include <string>
#include <vector>

#include "address/address.h"
#include "kivhnom/kivhnom.h"
#include "tests/support/log_capture.h"

namespace {

struct Parsed {
  int32_t result;
  GateDefinition definition;
  std::vector<kivtest::LogLine> lines;
};

Parsed RunParser(uint32_t opcode, const char* text, int32_t gate_type = 0, int32_t block_size = 1) {
  kivtest::LogCapture log;
  ChannelContext channel{};
  Parsed parsed{};
  parsed.definition = GateDefinition{text, 0, gate_type, block_size, {}};
  KivRequest request{&channel, opcode, 0, 0, &parsed.definition};
  parsed.result = KivMain(&request);
  parsed.lines = log.Lines();
  return parsed;
}

// An accepted text: the address it gives. A refused one: its message.
struct ParseRow {
  const char* text;
  uint32_t plc_id;
  uint32_t area;
  int32_t offset;
  int32_t bit;
  int32_t width;
  const char* refusal;  // the whole message, or null when accepted
};

constexpr const char* kNone = nullptr;

const ParseRow kParseRows[] = {
    {"0012", 0, 0x44, 12, -1, 16, kNone},
    {"001000", 0, 0x44, 1000, -1, 16, kNone},
    {"00100012", 0, 0x44, 1000, 12, 16, kNone},
    {"00100016", 0, 0, 0, 0, 0, "DUVAD> Parse() Bitnr out of range, '00100016'"},
    {"0010001F", 0, 0x44, 1000, 1, 16, kNone},
    {"001000  5", 0, 0x44, 1000, 5, 16, kNone},
    {"0012 5", 0, 0x44, 12, -1, 16, kNone},
    {"001R", 0, 0x44, 1, -1, 16, kNone},
    {"001000F", 0, 0x4644, 500, -1, 32, kNone},
    {"001001F", 0, 0, 0, 0, 0, "DUVAD> Parse() float or long address should be even '001001F '"},
    {"001000B", 0, 0x4244, 500, -1, 32, kNone},
    {"001000L", 0, 0x4C44, 500, -1, 32, kNone},
    {"001000S20", 0, 0x145344, 100, -1, 16, kNone},
    {"001000S21", 0, 0, 0, 0, 0, "DUVAD> Parse() String length of string gate must be even, gate '001000S21'"},
    {"001000S2", 0, 0, 0, 0, 0, "DUVAD> Parse() Wrong gtaddrstr len for string gate, '001000S2'"},
    {"001000S 2", 0, 0x25344, 1000, -1, 16, kNone},
    {"001000S00", 0, 0, 0, 0, 0, "DUVAD> Parse() Illegal length of string gate, '001000S00'"},
    {"001000S  ", 0, 0, 0, 0, 0, "DUVAD> Parse() Illegal length of string gate, '001000S  '"},
    {"001001S04", 0, 0, 0, 0, 0, "DUVAD> Parse() DM addr of str gt must be multiple of str len / 2, gate '001001S04'"},
    {"001000X", 0, 0, 0, 0, 0, "DUVAD> Parse() Illegal character 7 in '001000X '"},
    {"001000 F", 0, 0, 0, 0, 0, "DUVAD> Parse() Wrong DM addr str, '001000 F'"},
    {"01a100", 1, 0x4A, 100, -1, 16, kNone},
    {"00A10015", 0, 0x4A, 100, 15, 16, kNone},
    {"00A100F", 0, 0x464A, 50, -1, 32, kNone},
    {"00A100B", 0, 0, 0, 0, 0, "DUVAD> Parse() Wrong aux addr str, '00A100B '"},
    {"00A1000", 0, 0x4A, 100, 0, 16, kNone},
    {"00A100151", 0, 0, 0, 0, 0, "DUVAD> Parse() Illegal addres string len, '00A100151'"},
    {"00A", 0, 0, 0, 0, 0, "DUVAD> Parse() Illegal character 4 in '00A     '"},
    {"00AR", 0, 0, 0, 0, 0, "DUVAD> Parse() Illegal auxiliary address, '00AR    '"},
    {"00D3", 0, 0x58, 3, -1, 16, kNone},
    {"00D7 ", 0, 0x58, 7, -1, 16, kNone},
    {"00D8", 0, 0, 0, 0, 0, "DUVAD> Parse() Wrong high speed buff nr. , '00D8    '"},
    {"00D1000F", 0, 0, 0, 0, 0, "DUVAD> Parse() Wrong high speed buff nr. , '00D1000F'"},
    {"00E10000", 0, 0x46, 1, -1, 16, kNone},
    {"00E20001", 0, 0x10046, 2, -1, 16, kNone},
    {"00E30000", 0, 0, 0, 0, 0, "DUVAD> Parse() Wrong part nr in error addr str, '00E30000'"},
    {"00E1", 0, 0, 0, 0, 0, "DUVAD> Parse() Wrong error gate addr str, '00E1    '"},
    {"00H1015", 0, 0x48, 10, 15, 16, kNone},
    {"00H10F", 0, 0x4648, 5, -1, 32, kNone},
    {"00H1 5", 0, 0x48, 1, 5, 16, kNone},
    {"00L99", 0, 0x4C, 99, -1, 16, kNone},
    {"00H10151", 0, 0, 0, 0, 0, "DUVAD> Parse() Wrong HR/LR addr str, '00H10151'"},
    {"00H10 ", 0, 0x48, 10, -1, 16, kNone},
    {"00HR", 0, 0, 0, 0, 0, "DUVAD> Parse() Illegal hold/link relay address, '00HR    '"},
    {"00H10    ", 0, 0, 0, 0, 0, "DUVAD> Parse() Illegal addres string len, '00H10    '"},
    {"00I12315", 0, 0x52, 123, 15, 16, kNone},
    {"00I123F", 0, 0, 0, 0, 0, "DUVAD> Parse() float or long address should be even '00I123F '"},
    {"00I1234", 0, 0x52, 1234, -1, 16, kNone},
    {"00I1234F", 0, 0x4652, 617, -1, 32, kNone},
    {"00I123415", 0, 0x52, 1234, 15, 16, kNone},
    {"00I12345", 0, 0, 0, 0, 0, "DUVAD> Parse() Bitnr out of range, '00I12345'"},
    {"00I123   ", 0, 0, 0, 0, 0, "DUVAD> Parse() Illegal addres string len, '00I123   '"},
    {"00I1234 9", 0, 0x52, 1234, 9, 16, kNone},
    {"00I1234 X", 0, 0, 0, 0, 0, "DUVAD> Parse() Illegal character 9 in '00I1234 X'"},
    {"00IR", 0, 0, 0, 0, 0, "DUVAD> Parse() Illegal 3 digit gate address, '00IR    '"},
    {"00IW1234F", 0, 0, 0, 0, 0, "DUVAD> Parse() Illegal character 9 in '00IW1234F'"},
    {"00IR234 ", 0, 0, 0, 0, 0, "DUVAD> Parse() Illegal 4 digit gate address, '00IR234 '"},
    {"00I12 3F", 0, 0x4652, 6, -1, 32, kNone},  // the number stops at the blank
    {"00I1234 A", 0, 0, 0, 0, 0, "DUVAD> Parse() Illegal character 9 in '00I1234 A'"},
    {"00I1234  ", 0, 0, 0, 0, 0, "DUVAD> Parse() wrong bitnr, '00I1234  '"},
    {"00I12", 0, 0x52, 12, -1, 16, kNone},
    {"00SR", 0, 0x53, 82, -1, 16, kNone},
    {"00sw", 0, 0x53, 87, -1, 16, kNone},
    {"00SR1", 0, 0, 0, 0, 0, "DUVAD> Parse() Wrong status asddr strd, '00SR1   '"},
    {"00SX", 0, 0, 0, 0, 0, "DUVAD> Parse() Illegal character 4 in '00SX    '"},
    {"00S1", 0, 0, 0, 0, 0, "DUVAD> Parse() Wrong status type R/W, '00S1    '"},
    {"00T0123", 0, 0x43, 123, -1, 16, kNone},
    {"00T123", 0, 0x43, 23, -1, 16, kNone},
    {"00T01234", 0, 0, 0, 0, 0, "DUVAD> Parse() Illegal timer/counter addr string, '00T01234'"},
    {"00T1", 0, 0, 0, 0, 0, "DUVAD> Parse() Illegal timer/counter addr, '00T1    '"},
    {"00T0123 ", 0, 0x43, 123, -1, 16, kNone},
    {"00V1123", 0, 0x3123, 123, -1, 16, kNone},
    {"00V11234", 0, 0x3123, 1234, -1, 16, kNone},
    {"05V0123", 5, 0x3023, 123, -1, 8, kNone},
    {"00V8009", 0, 0x3823, 9, -1, 16, kNone},
    {"00V9123", 0, 0, 0, 0, 0, "DUVAD> Parse() Wrong timer/counter set value, '00V9123 '"},
    {"00V1", 0, 0, 0, 0, 0, "DUVAD> Parse() Illegal timer/counter set value address, '00V1    '"},
    {"", 0, 0, 0, 0, 0, "DUVAD> Parse() Illegal character 1 in '        '"},
    {"0", 0, 0, 0, 0, 0, "DUVAD> Parse() Illegal character 2 in '0       '"},
    {"1234567890", 0, 0, 0, 0, 0, "DUVAD> Parse() Illegal character 10 in '1234567890'"},
    {"99100", 99, 0x44, 100, -1, 16, kNone},
    {"00h10f", 0, 0x4648, 5, -1, 32, kNone},
    {"00i1234l", 0, 0x4C52, 617, -1, 32, kNone},
    {"00v0123", 0, 0x3023, 123, -1, 8, kNone},
    {"00E1000", 0, 0, 0, 0, 0, "DUVAD> Parse() Wrong error gate addr str, '00E1000 '"},
    {"00E10001 ", 0, 0x10046, 1, -1, 16, kNone},
    {"00\xE9" "100", 0, 0, 0, 0, 0, "DUVAD> Parse() Illegal character 3 in '00\xE9" "100  '"},
};

TEST(Parse, EveryFormAndRefusal) {
  for (const ParseRow& row : kParseRows) {
    SCOPED_TRACE(std::string("text '") + row.text + "'");
    for (uint32_t opcode : {KIV_OP_SINGLE_ADDRESS_PARSER, KIV_OP_BLOCK_ADDRESS_PARSER}) {
      SCOPED_TRACE(opcode == KIV_OP_SINGLE_ADDRESS_PARSER ? "single" : "block");
      const Parsed parsed = RunParser(opcode, row.text, 0, 8);
      if (row.refusal) {
        // The parser's refusal is the whole answer of either check.
        EXPECT_EQ(parsed.result, KIV_REFUSED);
        ASSERT_EQ(parsed.lines.size(), 1u);
        EXPECT_EQ(parsed.lines[0].level, KIV_LOG_TRACE);
        EXPECT_EQ(parsed.lines[0].text, row.refusal);
        continue;
      }
      const PlcAddress& a = parsed.definition.address;
      EXPECT_EQ(a.plc_id, row.plc_id);
      EXPECT_EQ(a.area, row.area) << std::hex << a.area;
      EXPECT_EQ(a.offset, row.offset);
      EXPECT_EQ(a.bit, row.bit);
      EXPECT_EQ(a.width, row.width);
      // Accepted by the parser: silent, or only the check's own line (the
      // gate type 0 and block size 8 do not fit every form).
      if (parsed.result == KIV_OK) {
        EXPECT_TRUE(parsed.lines.empty());
      } else {
        ASSERT_EQ(parsed.lines.size(), 1u);
        EXPECT_EQ(parsed.lines[0].text.find("DUVAD> Parse()"), std::string::npos) << parsed.lines[0].text;
      }
    }
  }
}

TEST(Parse, TextsOfAnyLengthAreRefusedWithinTheWorkingCopy) {
  struct LengthRow {
    std::string text;
    int position;        // the first illegal character
    std::string quoted;  // the working copy the refusal quotes
  };
  const LengthRow rows[] = {
      {std::string(10, '1'), 10, std::string(10, '1')},
      {std::string(31, '2'), 10, std::string(31, '2')},
      {std::string(32, '3'), 10, std::string(31, '3')},
      {std::string(5000, '4'), 10, std::string(31, '4')},
      {"001000" + std::string(4000, 'x'), 7, "001000" + std::string(25, 'X')},
  };
  for (const LengthRow& row : rows) {
    SCOPED_TRACE(row.text.size());
    const Parsed parsed = RunParser(KIV_OP_SINGLE_ADDRESS_PARSER, row.text.c_str());
    EXPECT_EQ(parsed.result, KIV_REFUSED);
    ASSERT_EQ(parsed.lines.size(), 1u);
    EXPECT_EQ(parsed.lines[0].text,
              "DUVAD> Parse() Illegal character " + std::to_string(row.position) + " in '" + row.quoted + "'");
  }
}

// The parser looks at no more than 32 characters: a text whose 33rd byte
// would lie on an unreadable page is refused without touching that page.
TEST(Parse, LooksNoFurtherThanTheWorkingCopy) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(map, MAP_FAILED);
  char* base = static_cast<char*>(map);
  ASSERT_EQ(mprotect(base + page, page, PROT_NONE), 0);
  char* text = base + page - 32;
  std::memset(text, '5', 32);
  const Parsed parsed = RunParser(KIV_OP_BLOCK_ADDRESS_PARSER, text);
  EXPECT_EQ(parsed.result, KIV_REFUSED);
  ASSERT_EQ(parsed.lines.size(), 1u);
  EXPECT_EQ(parsed.lines[0].text, "DUVAD> Parse() Illegal character 10 in '" + std::string(31, '5') + "'");
  munmap(map, 2 * page);
}

TEST(Parse, NullTextIsRefusedLikeAnEmptyOne) {
  for (uint32_t opcode : {KIV_OP_SINGLE_ADDRESS_PARSER, KIV_OP_BLOCK_ADDRESS_PARSER}) {
    const Parsed parsed = RunParser(opcode, nullptr);
    EXPECT_EQ(parsed.result, KIV_REFUSED);
    ASSERT_EQ(parsed.lines.size(), 1u);
    EXPECT_EQ(parsed.lines[0].text, "DUVAD> Parse() Illegal character 1 in '        '");
  }
}

TEST(Parse, CharacterRefusalLeavesTheAddressAlone) {
  kivtest::LogCapture log;
  ChannelContext channel{};
  const PlcAddress sentinel{77, 0xABCD, 1234, 9, 99};
  GateDefinition definition{"00SX", 0, 0, 1, sentinel};
  KivRequest request{&channel, KIV_OP_SINGLE_ADDRESS_PARSER, 0, 0, &definition};
  EXPECT_EQ(KivMain(&request), KIV_REFUSED);
  EXPECT_EQ(definition.address.plc_id, sentinel.plc_id);
  EXPECT_EQ(definition.address.area, sentinel.area);
  EXPECT_EQ(definition.address.offset, sentinel.offset);
  EXPECT_EQ(definition.address.bit, sentinel.bit);
  EXPECT_EQ(definition.address.width, sentinel.width);
}

// Short texts mixing the characters the parser cares about with any byte:
// the answer is always accepted-and-silent or refused with one line.
TEST(Parse, RandomBytesNeverMisbehave) {
  std::mt19937 random(7);
  const char alphabet[] = "0123456789 ILHVTASEDFLBSRWilhvtasedfl";
  for (int i = 0; i < 20000; ++i) {
    std::string text(random() % 12, ' ');
    for (char& c : text) {
      c = random() % 4 != 0 ? alphabet[random() % (sizeof alphabet - 1)] : static_cast<char>(1 + random() % 255);
    }
    for (uint32_t opcode : {KIV_OP_SINGLE_ADDRESS_PARSER, KIV_OP_BLOCK_ADDRESS_PARSER}) {
      const Parsed parsed = RunParser(opcode, text.c_str(), int32_t(random() % 9), int32_t(random() % 10));
      ASSERT_TRUE(parsed.result == KIV_OK || parsed.result == KIV_REFUSED);
      ASSERT_EQ(parsed.lines.size(), parsed.result == KIV_OK ? 0u : 1u) << text;
      if (parsed.result == KIV_REFUSED) {
        ASSERT_EQ(parsed.lines[0].level, KIV_LOG_TRACE);
        ASSERT_EQ(parsed.lines[0].text.rfind("DUVAD> ", 0), 0u) << parsed.lines[0].text;
      }
    }
  }
}

struct CheckRow {
  const char* text;
  int32_t gate_type;
  int32_t block_size;
  const char* single;  // refusal message of operation 3, or null
  const char* block;   // refusal message of operation 4, or null
};

TEST(AddressChecks, SingleAndBlockRules) {
  const CheckRow rows[] = {
      {"00100012", 6, 1, kNone, "DUVAD> BlockParse() Spec. digital gates not allowed as block, '00100012'"},
      {"00100012", 0, 1, "DUVAD> SingleParse() Gate type should be DIGITAL, '00100012'",
       "DUVAD> BlockParse() Spec. digital gates not allowed as block, '00100012'"},
      {"001000", 1, 1, kNone, kNone},
      {"001000", 6, 1, "DUVAD> SingleParse() Gate type should be 16 BIT, '001000'", kNone},
      {"001000F", 3, 1, kNone, kNone},
      {"001000F", 4, 1, "DUVAD> SingleParse() Gate type should be FLOAT, '001000F'", kNone},
      {"001000L", 5, 1, kNone, kNone},
      {"001000B", 3, 1, "DUVAD> SingleParse() Gate type should be 32 BIT, '001000B'", kNone},
      {"001000S20", 7, 1, kNone, kNone},
      {"001000S20", 0, 1, "DUVAD> SingleParse() Gate type should be STRING, '001000S20'", kNone},
      {"000080S80", 7, 1, kNone, kNone},
      {"000082S82", 7, 1, kNone, "DUVAD> BlockParse() string length above 80 not allowed as block, '000082S82'"},
      {"05V0123", 6, 1, kNone, kNone},
      {"05V0123", 2, 1, "DUVAD> SingleParse() Gate type should be DIGITAL, '05V0123'", kNone},
      {"05V1123", 0, 1, kNone, "DUVAD> BlockParse() memory type not allowed as block, '05V1123'"},
      {"00SR", 0, 1, kNone, "DUVAD> BlockParse() memory type not allowed as block, '00SR'"},
      {"00E10000", 2, 1, kNone, "DUVAD> BlockParse() memory type not allowed as block, '00E10000'"},
      {"00D3", 0, 8, kNone, kNone},
      {"00D3", 0, 4, kNone, "DUVAD> BlockParse() blocksize must be 8 for DM high speed, '00D3'"},
      {"00T0123", 1, 1, kNone, kNone},
      {"00i123", 3, 1, "DUVAD> SingleParse() Gate type should be 16 BIT, '00i123'", kNone},
      {"001000", 8, 1, "DUVAD> SingleParse() Gate type should be 16 BIT, '001000'", kNone},
      {"001000", -1, 1, "DUVAD> SingleParse() Gate type should be 16 BIT, '001000'", kNone},
  };
  for (const CheckRow& row : rows) {
    SCOPED_TRACE(std::string(row.text) + " type " + std::to_string(row.gate_type));
    for (bool block : {false, true}) {
      const char* expected = block ? row.block : row.single;
      const Parsed parsed = RunParser(block ? KIV_OP_BLOCK_ADDRESS_PARSER : KIV_OP_SINGLE_ADDRESS_PARSER, row.text,
                                row.gate_type, row.block_size);
      EXPECT_EQ(parsed.result, expected ? KIV_REFUSED : KIV_OK) << (block ? "block" : "single");
      if (expected) {
        ASSERT_EQ(parsed.lines.size(), 1u);
        EXPECT_EQ(parsed.lines[0].text, expected);
      } else {
        EXPECT_TRUE(parsed.lines.empty());
      }
    }
  }
  // A refusal by the parser is the only line of either check.
  for (uint32_t opcode : {KIV_OP_SINGLE_ADDRESS_PARSER, KIV_OP_BLOCK_ADDRESS_PARSER}) {
    const Parsed parsed = RunParser(opcode, "00D8");
    ASSERT_EQ(parsed.lines.size(), 1u);
    EXPECT_EQ(parsed.lines[0].text, "DUVAD> Parse() Wrong high speed buff nr. , '00D8    '");
  }
}

TEST(SetValueName, InstructionOfEachKind) {
  const struct {
    char kind;
    const char* name;
  } rows[] = {{'0', nullptr}, {'1', "TIM "}, {'2', "TIMH"}, {'3', "CNT "}, {'4', "CNTR"}, {'5', "TMS "},
              {'6', "TIMW"},  {'7', "CNTW"}, {'8', "TMHW"}, {'9', nullptr}, {'\0', nullptr}};
  for (const auto& row : rows) {
    const char* name = kiv::SetValueName(row.kind);
    if (row.name == nullptr) EXPECT_EQ(name, nullptr) << row.kind;
    else EXPECT_STREQ(name, row.name) << row.kind;
  }
}

}  // namespace
