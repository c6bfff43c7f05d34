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
constexpr size_t kMaxPartFrame = 128;    // a frame of a multi-frame transfer, delimiter included
// No write command can be longer than one filling the largest area; a
// transfer growing beyond that is cut off instead of growing without end.
constexpr size_t kMaxCommand = 9 + 4 * 10000;
constexpr int kDefaultLateMs = 3000;     // a late reply without a given delay
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
  bool keep_trace = false;  // keep trace lines for TakeTrace

  // Bytes read but not yet used.
  std::string pending;

  explicit Impl(Options o) : options(std::move(o)), random(options.seed) {
    for (int unit : options.units) units[unit];
    tracing = options.trace || bool(options.trace_sink);
    keep_trace = options.trace || !options.trace_sink;
    if (options.pace && options.baud > 0) {
      const int parity_bits = options.parity == 'N' ? 0 : 1;
      const int bits = 1 + options.data_bits + parity_bits + options.stop_bits;
      char_ns = int64_t(bits) * 1000000000 / options.baud;
    }
  }

  // Sleeps ms, in short slices so that Stop is not held up. false on stop.
  bool Pause(int64_t ms) {
    const int64_t end = NowNs() + ms * 1000000;
    while (!stop) {
      const int64_t left = end - NowNs();
      if (left <= 0) return true;
      SleepNs(std::min<int64_t>(left, 20000000));
    }
    return false;
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

  // What a frame means: its unit and header, and a reply's end code.
  static std::string Meaning(char direction, std::string_view bytes) {
    if (bytes.empty()) return "";
    if (bytes == "\r") return "delimiter";
    if (bytes.empty() || bytes[0] != '@') return "continued";
    if (bytes.size() < 5) return "";
    std::string out = "unit " + std::string(bytes.substr(1, 2)) + " " + std::string(bytes.substr(3, 2));
    if (direction == '<' && bytes.substr(3, 2) != "IC" && bytes.size() >= 7)
      out += " end " + std::string(bytes.substr(5, 2));
    return out;
  }

  void Trace(char direction, std::string_view bytes, const std::string& note = "") {
    std::lock_guard<std::mutex> lock(mutex);
    TraceLocked(direction, bytes, note);
  }

  void TraceLocked(char direction, std::string_view bytes, const std::string& note) {
    if (!tracing) return;
    std::string line = Timestamp() + " " + direction + " " + Printable(bytes);
    std::string meaning = Meaning(direction, bytes);
    if (!note.empty()) meaning += (meaning.empty() ? "" : ", ") + note;
    if (!meaning.empty()) line += "  " + meaning;
    if (keep_trace) {
      if (trace.size() >= 100000) trace.erase(trace.begin(), trace.begin() + 50000);  // bounded
      trace.push_back(line);
    }
    if (options.trace_sink) options.trace_sink(line);
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
    const std::string note = fault ? std::string("fault ") + FaultName(kind) : "";
    if (kind == FaultKind::LateReply && !Pause(fault->delay_ms > 0 ? fault->delay_ms : kDefaultLateMs)) return;
    if (options.response_delay_ms > 0 && !Pause(options.response_delay_ms)) return;
    // Noise goes out in one write with the frame it sticks to, as on a wire:
    // a host that has read the frame finds the noise already there.
    const std::string noise_before = kind == FaultKind::GarbageBefore ? "\x15?#noise" : "";
    const std::string noise_after = kind == FaultKind::GarbageAfter ? "#noise\r" : "";
    for (size_t i = 0; i < frames.size(); ++i) {
      const bool last = i + 1 == frames.size();
      char fcs[4];
      std::snprintf(fcs, sizeof fcs, kind == FaultKind::LowerCaseFcs ? "%02x" : "%02X", Fcs(frames[i]));
      if (kind == FaultKind::BadFcs && i == 0) std::snprintf(fcs, sizeof fcs, "%02X", Fcs(frames[i]) ^ 0x5A);
      std::string frame = frames[i] + fcs + (last ? "*\r" : "\r");
      if (kind == FaultKind::Truncated) frame.resize(frame.size() / 2);
      if (kind == FaultKind::LineVanish) {
        WriteBytes(frame.substr(0, frame.size() / 2));
        Trace('<', frame.substr(0, frame.size() / 2), note + ", the line vanishes");
        Vanish();
        return;
      }
      const std::string before = i == 0 ? noise_before : "";
      const std::string after = last ? noise_after : "";
      WriteBytes(before + frame + after);
      {
        std::lock_guard<std::mutex> lock(mutex);
        counters.frames_out++;
      }
      if (!before.empty()) Trace('<', before, note);
      Trace('<', frame, note);
      if (!after.empty()) Trace('<', after, note);
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
  }

  // Like a pulled USB adapter: the line is gone. A new pty is offered after
  // a short while (under the same link name, if one was asked for).
  void Vanish() {
    CloseLine();
    pending.clear();
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (options.link.empty() && options.device.empty()) port.clear();
      counters.lines_lost++;
    }
    if (!Pause(200)) return;
    // A device that does not come back is tried again while serving.
    Reopen();
  }

  void Reopen() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      try {
        OpenLine();
      } catch (const std::exception&) {
        CloseLine();
      }
    }
    handled.notify_all();
  }

  void Serve() {
    std::string text;  // the command assembled from its frames
    bool in_transfer = false;
    while (!stop) {
      std::string line;
      if (master < 0) {
        if (Pause(100)) Reopen();
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
      // Frames of a multi-frame transfer have a smaller limit than one on
      // its own; the transfer as a whole is bounded too.
      const size_t limit = in_transfer || !last ? kMaxPartFrame : kMaxFrame;
      if (line.size() > limit || (in_transfer && text.size() + frame_text.size() > kMaxCommand)) {
        SendReply(echo + (in_transfer ? "A8" : "18"), nullptr);
        in_transfer = false;
        continue;
      }
      if (high < 0 || low < 0 || Fcs(frame_text) != uint8_t(high * 16 + low)) {
        {
          std::lock_guard<std::mutex> lock(mutex);
          counters.fcs_errors++;
        }
        SendReply(echo + (in_transfer ? "A3" : "13"), nullptr);
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
      // Traced with the count, so that whoever waits for the command sees it.
      if (faulty && fault.kind == FaultKind::NoReply) TraceLocked('<', "", "fault no-reply");
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

namespace {

bool ParseNumber(const std::string& text, int base, long min, long max, long* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || isspace(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  errno = 0;
  const long result = std::strtol(text.c_str(), &end, base);
  if (*end != '\0' || errno != 0 || result < min || result > max) return false;
  *value = result;
  return true;
}

// Set-value names are four characters with blanks; in text "_" stands for
// a blank, and a short name is filled up with blanks.
std::string InstructionName(std::string text) {
  for (char& c : text) c = c == '_' ? ' ' : char(toupper(static_cast<unsigned char>(c)));
  while (text.size() < 4) text += ' ';
  return text;
}

std::string TextName(std::string name) {
  for (char& c : name)
    if (c == ' ') c = '_';
  return name;
}

bool ParseMode(const std::string& text, Mode* mode) {
  for (Mode m : {Mode::Program, Mode::Monitor, Mode::Run})
    if (text == ModeName(m)) {
      *mode = m;
      return true;
    }
  return false;
}

// Applies one item of state to a unit: "mode NAME", "AREA ADDR HEX...",
// "FLAG N 0|1", "SV NAME N HEX", "HSB I HEX", "ERROR HEX HEX". Returns ""
// or what is wrong. Nothing is changed when the item is wrong.
std::string ApplyItem(Plc& plc, const std::string& kind_text, std::istream& in) {
  std::string upper = kind_text;
  for (char& c : upper) c = char(toupper(static_cast<unsigned char>(c)));
  std::vector<std::string> args;
  for (std::string arg; in >> arg;) args.push_back(arg);
  long a, b;
  Area area;
  if (upper == "MODE") {
    Mode mode;
    if (args.size() != 1 || !ParseMode(args[0], &mode)) return "mode is program, monitor or run";
    plc.mode = mode;
    return "";
  }
  if (ParseArea(upper, &area)) {
    if (args.size() < 2 || !ParseNumber(args[0], 10, 0, AreaSize(area) - 1, &a))
      return "expected ADDRESS (decimal, within the area) and hex words";
    if (a + long(args.size()) - 1 > AreaSize(area)) return "the words run beyond the area";
    std::vector<uint16_t> values;
    for (size_t i = 1; i < args.size(); ++i) {
      if (!ParseNumber(args[i], 16, 0, 0xFFFF, &b)) return "bad word '" + args[i] + "' (hex, 0-FFFF)";
      values.push_back(uint16_t(b));
    }
    for (size_t i = 0; i < values.size(); ++i) plc.Word(area, int(a + long(i))) = values[i];
    return "";
  }
  if (upper == "FLAG") {
    if (args.size() != 2 || !ParseNumber(args[0], 10, 0, Plc::kTimers - 1, &a) || !ParseNumber(args[1], 10, 0, 1, &b))
      return "expected NUMBER (0-999) and 0 or 1";
    plc.completion_flags[a] = b != 0;
    return "";
  }
  if (upper == "SV") {
    if (args.size() != 3) return "expected NAME NUMBER HEX";
    auto it = plc.set_values.find(InstructionName(args[0]));
    if (it == plc.set_values.end()) return "unknown instruction '" + args[0] + "'";
    if (!ParseNumber(args[1], 10, 0, Plc::kTimers - 1, &a) || !ParseNumber(args[2], 16, 0, 0xFFFF, &b))
      return "expected NAME NUMBER (0-999) HEX";
    it->second[size_t(a)] = uint16_t(b);
    return "";
  }
  if (upper == "HSB") {
    if (args.size() != 2 || !ParseNumber(args[0], 10, 0, 7, &a) || !ParseNumber(args[1], 16, 0, 0xFFFF, &b))
      return "expected INDEX (0-7) and HEX";
    plc.dm_buffer[a] = uint16_t(b);
    return "";
  }
  if (upper == "ERROR") {
    if (args.size() != 2 || !ParseNumber(args[0], 16, 0, 0xFFFF, &a) || !ParseNumber(args[1], 16, 0, 0xFFFF, &b))
      return "expected two hex words";
    plc.error_words[0] = uint16_t(a);
    plc.error_words[1] = uint16_t(b);
    return "";
  }
  return "unknown item '" + kind_text + "'";
}

std::string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
  return text;
}

}  // namespace

Simulator::Simulator(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Simulator::~Simulator() { Stop(); }

void Simulator::Start() {
  if (impl_->thread.joinable()) return;
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
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->CloseLine();
  if (!impl_->options.link.empty()) unlink(impl_->options.link.c_str());
}

std::string Simulator::port_name() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->port;
}

namespace {
void CheckIndex(int index, int size, const char* what) {
  if (index < 0 || index >= size) throw std::out_of_range(std::string(what) + " out of range");
}
}  // namespace

void Simulator::SetWord(int unit, Area area, int address, uint16_t value) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  CheckIndex(address, AreaSize(area), "address");
  impl_->UnitOf(unit).Word(area, address) = value;
}
uint16_t Simulator::GetWord(int unit, Area area, int address) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  CheckIndex(address, AreaSize(area), "address");
  return impl_->UnitOf(unit).Word(area, address);
}
void Simulator::SetCompletionFlag(int unit, int number, bool on) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  CheckIndex(number, Plc::kTimers, "timer/counter number");
  impl_->UnitOf(unit).completion_flags[number] = on;
}
bool Simulator::GetCompletionFlag(int unit, int number) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  CheckIndex(number, Plc::kTimers, "timer/counter number");
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
  CheckIndex(index, 8, "buffer index");
  impl_->UnitOf(unit).dm_buffer[index] = value;
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
  if (fault.count == 0) return;  // hits no command
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
bool Simulator::WaitForLine(uint64_t lost, int timeout_ms) {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->handled.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                 [&] { return impl_->counters.lines_lost >= lost && impl_->master >= 0; });
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
        std::snprintf(line, sizeof line, "%02d SV %s %zu %04X\n", unit, TextName(name).c_str(), i, values[i]);
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
  std::vector<int> unit_numbers;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (const auto& entry : impl_->units) unit_numbers.push_back(entry.first);
  }
  std::string text =
      "# hostlink-sim state: UNIT ITEM ...; words and set values in hex, addresses in decimal;\n"
      "# only non-zero words and flags are listed; '_' stands for a blank in a set-value name\n";
  for (int unit : unit_numbers) text += Describe(unit);
  // Written beside the file and renamed over it, so that a failed save
  // leaves the previous file whole.
  const std::string temporary = path + ".tmp";
  {
    std::ofstream file(temporary, std::ios::trunc);
    if (!file) return false;
    file << text;
    file.flush();
    if (!file) {
      unlink(temporary.c_str());
      return false;
    }
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

bool Simulator::Load(const std::string& path, std::string* error) {
  std::ifstream file(path);
  if (!file) {
    if (error) *error = "cannot read " + path;
    return false;
  }
  std::map<int, Plc> loaded;  // fresh units, filled from the file
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    std::istringstream in(line);
    std::string unit_text, kind;
    if (!(in >> unit_text) || unit_text[0] == '#') continue;
    long unit;
    std::string what;
    if (!ParseNumber(unit_text, 10, 0, 99, &unit)) {
      what = "bad unit '" + unit_text + "'";
    } else {
      bool served;
      {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        served = impl_->units.count(int(unit)) > 0;
      }
      if (!served) what = "unit " + unit_text + " is not served";
      else if (!(in >> kind)) what = "nothing after the unit";
      else what = ApplyItem(loaded[int(unit)], kind, in);
    }
    if (!what.empty()) {
      if (error) *error = path + ":" + std::to_string(number) + ": " + what;
      return false;
    }
  }
  if (file.bad()) {
    if (error) *error = "cannot read " + path;
    return false;
  }
  std::lock_guard<std::mutex> lock(impl_->mutex);
  for (auto& [unit, plc] : loaded) impl_->units[unit] = std::move(plc);
  return true;
}

const char* Simulator::ControlHelp() {
  return "Control commands (one per line on standard input; each answered with 'ok', the value, or\n"
         "'error: ...'). UNIT is 0-99, ADDR and N decimal, values hex:\n"
         "  get UNIT AREA ADDR [COUNT]       words (AREA: DM IR HR LR AR TC, TC = timer/counter PV)\n"
         "  set UNIT AREA ADDR HEX...        consecutive words from ADDR\n"
         "  flag UNIT N [0|1]                completion flag of timer/counter N: read or set\n"
         "  sv UNIT NAME N [HEX]             set value by instruction (TIM TIMH CNT CNTR TMS TIMW CNTW TMHW)\n"
         "  hsb UNIT I [HEX]                 DM high-speed buffer word I (0-7), what CR reports\n"
         "  error UNIT [HEX HEX]             the two error information words, what MF reports\n"
         "  mode UNIT [program|monitor|run]  operating mode: read or set\n"
         "  fault KIND [header=XX] [count=N] [prob=P] [code=HH] [delay=MS] [unit=U]\n"
         "                                   arm a fault: the next N matching commands (count=-1: no end;\n"
         "                                   default 1), each hit with probability P (default 1)\n"
         "      kinds: no-reply late-reply (delay, default 3000 ms) bad-fcs lower-case-fcs wrong-unit\n"
         "             wrong-header end-code (code, default 15) ic truncated garbage-before\n"
         "             garbage-after stall-delimiter (multi-frame commands) line-vanish\n"
         "  faults                           list the armed faults\n"
         "  clear-faults                     disarm every fault\n"
         "  counters [reset]                 commands per header, aborts, FCS errors, faults fired, frames\n"
         "  dump UNIT                        the unit's state in the save-file form\n"
         "  trace on|off                     every frame in and out, timestamped and decoded\n"
         "  save FILE | load FILE            state to or from a text file (load resets the units it names)\n"
         "  help | quit\n";
}

std::string Simulator::Control(const std::string& line, bool* quit) {
  std::istringstream in(line);
  std::string verb;
  in >> verb;
  std::ostringstream out;
  auto error = [](const std::string& what) { return "error: " + what + "\n"; };
  // The unit of a command: a served unit number, else an error text.
  auto unit_of = [&](long* unit) -> std::string {
    std::string text;
    if (!(in >> text) || !ParseNumber(text, 10, 0, 99, unit)) return "expected a unit number 0-99";
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!impl_->units.count(int(*unit))) return "unit " + text + " is not served";
    return "";
  };

  if (verb.empty() || verb[0] == '#') return "";
  if (verb == "quit" || verb == "exit") {
    *quit = true;
    return "ok\n";
  }
  if (verb == "help") return ControlHelp();
  long unit;
  if (verb == "get") {
    std::string what = unit_of(&unit);
    if (!what.empty()) return error(what);
    std::string area_text, address_text, count_text;
    in >> area_text >> address_text >> count_text;
    Area area;
    long address, count = 1;
    if (!ParseArea(area_text, &area)) return error("unknown area '" + area_text + "' (DM IR HR LR AR TC)");
    if (!ParseNumber(address_text, 10, 0, AreaSize(area) - 1, &address)) return error("bad address");
    if (!count_text.empty() && !ParseNumber(count_text, 10, 1, AreaSize(area), &count)) return error("bad count");
    if (address + count > AreaSize(area)) return error("beyond the area");
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const Plc& plc = impl_->units.at(int(unit));
    for (long i = 0; i < count; ++i) out << (i ? " " : "") << Hex4(plc.Word(area, int(address + i)));
    out << "\n";
    return out.str();
  }
  if (verb == "set") {
    std::string what = unit_of(&unit);
    if (!what.empty()) return error(what);
    std::string area_text;
    in >> area_text;
    Area area;
    if (!ParseArea(area_text, &area)) return error("unknown area '" + area_text + "' (DM IR HR LR AR TC)");
    std::lock_guard<std::mutex> lock(impl_->mutex);
    what = ApplyItem(impl_->units.at(int(unit)), area_text, in);
    return what.empty() ? "ok\n" : error(what);
  }
  if (verb == "flag" || verb == "sv" || verb == "hsb" || verb == "error" || verb == "mode") {
    std::string what = unit_of(&unit);
    if (!what.empty()) return error(what);
    std::vector<std::string> args;
    for (std::string arg; in >> arg;) args.push_back(arg);
    // How many words name the item; with nothing behind them it is read.
    const size_t key_words = verb == "sv" ? 2 : verb == "flag" || verb == "hsb" ? 1 : 0;
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Plc& plc = impl_->units.at(int(unit));
    if (args.size() == key_words) {
      long n;
      if (verb == "mode") return std::string(ModeName(plc.mode)) + "\n";
      if (verb == "error") return Hex4(plc.error_words[0]) + " " + Hex4(plc.error_words[1]) + "\n";
      if (verb == "flag") {
        if (!ParseNumber(args[0], 10, 0, Plc::kTimers - 1, &n)) return error("bad number (0-999)");
        return plc.completion_flags[n] ? "1\n" : "0\n";
      }
      if (verb == "hsb") {
        if (!ParseNumber(args[0], 10, 0, 7, &n)) return error("bad index (0-7)");
        return Hex4(plc.dm_buffer[n]) + "\n";
      }
      auto it = plc.set_values.find(InstructionName(args[0]));
      if (it == plc.set_values.end()) return error("unknown instruction '" + args[0] + "'");
      if (!ParseNumber(args[1], 10, 0, Plc::kTimers - 1, &n)) return error("bad number (0-999)");
      return Hex4(it->second[size_t(n)]) + "\n";
    }
    std::string item;
    for (const std::string& arg : args) item += arg + " ";
    std::istringstream rest(item);
    what = ApplyItem(plc, verb, rest);
    return what.empty() ? "ok\n" : error(what);
  }
  if (verb == "fault") {
    std::string kind_text, option;
    in >> kind_text;
    Fault fault;
    if (!ParseFaultKind(kind_text, &fault.kind)) return error("unknown fault kind '" + kind_text + "' (see help)");
    while (in >> option) {
      const size_t eq = option.find('=');
      if (eq == std::string::npos) return error("options are name=value");
      const std::string key = option.substr(0, eq), value = option.substr(eq + 1);
      long n;
      char* end = nullptr;
      if (key == "header" && value.size() == 2) {
        fault.header = value;
      } else if (key == "count" && (value == "-1" || ParseNumber(value, 10, 1, 1000000000, &n))) {
        fault.count = value == "-1" ? -1 : int(n);
      } else if (key == "prob" && !value.empty() && (fault.probability = std::strtod(value.c_str(), &end), *end == '\0') &&
                 fault.probability >= 0 && fault.probability <= 1) {
      } else if (key == "code" && ParseNumber(value, 16, 0, 0xFF, &n)) {
        fault.end_code = int(n);
      } else if (key == "delay" && ParseNumber(value, 10, 0, 3600000, &n)) {
        fault.delay_ms = int(n);
      } else if (key == "unit" && ParseNumber(value, 10, 0, 99, &n)) {
        fault.unit = int(n);
      } else {
        return error("bad option '" + option + "'");
      }
    }
    ArmFault(fault);
    return "ok\n";
  }
  if (verb == "faults") {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (const Fault& f : impl_->faults) {
      out << FaultName(f.kind) << " header=" << (f.header.empty() ? "any" : f.header) << " count=" << f.count
          << " prob=" << f.probability << " code=" << Hex4(unsigned(f.end_code)).substr(2) << " delay=" << f.delay_ms
          << " unit=" << (f.unit < 0 ? std::string("any") : std::to_string(f.unit)) << "\n";
    }
    if (impl_->faults.empty()) out << "none\n";
    return out.str();
  }
  if (verb == "clear-faults") {
    ClearFaults();
    return "ok\n";
  }
  if (verb == "counters") {
    std::string what;
    in >> what;
    if (what == "reset") {
      ResetCounters();
      return "ok\n";
    }
    if (!what.empty()) return error("usage: counters [reset]");
    const Counters c = counters();
    out << "commands " << c.commands << "\n";
    for (const auto& [header, n] : c.commands_by_header) out << "  " << header << " " << n << "\n";
    out << "aborts " << c.aborts << "\nfcs-errors " << c.fcs_errors << "\nfaults-fired " << c.faults_fired
        << "\nframes-in " << c.frames_in << "\nframes-out " << c.frames_out << "\nbytes-in " << c.bytes_in
        << "\nbytes-out " << c.bytes_out << "\nlines-lost " << c.lines_lost << "\n";
    return out.str();
  }
  if (verb == "dump") {
    std::string what = unit_of(&unit);
    if (!what.empty()) return error(what);
    return Describe(int(unit));
  }
  if (verb == "trace") {
    std::string on;
    in >> on;
    if (on != "on" && on != "off") return error("usage: trace on|off");
    SetTrace(on == "on");
    return "ok\n";
  }
  if (verb == "save" || verb == "load") {
    std::string path;
    in >> path;
    if (path.empty()) return error("usage: " + verb + " FILE");
    std::string what = "cannot write " + path;
    const bool done = verb == "save" ? Save(path) : Load(path, &what);
    return done ? "ok\n" : error(what);
  }
  return error("unknown command '" + verb + "' (try help)");
}

}  // namespace hlsim
