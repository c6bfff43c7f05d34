// The serial layer: the pure mapping of line settings, and a real open,
// read, write, flush and hang-up on a pseudo-terminal.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
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
  kivtest::PtyPair pty_;
};

TEST_F(Port, OpensExclusivelyAndAgainAfterClose) {
  const ComHandle first = Open();
  ComHandle second = kiv::kNoPort;
  const LineSettings line{9600, 7, 2, 2};
  EXPECT_EQ(kiv::ComOpen(pty_.port_name().c_str(), &line, KIV_OPEN_DEFAULT, &second), kiv::kComOpenFailed)
      << "a second open, even by root in the same process, is refused";
  EXPECT_EQ(kiv::ComClose(first), kiv::kComOk);
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
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(kiv::ComFlushInput(port), 0);
  EXPECT_EQ(kiv::ComSetReadTimeout(port, 30), 30) << "restored after the flush";
  kiv::ComSetReadTimeout(port, 5);
  EXPECT_EQ(kiv::ComRead(port, &byte, 1, &received), kiv::kComIoFailed) << "nothing left to read";
  // On a quiet line the flush costs no wait.
  const auto start = Clock::now();
  EXPECT_EQ(kiv::ComFlushInput(port), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(40));
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

}  // namespace
