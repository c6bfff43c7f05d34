// Host Link frames on a pty, byte for byte, with the test as the PLC.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "hostlink/hostlink.h"
#include "serial/serial.h"
#include "tests/support/log_capture.h"
#include "tests/support/pty.h"

namespace {

using kiv::ComHandle;

// Computed by hand, character by character, from the protocol's rule (XOR
// of every text character): not by the code under test.
TEST(Fcs, MatchesWorkedExamples) {
  struct Row {
    const char* text;
    uint8_t fcs;
  } rows[] = {
      {"@00RD00000001", 0x57},  // 40^30^30^52^44^30^30^30^30^30^30^30^31
      {"@00XZ", 0x42},          // 40^30^30^58^5A
      {"@07XZ", 0x45},
      // 40^30^30^52^44 = 56; ^30^30 = 56; ^31^32^33^34 = 56^04 = 52.
      {"@00RD001234", 0x52},
      {"@00WD01001234", 0x56},
      {"", 0x00},
      {"A", 0x41},
  };
  for (const Row& row : rows) EXPECT_EQ(kiv::Fcs(row.text, std::strlen(row.text)), row.fcs) << row.text;
}

std::string WithFcs(const std::string& text, bool last = true) {
  char tail[8];
  std::snprintf(tail, sizeof tail, last ? "%02X*\r" : "%02X\r", kiv::Fcs(text.data(), text.size()));
  return text + tail;
}

class Link : public ::testing::Test {
 protected:
  void SetUp() override {
    const LineSettings line{9600, 7, 2, 2};
    ASSERT_EQ(kiv::ComOpen(pty_.port_name().c_str(), &line, KIV_OPEN_DEFAULT, &port_), kiv::kComOk);
    kiv::ComSetReadTimeout(port_, 20);  // 200 ms
  }
  void TearDown() override { kiv::ComClose(port_); }

  // Runs the driver side on a thread while the test plays the PLC.
  template <class Body>
  std::thread Driver(Body body) {
    return std::thread(body);
  }

  kivtest::PtyPair pty_;
  ComHandle port_ = kiv::kNoPort;
  kivtest::LogCapture log_;
};

TEST_F(Link, ReadOfDmZeroGoesOutByteForByte) {
  ASSERT_EQ(kiv::Send("@00RD00000001", 13, port_), 0);
  const std::string wire = pty_.Read(17, 1000);
  const unsigned char expected[] = {0x40, 0x30, 0x30, 0x52, 0x44, 0x30, 0x30, 0x30, 0x30,
                                    0x30, 0x30, 0x30, 0x31, 0x35, 0x37, 0x2A, 0x0D};
  EXPECT_EQ(wire, std::string(reinterpret_cast<const char*>(expected), sizeof expected));

  pty_.Write("@00RD00123452*\r");
  char buffer[KIV_FRAME_SIZE];
  int32_t length = 0;
  ASSERT_EQ(kiv::Receive(buffer, sizeof buffer, &length, port_), 0);
  EXPECT_EQ(length, 11);
  EXPECT_EQ(std::string(buffer, 11), "@00RD001234");
}

TEST_F(Link, LongCommandsAreCutAt124WithTheDelimiterHandshake) {
  const std::string exact = "@00WD0000" + std::string(115, '1');  // 124 characters
  ASSERT_EQ(kiv::Send(exact.data(), 124, port_), 0);
  EXPECT_EQ(pty_.ReadUntil('\r', 1000), WithFcs(exact));

  const std::string longer = exact + "2";  // 125 characters
  int result = -1;
  std::thread driver([&] { result = kiv::Send(longer.data(), 125, port_); });
  const std::string first = pty_.ReadUntil('\r', 1000);
  EXPECT_EQ(first.size(), 127u);
  EXPECT_EQ(first, WithFcs(exact, false));
  pty_.Write("\r");
  EXPECT_EQ(pty_.ReadUntil('\r', 1000), "232*\r") << "the last frame's FCS covers its own text";
  driver.join();
  EXPECT_EQ(result, 0);
}

TEST_F(Link, DelimiterOtherThanCrOrNoneStopsTheCommand) {
  const std::string text = "@00WD0000" + std::string(200, '3');
  struct Row {
    const char* answer;
    const char* message;
  } rows[] = {{"@", "DUVAD> Send() Error read '@' i.s.o. CR delimiter"},
              {"", "DUVAD> Send() Error reading delimiter"}};
  for (const Row& row : rows) {
    log_.Clear();
    int result = -1;
    std::thread driver([&] { result = kiv::Send(text.data(), int32_t(text.size()), port_); });
    EXPECT_EQ(pty_.ReadUntil('\r', 1000).size(), 127u);
    if (*row.answer) pty_.Write(row.answer);
    driver.join();
    EXPECT_EQ(result, 2);
    EXPECT_EQ(log_.Texts(), std::vector<std::string>{row.message});
    EXPECT_EQ(pty_.Read(1, 100), "") << "later frames are not sent";
    kiv::ComFlushInput(port_);
  }
}

TEST_F(Link, MultiFrameReplyIsAssembledOverEachFcs) {
  const std::string first = "@00RD00" + std::string(10, 'A');
  const std::string second = std::string(6, 'B');
  pty_.Write(WithFcs(first, false));
  char buffer[KIV_FRAME_SIZE];
  int32_t length = 0;
  int result = -1;
  std::thread driver([&] { result = kiv::Receive(buffer, sizeof buffer, &length, port_); });
  EXPECT_EQ(pty_.Read(1, 1000), "\r") << "one delimiter asks for the next frame";
  pty_.Write(WithFcs(second));
  driver.join();
  ASSERT_EQ(result, 0);
  EXPECT_EQ(length, 7 + 10 + 6);
  EXPECT_EQ(std::string(buffer, size_t(length) + 4), first + second + WithFcs(second).substr(6));
}

TEST_F(Link, BadFramesFailWithoutADelimiter) {
  struct Row {
    const char* name;
    std::string bytes;
    int result;
  } rows[] = {
      {"valid reply", "@00RD00123452*\r", 0},
      {"lower-case FCS", "", 0},
      {"wrong FCS", "@00RD00123453*\r", 2},
      {"FCS not hex", "@00RD001234G2*\r", 2},
      {"CR before the FCS", "*\r", 2},
      {"one FCS digit, last frame", "7*\r", 2},
      {"one FCS digit, intermediate frame", "5\r", 2},
      {"lone CR", "\r", 2},
      {"nothing", "", 2},
  };
  // A valid reply whose FCS is written in lower-case hex.
  rows[1].bytes = "@00RD00abcd";
  char fcs[4];
  std::snprintf(fcs, sizeof fcs, "%02x", kiv::Fcs("@00RD00abcd", 11));
  rows[1].bytes += std::string(fcs) + "*\r";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    pty_.Write(row.bytes);
    char buffer[KIV_FRAME_SIZE];
    int32_t length = -1;
    EXPECT_EQ(kiv::Receive(buffer, sizeof buffer, &length, port_), row.result);
    if (row.result != 0) {
      EXPECT_EQ(length, -1) << "the length is written only on success";
    }
    EXPECT_EQ(pty_.Read(1, 50), "") << "no delimiter";
    kiv::ComFlushInput(port_);
  }
}

TEST_F(Link, ReplyLongerThanTheBufferFailsInsideIt) {
  std::vector<char> buffer(64 + 32, 'G');
  int32_t length = -1;
  // The edge: 60 text characters with FCS, "*" and CR fill 64 exactly.
  pty_.Write(WithFcs("@00RD00" + std::string(53, '1')));
  ASSERT_EQ(kiv::Receive(buffer.data(), 64, &length, port_), 0);
  EXPECT_EQ(length, 60);
  pty_.Write(WithFcs("@00RD00" + std::string(54, '1')));
  EXPECT_EQ(kiv::Receive(buffer.data(), 64, &length, port_), 2) << "one character more";
  for (size_t i = 64; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 'G') << i;
  kiv::ComFlushInput(port_);

  pty_.Write(WithFcs("@00RD00" + std::string(100, '1')));
  EXPECT_EQ(kiv::Receive(buffer.data(), 64, &length, port_), 2);
  for (size_t i = 64; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 'G') << i;
  kiv::ComFlushInput(port_);

  // Frames of a multi-frame reply count together against the buffer.
  pty_.Write(WithFcs("@00RD00" + std::string(40, '1'), false));
  int result = -1;
  std::thread driver([&] { result = kiv::Receive(buffer.data(), 64, &length, port_); });
  EXPECT_EQ(pty_.Read(1, 1000), "\r");
  pty_.Write(WithFcs(std::string(40, '2')));
  driver.join();
  EXPECT_EQ(result, 2);
  for (size_t i = 64; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 'G') << i;
}

TEST_F(Link, AbortFrameThenPauseThenFlush) {
  ChannelContext channel{};
  channel.port = port_;
  for (uint32_t unit : {0u, 7u}) {
    int result = 0;
    std::thread driver([&] { result = kiv::SendAbort(channel, unit); });
    const std::string frame = pty_.ReadUntil('\r', 1000);
    EXPECT_EQ(frame, unit == 0 ? "@00XZ42*\r" : "@07XZ45*\r");
    // Sent during the 100 ms pause: the flush after it discards this.
    pty_.Write("late");
    driver.join();
    EXPECT_EQ(result, 1);
    char byte;
    kiv::ComSetReadTimeout(port_, 5);
    EXPECT_EQ(kiv::ReadByte(port_, &byte), 2) << "the flush discarded what came during the pause";
    kiv::ComSetReadTimeout(port_, 20);
  }
  const auto start = std::chrono::steady_clock::now();
  kiv::SendAbort(channel, 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  pty_.Drain();
}

// An in-memory line: records what is written and when the input was
// flushed (a flush starts by asking how much is pending).
class ScriptedLine : public kiv::ComFake {
 public:
  using Clock = std::chrono::steady_clock;
  std::string written;
  std::string to_read;
  bool fail_writes = false;
  Clock::time_point write_time{};
  Clock::time_point flush_time{};
  int reads = 0;
  int32_t Write(const uint8_t* bytes, int32_t count) override {
    if (write_time == Clock::time_point{}) write_time = Clock::now();
    if (fail_writes) return -1;
    written.append(reinterpret_cast<const char*>(bytes), size_t(count));
    return count;
  }
  int32_t Read(uint8_t* buffer, int32_t count, int32_t) override {
    ++reads;
    const int32_t n = std::min<int32_t>(count, int32_t(to_read.size()));
    std::memcpy(buffer, to_read.data(), size_t(n));
    to_read.erase(0, size_t(n));
    return n;
  }
  int32_t Pending() override {
    if (flush_time == Clock::time_point{}) flush_time = Clock::now();
    return int32_t(to_read.size());
  }
};

// Unit digits and FCS by hand: "@23XZ" is 40^32^33^58^5A = 43.
TEST(LinkOnFakeLine, AbortFrameForEveryKindOfUnit) {
  struct Row {
    uint32_t unit;
    const char* frame;
  } rows[] = {
      {0, "@00XZ42*\r"},
      {7, "@07XZ45*\r"},
      {42, "@42XZ44*\r"},  // 40^34^32^58^5A
      {99, "@99XZ42*\r"},  // 40^39^39^58^5A
      // Not a unit the transactions send; two digits still, nothing more.
      {123, "@23XZ43*\r"},
      {0xFFFFFFFFu, "@95XZ4E*\r"},  // 4294967295: 40^39^35^58^5A
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.unit);
    ScriptedLine line;
    ChannelContext channel{};
    channel.port = kiv::ComAttachFake(&line);
    EXPECT_EQ(kiv::SendAbort(channel, row.unit), 1);
    EXPECT_EQ(line.written, row.frame);
    EXPECT_EQ(line.reads, 0) << "a single frame waits for no delimiter and no reply is read";
    kiv::ComClose(channel.port);
  }
}

TEST(LinkOnFakeLine, AbortWaitsTheGapThenSendsThenPausesBeforeTheFlush) {
  for (uint32_t gap : {0u, 50u}) {
    SCOPED_TRACE(gap);
    ScriptedLine line;
    line.to_read = "late reply";
    ChannelContext channel{};
    channel.port = kiv::ComAttachFake(&line);
    channel.frame_gap_ms = gap;
    const auto start = ScriptedLine::Clock::now();
    EXPECT_EQ(kiv::SendAbort(channel, 0), 1);
    ASSERT_NE(line.write_time, ScriptedLine::Clock::time_point{});
    ASSERT_NE(line.flush_time, ScriptedLine::Clock::time_point{});
    EXPECT_GE(line.write_time - start, std::chrono::milliseconds(gap));
    EXPECT_GE(line.flush_time - line.write_time, std::chrono::milliseconds(100));
    EXPECT_TRUE(line.to_read.empty()) << "flushed";
    kiv::ComClose(channel.port);
  }
}

TEST(LinkOnFakeLine, AbortWithAFailingWriteStillPausesFlushesAndAnswersOne) {
  ScriptedLine line;
  line.fail_writes = true;
  line.to_read = "junk";
  ChannelContext channel{};
  channel.port = kiv::ComAttachFake(&line);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(kiv::SendAbort(channel, 3), 1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_TRUE(line.to_read.empty()) << "flushed";
  kiv::ComClose(channel.port);
}

TEST(LinkOnFakeLine, AttemptFlushesFirstThenWaitsTheGap) {
  ScriptedLine line;
  line.to_read = "stale";
  ChannelContext channel{};
  channel.port = kiv::ComAttachFake(&line);
  channel.frame_gap_ms = 50;
  kiv::PrepareAttempt(channel);
  const auto end = ScriptedLine::Clock::now();
  ASSERT_NE(line.flush_time, ScriptedLine::Clock::time_point{});
  EXPECT_GE(end - line.flush_time, std::chrono::milliseconds(50)) << "the gap follows the flush";
  EXPECT_TRUE(line.to_read.empty());
  EXPECT_TRUE(line.written.empty());
  kiv::ComClose(channel.port);
}

TEST(LinkOnFakeLine, NegativeLengthSendsAnEmptyFrameOnly) {
  ScriptedLine line;
  const ComHandle port = kiv::ComAttachFake(&line);
  const char text[] = "@00RD";
  EXPECT_EQ(kiv::Send(text, -5, port), 0);
  EXPECT_EQ(line.written, "00*\r");
  kiv::ComClose(port);
}

}  // namespace
