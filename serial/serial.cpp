// The serial layer on POSIX termios.
//
// A handle is an index into a table of port slots (index + 1, 0 = none).
// Each slot keeps the fd, the total read timeout and a small read-ahead,
// which plays the part of the operating system's input queue: the link layer
// asks for one byte per call, and this keeps that to one system call per
// chunk that arrives rather than per byte.
#include "serial/serial.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>

namespace kiv {
namespace {

constexpr int kOpenDefaultTimeoutMs = 1000;  // also what a timeout of 0 means
constexpr int kFlushTimeoutUnits = 5;        // 50 ms while draining
constexpr int kFlushPiece = 512;
constexpr unsigned kSlotCount = 1024;
constexpr int kReadAhead = 256;
constexpr int kWriteStallMs = 2000;

struct Slot {
  int fd = -1;
  bool null_device = false;
  bool hung_up = false;
  bool exclusive = false;  // this slot set TIOCEXCL and must clear it
  int32_t timeout_ms = 0;
  ComFake* fake = nullptr;
  uint16_t head = 0, tail = 0;  // read-ahead: bytes [head, tail)
  uint8_t ahead[kReadAhead];
};

// Slots are claimed and released under the mutex; a claimed slot is used by
// one thread at a time (one handle per channel), so its fields need no lock.
// The in-use flags are atomic so that the lookup on every call (once per
// received byte) takes no lock: the release store when a slot is claimed
// publishes its fresh fields to the thread that looks it up.
std::mutex g_slots_mutex;
Slot g_slots[kSlotCount];
std::atomic<bool> g_in_use[kSlotCount];

ComHandle ClaimSlot() {
  std::lock_guard<std::mutex> lock(g_slots_mutex);
  for (unsigned i = 0; i < kSlotCount; ++i) {
    if (!g_in_use[i].load(std::memory_order_relaxed)) {
      g_slots[i] = Slot{};
      g_in_use[i].store(true, std::memory_order_release);
      return i + 1;
    }
  }
  return kNoPort;
}

void ReleaseSlot(ComHandle handle) {
  std::lock_guard<std::mutex> lock(g_slots_mutex);
  g_in_use[handle - 1].store(false, std::memory_order_release);
}

Slot* SlotOf(ComHandle handle) {
  if (handle == kNoPort || handle > kSlotCount) return nullptr;
  // A handle the host keeps after closing is refused.
  return g_in_use[handle - 1].load(std::memory_order_acquire) ? &g_slots[handle - 1] : nullptr;
}

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int32_t EffectiveTimeout(const Slot& slot) {
  return slot.timeout_ms > 0 ? slot.timeout_ms : kOpenDefaultTimeoutMs;
}

// Waits until fd is ready for `events` or the deadline passes.
// 1 ready, 0 timed out, -1 hang-up or error.
int WaitFd(int fd, short events, int64_t deadline, short* revents = nullptr) {
  for (;;) {
    int64_t left = deadline - NowMs();
    if (left < 0) left = 0;
    pollfd pfd{fd, events, 0};
    int n = poll(&pfd, 1, int(left > 0x7FFFFFFF ? 0x7FFFFFFF : left));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) return 0;
    if (revents) *revents = pfd.revents;
    if (pfd.revents & events) return 1;
    if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) return -1;
  }
}

// Refills the read-ahead with what arrives before the deadline.
// >0 bytes now buffered, 0 timed out, -1 failure or hang-up.
int Refill(Slot& slot, int64_t deadline) {
  slot.head = slot.tail = 0;
  if (slot.fake) {
    int64_t left = deadline - NowMs();
    int32_t n = slot.fake->Read(slot.ahead, kReadAhead, int32_t(left < 0 ? 0 : left));
    if (n < 0) return -1;
    slot.tail = uint16_t(n);
    return n;
  }
  for (;;) {
    // Wait first: the caller only refills an empty read-ahead, so a read
    // before the wait would almost always find nothing.
    short revents = 0;
    const int ready = WaitFd(slot.fd, POLLIN, deadline, &revents);
    if (ready == 0) return 0;
    if (ready < 0) {
      slot.hung_up = true;
      return -1;
    }
    const ssize_t n = read(slot.fd, slot.ahead, kReadAhead);
    if (n > 0) {
      slot.tail = uint16_t(n);
      return int(n);
    }
    // A raw tty with VMIN 0 answers 0 when it has nothing; only a hang-up
    // tells it apart, and poll reports that with the readable flag.
    if (n == 0 && (revents & (POLLHUP | POLLERR))) {
      slot.hung_up = true;
      return -1;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      slot.hung_up = (errno == EIO);
      return -1;
    }
    if (n == 0) ComSleep(1);  // readable yet empty: never spin on it
  }
}

// Delivers up to `count` bytes arriving within one total timeout.
// Returns the number delivered, or -1 on failure.
int32_t ReadSome(Slot& slot, uint8_t* out, int32_t count, int32_t timeout_ms) {
  const int64_t deadline = NowMs() + timeout_ms;
  int32_t got = 0;
  while (got < count) {
    if (slot.head == slot.tail) {
      if (slot.hung_up) return got > 0 ? got : -1;
      int n = Refill(slot, deadline);
      if (n < 0) return got > 0 ? got : -1;
      if (n == 0) break;
    }
    int32_t take = slot.tail - slot.head;
    if (take > count - got) take = count - got;
    std::memcpy(out + got, slot.ahead + slot.head, size_t(take));
    slot.head = uint16_t(slot.head + take);
    got += take;
  }
  return got;
}

speed_t SpeedOf(unsigned baud) {
  switch (baud) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    default: return B0;
  }
}

// UNIX 98 pseudo-terminal slaves have majors 136 to 143.
bool IsPty(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  unsigned major_number = major(st.st_rdev);
  return major_number >= 136 && major_number <= 143;
}

// TCSETS takes the kernel's termios, which glibc's begins with; the extra
// speed fields at its end are not read. The speed travels in c_cflag, where
// cfsetospeed puts it as well.
static_assert(offsetof(termios, c_cc) == 17 && NCCS >= 19, "kernel termios prefix");

void SetModemLine(int fd, int line, bool on) {
  // A pseudo-terminal has no modem lines (ENOTTY/EINVAL): nothing to do.
  int bits = line;
  (void)ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits);
}

int FailOpen(ComHandle handle, int code) {
  Slot& slot = g_slots[handle - 1];
  if (slot.fd >= 0) {
    // Only the slot that set the flag clears it: a refused second open of a
    // held port must not lift the holder's exclusive flag.
    if (slot.exclusive) (void)ioctl(slot.fd, TIOCNXCL);
    close(slot.fd);
  }
  ReleaseSlot(handle);
  return code;
}

}  // namespace

bool ComDevicePath(const char* port_name, char* path, unsigned path_size) {
  // Read at most the 12 bytes of a port-name field.
  size_t length = strnlen(port_name, KIV_PORT_NAME_SIZE);
  if (length == 0 || length >= KIV_PORT_NAME_SIZE) return false;
  const char* prefix = "/dev/";
  const char* name = port_name;
  if (std::strcmp(port_name, "NUL") == 0) {
    prefix = "";
    name = "/dev/null";
    length = std::strlen(name);
  } else if (port_name[0] == '/') {
    prefix = "";
  }
  size_t needed = std::strlen(prefix) + length + 1;
  if (needed > path_size) return false;
  std::memcpy(path, prefix, std::strlen(prefix));
  std::memcpy(path + std::strlen(prefix), name, length);
  path[needed - 1] = '\0';
  return true;
}

ModemPlan PlanModemLines(uint16_t flags) {
  ModemPlan plan;
  // DTR group: the first test that matches wins. Linux has no DTR
  // handshake, so that choice holds DTR on as well.
  if (flags & (KIV_OPEN_DTR_ON | KIV_OPEN_DTR_ON_ALT)) plan.dtr_on = true;
  else if (flags & KIV_OPEN_DTR_HANDSHAKE) plan.dtr_on = true;
  // RTS group. There is no generic RTS toggle either; it holds RTS on.
  if (flags & (KIV_OPEN_RTS_ON | KIV_OPEN_RTS_ON_ALT)) plan.rts_on = true;
  else if (flags & KIV_OPEN_RTS_HANDSHAKE) plan.crtscts = true;
  else if (flags & KIV_OPEN_RTS_TOGGLE) plan.rts_on = true;
  // termios ties RTS handshake and CTS output flow into one flag. RTS held
  // on rules out the handshake, so a CRTSCTS left behind by another program
  // is cleared then (it would stall every write on a line without CTS);
  // otherwise the flag stays as the port had it.
  plan.clear_crtscts = plan.rts_on;
  // Flow control is only ever switched on. DSR flow control and DSR
  // sensitivity have no termios counterpart and are not applied.
  if (flags & KIV_OPEN_CTS_FLOW) plan.crtscts = true;
  if (plan.crtscts) plan.clear_crtscts = false;
  return plan;
}

int ApplyLineSettings(const LineSettings& line, const ModemPlan& plan, termios* tio) {
  const speed_t speed = SpeedOf(line.baud_rate);
  const unsigned data_bits = line.data_bits & 0xFF;
  const unsigned stop_bits = line.stop_bits & 0xFF;
  const unsigned parity = line.parity & 0xFF;
  if (speed == B0) return kComSetupFailed;

  tcflag_t size;
  switch (data_bits) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: return kComSetupFailed;
  }
  bool two_stop;
  switch (stop_bits) {
    case 0: two_stop = false; break;
    case 2: two_stop = true; break;
    // A UART sends one and a half stop bits for 5-bit characters when asked
    // for two; termios cannot express 1.5 otherwise.
    case 1:
      if (data_bits != 5) return kComSetupFailed;
      two_stop = true;
      break;
    default: return kComSetupFailed;
  }
  if (parity > 4) return kComSetupFailed;

  // Raw whatever the tty held: Host Link ends frames with CR, and a
  // translated or echoed CR is a dead line.
  tio->c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                            IXANY | INPCK | IGNPAR);
  tio->c_oflag &= ~tcflag_t(OPOST);
  tio->c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio->c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
  if (plan.clear_crtscts) tio->c_cflag &= ~tcflag_t(CRTSCTS);
  tio->c_cflag |= CREAD | CLOCAL | size;
  if (two_stop) tio->c_cflag |= CSTOPB;
  switch (parity) {
    case 1: tio->c_cflag |= PARENB | PARODD; break;
    case 2: tio->c_cflag |= PARENB; break;
    case 3: tio->c_cflag |= PARENB | CMSPAR | PARODD; break;
    case 4: tio->c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  if (parity != 0) tio->c_iflag |= INPCK;
  if (plan.crtscts) tio->c_cflag |= CRTSCTS;
  tio->c_cc[VMIN] = 0;
  tio->c_cc[VTIME] = 0;
  cfsetispeed(tio, speed);
  cfsetospeed(tio, speed);
  return kComOk;
}

bool LineSettingsHeld(const termios& asked, const termios& held, bool is_pty) {
  if (cfgetospeed(&asked) != cfgetospeed(&held)) return false;
  if ((asked.c_cflag & CSTOPB) != (held.c_cflag & CSTOPB)) return false;
  if (is_pty) return true;  // a pty forces CS8 and drops parity
  const tcflag_t kept = CSIZE | PARENB | PARODD | CMSPAR;
  return (asked.c_cflag & kept) == (held.c_cflag & kept);
}

int ComOpen(const char* port_name, const LineSettings* line, uint16_t open_flags, ComHandle* handle) {
  char path[64];
  if (port_name == nullptr || handle == nullptr) return kComOpenFailed;
  if (!ComDevicePath(port_name, path, sizeof path)) return kComOpenFailed;
  const ComHandle h = ClaimSlot();
  if (h == kNoPort) return kComOpenFailed;
  Slot& slot = g_slots[h - 1];

  slot.fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slot.fd < 0) return FailOpen(h, kComOpenFailed);
  if (std::strcmp(port_name, "NUL") == 0) {
    slot.null_device = true;
    *handle = h;
    return kComOk;
  }
  // flock conflicts with a second open even by root and within this process;
  // TIOCEXCL then keeps other users' programs out too.
  if (flock(slot.fd, LOCK_EX | LOCK_NB) != 0) return FailOpen(h, kComOpenFailed);
  termios current;
  if (tcgetattr(slot.fd, &current) != 0) return FailOpen(h, kComNotSerial);
  slot.exclusive = ioctl(slot.fd, TIOCEXCL) == 0;

  if (open_flags != 0) {
    if (line == nullptr) return FailOpen(h, kComSetupFailed);
    const ModemPlan plan = PlanModemLines(open_flags);
    termios asked = current;
    if (ApplyLineSettings(*line, plan, &asked) != kComOk) return FailOpen(h, kComSetupFailed);
    slot.timeout_ms = kOpenDefaultTimeoutMs;
    // ioctl rather than tcsetattr: glibc's read-back refuses a second
    // identical 7E2 on a pty, which never holds parity.
    if (ioctl(slot.fd, TCSETS, &asked) != 0) return FailOpen(h, kComSetupFailed);
    termios held;
    if (tcgetattr(slot.fd, &held) != 0 || !LineSettingsHeld(asked, held, IsPty(slot.fd)))
      return FailOpen(h, kComSetupFailed);
    if (plan.dtr_on) SetModemLine(slot.fd, TIOCM_DTR, true);
    if (plan.rts_on) SetModemLine(slot.fd, TIOCM_RTS, true);
  }
  *handle = h;
  return kComOk;
}

ComHandle ComAttachFake(ComFake* fake) {
  if (fake == nullptr) return kNoPort;
  const ComHandle h = ClaimSlot();
  if (h != kNoPort) {
    g_slots[h - 1].fake = fake;
    g_slots[h - 1].timeout_ms = kOpenDefaultTimeoutMs;
  }
  return h;
}

int ComClose(ComHandle handle) {
  Slot* slot = SlotOf(handle);
  if (slot == nullptr) return kComIoFailed;
  int result = kComOk;
  if (slot->fd >= 0) {
    if (slot->exclusive) (void)ioctl(slot->fd, TIOCNXCL);  // the flag outlives the fd otherwise
    if (close(slot->fd) != 0 && errno != EINTR) result = kComIoFailed;
  }
  ReleaseSlot(handle);
  return result;
}

int32_t ComSetReadTimeout(ComHandle handle, int32_t timeout_10ms) {
  Slot* slot = SlotOf(handle);
  if (slot == nullptr) return 0;
  const int32_t previous = slot->timeout_ms / 10;
  int64_t ms = int64_t(timeout_10ms) * 10;
  if (ms > 0x7FFFFFFF) ms = 0x7FFFFFFF;
  if (ms < 0) ms = 0;
  slot->timeout_ms = int32_t(ms);
  return previous;
}

int ComFlushInput(ComHandle handle) {
  Slot* slot = SlotOf(handle);
  if (slot == nullptr) return 1;
  if (slot->null_device) return kComOk;
  slot->head = slot->tail = 0;

  // The status call: how much waits in the input queue.
  int pending = 0;
  bool failed;
  if (slot->fake) {
    pending = slot->fake->Pending();
    failed = pending < 0;
  } else {
    failed = slot->hung_up || ioctl(slot->fd, FIONREAD, &pending) != 0;
  }
  if (!failed && pending == 0) return kComOk;

  // Drain in pieces while the PLC is still sending. The timeout in force is
  // put back exactly, also when it is 0 (the 1000 ms default): going by the
  // previous value in 10 ms units would leave 50 ms in force for good.
  const int32_t previous_ms = slot->timeout_ms;
  ComSetReadTimeout(handle, kFlushTimeoutUnits);
  uint8_t scratch[kFlushPiece];
  int32_t got;
  do {
    got = ReadSome(*slot, scratch, kFlushPiece, EffectiveTimeout(*slot));
    failed = got < 0;
  } while (got == kFlushPiece);
  slot->head = slot->tail = 0;
  slot->timeout_ms = previous_ms;
  return failed ? 1 : kComOk;
}

int ComBreak(uint32_t duration_ms, ComHandle handle) {
  Slot* slot = SlotOf(handle);
  if (slot != nullptr && slot->fd >= 0) {
    (void)ioctl(slot->fd, TIOCSBRK);
    ComSleep(duration_ms);
    (void)ioctl(slot->fd, TIOCCBRK);
  }
  return kComOk;
}

int ComWrite(ComHandle handle, const void* bytes, int32_t count, int32_t* written) {
  Slot* slot = SlotOf(handle);
  if (slot == nullptr || count < 0) return kComIoFailed;
  const auto* data = static_cast<const uint8_t*>(bytes);
  int32_t done = 0;
  if (slot->fake) {
    done = slot->fake->Write(data, count);
    if (done < 0) return kComIoFailed;
    if (done > count) done = count;
  } else if (slot->hung_up) {
    return kComIoFailed;
  } else {
    // Writes have no timeout of their own, but a device that takes nothing
    // for kWriteStallMs is stuck (even at 50 baud a character leaves in
    // 220 ms): the caller gets the part written rather than a hang. Each
    // piece handed over starts the wait again, so any length at any speed
    // gets through.
    int64_t deadline = NowMs() + kWriteStallMs;
    while (done < count) {
      ssize_t n = write(slot->fd, data + done, size_t(count - done));
      if (n > 0) {
        done += int32_t(n);
        deadline = NowMs() + kWriteStallMs;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) {
        slot->hung_up = (errno == EIO);
        return kComIoFailed;
      }
      int ready = WaitFd(slot->fd, POLLOUT, deadline);
      if (ready < 0) {
        slot->hung_up = true;
        return kComIoFailed;
      }
      if (ready == 0) break;
    }
  }
  if (written) *written = done;
  return done == count ? kComOk : kComShortWrite;
}

int ComRead(ComHandle handle, void* buffer, int32_t count, int32_t* received) {
  if (received) *received = 0;
  Slot* slot = SlotOf(handle);
  if (slot == nullptr || count < 0) return kComIoFailed;
  if (slot->null_device) return count == 0 ? kComOk : kComIoFailed;
  auto* out = static_cast<uint8_t*>(buffer);
  int32_t total = 0;
  // Each wait has the whole timeout, as each platform read call had.
  while (total < count) {
    int32_t got = ReadSome(*slot, out + total, count - total, EffectiveTimeout(*slot));
    if (got <= 0) return kComIoFailed;
    total += got;
    if (received) *received = total;
  }
  return kComOk;
}

int ComSleep(uint32_t duration_ms) {
  timespec ts{time_t(duration_ms / 1000), long(duration_ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
  return kComOk;
}

}  // namespace kiv
