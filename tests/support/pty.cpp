#include "tests/support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

namespace kivtest {

PtyPair::PtyPair() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
    throw std::runtime_error("cannot open a pseudo-terminal");
  char name[64];
  if (ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("ptsname");
  slave_path_ = name;
  port_name_ = slave_path_.substr(strlen("/dev/"));
  // Keep a slave fd so the master never sees a hang-up between driver opens,
  // and make the line raw so nothing the driver writes is translated.
  slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) throw std::runtime_error("cannot open the pty slave");
  termios tio{};
  tcgetattr(slave_, &tio);
  cfmakeraw(&tio);
  tcsetattr(slave_, TCSANOW, &tio);
}

PtyPair::~PtyPair() {
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
}

void PtyPair::Write(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else {
      pollfd pfd{master_, POLLOUT, 0};
      if (poll(&pfd, 1, 1000) <= 0) throw std::runtime_error("pty write stalled");
    }
  }
}

std::string PtyPair::Read(size_t count, int timeout_ms) {
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (out.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd pfd{master_, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left)) <= 0) continue;
    char buf[512];
    ssize_t n = read(master_, buf, std::min(sizeof buf, count - out.size()));
    if (n > 0) out.append(buf, static_cast<size_t>(n));
    else if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
  }
  return out;
}

std::string PtyPair::ReadUntil(char terminator, int timeout_ms) {
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (out.empty() || out.back() != terminator) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd pfd{master_, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left)) <= 0) continue;
    char c;
    ssize_t n = read(master_, &c, 1);
    if (n == 1) out.push_back(c);
    else if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
  }
  return out;
}

void PtyPair::Drain() {
  char buf[512];
  while (read(master_, buf, sizeof buf) > 0) {
  }
}

void PtyPair::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

void PtyPair::CloseSlave() {
  if (slave_ >= 0) close(slave_);
  slave_ = -1;
}

}  // namespace kivtest
