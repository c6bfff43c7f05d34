// The channel operations on a real line: a pseudo-terminal pair, the test
// playing the far end on the master side.
#include <gtest/gtest.h>
#include <termios.h>

#include "serial/serial.h"
#include "tests/channel/channel_fixture.h"
#include "tests/support/pty.h"

namespace channeltest {
namespace {

constexpr int kWaitMs = 2000;  // bound on every wait for bytes

LogLine OpenedOk(uint32_t handle) {
  return Trace("DUVAD> OpenCom() exited OK, file handle " + std::to_string(handle));
}

class OnPty : public InTempDir {
 protected:
  // Starts channel_ on the pty with the host's open_flags already in the
  // block; returns the result.
  int32_t Start(kivtest::PtyPair& pty, int32_t reply_timeout = 30, uint16_t host_flags = 0x0303,
                LineSettings line = {9600, 7, 2, 2}) {
    channel_ = DirtyChannel();
    channel_.port_config.open_flags = host_flags;
    ColdStartParams params = StartParams(pty.port_name(), 1, reply_timeout, line);
    return Call(KIV_OP_COLD_START, &channel_, &params);
  }

  // The port answers: bytes the driver writes reach this pty's far end.
  static void ExpectConnected(uint32_t port, kivtest::PtyPair& pty) {
    ASSERT_NE(port, 0u);
    pty.Drain();
    int32_t written = -1;
    EXPECT_EQ(kiv::ComWrite(port, "ping", 4, &written), kiv::kComOk);
    EXPECT_EQ(written, 4);
    EXPECT_EQ(pty.Read(4, kWaitMs), "ping");
  }

  // The read timeout the port holds, in units of 10 ms (left unchanged).
  static int32_t ReadTimeout(uint32_t port, int32_t expected) {
    return kiv::ComSetReadTimeout(port, expected);
  }

  // The line speed the tty holds (the master reports the slave's settings).
  static speed_t Speed(kivtest::PtyPair& pty) {
    termios tio{};
    EXPECT_EQ(tcgetattr(pty.master(), &tio), 0);
    return cfgetospeed(&tio);
  }

  static void SetSpeed(kivtest::PtyPair& pty, speed_t speed) {
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.master(), &tio), 0);
    cfsetspeed(&tio, speed);
    ASSERT_EQ(tcsetattr(pty.master(), TCSANOW, &tio), 0);
  }

  // Whether another channel can take the port (the open is exclusive).
  static bool PortIsFree(kivtest::PtyPair& pty) {
    ChannelContext other = DirtyChannel();
    ColdStartParams params = StartParams(pty.port_name());
    if (Call(KIV_OP_COLD_START, &other, &params) != KIV_OK) return false;
    EXPECT_EQ(Call(KIV_OP_END_KIV, &other), KIV_OK);
    return true;
  }

  void TearDown() override {
    if (channel_.port != 0) kiv::ComClose(channel_.port);
    InTempDir::TearDown();
  }

  ChannelContext channel_{};
};

TEST_F(OnPty, ColdStartOpensAndConfiguresThePort) {
  kivtest::PtyPair pty;
  SetSpeed(pty, B1200);
  kivtest::LogCapture log;
  ASSERT_EQ(Start(pty, 30, 0x0101), KIV_OK);
  const uint32_t port = channel_.port;
  EXPECT_EQ(AfterVersion(log.Lines()),
            (std::vector<LogLine>{kNoInitFile, OpenedOk(port),
                                  Notice("DUVAD> ColdStart() port " + pty.port_name() +
                                         " opened, file handle " + std::to_string(port)),
                                  kColdStartDone}));
  ExpectConnected(port, pty);
  EXPECT_EQ(ReadTimeout(port, 30), 30);  // 300 ms
  EXPECT_EQ(Speed(pty), static_cast<speed_t>(B9600));
  EXPECT_STREQ(channel_.port_config.port_name, pty.port_name().c_str());
  EXPECT_TRUE(SameLine(channel_.port_config.line, LineSettings{9600, 7, 2, 2}));
  EXPECT_EQ(channel_.port_config.open_flags, 0x0101);  // the host's, not the start's
}

// A reply timeout of 0 is passed to the port as it is; the port then uses
// its default instead of waiting for ever, so a silent line still ends a
// read.
TEST_F(OnPty, AZeroReplyTimeoutStillEndsAWaitingRead) {
  kivtest::PtyPair pty;
  ASSERT_EQ(Start(pty, 0), KIV_OK);
  EXPECT_EQ(channel_.reply_timeout, 0);
  char byte = 0;
  int32_t received = -1;
  EXPECT_EQ(kiv::ComRead(channel_.port, &byte, 1, &received), kiv::kComIoFailed);
  EXPECT_EQ(received, 0);
}

TEST_F(OnPty, WarmStartDiscardsPendingInput) {
  kivtest::PtyPair pty;
  ASSERT_EQ(Start(pty), KIV_OK);
  pty.Write("abcdef");
  char byte = 0;
  int32_t received = 0;
  // The first byte proves the burst has arrived.
  ASSERT_EQ(kiv::ComRead(channel_.port, &byte, 1, &received), kiv::kComOk);
  ASSERT_EQ(byte, 'a');
  kivtest::LogCapture log;
  EXPECT_EQ(Call(KIV_OP_WARM_START, &channel_), KIV_OK);
  EXPECT_EQ(log.Lines(), (std::vector<LogLine>{Trace("DUVAD> WarmStart() exited, 0")}));
  kiv::ComSetReadTimeout(channel_.port, 5);
  EXPECT_EQ(kiv::ComRead(channel_.port, &byte, 1, &received), kiv::kComIoFailed);
  EXPECT_EQ(received, 0);
}

// CloseCom frees the port; ReOpenCom opens it again from the stored
// configuration with the stored reply timeout. A zero open_flags word is
// replaced at the start by the flags the start used, so the reopen applies
// the line settings again; a host that zeroes it afterwards gets a reopen
// that leaves the line as it is.
TEST_F(OnPty, CloseComThenReOpenComRestoresThePort) {
  struct Case {
    uint16_t host_flags;         // in the block before ColdStart
    bool zero_after_start;       // the host clears open_flags after the start
    speed_t speed_after_reopen;  // the tty was set to 1200 while closed
  };
  const Case cases[] = {
      {0x0303, false, B9600},
      {0, false, B9600},
      {0x0303, true, B1200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("flags " + std::to_string(c.host_flags) + (c.zero_after_start ? " zeroed" : ""));
    kivtest::PtyPair pty;
    ASSERT_EQ(Start(pty, 45, c.host_flags), KIV_OK);
    if (c.zero_after_start) channel_.port_config.open_flags = 0;

    kivtest::LogCapture log;
    EXPECT_EQ(Call(KIV_OP_CLOSE_COM, &channel_), KIV_OK);
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kCloseDone}));
    EXPECT_EQ(channel_.port, 0u);
    EXPECT_TRUE(PortIsFree(pty));
    SetSpeed(pty, B1200);

    log.Clear();
    EXPECT_EQ(Call(KIV_OP_REOPEN_COM, &channel_), KIV_OK);
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{OpenedOk(channel_.port),
                                                 Trace("DUVAD> ReOpenCom() exited 0")}));
    ExpectConnected(channel_.port, pty);
    EXPECT_EQ(ReadTimeout(channel_.port, 45), 45);
    EXPECT_EQ(Speed(pty), c.speed_after_reopen);
    EXPECT_EQ(Call(KIV_OP_END_KIV, &channel_), KIV_OK);
  }
}

TEST_F(OnPty, ReOpenComWhileOpenFailsAndKeepsThePort) {
  kivtest::PtyPair pty;
  ASSERT_EQ(Start(pty), KIV_OK);
  const uint32_t port = channel_.port;
  kivtest::LogCapture log;
  EXPECT_EQ(Call(KIV_OP_REOPEN_COM, &channel_), KIV_FAILED);
  EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kOpenFailed, Notice("DUVAD> ReOpenCom() exited 2")}));
  EXPECT_EQ(channel_.port, port);
  ExpectConnected(port, pty);
}

TEST_F(OnPty, EndKivClosesThePort) {
  kivtest::PtyPair pty;
  ASSERT_EQ(Start(pty), KIV_OK);
  kivtest::LogCapture log;
  EXPECT_EQ(Call(KIV_OP_END_KIV, &channel_), KIV_OK);
  EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kCloseDone, Trace("DUVAD> EndKiv() exited, 0")}));
  EXPECT_EQ(channel_.port, 0u);
  EXPECT_TRUE(PortIsFree(pty));
}

// A block that still records an open port is started again without closing
// it (the recorded value may be anything); the exclusive open refuses.
TEST_F(OnPty, ColdStartOverAnOpenPortIsRefused) {
  kivtest::PtyPair pty;
  ASSERT_EQ(Start(pty), KIV_OK);
  const uint32_t old_port = channel_.port;
  ChannelContext same_block = channel_;
  ColdStartParams params = StartParams(pty.port_name());
  kivtest::LogCapture log;
  EXPECT_EQ(Call(KIV_OP_COLD_START, &same_block, &params), KIV_REFUSED);
  EXPECT_EQ(AfterVersion(log.Lines()),
            (std::vector<LogLine>{kNoInitFile, kOpenFailed,
                                  Trace("DUVAD> ColdStart() unable to open " + pty.port_name() +
                                        " port")}));
  EXPECT_EQ(same_block.port, 0u);
  ExpectConnected(old_port, pty);  // the old port was left alone
}

TEST_F(OnPty, ChangeKivParamsMovesToANewPort) {
  kivtest::PtyPair first, second;
  ASSERT_EQ(Start(first, 30), KIV_OK);
  ChangeParams params = NewParams(second.port_name(), -1, {0, 0, 0, 0});
  kivtest::LogCapture log;
  EXPECT_EQ(Call(KIV_OP_CHANGE_KIV_PARAMS, &channel_, &params), KIV_OK);
  EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kCloseDone, OpenedOk(channel_.port)}));
  ExpectConnected(channel_.port, second);
  EXPECT_TRUE(PortIsFree(first));
  EXPECT_STREQ(channel_.port_config.port_name, second.port_name().c_str());
  EXPECT_EQ(channel_.reply_timeout, 30);
  EXPECT_EQ(ReadTimeout(channel_.port, 30), 30);
  EXPECT_TRUE(SameLine(channel_.port_config.line, LineSettings{9600, 7, 2, 2}));
}

TEST_F(OnPty, ChangeKivParamsToNoCommunicationClosesThePort) {
  kivtest::PtyPair pty;
  ASSERT_EQ(Start(pty), KIV_OK);
  ChangeParams params = NewParams("NULLDEV");
  kivtest::LogCapture log;
  EXPECT_EQ(Call(KIV_OP_CHANGE_KIV_PARAMS, &channel_, &params), KIV_OK);
  EXPECT_EQ(log.Lines(),
            (std::vector<LogLine>{kCloseDone,
                                  Trace("DUVAD> ChangeKivParams() NULLDEV => no communications")}));
  EXPECT_EQ(channel_.port, 0u);
  EXPECT_TRUE(PortIsFree(pty));
}

// The same port name while it is open: closed and opened again, so the new
// line settings and reply timeout take effect.
TEST_F(OnPty, ChangeKivParamsOnTheSamePortReopensItWithTheNewSettings) {
  kivtest::PtyPair pty;
  ASSERT_EQ(Start(pty, 30), KIV_OK);
  ChangeParams params = NewParams(pty.port_name(), 60, {19200, 8, 0, 0});
  kivtest::LogCapture log;
  EXPECT_EQ(Call(KIV_OP_CHANGE_KIV_PARAMS, &channel_, &params), KIV_OK);
  EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kCloseDone, OpenedOk(channel_.port)}));
  ExpectConnected(channel_.port, pty);
  EXPECT_EQ(Speed(pty), static_cast<speed_t>(B19200));
  EXPECT_EQ(ReadTimeout(channel_.port, 60), 60);

  // Keep-everything values change nothing but still reopen cleanly.
  params = NewParams(pty.port_name(), 0, {0, 7, 2, 2});
  log.Clear();
  EXPECT_EQ(Call(KIV_OP_CHANGE_KIV_PARAMS, &channel_, &params), KIV_OK);
  EXPECT_EQ(log.Lines(), (std::vector<LogLine>{kCloseDone, OpenedOk(channel_.port)}));
  EXPECT_EQ(Speed(pty), static_cast<speed_t>(B19200));
  EXPECT_EQ(ReadTimeout(channel_.port, 60), 60);
  EXPECT_TRUE(SameLine(channel_.port_config.line, LineSettings{19200, 8, 0, 0}));
}

}  // namespace
}  // namespace channeltest
