// The simulator on its own: reply formats, framing against worked
// examples, multi-frame transfers both ways, modes, units and faults. The
// test plays the host with raw bytes; the driver is not involved.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "simulator.h"

namespace {

using hlsim::Area;
using hlsim::FaultKind;
using hlsim::Mode;

// One frame of a command: text, FCS, then "*" and CR on the last frame or
// CR alone on an intermediate one.
std::string Piece(const std::string& text, bool last) {
  char fcs[3];
  std::snprintf(fcs, sizeof fcs, "%02X", hlsim::Fcs(text));
  return text + fcs + (last ? "*\r" : "\r");
}

TEST(SimFraming, WorkedExamples) {
  EXPECT_EQ(hlsim::FinalFrame("@00RD00000001"), "@00RD0000000157*\r");
  EXPECT_EQ(hlsim::FinalFrame("@00XZ"), "@00XZ42*\r");
  EXPECT_EQ(hlsim::FinalFrame("@07XZ"), "@07XZ45*\r");
  EXPECT_EQ(hlsim::FinalFrame("@00RD001234"), "@00RD00123452*\r");
  EXPECT_EQ(hlsim::FinalFrame("@00WD01001234"), "@00WD0100123456*\r");
}

TEST(SimPlc, ReplyFormatOfEveryCommand) {
  hlsim::Plc plc;
  plc.Word(Area::DM, 100) = 0x1234;
  plc.Word(Area::DM, 101) = 0xABCD;
  plc.Word(Area::IR, 5) = 1;
  plc.Word(Area::HR, 99) = 2;
  plc.Word(Area::LR, 1) = 3;
  plc.Word(Area::AR, 7) = 4;
  plc.Word(Area::TC, 12) = 0x0150;
  plc.completion_flags[3] = true;
  plc.set_values["CNT "][12] = 0x0050;
  plc.error_words[0] = 0x0810;
  plc.error_words[1] = 0x0001;
  plc.dm_buffer[7] = 0x7777;
  struct Row {
    const char* command;
    const char* reply;
  } rows[] = {
      {"@00RD01000002", "@00RD001234ABCD"},
      {"@00RR00050001", "@00RR000001"},
      {"@00RH00990001", "@00RH000002"},
      {"@00RL00010001", "@00RL000003"},
      {"@00RJ00070001", "@00RJ000004"},
      {"@00RC00120001", "@00RC000150"},
      {"@00RG00020003", "@00RG00010"},
      {"@00R#CNT 0012", "@00R#000050"},
      {"@00R#XXXX0012", "@00R#16"},
      {"@00MS", "@00MS000200SIMULATED PLC   "},
      {"@00MF00", "@00MF0008100001"},
      {"@00CR", "@00CR0000000000000000000000000000007777"},
      {"@00RD99990002", "@00RD15"},
      {"@00RD0A000001", "@00RD15"},
      {"@00RD0100", "@00RD14"},
      {"@00WD01005555", "@00WD01"},  // RUN refuses writes
      {"@00W#TIM 00050100", "@00W#01"},
      {"@00WG000201", "@00WG01"},
      {"@00RD01000001", "@00RD001234"},  // and the refused write left the word alone
      {"@00SC02", "@00SC00"},
      {"@00MS", "@00MS000300SIMULATED PLC   "},
      {"@00WD01005555", "@00WD00"},
      {"@00RD01000001", "@00RD005555"},
      {"@00WD0100555", "@00WD14"},
      {"@00WD010055G5", "@00WD15"},
      {"@00WG00020100", "@00WG00"},
      {"@00RG00020002", "@00RG0010"},
      {"@00WG000202", "@00WG15"},
      {"@00W#TIM 00050100", "@00W#00"},
      {"@00R#TIM 0005", "@00R#000100"},
      {"@00MF01", "@00MF0008100001"},
      {"@00MF00", "@00MF0000000000"},  // 01 read and cleared it
      {"@00MF02", "@00MF15"},
      {"@00MF0", "@00MF14"},
      {"@00MS00", "@00MS14"},
      {"@00CR01", "@00CR14"},
      {"@00RG09990002", "@00RG15"},
      {"@00RG00000000", "@00RG15"},
      {"@00R#TIM 1000", "@00R#15"},
      {"@00R#TIM 0X00", "@00R#15"},
      {"@00W#XXXX00050100", "@00W#16"},
      {"@00W#TIM 0005010G", "@00W#15"},
      {"@00SC09", "@00SC15"},
      {"@00SC00", "@00SC00"},
      {"@00MS", "@00MS000000SIMULATED PLC   "},
      {"@00QQ", "@00IC"},
      {"@00XZ", ""},
      {"@00", ""},
  };
  for (const Row& row : rows) EXPECT_EQ(plc.Handle(row.command), row.reply) << row.command;
}

// Each write command stores where its read command looks, all or nothing.
TEST(SimPlc, EveryWriteLandsWhereItsReadLooks) {
  struct Row {
    char letter;
    Area area;
  } rows[] = {{'D', Area::DM}, {'R', Area::IR}, {'H', Area::HR}, {'L', Area::LR}, {'J', Area::AR}, {'C', Area::TC}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.letter);
    hlsim::Plc plc;
    plc.mode = Mode::Monitor;
    const std::string w = std::string("@00W") + row.letter, r = std::string("@00R") + row.letter;
    const int last = hlsim::AreaSize(row.area) - 1;
    char address[16];
    std::snprintf(address, sizeof address, "%04d", last - 1);
    EXPECT_EQ(plc.Handle(w + address + "0001ABCD"), w + "00");
    EXPECT_EQ(plc.Word(row.area, last - 1), 0x0001);
    EXPECT_EQ(plc.Word(row.area, last), 0xABCD);
    EXPECT_EQ(plc.Handle(r + address + "0002"), r + "000001ABCD");
    // One word too many: refused, and nothing of it written.
    EXPECT_EQ(plc.Handle(w + address + "111122223333"), w + "15");
    EXPECT_EQ(plc.Word(row.area, last - 1), 0x0001);
    EXPECT_EQ(plc.Handle(r + address + "0003"), r + "15");
    // Lower-case hex is not hex to a PLC.
    EXPECT_EQ(plc.Handle(w + address + "abcd"), w + "15");
  }
}

// What each mode allows, and how MS reports the mode (status bits 9-8).
TEST(SimPlc, ModesAllowOrRefuseEveryWrite) {
  struct Row {
    Mode mode;
    const char* end_code;
    const char* status;
  } rows[] = {{Mode::Program, "00", "0000"}, {Mode::Monitor, "00", "0300"}, {Mode::Run, "01", "0200"}};
  const char* writes[] = {"@00WD00000001", "@00WR00000001", "@00WH00000001", "@00WL00000001",
                          "@00WJ00000001", "@00WC00000001", "@00WG000001",   "@00W#CNT 00000001"};
  for (const Row& row : rows) {
    SCOPED_TRACE(hlsim::ModeName(row.mode));
    hlsim::Plc plc;
    plc.mode = row.mode;
    for (const char* write : writes)
      EXPECT_EQ(plc.Handle(write), std::string(write, 5) + row.end_code) << write;
    EXPECT_EQ(plc.Handle("@00MS").substr(0, 11), std::string("@00MS00") + row.status);
    // Reads work in every mode.
    EXPECT_EQ(plc.Handle("@00RD00000001").substr(0, 7), "@00RD00");
  }
  // SC from any mode to any mode, checked through MS.
  hlsim::Plc plc;
  for (const char* sc : {"00", "02", "03", "02", "00"}) {
    EXPECT_EQ(plc.Handle(std::string("@00SC") + sc), "@00SC00");
    const unsigned status = std::stoul(plc.Handle("@00MS").substr(7, 4), nullptr, 16);
    const unsigned expected = sc == std::string("00") ? 0u : sc == std::string("02") ? 3u : 2u;
    EXPECT_EQ((status >> 8) & 3, expected) << sc;
  }
}

// The host side of a pty served by the simulator.
class Line {
 public:
  explicit Line(const std::string& port) {
    fd_ = open(("/dev/" + port).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(fd_, 0);
  }
  ~Line() { close(fd_); }
  void Send(const std::string& bytes) { EXPECT_EQ(write(fd_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
  std::string Frame(int timeout_ms = 1000) {  // up to and with the CR
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out.empty() || out.back() != '\r') {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
      pollfd pfd{fd_, POLLIN, 0};
      if (poll(&pfd, 1, int(left)) <= 0) continue;
      char c;
      if (read(fd_, &c, 1) == 1) out += c;
      else if (!(pfd.revents & POLLIN)) break;
    }
    return out;
  }
  std::string Exchange(const std::string& text) {
    Send(hlsim::FinalFrame(text));
    return Frame();
  }

 private:
  int fd_ = -1;
};

class SimOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    hlsim::Options options;
    options.units = {0, 7};
    sim_ = std::make_unique<hlsim::Simulator>(options);
    sim_->Start();
    line_ = std::make_unique<Line>(sim_->port_name());
  }
  std::unique_ptr<hlsim::Simulator> sim_;
  std::unique_ptr<Line> line_;
};

TEST_F(SimOnPty, LongReplyComesInFramesAfterEachDelimiter) {
  for (int i = 0; i < 100; ++i) sim_->SetWord(0, Area::DM, i, uint16_t(i));
  line_->Send(hlsim::FinalFrame("@00RD00000100"));
  std::string text;
  std::vector<size_t> words;
  for (;;) {
    const std::string frame = line_->Frame();
    ASSERT_GE(frame.size(), 3u);
    const bool last = frame[frame.size() - 2] == '*';
    const std::string body = frame.substr(0, frame.size() - (last ? 4 : 3));
    char fcs[3];
    std::snprintf(fcs, sizeof fcs, "%02X", hlsim::Fcs(body));
    EXPECT_EQ(frame.substr(body.size(), 2), fcs) << "each frame's FCS covers its own text";
    EXPECT_LE(frame.size(), 131u);
    words.push_back((body.size() - (text.empty() ? 7 : 0)) / 4);
    text += body;
    if (last) break;
    line_->Send("\r");
  }
  EXPECT_EQ(words, (std::vector<size_t>{30, 31, 31, 8}));
  EXPECT_EQ(text.size(), 7u + 400u);
  EXPECT_EQ(text.substr(7 + 4 * 99, 4), "0063");
}

TEST_F(SimOnPty, AbortInPlaceOfTheDelimiterCancelsTheRest) {
  line_->Send(hlsim::FinalFrame("@00RD00000100"));
  EXPECT_FALSE(line_->Frame().empty());
  line_->Send(hlsim::FinalFrame("@00XZ"));
  EXPECT_EQ(line_->Frame(300), "") << "no further frame, and no answer to XZ";
  EXPECT_EQ(line_->Exchange("@00RD00000001"), hlsim::FinalFrame("@00RD000000")) << "the line is usable again";
  EXPECT_EQ(sim_->counters().aborts, 1u);
}

TEST_F(SimOnPty, LongCommandArrivesInFramesWithDelimiters) {
  sim_->SetMode(0, hlsim::Mode::Monitor);
  std::string command = "@00WD0000";
  for (int i = 0; i < 60; ++i) command += "00AB";
  // 124-character frames, FCS and CR each; the last with "*".
  for (size_t at = 0; at < command.size(); at += 124) {
    const std::string piece = command.substr(at, 124);
    char fcs[3];
    std::snprintf(fcs, sizeof fcs, "%02X", hlsim::Fcs(piece));
    const bool last = at + 124 >= command.size();
    line_->Send(piece + fcs + (last ? "*\r" : "\r"));
    const std::string answer = line_->Frame();
    if (!last) {
      EXPECT_EQ(answer, "\r") << "delimiter after an intermediate frame";
    } else {
      EXPECT_EQ(answer, hlsim::FinalFrame("@00WD00"));
    }
  }
  EXPECT_EQ(sim_->GetWord(0, Area::DM, 59), 0x00AB);
}

TEST_F(SimOnPty, UnitsAnswerForThemselvesOnly) {
  EXPECT_EQ(line_->Exchange("@03RD00000001"), "") << "no unit 03 on this line";
  sim_->SetWord(7, Area::DM, 0, 0x0707);
  EXPECT_EQ(line_->Exchange("@07RD00000001"), hlsim::FinalFrame("@07RD000707"));
  EXPECT_EQ(line_->Exchange("@00RD00000001"), hlsim::FinalFrame("@00RD000000"));
  line_->Send("@00RD0000000100*\r");  // wrong FCS
  EXPECT_EQ(line_->Frame(), hlsim::FinalFrame("@00RD13"));
  EXPECT_EQ(sim_->counters().fcs_errors, 1u);
}

TEST_F(SimOnPty, EachFaultKindShowsOnTheWire) {
  // A word whose reply FCS has a letter in it, so lower case shows.
  uint16_t word = 0;
  char hex[8];
  for (;; ++word) {
    std::snprintf(hex, sizeof hex, "%04X", word);
    if (hlsim::Fcs("@00RD00" + std::string(hex)) % 16 >= 10) break;
  }
  sim_->SetWord(0, Area::DM, 0, word);
  const std::string text = "@00RD00" + std::string(hex);
  const std::string good = hlsim::FinalFrame(text);
  char lower[8];
  std::snprintf(lower, sizeof lower, "%02x*\r", hlsim::Fcs(text));
  struct Row {
    FaultKind kind;
    std::function<void(const std::string&)> check;
  } rows[] = {
      {FaultKind::NoReply, [](const std::string& r) { EXPECT_EQ(r, ""); }},
      {FaultKind::BadFcs, [&](const std::string& r) { EXPECT_NE(r, good); EXPECT_EQ(r.substr(0, 11), good.substr(0, 11)); }},
      {FaultKind::LowerCaseFcs, [&](const std::string& r) { EXPECT_EQ(r, text + lower); }},
      {FaultKind::WrongUnit, [](const std::string& r) { EXPECT_EQ(r.substr(0, 5), "@01RD"); }},
      {FaultKind::WrongHeader, [](const std::string& r) { EXPECT_EQ(r.substr(0, 5), "@00RE"); }},
      {FaultKind::EndCode, [](const std::string& r) { EXPECT_EQ(r, hlsim::FinalFrame("@00RD15")); }},
      {FaultKind::UndefinedCommand, [](const std::string& r) { EXPECT_EQ(r, hlsim::FinalFrame("@00IC")); }},
      {FaultKind::Truncated, [&](const std::string& r) { EXPECT_EQ(r, good.substr(0, good.size() / 2)); }},
      {FaultKind::GarbageBefore, [&](const std::string& r) { EXPECT_NE(r.find(good), 0u); EXPECT_NE(r.find(good), std::string::npos); }},
      {FaultKind::GarbageAfter, [&](const std::string& r) { EXPECT_EQ(r, good); }},
      {FaultKind::LateReply, [&](const std::string& r) { EXPECT_EQ(r, ""); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(hlsim::FaultName(row.kind));
    hlsim::Fault fault;
    fault.kind = row.kind;
    fault.header = "RD";
    fault.delay_ms = 1500;  // later than the host waits below
    sim_->ArmFault(fault);
    row.check(line_->Exchange("@00RD00000001"));
    // What is left (late replies, garbage) is drained; the next is clean.
    while (!line_->Frame(row.kind == FaultKind::LateReply ? 2000 : 100).empty()) {
    }
    EXPECT_EQ(line_->Exchange("@00RD00000001"), good);
  }
  EXPECT_EQ(sim_->counters().faults_fired, 11u);
}

// Long replies of every kind split as a real PLC splits them: how many
// elements the first and each later frame carry.
TEST_F(SimOnPty, LongRepliesOfEachKindSplitLikeARealPlc) {
  for (int i = 0; i < 300; ++i) sim_->SetCompletionFlag(0, i, i % 3 == 0);
  struct Row {
    const char* command;
    size_t element_chars;
    std::vector<size_t> per_frame;
  } rows[] = {
      {"@00RD00000100", 4, {30, 31, 31, 8}},
      {"@00RC00000031", 4, {30, 1}},
      {"@00RH00000030", 4, {30}},
      {"@00RG00000300", 1, {121, 125, 54}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.command);
    line_->Send(hlsim::FinalFrame(row.command));
    std::vector<size_t> per_frame;
    std::string text;
    for (int frames = 0; frames < 10; ++frames) {
      const std::string frame = line_->Frame();
      ASSERT_GE(frame.size(), 3u);
      const bool last = frame[frame.size() - 2] == '*';
      const std::string body = frame.substr(0, frame.size() - (last ? 4 : 3));
      per_frame.push_back((body.size() - (text.empty() ? 7 : 0)) / row.element_chars);
      text += body;
      if (last) break;
      line_->Send("\r");
    }
    EXPECT_EQ(per_frame, row.per_frame);
    if (row.element_chars == 1) {
      EXPECT_EQ(text.substr(7, 7), "1001001");
    }
  }
}

// The frame limits: 131 characters on its own, 128 in a multi-frame
// transfer; a bad later frame ends the transfer with an A-code.
TEST_F(SimOnPty, FrameLimitsAndBadLaterFrames) {
  sim_->SetMode(0, Mode::Monitor);
  std::string flags;  // WG data: 59 flags of 2 characters
  for (int i = 0; i < 59; ++i) flags += i % 2 ? "01" : "00";
  const std::string longest = "@00WG0000" + flags;  // 127 characters: 131 framed
  ASSERT_EQ(longest.size(), 127u);
  EXPECT_EQ(line_->Exchange(longest), hlsim::FinalFrame("@00WG00"));
  EXPECT_TRUE(sim_->GetCompletionFlag(0, 57));
  EXPECT_EQ(line_->Exchange(longest + "0"), hlsim::FinalFrame("@00WG18")) << "132 characters";

  const std::string words = "@00WD0000" + std::string(116, '1');  // 125 characters
  struct Row {
    std::vector<std::string> frames;  // as sent; each but the last wants a CR back
    std::string reply;
  } rows[] = {
      {{Piece(words, false), Piece(std::string(4, '2'), true)}, hlsim::FinalFrame("@00WD00")},
      {{Piece(words + "1", false)}, hlsim::FinalFrame("@00WD18")},  // 129 in a transfer
      {{Piece(words, false), Piece(std::string(126, '2'), false)}, hlsim::FinalFrame("@00WDA8")},
      {{Piece(words, false), "2222FF*\r"}, hlsim::FinalFrame("@00WDA3")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.reply);
    std::string answer;
    size_t sent = 0;
    while (sent < row.frames.size()) {
      line_->Send(row.frames[sent++]);
      answer = line_->Frame();
      if (answer != "\r") break;
    }
    EXPECT_EQ(answer, row.reply);
    EXPECT_EQ(sent, row.frames.size()) << "the transfer ended early";
    EXPECT_EQ(line_->Exchange("@00RD00000001").substr(0, 7), "@00RD00") << "the line is usable again";
  }
  EXPECT_EQ(sim_->GetWord(0, Area::DM, 28), 0x1111);
  EXPECT_EQ(sim_->GetWord(0, Area::DM, 29), 0x2222);
  EXPECT_EQ(sim_->GetWord(0, Area::DM, 30), 0) << "only the good transfer wrote";
  EXPECT_EQ(sim_->counters().fcs_errors, 1u);
}

// Faults aim at a header, a unit, a number of commands or a fraction.
TEST_F(SimOnPty, FaultsHitOnlyWhatTheyAimAt) {
  auto hit = [&](const std::string& command) {
    const std::string reply = line_->Exchange(command);
    return reply.size() > 7 && reply.substr(5, 2) == "19";
  };
  struct Row {
    hlsim::Fault fault;
    std::vector<std::pair<std::string, bool>> commands;  // and whether each is hit
  } rows[] = {
      {{FaultKind::EndCode, "MS", 2, 1.0, 0x19},
       {{"@00RD00000001", false}, {"@00MS", true}, {"@07MS", true}, {"@00MS", false}}},
      {{FaultKind::EndCode, "", 1, 1.0, 0x19, 0, 7}, {{"@00RD00000001", false}, {"@07RD00000001", true}, {"@07RD00000001", false}}},
      {{FaultKind::EndCode, "", -1, 1.0, 0x19}, {{"@00MS", true}, {"@07CR", true}, {"@00RD00000001", true}}},
      {{FaultKind::EndCode, "", -1, 0.0, 0x19}, {{"@00MS", false}, {"@00MS", false}}},
  };
  for (const Row& row : rows) {
    sim_->ClearFaults();
    sim_->ArmFault(row.fault);
    for (const auto& [command, expected] : row.commands) EXPECT_EQ(hit(command), expected) << command;
  }
  // A fraction: about half of 200 commands.
  sim_->ClearFaults();
  hlsim::Fault half{FaultKind::EndCode, "", -1, 0.5, 0x19};
  sim_->ArmFault(half);
  int hits = 0;
  for (int i = 0; i < 200; ++i) hits += hit("@00MS");
  EXPECT_GT(hits, 60);
  EXPECT_LT(hits, 140);
}

// The trace shows each frame decoded: unit, header and end code.
TEST_F(SimOnPty, TraceDecodesEveryFrame) {
  sim_->SetTrace(true);
  sim_->TakeTrace();
  line_->Exchange("@07RD00000001");
  sim_->ArmFault({FaultKind::NoReply, "MS", 1});
  line_->Send(hlsim::FinalFrame("@00MS"));
  ASSERT_TRUE(sim_->WaitForCommands(2, 2000));
  const std::vector<std::string> trace = sim_->TakeTrace();
  ASSERT_EQ(trace.size(), 4u);
  EXPECT_NE(trace[0].find(" > @07RD0000000150*<CR>  unit 07 RD"), std::string::npos) << trace[0];
  EXPECT_NE(trace[1].find(" < @07RD000000"), std::string::npos) << trace[1];
  EXPECT_NE(trace[1].find("unit 07 RD end 00"), std::string::npos) << trace[1];
  EXPECT_NE(trace[2].find("unit 00 MS"), std::string::npos) << trace[2];
  EXPECT_NE(trace[3].find("fault no-reply"), std::string::npos) << trace[3];
  sim_->SetTrace(false);
  line_->Exchange("@00MS");
  EXPECT_TRUE(sim_->TakeTrace().empty());
}

// Accessors refuse what is not there instead of writing beside it.
TEST_F(SimOnPty, AccessorsRefuseWhatIsNotThere) {
  EXPECT_THROW(sim_->SetWord(0, Area::HR, 100, 1), std::out_of_range);
  EXPECT_THROW(sim_->GetWord(0, Area::DM, -1), std::out_of_range);
  EXPECT_THROW(sim_->SetWord(3, Area::DM, 0, 1), std::out_of_range);
  EXPECT_THROW(sim_->SetCompletionFlag(0, 1000, true), std::out_of_range);
  EXPECT_THROW(sim_->SetSetValue(0, "TIM", 1, 1), std::out_of_range) << "names are four characters";
  EXPECT_THROW(sim_->SetDmBuffer(0, 8, 1), std::out_of_range);
  sim_->SetWord(0, Area::HR, 99, 0x9999);
  EXPECT_EQ(sim_->GetWord(0, Area::HR, 99), 0x9999);
}

TEST_F(SimOnPty, StalledDelimiterAndVanishingLine) {
  sim_->SetMode(0, hlsim::Mode::Monitor);
  sim_->ArmFault({FaultKind::StallDelimiter, "WD", 1});
  const std::string piece = "@00WD0000" + std::string(115, '0');
  char fcs[3];
  std::snprintf(fcs, sizeof fcs, "%02X", hlsim::Fcs(piece));
  line_->Send(piece + fcs + "\r");
  EXPECT_EQ(line_->Frame(300), "") << "no delimiter";

  sim_->ArmFault({FaultKind::LineVanish, "RD", 1});
  line_->Send(hlsim::FinalFrame("@00RD00000001"));
  const std::string half = line_->Frame(500);
  EXPECT_LT(half.size(), hlsim::FinalFrame("@00RD000000").size()) << "half a frame, then the line is gone";
  // A new line is offered afterwards.
  ASSERT_TRUE(sim_->WaitForLine(1, 5000));
  EXPECT_EQ(sim_->counters().lines_lost, 1u);
  Line again(sim_->port_name());
  EXPECT_EQ(again.Exchange("@00RD00000001"), hlsim::FinalFrame("@00RD000000"));
}

// A paced line takes at least the time the characters need on the wire,
// and the turnaround delay comes on top.
TEST(SimTiming, PacingAndDelayTakeAtLeastTheirTime) {
  hlsim::Options options;
  options.pace = true;  // 9600 baud, 7E2: 11 bits per character
  options.response_delay_ms = 100;
  hlsim::Simulator sim(options);
  sim.Start();
  Line line(sim.port_name());
  const std::string command = hlsim::FinalFrame("@00RD00000030");
  const auto start = std::chrono::steady_clock::now();
  line.Send(command);
  const std::string reply = line.Frame(5000);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(reply.size(), 131u);
  const double wire_ms = double(command.size() + reply.size()) * 11 * 1000 / 9600;
  EXPECT_GE(elapsed, std::chrono::microseconds(int64_t((wire_ms + 100) * 1000)));
}

// The same seed gives the same random faults.
TEST(SimRandom, TheSeedRepeatsTheFaults) {
  auto faults_of = [](uint64_t seed) {
    hlsim::Options options;
    options.fault_rate = 0.5;
    options.seed = seed;
    options.trace = true;
    hlsim::Simulator sim(options);
    sim.Start();
    Line line(sim.port_name());
    for (int i = 0; i < 30; ++i) {
      line.Send(hlsim::FinalFrame("@00RD00000001"));
      EXPECT_TRUE(sim.WaitForCommands(uint64_t(i) + 1, 2000));
      line.Frame(50);  // whatever came back, if anything
    }
    sim.Stop();  // the last reply, if any, is traced before this returns
    std::string faults;
    for (const std::string& entry : sim.TakeTrace()) {
      const size_t at = entry.find("fault ");
      if (at != std::string::npos && entry.find("garbage", at) == std::string::npos) faults += entry.substr(at) + ";";
    }
    EXPECT_GT(sim.counters().faults_fired, 5u);
    return faults;
  };
  const std::string first = faults_of(42);
  EXPECT_FALSE(first.empty());
  EXPECT_EQ(faults_of(42), first);
  EXPECT_NE(faults_of(43), first);
}

// State saved to a file comes back whole, zeros included; a wrong file
// changes nothing and names its wrong line.
TEST(SimState, SaveAndLoadRoundTrip) {
  hlsim::Options options;
  options.units = {0, 5};
  hlsim::Simulator sim(options);
  sim.SetWord(0, Area::DM, 9999, 0xFFFF);
  sim.SetWord(5, Area::TC, 3, 0x0042);
  sim.SetCompletionFlag(5, 999, true);
  sim.SetSetValue(0, "TIM ", 7, 0x0100);
  sim.SetSetValue(0, "CNTR", 0, 0x0001);
  sim.SetDmBuffer(5, 7, 0x7777);
  sim.SetErrorInfo(0, 0x0810, 0x0001);
  sim.SetMode(5, Mode::Program);
  const std::string path = ::testing::TempDir() + "sim_state_" + std::to_string(getpid()) + ".txt";
  ASSERT_TRUE(sim.Save(path));
  const std::string saved = sim.Describe(0) + sim.Describe(5);

  sim.SetWord(0, Area::DM, 9999, 0);
  sim.SetWord(0, Area::DM, 1, 0x1111);  // not in the file: must be gone after the load
  sim.SetCompletionFlag(5, 999, false);
  sim.SetMode(5, Mode::Run);
  std::string error;
  ASSERT_TRUE(sim.Load(path, &error)) << error;
  EXPECT_EQ(sim.Describe(0) + sim.Describe(5), saved);
  EXPECT_EQ(sim.GetWord(0, Area::DM, 1), 0);
  EXPECT_EQ(sim.GetSetValue(0, "TIM ", 7), 0x0100);
  EXPECT_EQ(sim.GetMode(5), Mode::Program);

  struct Row {
    const char* text;
    const char* complaint;
  } rows[] = {
      {"00 DM 1 0001\n00 DM 10000 0001\n", ":2: "},
      {"00 DM 1 0001\n# note\n03 DM 1 0001\n", ":3: unit 03 is not served"},
      {"00 HR 99 1 2\n", ":1: "},
      {"00 SV XXXX 1 0001\n", ":1: unknown instruction"},
      {"00 mode fast\n", ":1: mode is"},
      {"00 DM 1 10000\n", ":1: bad word"},
      {"00 FLAG 1 2\n", ":1: "},
      {"00\n", ":1: nothing after the unit"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    std::ofstream(path) << row.text;
    EXPECT_FALSE(sim.Load(path, &error));
    EXPECT_NE(error.find(row.complaint), std::string::npos) << error;
    EXPECT_EQ(sim.Describe(0) + sim.Describe(5), saved) << "nothing changed";
  }
  unlink(path.c_str());
  EXPECT_FALSE(sim.Load(path, &error));
  EXPECT_FALSE(sim.Save("/nonexistent-directory/state.txt"));
}

// The control commands, as a user types them.
TEST(SimControl, CommandsAndTheirAnswers) {
  hlsim::Options options;
  options.units = {0, 5};
  hlsim::Simulator sim(options);
  struct Row {
    const char* command;
    const char* answer;  // exact, or the start of an error
  } rows[] = {
      {"set 5 DM 100 1234 abcd", "ok\n"},
      {"get 5 DM 100 2", "1234 ABCD\n"},
      {"get 5 dm 101", "ABCD\n"},
      {"set 5 DM 9999 1 2", "error: "},
      {"get 5 DM 9999 2", "error: "},
      {"set 5 DM 0 10000", "error: "},
      {"set 5 DM -1 1", "error: "},
      {"get 3 DM 0", "error: unit 3 is not served"},
      {"get 5 XX 0", "error: unknown area"},
      {"flag 5 999 1", "ok\n"},
      {"flag 5 999", "1\n"},
      {"flag 5 1000 1", "error: "},
      {"sv 5 cnt 12 50", "ok\n"},
      {"sv 5 CNT_ 12", "0050\n"},
      {"sv 5 NOPE 12 50", "error: unknown instruction"},
      {"hsb 5 7 7777", "ok\n"},
      {"hsb 5 7", "7777\n"},
      {"hsb 5 8 1", "error: "},
      {"error 5 0810 1", "ok\n"},
      {"error 5", "0810 0001\n"},
      {"mode 5", "run\n"},
      {"mode 5 monitor", "ok\n"},
      {"mode 5", "monitor\n"},
      {"mode 5 fast", "error: "},
      {"fault no-reply header=RD count=2 unit=5", "ok\n"},
      {"faults", "no-reply header=RD count=2 prob=1 code=15 delay=0 unit=5\n"},
      {"fault bad-fcs prob=2", "error: "},
      {"fault end-code code=XYZ", "error: "},
      {"fault melt", "error: unknown fault kind"},
      {"clear-faults", "ok\n"},
      {"faults", "none\n"},
      {"trace on", "ok\n"},
      {"trace maybe", "error: "},
      {"counters reset", "ok\n"},
      {"dump 5", "05 mode monitor\n05 DM 100 1234\n05 DM 101 ABCD\n05 FLAG 999 1\n05 SV CNT_ 12 0050\n"
                 "05 HSB 7 7777\n05 ERROR 0810 0001\n"},
      {"# a comment", ""},
      {"", ""},
      {"launch", "error: unknown command"},
  };
  bool quit = false;
  for (const Row& row : rows) {
    const std::string answer = sim.Control(row.command, &quit);
    if (std::string(row.answer).rfind("error: ", 0) == 0)
      EXPECT_EQ(answer.rfind(row.answer, 0), 0u) << row.command << " -> " << answer;
    else
      EXPECT_EQ(answer, row.answer) << row.command;
  }
  EXPECT_FALSE(quit);
  EXPECT_NE(sim.Control("help", &quit).find("stall-delimiter"), std::string::npos);
  EXPECT_EQ(sim.Control("quit", &quit), "ok\n");
  EXPECT_TRUE(quit);
}

// An existing serial device (here the far end of a pty pair) is served
// with the given line settings.
TEST(SimDevice, ServesAnExistingSerialDevice) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  hlsim::Options options;
  options.device = ptsname(master);
  options.baud = 19200;
  options.data_bits = 8;
  options.parity = 'N';
  options.stop_bits = 1;
  options.units = {31};
  hlsim::Simulator sim(options);
  sim.Start();
  EXPECT_EQ(sim.port_name(), options.device);
  {  // the line settings as asked
    const int slave = open(options.device.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(slave, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), speed_t(B19200));
    EXPECT_EQ(tio.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB), 0u);
    close(slave);
  }
  sim.SetWord(31, Area::DM, 0, 0x3131);
  const std::string command = hlsim::FinalFrame("@31RD00000001");
  ASSERT_EQ(write(master, command.data(), command.size()), ssize_t(command.size()));
  std::string reply;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while ((reply.empty() || reply.back() != '\r') && std::chrono::steady_clock::now() < deadline) {
    pollfd pfd{master, POLLIN, 0};
    if (poll(&pfd, 1, 100) <= 0) continue;
    char c;
    if (read(master, &c, 1) == 1) reply += c;
  }
  EXPECT_EQ(reply, hlsim::FinalFrame("@31RD003131"));
  sim.Stop();
  close(master);

  options.device = "/nonexistent/tty";
  hlsim::Simulator missing(options);
  EXPECT_THROW(missing.Start(), std::runtime_error);
  options.device = "/dev/null";  // not a serial line
  hlsim::Simulator not_a_tty(options);
  EXPECT_THROW(not_a_tty.Start(), std::runtime_error);
}

#ifdef HOSTLINK_SIM_BINARY
// The command-line tool: the port name first, then control commands on
// standard input answered on standard output, and a PLC on the pty.
class SimTool {
 public:
  explicit SimTool(std::vector<std::string> args) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      close(in[0]), close(in[1]), close(out[0]), close(out[1]);
      std::vector<char*> argv{const_cast<char*>(HOSTLINK_SIM_BINARY)};
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]), close(out[1]);
    to_ = in[1];
    from_ = out[0];
  }
  ~SimTool() {
    if (to_ >= 0) close(to_);
    close(from_);
    if (pid_ > 0 && Wait(2000) < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  // One line of standard output, without its newline; "" on timeout.
  std::string Line(int timeout_ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      const size_t newline = buffer_.find('\n');
      if (newline != std::string::npos) {
        std::string line = buffer_.substr(0, newline);
        buffer_.erase(0, newline + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      pollfd pfd{from_, POLLIN, 0};
      if (left <= 0 || poll(&pfd, 1, int(left)) <= 0) return "";
      char chunk[512];
      const ssize_t got = read(from_, chunk, sizeof chunk);
      if (got <= 0) return "";
      buffer_.append(chunk, size_t(got));
    }
  }
  // Everything until the tool closes its standard output (bounded).
  std::string Rest(int timeout_ms = 3000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      pollfd pfd{from_, POLLIN, 0};
      if (left <= 0 || poll(&pfd, 1, int(left)) <= 0) break;
      char chunk[512];
      const ssize_t got = read(from_, chunk, sizeof chunk);
      if (got <= 0) break;
      buffer_.append(chunk, size_t(got));
    }
    std::string all;
    all.swap(buffer_);
    return all;
  }
  void Send(const std::string& text) { EXPECT_EQ(write(to_, text.data(), text.size()), ssize_t(text.size())); }
  void CloseInput() {
    close(to_);
    to_ = -1;
  }
  // The exit status, or -1 if the tool has not ended within timeout_ms.
  int Wait(int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      pollfd none{-1, 0, 0};
      poll(&none, 0, 10);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
  std::string buffer_;
};

TEST(SimCli, PortNameFirstThenControlCommands) {
  const std::string path = ::testing::TempDir() + "sim_cli_" + std::to_string(getpid()) + ".txt";
  SimTool tool({"-u", "0", "-u", "12", "--save", path});
  const std::string port = tool.Line();
  ASSERT_EQ(port.rfind("pts/", 0), 0u) << port;
  // Several commands in one write: each is answered.
  tool.Send("set 12 DM 100 1234 ABCD\nget 12 DM 100 2\nmode 12 monitor\n");
  EXPECT_EQ(tool.Line(), "ok");
  EXPECT_EQ(tool.Line(), "1234 ABCD");
  EXPECT_EQ(tool.Line(), "ok");
  {
    Line line(port);
    EXPECT_EQ(line.Exchange("@12RD01000002"), hlsim::FinalFrame("@12RD001234ABCD"));
    EXPECT_EQ(line.Exchange("@12WD01020042"), hlsim::FinalFrame("@12WD00"));
  }
  tool.Send("get 12 DM 102\ncounters\n");
  EXPECT_EQ(tool.Line(), "0042");
  EXPECT_EQ(tool.Line(), "commands 2");
  tool.Send("get 1 DM 0\n");
  std::string answer;
  for (int i = 0; i < 20 && answer.rfind("error", 0) != 0; ++i) answer = tool.Line();  // past the counters
  EXPECT_EQ(answer, "error: unit 1 is not served");
  tool.Send("quit\n");
  EXPECT_EQ(tool.Line(), "ok");
  EXPECT_EQ(tool.Wait(3000), 0);
  std::ifstream saved(path);
  std::string text((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("12 DM 102 0042"), std::string::npos) << text;
  unlink(path.c_str());
}

TEST(SimCli, EndOfInputEndsItAndBadOptionsAreRefused) {
  {
    SimTool tool({});
    EXPECT_EQ(tool.Line().rfind("pts/", 0), 0u);
    tool.Send("mode 0");  // a last line without its newline is still done
    tool.CloseInput();
    EXPECT_EQ(tool.Line(), "run");
    EXPECT_EQ(tool.Wait(3000), 0);
  }
  for (std::vector<std::string> args : {std::vector<std::string>{"-u", "100"}, {"--parity", "X"}, {"--load", "/nonexistent"}}) {
    SimTool tool(args);
    EXPECT_EQ(tool.Line(), "") << args[0];
    EXPECT_NE(tool.Wait(3000), 0) << args[0];
  }
  SimTool help({"--help"});
  const std::string text = help.Rest();
  EXPECT_EQ(help.Wait(3000), 0);
  for (const char* word : {"--device", "--pace", "--fault-rate", "--seed", "line-vanish", "counters", "save FILE"})
    EXPECT_NE(text.find(word), std::string::npos) << word;
}
#endif

}  // namespace
