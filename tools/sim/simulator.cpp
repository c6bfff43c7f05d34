// The simulator's line: frames in and out, multi-frame transfers, faults,
// pacing, trace, and the control interface.
#include "simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace hlsim {

const FaultKind kAllFaultKinds[13] = {
    FaultKind::NoReply,       FaultKind::LateReply,     FaultKind::BadFcs,           FaultKind::LowerCaseFcs,
    FaultKind::WrongUnit,     FaultKind::WrongHeader,   FaultKind::EndCode,          FaultKind::UndefinedCommand,
    FaultKind::Truncated,     FaultKind::GarbageBefore, FaultKind::GarbageAfter,     FaultKind::StallDelimiter,
    FaultKind::LineVanish,
};

namespace {

constexpr size_t kMaxFrame = 131;        // a frame on its own, terminator included
constexpr int kWordsFirstFrame = 30;      // read replies: words in the first frame
constexpr int kWordsLaterFrame = 31;      // and in each later one
constexpr int kFlagsFirstFrame = 121;     // RG replies
constexpr int kFlagsLaterFrame = 125;
constexpr int kDelimiterTimeoutMs = 5000;  // how long a reply waits for the host's CR

const char* const kFaultNames[13] = {"no-reply",  "late-reply",    "bad-fcs",        "lower-case-fcs", "wrong-unit",
                                     "wrong-header", "end-code",   "ic",             "truncated",      "garbage-before",
                                     "garbage-after", "stall-delimiter", "line-vanish"};

int64_t NowUs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void SleepUntilNs(int64_t deadline) {
  timespec ts{time_t(deadline / 1000000000), long(deadline % 1000000000)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

void SleepNs(int64_t duration) { SleepUntilNs(NowNs() + duration); }

std::string Timestamp() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local;
  localtime_r(&ts.tv_sec, &local);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d.%06ld", local.tm_hour, local.tm_min, local.tm_sec,
                ts.tv_nsec / 1000);
  return buffer;
}

std::string Printable(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\r') out += "<CR>";
    else if (c >= 0x20 && c < 0x7F) out += char(c);
    else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "<%02X>", c);
      out += hex;
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

speed_t SpeedOf(int baud) {
  switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return B0;
  }
}

}  // namespace

const char* ModeName(Mode mode) {
  switch (mode) {
    case Mode::Program: return "program";
    case Mode::Monitor: return "monitor";
    case Mode::Run: return "run";
  }
  return "?";
}

const char* AreaName(Area area) {
  static const char* const kNames[] = {"DM", "IR", "HR", "LR", "AR", "TC"};
  return kNames[int(area)];
}

bool ParseArea(std::string_view name, Area* area) {
  for (int a = 0; a < 6; ++a) {
    std::string upper(name);
    for (char& c : upper) c = char(toupper(static_cast<unsigned char>(c)));
    if (upper == AreaName(Area(a))) {
      *area = Area(a);
      return true;
    }
  }
  return false;
}

const char* FaultName(FaultKind kind) { return kFaultNames[int(kind)]; }

bool ParseFaultKind(std::string_view name, FaultKind* kind) {
  for (int k = 0; k < 13; ++k)
    if (name == kFaultNames[k]) {
      *kind = FaultKind(k);
      return true;
    }
  return false;
}

uint8_t Fcs(std::string_view text) {
  uint8_t fcs = 0;
  for (char c : text) fcs ^= uint8_t(c);
  return fcs;
}

std::string FinalFrame(std::string_view text) {
  char tail[8];
  std::snprintf(tail, sizeof tail, "%02X*\r", Fcs(text));
  return std::string(text) + tail;
}

struct Simulator::Impl {
  Options options;
  mutable std::mutex mutex;  // guards every field below but the fds
  std::condition_variable handled;
  std::map<int, Plc> units;
  std::vector<Fault> faults;
  Counters counters;
  bool tracing = false;
  std::vector<std::string> trace;
  std::mt19937_64 random;

  int master = -1;  // the fd the simulator serves (pty master or device)
  int slave = -1;   // kept open so the driver's opens and closes cause no hang-up
  std::string port;
  std::thread thread;
  std::atomic<bool> stop{false};
  int64_t char_ns = 0;  // pacing: nanoseconds per character, 0 unpaced

  // Bytes read but not yet used.
  std::string pending;

  explicit Impl(Options o) : options(std::move(o)), random(options.seed) {
    for (int unit : options.units) units[unit];
    tracing = options.trace;
    if (options.pace && options.baud > 0) {
      const int parity_bits = options.parity == 'N' ? 0 : 1;
      const int bits = 1 + options.data_bits + parity_bits + options.stop_bits;
      char_ns = int64_t(bits) * 1000000000 / options.baud;
    }
  }

  Plc& UnitOf(int unit) {
    auto it = units.find(unit);
    if (it == units.end()) throw std::out_of_range("no such unit");
    return it->second;
  }
  const Plc& UnitOf(int unit) const {
    auto it = units.find(unit);
    if (it == units.end()) throw std::out_of_range("no such unit");
    return it->second;
  }

  void Trace(char direction, std::string_view bytes, const std::string& note = "") {
    std::lock_guard<std::mutex> lock(mutex);
    if (!tracing && !options.trace_sink) return;
    std::string line = Timestamp() + " " + direction + " " + Printable(bytes);
    if (!note.empty()) line += "  " + note;
    if (tracing) trace.push_back(line);
    if (options.trace_sink) options.trace_sink(line);
    if (trace.size() > 100000) trace.erase(trace.begin(), trace.begin() + 50000);  // bounded
  }

  void OpenLine() {
    if (!options.device.empty()) {
      master = open(options.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      if (master < 0) throw std::runtime_error("cannot open " + options.device);
      termios tio{};
      if (tcgetattr(master, &tio) != 0) throw std::runtime_error(options.device + " is not a serial port");
      cfmakeraw(&tio);
      tio.c_cflag |= CLOCAL | CREAD;
      tio.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB);
      tio.c_cflag |= options.data_bits == 7 ? CS7 : options.data_bits == 6 ? CS6 : options.data_bits == 5 ? CS5 : CS8;
      if (options.parity != 'N') tio.c_cflag |= PARENB;
      if (options.parity == 'O') tio.c_cflag |= PARODD;
      if (options.stop_bits == 2) tio.c_cflag |= CSTOPB;
      const speed_t speed = SpeedOf(options.baud);
      if (speed == B0) throw std::runtime_error("unsupported baud rate");
      cfsetspeed(&tio, speed);
      if (tcsetattr(master, TCSANOW, &tio) != 0) throw std::runtime_error("cannot configure " + options.device);
      port = options.device;
      return;
    }
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
      throw std::runtime_error("cannot create a pseudo-terminal");
    char name[64];
    if (ptsname_r(master, name, sizeof name) != 0) throw std::runtime_error("ptsname");
    slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) throw std::runtime_error("cannot open the pty slave");
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    port = std::string(name).substr(5);  // without "/dev/"
    if (!options.link.empty()) {
      unlink(options.link.c_str());
      if (symlink(name, options.link.c_str()) != 0) throw std::runtime_error("cannot create " + options.link);
      port = options.link;
    }
  }

  void CloseLine() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
    slave = master = -1;
  }

  // Reads bytes until CR within timeout_ms. false on timeout, stop or loss.
  bool ReadLine(std::string* line, int timeout_ms) {
    const int64_t deadline = timeout_ms < 0 ? -1 : NowUs() + int64_t(timeout_ms) * 1000;
    for (;;) {
      const size_t cr = pending.find('\r');
      if (cr != std::string::npos) {
        *line = pending.substr(0, cr + 1);
        pending.erase(0, cr + 1);
        // A paced line also takes its time in this direction: the frame is
        // complete only when its last character would have arrived.
        if (char_ns > 0) SleepNs(int64_t(line->size()) * char_ns);
        return true;
      }
      if (pending.size() > 4096) pending.clear();  // noise without end
      if (stop) return false;
      int wait = 50;
      if (deadline >= 0) {
        const int64_t left = (deadline - NowUs()) / 1000;
        if (left <= 0) return false;
        wait = int(std::min<int64_t>(left, 50));
      }
      pollfd pfd{master, POLLIN, 0};
      const int n = poll(&pfd, 1, wait);
      if (n <= 0) continue;
      if (pfd.revents & POLLIN) {
        char buffer[512];
        const ssize_t got = read(master, buffer, sizeof buffer);
        if (got > 0) {
          std::lock_guard<std::mutex> lock(mutex);
          counters.bytes_in += uint64_t(got);
          pending.append(buffer, size_t(got));
          continue;
        }
      }
      // Nobody has the slave open (a device closed): wait for a new open.
      if (pfd.revents & (POLLHUP | POLLERR)) usleep(10000);
    }
  }

  void WriteBytes(std::string_view bytes) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      counters.bytes_out += bytes.size();
    }
    // Byte i is due when i + 1 characters have crossed the line. Bytes that
    // are due go out together, and the thread sleeps at least half a
    // millisecond between writes, so that many paced lines do not drown the
    // machine in wakeups; the last byte still leaves at its own time.
    const int64_t start = NowNs();
    size_t done = 0;
    while (done < bytes.size() && !stop) {
      size_t chunk = bytes.size() - done;
      if (char_ns > 0) {
        const int64_t last_due = start + int64_t(bytes.size()) * char_ns;
        int64_t wake = std::max(start + int64_t(done + 1) * char_ns, NowNs() + 500000);
        SleepUntilNs(std::min(wake, last_due));
        const int64_t due = (NowNs() - start) / char_ns;
        chunk = std::clamp<size_t>(size_t(std::max<int64_t>(due, 0)) - std::min<size_t>(done, size_t(std::max<int64_t>(due, 0))), 1,
                                   bytes.size() - done);
      }
      const ssize_t n = write(master, bytes.data() + done, chunk);
      if (n > 0) {
        done += size_t(n);
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        return;
      } else {
        pollfd pfd{master, POLLOUT, 0};
        poll(&pfd, 1, 50);
      }
    }
  }

  // Decides the fault for one command (under the mutex).
  bool PickFault(int unit, const std::string& header, Fault* picked) {
    for (auto it = faults.begin(); it != faults.end(); ++it) {
      if (it->kind == FaultKind::StallDelimiter) continue;  // decided per frame
      if (!it->header.empty() && it->header != header) continue;
      if (it->unit >= 0 && it->unit != unit) continue;
      if (it->probability < 1.0 && std::uniform_real_distribution<double>(0, 1)(random) >= it->probability) continue;
      *picked = *it;
      if (it->count > 0 && --it->count == 0) faults.erase(it);
      return true;
    }
    if (options.fault_rate > 0 && std::uniform_real_distribution<double>(0, 1)(random) < options.fault_rate) {
      // Random faults that leave the line usable afterwards.
      static const FaultKind kRandom[] = {FaultKind::NoReply,    FaultKind::BadFcs,        FaultKind::WrongUnit,
                                          FaultKind::WrongHeader, FaultKind::EndCode,      FaultKind::Truncated,
                                          FaultKind::GarbageBefore, FaultKind::GarbageAfter, FaultKind::LowerCaseFcs};
      picked->kind = kRandom[random() % (sizeof kRandom / sizeof kRandom[0])];
      picked->end_code = 0x13;
      return true;
    }
    return false;
  }

  // Splits a reply into frame texts the way a real PLC does.
  static std::vector<std::string> SplitReply(const std::string& reply) {
    std::vector<std::string> frames;
    const std::string header = reply.size() >= 5 ? reply.substr(3, 2) : "";
    size_t first, later;
    if (header == "RG") {
      first = 7 + kFlagsFirstFrame;
      later = kFlagsLaterFrame;
    } else if (header.size() == 2 && header[0] == 'R') {
      first = 7 + 4 * kWordsFirstFrame;
      later = 4 * kWordsLaterFrame;
    } else {
      first = 127;
      later = 124;
    }
    size_t at = std::min(first, reply.size());
    frames.push_back(reply.substr(0, at));
    while (at < reply.size()) {
      const size_t n = std::min(later, reply.size() - at);
      frames.push_back(reply.substr(at, n));
      at += n;
    }
    return frames;
  }

  void SendReply(const std::string& reply, const Fault* fault) {
    std::vector<std::string> frames = SplitReply(reply);
    const FaultKind kind = fault ? fault->kind : FaultKind(-1);
    if (kind == FaultKind::LateReply) usleep(useconds_t(fault->delay_ms) * 1000);
    if (options.response_delay_ms > 0) usleep(useconds_t(options.response_delay_ms) * 1000);
    if (kind == FaultKind::GarbageBefore) WriteBytes("\x15?#noise");
    for (size_t i = 0; i < frames.size(); ++i) {
      const bool last = i + 1 == frames.size();
      char fcs[4];
      std::snprintf(fcs, sizeof fcs, kind == FaultKind::LowerCaseFcs ? "%02x" : "%02X", Fcs(frames[i]));
      if (kind == FaultKind::BadFcs && i == 0) std::snprintf(fcs, sizeof fcs, "%02X", Fcs(frames[i]) ^ 0x5A);
      std::string frame = frames[i] + fcs + (last ? "*\r" : "\r");
      if (kind == FaultKind::Truncated) frame.resize(frame.size() / 2);
      if (kind == FaultKind::LineVanish) {
        WriteBytes(frame.substr(0, frame.size() / 2));
        Trace('<', frame.substr(0, frame.size() / 2), "line vanishes");
        Vanish();
        return;
      }
      WriteBytes(frame);
      {
        std::lock_guard<std::mutex> lock(mutex);
        counters.frames_out++;
      }
      Trace('<', frame);
      if (kind == FaultKind::Truncated) return;
      if (last) break;
      // Wait for the host's CR; anything else (an abort) cancels the rest.
      std::string answer;
      if (!ReadLine(&answer, kDelimiterTimeoutMs)) return;
      if (answer != "\r") {
        Trace('>', answer, "transfer cancelled");
        if (answer.find("XZ") != std::string::npos) {
          std::lock_guard<std::mutex> lock(mutex);
          counters.aborts++;
        }
        return;
      }
    }
    if (kind == FaultKind::GarbageAfter) WriteBytes("#noise\r");
  }

  // Like a pulled USB adapter: the line is gone. A new pty is offered after
  // a short while (under the same link name, if one was asked for).
  void Vanish() {
    CloseLine();
    pending.clear();
    usleep(200000);
    if (!stop) {
      std::lock_guard<std::mutex> lock(mutex);
      try {
        OpenLine();
      } catch (const std::exception&) {
      }
    }
  }

  void Serve() {
    std::string text;  // the command assembled from its frames
    bool in_transfer = false;
    while (!stop) {
      std::string line;
      if (master < 0) {
        usleep(10000);
        continue;
      }
      if (!ReadLine(&line, -1)) continue;
      {
        std::lock_guard<std::mutex> lock(mutex);
        counters.frames_in++;
      }
      // A frame starts at its "@" (noise before it is dropped) unless it
      // continues a multi-frame command; a new "@" (an abort) ends one.
      if (in_transfer && line[0] == '@') in_transfer = false;
      if (!in_transfer) {
        const size_t at = line.find('@');
        if (at == std::string::npos) continue;
        line.erase(0, at);
      }
      Trace('>', line);
      const bool last = line.size() >= 2 && line[line.size() - 2] == '*';
      const size_t trailer = last ? 4 : 3;
      if (line.size() < trailer + (in_transfer ? 0 : 5)) {
        in_transfer = false;
        continue;  // too short to parse: no reply
      }
      const std::string frame_text = line.substr(0, line.size() - trailer);
      const int high = HexDigit(line[frame_text.size()]);
      const int low = HexDigit(line[frame_text.size() + 1]);
      const std::string unit_text = in_transfer ? text.substr(1, 2) : frame_text.substr(1, 2);
      const int unit = (unit_text[0] - '0') * 10 + (unit_text[1] - '0');
      bool present;
      {
        std::lock_guard<std::mutex> lock(mutex);
        present = unit_text[0] >= '0' && unit_text[0] <= '9' && unit_text[1] >= '0' && unit_text[1] <= '9' &&
                  units.count(unit) > 0;
      }
      if (!present) {
        in_transfer = !last && in_transfer;
        continue;  // another unit's frame: not ours to answer
      }
      const std::string echo = (in_transfer ? text : frame_text).substr(0, 5);
      if (high < 0 || low < 0 || Fcs(frame_text) != uint8_t(high * 16 + low)) {
        {
          std::lock_guard<std::mutex> lock(mutex);
          counters.fcs_errors++;
        }
        SendReply(echo + (in_transfer ? "A3" : "13"), nullptr);
        in_transfer = false;
        continue;
      }
      if (line.size() > kMaxFrame) {
        SendReply(echo + (in_transfer ? "A8" : "18"), nullptr);
        in_transfer = false;
        continue;
      }
      text = in_transfer ? text + frame_text : frame_text;
      if (!last) {
        Fault stall;
        bool stalled;
        {
          std::lock_guard<std::mutex> lock(mutex);
          stalled = PickStall(unit, text.substr(3, 2), &stall);
        }
        if (stalled) {
          in_transfer = false;
          std::lock_guard<std::mutex> lock(mutex);
          counters.faults_fired++;
          continue;
        }
        in_transfer = true;
        WriteBytes("\r");
        Trace('<', "\r", "delimiter");
        continue;
      }
      in_transfer = false;
      Execute(unit, text);
    }
  }

  bool PickStall(int unit, const std::string& header, Fault* picked) {
    for (auto it = faults.begin(); it != faults.end(); ++it) {
      if (it->kind != FaultKind::StallDelimiter) continue;
      if (!it->header.empty() && it->header != header) continue;
      if (it->unit >= 0 && it->unit != unit) continue;
      *picked = *it;
      if (it->count > 0 && --it->count == 0) faults.erase(it);
      return true;
    }
    return false;
  }

  void Execute(int unit, const std::string& command) {
    const std::string header = command.substr(3, 2);
    Fault fault;
    bool faulty;
    std::string reply;
    {
      std::lock_guard<std::mutex> lock(mutex);
      counters.commands++;
      counters.commands_by_header[header]++;
      if (header == "XZ") counters.aborts++;
      faulty = header != "XZ" && PickFault(unit, header, &fault);
      if (faulty) counters.faults_fired++;
      Plc& plc = units.at(unit);
      if (faulty && fault.kind == FaultKind::EndCode) {
        char code[4];
        std::snprintf(code, sizeof code, "%02X", fault.end_code & 0xFF);
        reply = command.substr(0, 5) + code;
      } else if (faulty && fault.kind == FaultKind::UndefinedCommand) {
        reply = command.substr(0, 3) + "IC";
      } else {
        reply = plc.Handle(command);
      }
      if (faulty && fault.kind == FaultKind::WrongUnit && reply.size() >= 3) reply[2] = reply[2] == '9' ? '8' : char(reply[2] + 1);
      if (faulty && fault.kind == FaultKind::WrongHeader && reply.size() >= 5) reply[4] = reply[4] == 'Z' ? 'Y' : char(reply[4] + 1);
    }
    handled.notify_all();
    if (reply.empty() || (faulty && fault.kind == FaultKind::NoReply)) return;
    SendReply(reply, faulty ? &fault : nullptr);
  }
};

Simulator::Simulator(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Simulator::~Simulator() { Stop(); }

void Simulator::Start() {
  impl_->OpenLine();
  impl_->stop = false;
  impl_->thread = std::thread([this] {
    prctl(PR_SET_TIMERSLACK, 1UL);  // paced bytes leave on time, not 50 us late
    impl_->Serve();
  });
}

void Simulator::Stop() {
  impl_->stop = true;
  if (impl_->thread.joinable()) impl_->thread.join();
  impl_->CloseLine();
  if (!impl_->options.link.empty()) unlink(impl_->options.link.c_str());
}

std::string Simulator::port_name() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->port;
}

void Simulator::SetWord(int unit, Area area, int address, uint16_t value) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->UnitOf(unit).Word(area, address) = value;
}
uint16_t Simulator::GetWord(int unit, Area area, int address) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->UnitOf(unit).Word(area, address);
}
void Simulator::SetCompletionFlag(int unit, int number, bool on) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->UnitOf(unit).completion_flags[number] = on;
}
bool Simulator::GetCompletionFlag(int unit, int number) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->UnitOf(unit).completion_flags[number];
}
void Simulator::SetSetValue(int unit, const std::string& instruction, int number, uint16_t value) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->UnitOf(unit).set_values.at(instruction).at(size_t(number)) = value;
}
uint16_t Simulator::GetSetValue(int unit, const std::string& instruction, int number) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->UnitOf(unit).set_values.at(instruction).at(size_t(number));
}
void Simulator::SetDmBuffer(int unit, int index, uint16_t value) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->UnitOf(unit).dm_buffer[index & 7] = value;
}
void Simulator::SetMode(int unit, Mode mode) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->UnitOf(unit).mode = mode;
}
Mode Simulator::GetMode(int unit) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->UnitOf(unit).mode;
}
void Simulator::SetErrorInfo(int unit, uint16_t word1, uint16_t word2) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->UnitOf(unit).error_words[0] = word1;
  impl_->UnitOf(unit).error_words[1] = word2;
}
void Simulator::GetErrorInfo(int unit, uint16_t* word1, uint16_t* word2) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  *word1 = impl_->UnitOf(unit).error_words[0];
  *word2 = impl_->UnitOf(unit).error_words[1];
}

void Simulator::ArmFault(const Fault& fault) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->faults.push_back(fault);
}
void Simulator::ClearFaults() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->faults.clear();
}
Counters Simulator::counters() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->counters;
}
void Simulator::ResetCounters() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->counters = Counters{};
}
void Simulator::SetTrace(bool on) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->tracing = on;
}
std::vector<std::string> Simulator::TakeTrace() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<std::string> out;
  out.swap(impl_->trace);
  return out;
}
bool Simulator::WaitForCommands(uint64_t n, int timeout_ms) {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->handled.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                 [&] { return impl_->counters.commands >= n; });
}

std::string Simulator::Describe(int unit) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const Plc& plc = impl_->UnitOf(unit);
  std::ostringstream out;
  char line[96];
  std::snprintf(line, sizeof line, "%02d mode %s\n", unit, ModeName(plc.mode));
  out << line;
  for (int a = 0; a < 6; ++a)
    for (int i = 0; i < AreaSize(Area(a)); ++i)
      if (plc.Word(Area(a), i) != 0) {
        std::snprintf(line, sizeof line, "%02d %s %d %04X\n", unit, AreaName(Area(a)), i, plc.Word(Area(a), i));
        out << line;
      }
  for (int i = 0; i < Plc::kTimers; ++i)
    if (plc.completion_flags[i]) {
      std::snprintf(line, sizeof line, "%02d FLAG %d 1\n", unit, i);
      out << line;
    }
  for (const auto& [name, values] : plc.set_values)
    for (size_t i = 0; i < values.size(); ++i)
      if (values[i] != 0) {
        std::snprintf(line, sizeof line, "%02d SV %s %zu %04X\n", unit, name.c_str(), i, values[i]);
        out << line;
      }
  for (int i = 0; i < 8; ++i)
    if (plc.dm_buffer[i] != 0) {
      std::snprintf(line, sizeof line, "%02d HSB %d %04X\n", unit, i, plc.dm_buffer[i]);
      out << line;
    }
  std::snprintf(line, sizeof line, "%02d ERROR %04X %04X\n", unit, plc.error_words[0], plc.error_words[1]);
  out << line;
  return out.str();
}

bool Simulator::Save(const std::string& path) const {
  std::ofstream file(path);
  if (!file) return false;
  file << "# hostlink-sim memory: UNIT AREA ADDRESS VALUE (hex); SV names are 4 characters with _ for blank\n";
  std::vector<int> unit_numbers;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (const auto& entry : impl_->units) unit_numbers.push_back(entry.first);
  }
  for (int unit : unit_numbers) {
    std::string text = Describe(unit);
    // Set-value names hold blanks: write them with underscores.
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
      if (line.find(" SV ") != std::string::npos) {
        const size_t at = line.find(" SV ") + 4;
        for (size_t i = at; i < at + 4 && i < line.size(); ++i)
          if (line[i] == ' ') line[i] = '_';
      }
      file << line << "\n";
    }
  }
  return bool(file);
}

bool Simulator::Load(const std::string& path) {
  std::ifstream file(path);
  if (!file) return false;
  std::string line;
  bool quit = false;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream in(line);
    std::string unit, kind;
    in >> unit >> kind;
    std::string rest;
    std::getline(in, rest);
    std::string command;
    if (kind == "mode") command = "mode " + unit + rest;
    else if (kind == "FLAG") command = "flag " + unit + rest;
    else if (kind == "SV") command = "sv " + unit + rest;
    else if (kind == "HSB") command = "hsb " + unit + rest;
    else if (kind == "ERROR") command = "error " + unit + rest;
    else command = "set " + unit + " " + kind + rest;
    if (Control(command, &quit).rfind("error", 0) == 0) return false;
  }
  return true;
}

std::string Simulator::Control(const std::string& line, bool* quit) {
  std::istringstream in(line);
  std::string verb;
  in >> verb;
  std::ostringstream out;
  auto number = [](const std::string& text, int base, long* value) {
    char* end = nullptr;
    errno = 0;
    *value = std::strtol(text.c_str(), &end, base);
    return !text.empty() && *end == '\0' && errno == 0;
  };
  try {
    if (verb.empty() || verb[0] == '#') return "";
    if (verb == "quit" || verb == "exit") {
      *quit = true;
      return "ok\n";
    }
    if (verb == "help") {
      return "commands:\n"
             "  get UNIT AREA ADDR [COUNT]     words in hex (AREA: DM IR HR LR AR TC)\n"
             "  set UNIT AREA ADDR HEX...      set consecutive words\n"
             "  flag UNIT N 0|1                completion flag of timer/counter N\n"
             "  sv UNIT NAME N HEX             set value (NAME: TIM TIMH CNT CNTR TMS TIMW CNTW TMHW)\n"
             "  hsb UNIT I HEX                 DM high-speed buffer word I (0-7)\n"
             "  error UNIT HEX HEX             error information words\n"
             "  mode UNIT program|monitor|run  operating mode\n"
             "  fault KIND [header=XX] [count=N] [prob=P] [code=HH] [delay=MS] [unit=U]\n"
             "                                 kinds: no-reply late-reply bad-fcs lower-case-fcs wrong-unit\n"
             "                                 wrong-header end-code ic truncated garbage-before garbage-after\n"
             "                                 stall-delimiter line-vanish\n"
             "  clear-faults                   disarm every fault\n"
             "  counters                       commands per header, aborts, FCS errors, faults fired, bytes\n"
             "  dump UNIT                      non-zero memory of a unit\n"
             "  trace on|off                   print every frame with a timestamp\n"
             "  save FILE | load FILE          memory to or from a text file\n"
             "  quit\n";
    }
    if (verb == "get" || verb == "set") {
      std::string unit_text, area_text, address_text;
      in >> unit_text >> area_text >> address_text;
      long unit, address;
      Area area;
      if (!number(unit_text, 10, &unit) || !ParseArea(area_text, &area) || !number(address_text, 10, &address) ||
          address < 0 || address >= AreaSize(area))
        return "error: usage: " + verb + " UNIT AREA ADDR ...\n";
      if (verb == "get") {
        long count = 1;
        std::string count_text;
        if (in >> count_text && (!number(count_text, 10, &count) || count < 1)) return "error: bad count\n";
        if (address + count > AreaSize(area)) return "error: beyond the area\n";
        for (long i = 0; i < count; ++i) {
          char word[8];
          std::snprintf(word, sizeof word, "%04X", GetWord(int(unit), area, int(address + i)));
          out << (i ? " " : "") << word;
        }
        out << "\n";
        return out.str();
      }
      std::string value_text;
      long i = 0;
      while (in >> value_text) {
        long value;
        if (!number(value_text, 16, &value) || value < 0 || value > 0xFFFF) return "error: bad value\n";
        if (address + i >= AreaSize(area)) return "error: beyond the area\n";
        SetWord(int(unit), area, int(address + i), uint16_t(value));
        ++i;
      }
      return i ? "ok\n" : "error: no value\n";
    }
    if (verb == "flag") {
      std::string a, b, c;
      in >> a >> b >> c;
      long unit, n, on;
      if (!number(a, 10, &unit) || !number(b, 10, &n) || !number(c, 10, &on) || n < 0 || n >= Plc::kTimers)
        return "error: usage: flag UNIT N 0|1\n";
      SetCompletionFlag(int(unit), int(n), on != 0);
      return "ok\n";
    }
    if (verb == "sv") {
      std::string a, name, b, c;
      in >> a >> name >> b >> c;
      for (char& ch : name) ch = ch == '_' ? ' ' : char(toupper(static_cast<unsigned char>(ch)));
      while (name.size() < 4) name += ' ';
      long unit, n, value;
      if (!number(a, 10, &unit) || !number(b, 10, &n) || !number(c, 16, &value) || n < 0 || n >= Plc::kTimers)
        return "error: usage: sv UNIT NAME N HEX\n";
      SetSetValue(int(unit), name, int(n), uint16_t(value));
      return "ok\n";
    }
    if (verb == "hsb") {
      std::string a, b, c;
      in >> a >> b >> c;
      long unit, i, value;
      if (!number(a, 10, &unit) || !number(b, 10, &i) || !number(c, 16, &value) || i < 0 || i > 7)
        return "error: usage: hsb UNIT I HEX\n";
      SetDmBuffer(int(unit), int(i), uint16_t(value));
      return "ok\n";
    }
    if (verb == "error") {
      std::string a, b, c;
      in >> a >> b >> c;
      long unit, w1, w2;
      if (!number(a, 10, &unit) || !number(b, 16, &w1) || !number(c, 16, &w2)) return "error: usage: error UNIT HEX HEX\n";
      SetErrorInfo(int(unit), uint16_t(w1), uint16_t(w2));
      return "ok\n";
    }
    if (verb == "mode") {
      std::string a, m;
      in >> a >> m;
      long unit;
      if (!number(a, 10, &unit)) return "error: usage: mode UNIT program|monitor|run\n";
      if (m.empty()) return std::string(ModeName(GetMode(int(unit)))) + "\n";
      if (m == "program") SetMode(int(unit), Mode::Program);
      else if (m == "monitor") SetMode(int(unit), Mode::Monitor);
      else if (m == "run") SetMode(int(unit), Mode::Run);
      else return "error: mode is program, monitor or run\n";
      return "ok\n";
    }
    if (verb == "fault") {
      std::string kind_text, option;
      in >> kind_text;
      Fault fault;
      if (!ParseFaultKind(kind_text, &fault.kind)) return "error: unknown fault kind (see help)\n";
      while (in >> option) {
        const size_t eq = option.find('=');
        if (eq == std::string::npos) return "error: options are name=value\n";
        const std::string key = option.substr(0, eq), value = option.substr(eq + 1);
        long n;
        if (key == "header") fault.header = value;
        else if (key == "count" && number(value, 10, &n)) fault.count = int(n);
        else if (key == "prob") fault.probability = std::strtod(value.c_str(), nullptr);
        else if (key == "code" && number(value, 16, &n)) fault.end_code = int(n);
        else if (key == "delay" && number(value, 10, &n)) fault.delay_ms = int(n);
        else if (key == "unit" && number(value, 10, &n)) fault.unit = int(n);
        else return "error: bad option " + option + "\n";
      }
      ArmFault(fault);
      return "ok\n";
    }
    if (verb == "clear-faults") {
      ClearFaults();
      return "ok\n";
    }
    if (verb == "counters") {
      const Counters c = counters();
      out << "commands " << c.commands << "\n";
      for (const auto& [header, n] : c.commands_by_header) out << "  " << header << " " << n << "\n";
      out << "aborts " << c.aborts << "\nfcs-errors " << c.fcs_errors << "\nfaults-fired " << c.faults_fired
          << "\nframes-in " << c.frames_in << "\nframes-out " << c.frames_out << "\nbytes-in " << c.bytes_in
          << "\nbytes-out " << c.bytes_out << "\n";
      return out.str();
    }
    if (verb == "dump") {
      long unit;
      std::string a;
      in >> a;
      if (!number(a, 10, &unit)) return "error: usage: dump UNIT\n";
      return Describe(int(unit));
    }
    if (verb == "trace") {
      std::string on;
      in >> on;
      SetTrace(on == "on");
      return "ok\n";
    }
    if (verb == "save" || verb == "load") {
      std::string path;
      in >> path;
      if (path.empty()) return "error: usage: " + verb + " FILE\n";
      const bool done = verb == "save" ? Save(path) : Load(path);
      return done ? "ok\n" : "error: cannot " + verb + " " + path + "\n";
    }
  } catch (const std::exception&) {
    return "error: no such unit or address\n";
  }
  return "error: unknown command '" + verb + "' (try help)\n";
}

}  // namespace hlsim
