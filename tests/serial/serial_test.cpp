// The serial layer: the pure mapping of line settings, and a real open,
// read, write, flush and hang-up on a pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "serial/serial.h"
#include "tests/support/pty.h"

namespace {

using kiv::ComHandle;
using Clock = std::chrono::steady_clock;

TEST(LineSettings, MapToTermiosFlags) {
  struct Row {
    LineSettings line;
    int result;
    tcflag_t size;
    tcflag_t parity;  // PARENB, PARODD, CMSPAR bits expected
    bool two_stop;
  } rows[] = {
      {{9600, 7, 2, 2}, 0, CS7, PARENB, true},
      {{9600, 8, 0, 0}, 0, CS8, 0, false},
      {{19200, 8, 0, 1}, 0, CS8, PARENB | PARODD, false},
      {{9600, 7, 0, 3}, 0, CS7, PARENB | PARODD | CMSPAR, false},
      {{9600, 7, 0, 4}, 0, CS7, PARENB | CMSPAR, false},
      {{9600, 6, 0, 0}, 0, CS6, 0, false},
      {{300, 5, 1, 0}, 0, CS5, 0, true},  // one and a half stop bits: 5-bit characters only
      {{9600, 8, 1, 0}, 5, 0, 0, false},
      {{9600, 7, 3, 0}, 5, 0, 0, false},
      {{9600, 9, 0, 0}, 5, 0, 0, false},
      {{9600, 4, 0, 0}, 5, 0, 0, false},
      {{9600, 8, 0, 5}, 5, 0, 0, false},
      {{9601, 8, 0, 0}, 5, 0, 0, false},
      {{0, 8, 0, 0}, 5, 0, 0, false},
      {{57600, 0x0108, 0x0100, 0x0100}, 0, CS8, 0, false},  // only the low bytes count
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.line.baud_rate) + " " + std::to_string(row.line.data_bits) + " " +
                 std::to_string(row.line.stop_bits) + " " + std::to_string(row.line.parity));
    termios tio{};
    tio.c_lflag = ECHO | ICANON | ISIG;
    tio.c_iflag = ICRNL | IXON;
    tio.c_oflag = OPOST;
    ASSERT_EQ(kiv::ApplyLineSettings(row.line, {}, &tio), row.result);
    if (row.result != 0) continue;
    EXPECT_EQ(tio.c_cflag & CSIZE, row.size);
    EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), row.parity);
    EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, row.two_stop);
    EXPECT_EQ((tio.c_iflag & INPCK) != 0, row.parity != 0);
    EXPECT_TRUE(tio.c_cflag & CLOCAL) << "a missing carrier must not block";
    EXPECT_EQ(tio.c_lflag & (ECHO | ICANON | ISIG), 0u) << "raw";
    EXPECT_EQ(tio.c_iflag & (ICRNL | IXON), 0u) << "CR untranslated";
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  }
}

TEST(LineSettings, ModemLineGroupsFirstTestWins) {
  struct Row {
    uint16_t flags;
    bool dtr, rts, crtscts;
  } rows[] = {
      {0x0303, true, true, false}, {0x0101 | 0x8000, true, false, false}, {0x8000, true, false, false},
      {0x1000 | 0x2000, false, false, true}, {0x2000, false, true, false}, {0x0010, false, false, true},
      {0x0020 | 0x4000, false, false, false}, {0x0004, false, false, false}, {0x0202 | 0x1000, false, true, false},
  };
  for (const Row& row : rows) {
    const kiv::ModemPlan plan = kiv::PlanModemLines(row.flags);
    EXPECT_EQ(plan.dtr_on, row.dtr) << std::hex << row.flags;
    EXPECT_EQ(plan.rts_on, row.rts) << std::hex << row.flags;
    EXPECT_EQ(plan.crtscts, row.crtscts) << std::hex << row.flags;
  }
}

TEST(LineSettings, FlowControlFlagIsOnlyClearedWhenRtsIsHeld) {
  struct Row {
    uint16_t flags;
    bool port_had, expected;
  } rows[] = {
      {0x0303, true, false},           // RTS held on: no handshake left behind
      {0x2000, true, false},           // toggle is held on too
      {0x0004, true, true},            // no group matches: as the port had it
      {0x8001, true, true},            // DTR alone says nothing about RTS
      {0x0010, false, true},           // CTS output flow
      {0x1000, false, true},           // RTS handshake
      {0x0303 | 0x0010, false, true},  // CTS flow with RTS held on
      {0x0020 | 0x4000, false, false}, // DSR flow has no termios counterpart
  };
  for (const Row& row : rows) {
    termios tio{};
    if (row.port_had) tio.c_cflag |= CRTSCTS;
    ASSERT_EQ(kiv::ApplyLineSettings({9600, 7, 2, 2}, kiv::PlanModemLines(row.flags), &tio), 0);
    EXPECT_EQ((tio.c_cflag & CRTSCTS) != 0, row.expected) << std::hex << row.flags << " had " << row.port_had;
  }
}

TEST(LineSettings, PortNamesToDevicePaths) {
  struct Row {
    const char* name;
    const char* path;
  } rows[] = {{"ttyUSB0", "/dev/ttyUSB0"}, {"pts/3", "/dev/pts/3"}, {"/tmp/hl0", "/tmp/hl0"},
              {"NUL", "/dev/null"},        {"", nullptr},          {"ttyUSB01234", "/dev/ttyUSB01234"}};
  for (const Row& row : rows) {
    char path[64];
    EXPECT_EQ(kiv::ComDevicePath(row.name, path, sizeof path), row.path != nullptr) << row.name;
    if (row.path) {
      EXPECT_STREQ(path, row.path);
    }
  }
  const char no_nul[12] = {'t', 't', 'y', 'S', '0', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
  char path[64];
  EXPECT_FALSE(kiv::ComDevicePath(no_nul, path, sizeof path)) << "a field without NUL is never read past";
}

TEST(LineSettings, WhatAPtyHoldsIsEnough) {
  termios asked{};
  ASSERT_EQ(kiv::ApplyLineSettings({9600, 7, 2, 2}, {}, &asked), 0);
  termios held = asked;
  held.c_cflag = (held.c_cflag & ~tcflag_t(CSIZE | PARENB)) | CS8;  // what a pty keeps
  EXPECT_TRUE(kiv::LineSettingsHeld(asked, held, true));
  EXPECT_FALSE(kiv::LineSettingsHeld(asked, held, false));
  cfsetospeed(&held, B4800);
  EXPECT_FALSE(kiv::LineSettingsHeld(asked, held, true));
}

class Port : public ::testing::Test {
 protected:
  ComHandle Open(uint16_t flags = KIV_OPEN_DEFAULT) {
    ComHandle handle = kiv::kNoPort;
    const LineSettings line{9600, 7, 2, 2};
    EXPECT_EQ(kiv::ComOpen(pty_.port_name().c_str(), &line, flags, &handle), kiv::kComOk);
    return handle;
  }
  // A descriptor of the test's own on the slave, to look at the line the
  // way the driver left it.
  int SlaveFd() {
    if (slave_ < 0) slave_ = open(pty_.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    return slave_;
  }
  // Waits (bounded) until the slave's input queue holds at least `bytes`.
  bool WaitPending(int bytes) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    int pending = 0;
    while (ioctl(SlaveFd(), FIONREAD, &pending) == 0 && pending < bytes && Clock::now() < deadline) poll(nullptr, 0, 1);
    return pending >= bytes;
  }
  void TearDown() override {
    if (slave_ >= 0) close(slave_);
  }
  kivtest::PtyPair pty_;
  int slave_ = -1;
};

TEST_F(Port, OpensExclusivelyAndAgainAfterClose) {
  const ComHandle first = Open();
  ComHandle second = kiv::kNoPort;
  const LineSettings line{9600, 7, 2, 2};
  EXPECT_EQ(kiv::ComOpen(pty_.port_name().c_str(), &line, KIV_OPEN_DEFAULT, &second), kiv::kComOpenFailed)
      << "a second open, even by root in the same process, is refused";
  int exclusive = 0;
  ASSERT_EQ(ioctl(SlaveFd(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1) << "other users are kept out too";
  EXPECT_EQ(kiv::ComClose(first), kiv::kComOk);
  ASSERT_EQ(ioctl(SlaveFd(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0) << "the exclusive flag outlives the fd unless cleared";
  // The same 7E2 again on the same pty: a pty cannot hold 7E2, and must
  // not make the second open fail.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(kiv::ComClose(Open()), kiv::kComOk);
  EXPECT_EQ(kiv::ComClose(first), kiv::kComIoFailed) << "a closed handle is not used again";
}

TEST_F(Port, RefusesWhatCannotBeOpenedOrIsNoSerialPort) {
  ComHandle handle = kiv::kNoPort;
  const LineSettings line{9600, 7, 2, 2};
  EXPECT_EQ(kiv::ComOpen("ttyNOSUCH9", &line, KIV_OPEN_DEFAULT, &handle), kiv::kComOpenFailed);
  char path[] = "/tmp/XXXXXX";  // names hold 11 characters
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(kiv::ComOpen(path, &line, KIV_OPEN_DEFAULT, &handle), kiv::kComNotSerial);
  unlink(path);
  const LineSettings odd{9601, 7, 2, 2};
  EXPECT_EQ(kiv::ComOpen(pty_.port_name().c_str(), &odd, KIV_OPEN_DEFAULT, &handle), kiv::kComSetupFailed);
  // Refused opens leave nothing held.
  EXPECT_EQ(kiv::ComClose(Open()), kiv::kComOk);
  // "NUL" is the null device, used without settings.
  ASSERT_EQ(kiv::ComOpen("NUL", &line, KIV_OPEN_DEFAULT, &handle), kiv::kComOk);
  EXPECT_EQ(kiv::ComClose(handle), kiv::kComOk);
}

TEST_F(Port, ReadsWritesAndTimesOut) {
  const ComHandle port = Open();
  EXPECT_EQ(kiv::ComSetReadTimeout(port, 20), 100) << "the open sets 1000 ms";
  EXPECT_EQ(kiv::ComSetReadTimeout(port, 20), 20);

  int32_t written = 0;
  ASSERT_EQ(kiv::ComWrite(port, "@00XZ42*\r", 9, &written), kiv::kComOk);
  EXPECT_EQ(written, 9);
  EXPECT_EQ(pty_.Read(9, 1000), "@00XZ42*\r");

  pty_.Write("abc");
  char buffer[8] = {};
  int32_t received = 0;
  ASSERT_EQ(kiv::ComRead(port, buffer, 1, &received), kiv::kComOk);
  EXPECT_EQ(received, 1);
  ASSERT_EQ(kiv::ComRead(port, buffer + 1, 2, &received), kiv::kComOk);
  EXPECT_EQ(std::string(buffer, 3), "abc");

  const auto start = Clock::now();
  EXPECT_EQ(kiv::ComRead(port, buffer, 1, &received), kiv::kComIoFailed);
  EXPECT_EQ(received, 0);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(190));
  kiv::ComClose(port);
}

TEST_F(Port, FlushDiscardsPendingInputAndReadAheadAndKeepsTheTimeout) {
  const ComHandle port = Open();
  kiv::ComSetReadTimeout(port, 30);
  pty_.Write("first");
  char byte;
  int32_t received;
  ASSERT_EQ(kiv::ComRead(port, &byte, 1, &received), kiv::kComOk);  // the rest sits in the read-ahead
  pty_.Write(std::string(2000, 'x'));
  ASSERT_TRUE(WaitPending(2000));
  EXPECT_EQ(kiv::ComFlushInput(port), 0);
  EXPECT_EQ(kiv::ComSetReadTimeout(port, 30), 30) << "restored after the flush";
  kiv::ComSetReadTimeout(port, 5);
  EXPECT_EQ(kiv::ComRead(port, &byte, 1, &received), kiv::kComIoFailed) << "nothing left to read";
  EXPECT_EQ(kiv::ComFlushInput(port), 0) << "a quiet line";
  kiv::ComClose(port);
}

TEST_F(Port, ThePeerVanishingEndsReadsAndWritesPromptly) {
  const ComHandle port = Open();
  kiv::ComSetReadTimeout(port, 2000);  // 20 s: the loss must not wait for it
  pty_.CloseSlave();
  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pty_.CloseMaster();
  });
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  const auto start = Clock::now();
  char byte;
  int32_t received;
  EXPECT_EQ(kiv::ComRead(port, &byte, 1, &received), kiv::kComIoFailed);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  closer.join();
  EXPECT_EQ(kiv::ComRead(port, &byte, 1, &received), kiv::kComIoFailed);
  EXPECT_EQ(kiv::ComWrite(port, "x", 1, nullptr), kiv::kComIoFailed);
  EXPECT_NE(kiv::ComFlushInput(port), 0);
  getrusage(RUSAGE_SELF, &after);
  const double cpu = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) + (after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
                     1e-6 * ((after.ru_utime.tv_usec - before.ru_utime.tv_usec) + (after.ru_stime.tv_usec - before.ru_stime.tv_usec));
  EXPECT_LT(cpu, 1.0) << "no busy loop";
  EXPECT_EQ(kiv::ComClose(port), kiv::kComOk);
}

TEST(PortConcurrency, HandlesOpenAndCloseFromManyThreads) {
  std::vector<std::thread> threads;
  std::vector<int> failures(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &failures] {
      kivtest::PtyPair pty;
      const LineSettings line{9600, 8, 0, 0};
      for (int i = 0; i < 50; ++i) {
        ComHandle handle = kiv::kNoPort;
        if (kiv::ComOpen(pty.port_name().c_str(), &line, KIV_OPEN_DEFAULT, &handle) != 0) ++failures[size_t(t)];
        pty.Write("z");
        char byte;
        int32_t received;
        kiv::ComSetReadTimeout(handle, 100);
        if (kiv::ComRead(handle, &byte, 1, &received) != 0 || byte != 'z') ++failures[size_t(t)];
        if (kiv::ComClose(handle) != 0) ++failures[size_t(t)];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int f : failures) EXPECT_EQ(f, 0);
}

TEST_F(Port, OpenMakesTheLineRawAndSetsTheDefaultTimeout) {
  const ComHandle port = Open();
  termios held{};
  ASSERT_EQ(tcgetattr(SlaveFd(), &held), 0);
  EXPECT_EQ(cfgetospeed(&held), speed_t(B9600));
  EXPECT_TRUE(held.c_cflag & CSTOPB);
  EXPECT_EQ(held.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
  EXPECT_EQ(held.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(held.c_iflag & (ICRNL | IXON | IGNCR), 0u);
  EXPECT_EQ(held.c_oflag & OPOST, 0u);
  EXPECT_EQ(held.c_cc[VMIN], 0);
  EXPECT_EQ(held.c_cc[VTIME], 0);
  EXPECT_EQ(kiv::ComSetReadTimeout(port, 100), 100) << "1000 ms";
  kiv::ComClose(port);
}

TEST_F(Port, NoOpenFlagsLeaveTheLineAsItWas) {
  termios before{};
  ASSERT_EQ(tcgetattr(SlaveFd(), &before), 0);
  before.c_lflag |= ICANON | ECHO;
  cfsetspeed(&before, B38400);
  ASSERT_EQ(tcsetattr(SlaveFd(), TCSANOW, &before), 0);
  ASSERT_EQ(tcgetattr(SlaveFd(), &before), 0);

  ComHandle port = kiv::kNoPort;
  const LineSettings line{9600, 7, 2, 2};
  ASSERT_EQ(kiv::ComOpen(pty_.port_name().c_str(), &line, 0, &port), kiv::kComOk);
  termios after{};
  ASSERT_EQ(tcgetattr(SlaveFd(), &after), 0);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(kiv::ComSetReadTimeout(port, 50), 0) << "no timeout was set";
  kiv::ComClose(port);

  // Without flags the line settings are not even looked at.
  ASSERT_EQ(kiv::ComOpen(pty_.port_name().c_str(), nullptr, 0, &port), kiv::kComOk);
  kiv::ComClose(port);
}

TEST_F(Port, NullArgumentsAreRefusedAndHoldNothing) {
  ComHandle port = kiv::kNoPort;
  const LineSettings line{9600, 7, 2, 2};
  EXPECT_EQ(kiv::ComOpen(nullptr, &line, KIV_OPEN_DEFAULT, &port), kiv::kComOpenFailed);
  EXPECT_EQ(kiv::ComOpen(pty_.port_name().c_str(), &line, KIV_OPEN_DEFAULT, nullptr), kiv::kComOpenFailed);
  EXPECT_EQ(kiv::ComOpen(pty_.port_name().c_str(), nullptr, KIV_OPEN_DEFAULT, &port), kiv::kComSetupFailed);
  EXPECT_EQ(port, kiv::kNoPort);
  EXPECT_EQ(kiv::ComClose(Open()), kiv::kComOk) << "the port is free";
}

TEST_F(Port, AWriteThePeerNeverTakesEndsShortWithTheCountWritten) {
  const ComHandle port = Open();
  // Far more than a pseudo-terminal buffers while its master reads nothing.
  const std::vector<uint8_t> bytes(1 << 20, 'w');
  int32_t written = -1;
  EXPECT_EQ(kiv::ComWrite(port, bytes.data(), int32_t(bytes.size()), &written), kiv::kComShortWrite);
  EXPECT_GT(written, 0);
  EXPECT_LT(written, int32_t(bytes.size()));
  pty_.Drain();
  EXPECT_EQ(kiv::ComWrite(port, "ok", 2, &written), kiv::kComOk);
  EXPECT_EQ(written, 2);
  kiv::ComClose(port);
}

TEST(NullDevice, TakesWritesAndHasNothingToRead) {
  ComHandle port = kiv::kNoPort;
  ASSERT_EQ(kiv::ComOpen("NUL", nullptr, KIV_OPEN_DEFAULT, &port), kiv::kComOk) << "no settings are applied";
  int32_t count = -1;
  EXPECT_EQ(kiv::ComWrite(port, "abc", 3, &count), kiv::kComOk);
  EXPECT_EQ(count, 3);
  char byte;
  EXPECT_EQ(kiv::ComRead(port, &byte, 1, &count), kiv::kComIoFailed);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(kiv::ComFlushInput(port), 0);
  EXPECT_EQ(kiv::ComClose(port), kiv::kComOk);
}

// An in-memory line that counts what the layer asks of it.
class FakeLine : public kiv::ComFake {
 public:
  std::string written;
  std::string incoming;
  int32_t write_limit = -1;  // bytes a write takes; -1 all
  bool fail_reads = false, fail_writes = false, gone = false;
  int reads = 0;
  int32_t last_timeout_ms = -1;

  int32_t Write(const uint8_t* bytes, int32_t count) override {
    if (fail_writes) return -1;
    const int32_t n = write_limit < 0 ? count : std::min(count, write_limit);
    written.append(reinterpret_cast<const char*>(bytes), size_t(n));
    return n;
  }
  int32_t Read(uint8_t* buffer, int32_t count, int32_t timeout_ms) override {
    ++reads;
    last_timeout_ms = timeout_ms;
    if (fail_reads) return -1;
    const int32_t n = std::min<int32_t>(count, int32_t(incoming.size()));
    std::memcpy(buffer, incoming.data(), size_t(n));
    incoming.erase(0, size_t(n));
    return n;
  }
  int32_t Pending() override { return gone ? -1 : int32_t(incoming.size()); }
  // The layer passes what is left of the total timeout, so the last wait
  // asked for may be a little less than the timeout itself on a busy machine.
  void ExpectLastWait(int32_t timeout_ms) const {
    EXPECT_LE(last_timeout_ms, timeout_ms);
    EXPECT_GT(last_timeout_ms, timeout_ms - 40);
  }
};

class Fake : public ::testing::Test {
 protected:
  void SetUp() override { port_ = kiv::ComAttachFake(&line_); }
  void TearDown() override { kiv::ComClose(port_); }
  FakeLine line_;
  ComHandle port_ = kiv::kNoPort;
};

TEST_F(Fake, BytesGoOutAndComeInOneAtATime) {
  ASSERT_NE(port_, kiv::kNoPort);
  int32_t count = -1;
  ASSERT_EQ(kiv::ComWrite(port_, "@00RD", 5, &count), kiv::kComOk);
  EXPECT_EQ(line_.written, "@00RD");
  EXPECT_EQ(count, 5);
  EXPECT_EQ(kiv::ComWrite(port_, "", 0, nullptr), kiv::kComOk);

  line_.incoming = "AB\r";
  std::string got;
  char byte;
  while (kiv::ComRead(port_, &byte, 1, &count) == kiv::kComOk) {
    ASSERT_EQ(count, 1);
    got.push_back(byte);
  }
  EXPECT_EQ(got, "AB\r");
  EXPECT_EQ(count, 0) << "the failed read received nothing";
  EXPECT_EQ(line_.reads, 2) << "one call for the chunk, one that found nothing";
  EXPECT_EQ(kiv::ComRead(port_, &byte, 0, nullptr), kiv::kComOk) << "nothing asked, nothing awaited";
}

TEST_F(Fake, FailuresAndShortWritesReachTheCaller) {
  int32_t count = -1;
  line_.write_limit = 3;
  EXPECT_EQ(kiv::ComWrite(port_, "@00XZ", 5, &count), kiv::kComShortWrite);
  EXPECT_EQ(count, 3);
  line_.fail_writes = true;
  count = -1;
  EXPECT_EQ(kiv::ComWrite(port_, "@", 1, &count), kiv::kComIoFailed);
  EXPECT_EQ(count, -1) << "a failed write reports no count";
  line_.fail_reads = true;
  line_.incoming = "x";
  char byte;
  EXPECT_EQ(kiv::ComRead(port_, &byte, 1, &count), kiv::kComIoFailed);
  EXPECT_EQ(count, 0);
  line_.gone = true;
  EXPECT_EQ(kiv::ComFlushInput(port_), 1) << "the status call failed";
}

TEST_F(Fake, AZeroTimeoutWaitsTheOpenDefaultNeverForever) {
  for (int32_t units : {0, -5}) {
    kiv::ComSetReadTimeout(port_, units);
    char byte;
    EXPECT_EQ(kiv::ComRead(port_, &byte, 1, nullptr), kiv::kComIoFailed);
    SCOPED_TRACE(units);
    line_.ExpectLastWait(1000);
  }
}

TEST_F(Fake, FlushDiscardsEverythingAndPutsTheTimeoutBack) {
  for (int32_t timeout : {0, 1, 5, 100, 3000}) {
    SCOPED_TRACE(timeout);
    kiv::ComSetReadTimeout(port_, timeout);
    line_.incoming = "RE";
    char byte;
    ASSERT_EQ(kiv::ComRead(port_, &byte, 1, nullptr), kiv::kComOk);  // "E" waits in the read-ahead
    line_.incoming = std::string(1500, 'x');  // drained in 512-byte pieces
    line_.reads = 0;
    EXPECT_EQ(kiv::ComFlushInput(port_), 0);
    EXPECT_TRUE(line_.incoming.empty());
    line_.ExpectLastWait(50);  // drained with the short timeout
    EXPECT_GE(line_.reads, 3);
    EXPECT_EQ(kiv::ComRead(port_, &byte, 1, nullptr), kiv::kComIoFailed) << "read-ahead discarded";
    line_.ExpectLastWait(timeout > 0 ? timeout * 10 : 1000);  // the timeout in force before
    EXPECT_EQ(kiv::ComSetReadTimeout(port_, timeout), timeout);
  }
  // An empty queue: no read at all.
  line_.reads = 0;
  EXPECT_EQ(kiv::ComFlushInput(port_), 0);
  EXPECT_EQ(line_.reads, 0);
}

TEST(Handles, UnknownOrClosedHandlesAreRefused) {
  FakeLine line;
  const ComHandle closed = kiv::ComAttachFake(&line);
  ASSERT_EQ(kiv::ComClose(closed), kiv::kComOk);
  for (ComHandle handle : {kiv::kNoPort, closed, ComHandle(1025), ComHandle(0xFFFFFFFF)}) {
    SCOPED_TRACE(handle);
    char byte;
    int32_t count = -1;
    EXPECT_EQ(kiv::ComRead(handle, &byte, 1, &count), kiv::kComIoFailed);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(kiv::ComWrite(handle, "x", 1, nullptr), kiv::kComIoFailed);
    EXPECT_EQ(kiv::ComSetReadTimeout(handle, 10), 0);
    EXPECT_EQ(kiv::ComFlushInput(handle), 1);
    EXPECT_EQ(kiv::ComBreak(1, handle), 0);
    EXPECT_EQ(kiv::ComClose(handle), kiv::kComIoFailed);
  }
  EXPECT_EQ(line.reads, 0);
  EXPECT_TRUE(line.written.empty());
}

TEST(Handles, AFullTableRefusesOpensUntilAHandleIsClosed) {
  FakeLine line;
  std::vector<ComHandle> held;
  for (int i = 0; i < 5000; ++i) {
    const ComHandle handle = kiv::ComAttachFake(&line);
    if (handle == kiv::kNoPort) break;
    held.push_back(handle);
  }
  ASSERT_LT(held.size(), 5000u) << "the table is bounded";
  EXPECT_EQ(std::set<ComHandle>(held.begin(), held.end()).size(), held.size()) << "no handle twice";
  ComHandle port = kiv::kNoPort;
  EXPECT_EQ(kiv::ComOpen("NUL", nullptr, 0, &port), kiv::kComOpenFailed);
  ASSERT_EQ(kiv::ComClose(held.back()), kiv::kComOk);
  held.pop_back();
  EXPECT_EQ(kiv::ComOpen("NUL", nullptr, 0, &port), kiv::kComOk);
  held.push_back(port);
  for (ComHandle handle : held) EXPECT_EQ(kiv::ComClose(handle), kiv::kComOk);
}

}  // namespace
