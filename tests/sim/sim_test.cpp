// The simulator on its own: reply formats, framing against worked
// examples, multi-frame transfers both ways, modes, units and faults. The
// test plays the host with raw bytes; the driver is not involved.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "simulator.h"

namespace {

using hlsim::Area;
using hlsim::FaultKind;

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
      {"@00SC09", "@00SC15"},
      {"@00SC00", "@00SC00"},
      {"@00MS", "@00MS000000SIMULATED PLC   "},
      {"@00QQ", "@00IC"},
      {"@00XZ", ""},
      {"@00", ""},
  };
  for (const Row& row : rows) EXPECT_EQ(plc.Handle(row.command), row.reply) << row.command;
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
  for (int i = 0; i < 50 && sim_->port_name().empty(); ++i) usleep(20000);
  usleep(300000);
  Line again(sim_->port_name());
  EXPECT_EQ(again.Exchange("@00RD00000001"), hlsim::FinalFrame("@00RD000000"));
}

}  // namespace
