// The initialisation file: which name is read, and what each kind of line
// does to the float formats and the frame gap, with its message.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "tests/channel/channel_fixture.h"

namespace channeltest {
namespace {

class InitFile : public InTempDir {
 protected:
  // Starts a channel without communication; returns the lines between the
  // version line and the NULLDEV line, i.e. the file reader's own.
  std::vector<LogLine> Start(uint32_t channel_number) {
    kivtest::LogCapture log;
    channel_ = DirtyChannel();
    ColdStartParams params = StartParams("NULLDEV");
    EXPECT_EQ(Call(KIV_OP_COLD_START, &channel_, &params, channel_number), KIV_OK);
    std::vector<LogLine> lines = AfterVersion(log.Lines());
    EXPECT_GE(lines.size(), 2u);
    if (lines.size() < 2) return {};
    EXPECT_EQ(lines.back(), kColdStartDone);
    EXPECT_EQ(lines[lines.size() - 2], kNullDevStart);
    lines.resize(lines.size() - 2);
    return lines;
  }
  // The PLCs whose float format is not the default.
  std::map<int, int> IeeePlcs() const {
    std::map<int, int> formats;
    for (int plc = 0; plc < KIV_PLC_COUNT; ++plc)
      if (channel_.float_format[plc] != KIV_FLOAT_BCD) formats[plc] = channel_.float_format[plc];
    return formats;
  }
  ChannelContext channel_;
};

LogLine Ieee(int plc) {
  return Trace("DUVAD> ReadInitFile()  plc " + std::to_string(plc) + " uses IEEE floats");
}
LogLine Bcd(int plc) {
  return Trace("DUVAD> ReadInitFile()  plc " + std::to_string(plc) + " uses BCD floats");
}
LogLine Gap(uint32_t ms) { return Trace("DUVAD> ReadInitFile()  IFG= " + std::to_string(ms)); }
LogLine Illegal(unsigned line, const std::string& file = "DUVAD01.INT") {
  return Notice("DUVAD> ReadIntFile() illegal line " + std::to_string(line) + " in '" + file + "'");
}

struct LineCase {
  const char* what;
  std::string content;
  std::map<int, int> formats;  // PLC -> format, for every PLC not at BCD
  uint32_t gap;
  std::vector<LogLine> lines;
};

TEST_F(InitFile, LinesSetFormatsAndGapOrDrawTheIllegalLineMessage) {
  const int I = KIV_FLOAT_IEEE;
  const LineCase cases[] = {
      {"example file", "IFG = 20\nIEEE 03\nIEEE 4\n\n", {{3, I}, {4, I}}, 20,
       {Gap(20), Ieee(3), Ieee(4)}},
      {"no blank before the number", "IEEE5\nBCD5\nIEEE6\n", {{6, I}}, 0,
       {Ieee(5), Bcd(5), Ieee(6)}},
      {"tabs and other white space", "IEEE\t\t7\nIFG\t=\t9\nIEEE \v\f8\n", {{7, I}, {8, I}}, 9,
       {Ieee(7), Gap(9), Ieee(8)}},
      {"later lines win", "IEEE 05\nIFG = 4\nBCD 5\nIFG=0\n", {}, 0,
       {Ieee(5), Gap(4), Bcd(5), Gap(0)}},
      {"two digits count, the rest is ignored", "IEEE 123\nIEEE 005\nIEEE 7 trailing text\n",
       {{12, I}, {0, I}, {7, I}}, 0, {Ieee(12), Ieee(0), Ieee(7)}},
      {"highest unit", "IEEE 99\n", {{99, I}}, 0, {Ieee(99)}},
      {"last line without a line end", "IFG = 3\nIEEE 42", {{42, I}}, 3, {Gap(3), Ieee(42)}},
      {"CR LF line ends", "IEEE 3\r\n\r\nIFG = 8\r\n", {{3, I}}, 8, {Ieee(3), Gap(8)}},
      {"lower case keyword", "ieee 5\nbcd 5\nifg = 5\n", {}, 0,
       {Illegal(1), Illegal(2), Illegal(3)}},
      {"blank before the keyword", " IEEE 5\n\tIFG = 5\n", {}, 0, {Illegal(1), Illegal(2)}},
      {"empty lines are silent, blank lines are not", "\n   \n\t\n\nIEEE 1\n", {{1, I}}, 0,
       {Illegal(2), Illegal(3), Ieee(1)}},
      {"no number", "IEEE\nBCD x5\nIFG =\nIFG = x\nIEEE .5\n", {}, 0,
       {Illegal(1), Illegal(2), Illegal(3), Illegal(4), Illegal(5)}},
      {"IFG needs its equals sign", "IFG 5\nIFG : 5\n", {}, 0, {Illegal(1), Illegal(2)}},
      {"signed numbers change nothing", "IEEE -1\nIEEE +3\nBCD -0\nIFG = -5\nIFG = +5\n", {}, 0,
       {Illegal(1), Illegal(2), Illegal(3), Illegal(4), Illegal(5)}},
      {"IFG up to 32 bits, leading zeros allowed", "IFG = 4294967295\nIFG = 000000000000042\n",
       {}, 42, {Gap(4294967295u), Gap(42)}},
      {"IFG beyond 32 bits does not wrap", "IFG = 7\nIFG = 4294967296\nIFG = 99999999999999999999\n",
       {}, 7, {Gap(7), Illegal(2), Illegal(3)}},
      {"comments are not a thing", "# IEEE 5\n; IEEE 6\n", {}, 0, {Illegal(1), Illegal(2)}},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile("DUVAD01.INT", c.content);
    EXPECT_EQ(Start(1), c.lines);
    EXPECT_EQ(IeeePlcs(), c.formats);
    EXPECT_EQ(channel_.frame_gap_ms, c.gap);
  }
}

// Lines longer than 255 characters are judged in pieces of 255, each a
// line of its own with its own number.
TEST_F(InitFile, LongLinesAreTakenInPiecesOf255) {
  const std::string junk255(255, 'X');
  WriteFile("DUVAD01.INT",
            junk255 + "IEEE 8\n" +      // pieces 1 (junk) and 2 (IEEE 8)
                junk255 + "\n" +        // piece 3 (junk), piece 4 (just LF: silent)
                std::string(254, 'Y') + "\n" +  // exactly one piece: 5
                "IEEE 9\n");            // 6
  EXPECT_EQ(Start(1), (std::vector<LogLine>{Illegal(1), Ieee(8), Illegal(3), Illegal(5), Ieee(9)}));
  EXPECT_EQ(IeeePlcs(), (std::map<int, int>{{8, KIV_FLOAT_IEEE}, {9, KIV_FLOAT_IEEE}}));
}

// Line numbers in the message keep counting past 65535.
TEST_F(InitFile, LineNumbersDoNotWrapAt16Bits) {
  WriteFile("DUVAD01.INT", std::string(65536, '\n') + "bad\n");
  EXPECT_EQ(Start(1), (std::vector<LogLine>{Illegal(65537)}));
}

TEST_F(InitFile, NoFileLeavesTheDefaultsWithAWarning) {
  WriteFile("DUVAD01.IN", "IEEE 1\n");  // near misses are not the file
  WriteFile("duvad01.int", "IEEE 1\n");
  EXPECT_EQ(Start(1), (std::vector<LogLine>{kNoInitFile}));
  EXPECT_TRUE(IeeePlcs().empty());
  EXPECT_EQ(channel_.frame_gap_ms, 0u);
}

// Each present file names itself through its illegal second line, and sets
// a PLC of its own.
TEST_F(InitFile, TheFirstNameThatOpensIsRead) {
  struct Case {
    uint32_t channel;
    std::vector<std::string> present;
    std::string read;  // "" when none is
  };
  const Case cases[] = {
      {3, {"DUVAD03.INT", "DUVAD3.INT", "DUVAD.INT"}, "DUVAD03.INT"},
      {3, {"DUVAD3.INT", "DUVAD.INT"}, "DUVAD3.INT"},
      {3, {"DUVAD.INT"}, "DUVAD.INT"},
      {3, {"DUVAD003.INT", "DUVAD13.INT", "DUVAD30.INT"}, ""},
      {12, {"DUVAD12.INT", "DUVAD2.INT", "DUVAD.INT"}, "DUVAD12.INT"},
      {12, {"DUVAD012.INT", "DUVAD2.INT", "DUVAD.INT"}, "DUVAD.INT"},
      {0, {"DUVAD00.INT", "DUVAD0.INT"}, "DUVAD00.INT"},
      {0, {"DUVAD0.INT", "DUVAD.INT"}, "DUVAD0.INT"},
      {999999, {"DUVAD999999.INT", "DUVAD.INT"}, "DUVAD999999.INT"},
      // Too long for the 15-character name: skipped, never cut short.
      {1234567, {"DUVAD1234567.INT", "DUVAD1234567.IN", "DUVAD.INT"}, "DUVAD.INT"},
      {4294967295u, {"DUVAD4294967295", "DUVAD.INT"}, "DUVAD.INT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("channel " + std::to_string(c.channel) + " reads '" + c.read + "'");
    ClearDir();
    for (size_t i = 0; i < c.present.size(); ++i)
      WriteFile(c.present[i], "IEEE " + std::to_string(10 + i) + "\nwhich\n");
    std::vector<LogLine> lines = Start(c.channel);
    if (c.read.empty()) {
      EXPECT_EQ(lines, (std::vector<LogLine>{kNoInitFile}));
      continue;
    }
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], Illegal(2, c.read));
    const size_t index = std::find(c.present.begin(), c.present.end(), c.read) - c.present.begin();
    EXPECT_EQ(IeeePlcs(), (std::map<int, int>{{static_cast<int>(10 + index), KIV_FLOAT_IEEE}}));
  }
}

}  // namespace
}  // namespace channeltest
