// hostlink-poll: read and write Omron PLC memory from a shell through the
// KIVHNOM driver, loaded and driven exactly as a supervision host does.
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kivhnom/kivhnom.h"
#include "kivhnom/morvek.h"
#include "simulator.h"

namespace {

volatile std::sig_atomic_t g_interrupted = 0;
void OnSignal(int) { g_interrupted = 1; }

// Local time of day for the trace and the driver's lines; with the date
// (ISO 8601) for the records of CSV and JSON logs.
std::string Now(bool with_date = false) {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local;
  localtime_r(&ts.tv_sec, &local);
  char buffer[64];
  char* p = buffer;
  if (with_date)
    p += std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  std::snprintf(p, sizeof buffer - size_t(p - buffer), "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min,
                local.tm_sec, ts.tv_nsec / 1000000);
  return buffer;
}

int64_t MonotonicMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// --- The host module's sink: driver lines, shown with -v, kept for errors.
struct DriverLog {
  std::mutex mutex;
  bool verbose = false;
  bool probing = false;  // the gate-type probe's refusal is not news
  std::vector<std::string> recent;
} g_log;

void Sink(void*, int level, const char* line) {
  std::lock_guard<std::mutex> lock(g_log.mutex);
  if (g_log.verbose && !g_log.probing) std::fprintf(stderr, "%s driver[%d] %s\n", Now().c_str(), level, line);
  g_log.recent.push_back(line);
  if (g_log.recent.size() > 64) g_log.recent.erase(g_log.recent.begin());
}

std::vector<std::string> TakeDriverLines() {
  std::lock_guard<std::mutex> lock(g_log.mutex);
  std::vector<std::string> lines;
  lines.swap(g_log.recent);
  return lines;
}

// --- Loading the driver as a host does.
using KivMainFn = int32_t (*)(KivRequest*);

KivMainFn LoadDriver(std::string* error) {
  char self[PATH_MAX] = {};
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir = n > 0 ? std::string(self, size_t(n)) : std::string(".");
  dir = dir.substr(0, dir.find_last_of('/'));
  const std::string candidates[] = {dir + "/../libkivhnom.so", dir + "/../lib/libkivhnom.so",
                                    dir + "/../" CMAKE_INSTALL_LIBDIR_HINT "/libkivhnom.so", "libkivhnom.so"};
  // The first library that exists but fails to load names the real cause
  // (a missing dependency, say); a later "not found" must not hide it.
  for (const std::string& path : candidates) {
    if (path.front() == '/' && access(path.c_str(), F_OK) != 0) continue;
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
      if (error->empty()) *error = dlerror();
      continue;
    }
    if (auto* entry = reinterpret_cast<KivMainFn>(dlsym(library, "KivMain"))) return entry;
    if (error->empty()) *error = path + " has no KivMain";
  }
  if (error->empty()) *error = "libkivhnom.so not found";
  return nullptr;
}

// --- A gate of the command line.
enum class Kind { Word, Digital, Float, Long, String };

struct Gate {
  std::string text;
  Kind kind = Kind::Word;
  bool long_bcd = false;
  bool status = false;
  int32_t count = 1;
  GateIo io{};
  std::vector<uint8_t> storage;
};

int32_t TypeOf(Kind kind) {
  switch (kind) {
    case Kind::Word: return KIV_GATE_16BIT_0;
    case Kind::Digital: return KIV_GATE_DIGITAL;
    case Kind::Float: return KIV_GATE_FLOAT;
    case Kind::Long: return KIV_GATE_32BIT_4;
    case Kind::String: return KIV_GATE_STRING;
  }
  return 0;
}

Kind KindOf(const PlcAddress& a) {
  const uint32_t high = a.area >> 8;
  if (a.bit != -1 || (a.area & 0xFFFFFFFF) == 0x3023) return Kind::Digital;
  if (((a.area >> 8) & 0xFF) == 'S') return Kind::String;
  if (high == 'F') return Kind::Float;
  if (high == 'L' || high == 'B') return Kind::Long;
  return Kind::Word;
}

const struct {
  const char* name;
  Kind kind;
} kKindNames[] = {{"word", Kind::Word},   {"16", Kind::Word},   {"digital", Kind::Digital}, {"bit", Kind::Digital},
                  {"float", Kind::Float}, {"long", Kind::Long}, {"32", Kind::Long},         {"string", Kind::String}};

bool ParseKind(const std::string& name, Kind* kind) {
  for (const auto& k : kKindNames)
    if (name == k.name) {
      *kind = k.kind;
      return true;
    }
  return false;
}

class Host {
 public:
  Host(KivMainFn entry, uint32_t channel) : entry_(entry), channel_number_(channel) {
    channel_ = std::make_unique<ChannelContext>();
    std::memset(channel_.get(), 0, sizeof *channel_);
  }
  int32_t Call(uint32_t opcode, void* params) {
    KivRequest request{channel_.get(), opcode, channel_number_, 0, params};
    return entry_(&request);
  }
  ChannelContext& channel() { return *channel_; }

 private:
  KivMainFn entry_;
  uint32_t channel_number_;
  std::unique_ptr<ChannelContext> channel_;
};

// Configures a gate: the driver parses and checks its address; the gate
// type follows from the parsed address unless the user named one.
bool Configure(Host& host, Gate& gate, const std::string* forced_type) {
  GateDefinition definition{gate.text.c_str(), 0, -1, gate.count, {}};
  const uint32_t opcode = gate.count == 1 ? KIV_OP_SINGLE_ADDRESS_PARSER : KIV_OP_BLOCK_ADDRESS_PARSER;
  TakeDriverLines();
  g_log.probing = true;
  int32_t result = host.Call(opcode, &definition);
  g_log.probing = false;
  if (result != KIV_OK) {
    // A refusal of the gate type alone still leaves the parsed address.
    const auto lines = TakeDriverLines();
    for (const std::string& line : lines)
      if (line.rfind("DUVAD> Parse()", 0) == 0 || line.rfind("DUVAD> BlockParse()", 0) == 0) {
        std::cerr << "hostlink-poll: " << gate.text << ": " << line << "\n";
        return false;
      }
  }
  gate.kind = KindOf(definition.address);
  if (forced_type && !ParseKind(*forced_type, &gate.kind)) {
    std::cerr << "hostlink-poll: unknown type " << *forced_type << "\n";
    return false;
  }
  definition.gate_type = TypeOf(gate.kind);
  result = host.Call(opcode, &definition);
  if (result != KIV_OK) {
    for (const std::string& line : TakeDriverLines()) std::cerr << "hostlink-poll: " << gate.text << ": " << line << "\n";
    return false;
  }
  const PlcAddress& a = definition.address;
  gate.long_bcd = (a.area >> 8) == 'B';
  gate.status = (a.area & 0xFF) == 'S';
  const uint32_t string_length = (a.area >> 8 & 0xFF) == 'S' ? a.area >> 16 : 0;
  size_t size = 4;
  if (gate.count > 1) {
    if (gate.kind == Kind::String) size = size_t(gate.count) * KIV_STRING_SLOT_SIZE;
    else size = size_t(gate.count) * 4;
  } else if (gate.kind == Kind::String) {
    size = string_length + 1;
  }
  gate.storage.assign(std::max<size_t>(size, 4), 0);
  gate.io = GateIo{gate.text.c_str(), 0, a, definition.gate_type, gate.count, 0, gate.storage.data(), 0};
  return true;
}

uint16_t Word16(const Gate& gate, size_t i) {
  uint16_t value;
  std::memcpy(&value, gate.storage.data() + (gate.count == 1 ? 2 : 2 * i), 2);
  return value;
}
uint32_t Word32(const Gate& gate, size_t i) {
  uint32_t value;
  std::memcpy(&value, gate.storage.data() + 4 * i, 4);
  return value;
}

// Plain: for people (hex beside words, quoted strings, the mode of a
// status word). CSV: bare values, a block's elements separated by blanks.
// JSON: numbers, strings and arrays.
enum class Format { Plain, Csv, Json };

std::string FormatElement(const Gate& gate, size_t i, Format format) {
  const bool json = format == Format::Json;
  char buffer[128];
  switch (gate.kind) {
    case Kind::Word:
      if (format == Format::Plain) std::snprintf(buffer, sizeof buffer, "%u (0x%04X)", Word16(gate, i), Word16(gate, i));
      else std::snprintf(buffer, sizeof buffer, "%u", Word16(gate, i));
      return buffer;
    case Kind::Digital:
      if (gate.count > 1) return std::to_string(gate.storage[i]);
      return std::to_string(Word16(gate, i));
    case Kind::Float: {
      float value;
      std::memcpy(&value, gate.storage.data() + 4 * i, 4);
      // JSON has no NaN or infinity; an IEEE word from the PLC may hold one.
      if (json && !std::isfinite(value)) return "null";
      std::snprintf(buffer, sizeof buffer, "%.7g", double(value));
      return buffer;
    }
    case Kind::Long:
      if (gate.long_bcd) return std::to_string(Word32(gate, i));
      return std::to_string(int32_t(Word32(gate, i)));
    case Kind::String: {
      const char* text = reinterpret_cast<const char*>(gate.storage.data() + (gate.count == 1 ? 0 : KIV_STRING_SLOT_SIZE * i));
      const char* quote = format == Format::Plain ? "'" : json ? "\"" : "";
      std::string out = quote;
      // Control bytes, and in JSON bytes above 0x7E (the PLC's text need
      // not be UTF-8), are escaped so that every line stays one record.
      for (const char* p = text; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (json && (c == '"' || c == '\\')) out += '\\';
        if (c < 0x20 || (json && c > 0x7E)) {
          std::snprintf(buffer, sizeof buffer, "\\u%04x", unsigned(c));
          out += buffer;
        } else {
          out += *p;
        }
      }
      return out + quote;
    }
  }
  return "?";
}

std::string FormatValue(const Gate& gate, Format format) {
  if (gate.count == 1) {
    std::string text = FormatElement(gate, 0, format);
    if (gate.status && format == Format::Plain) {
      const unsigned mode = (Word16(gate, 0) >> 8) & 3;
      text += mode == 0 ? " PROGRAM" : mode == 2 ? " RUN" : mode == 3 ? " MONITOR" : "";
    }
    return text;
  }
  const bool json = format == Format::Json;
  std::string out = json ? "[" : "";
  for (int32_t i = 0; i < gate.count; ++i) {
    if (i) out += json ? "," : " ";
    out += FormatElement(gate, size_t(i), format);
  }
  return out + (json ? "]" : "");
}

std::vector<std::string> SplitValues(const std::vector<std::string>& args) {
  std::vector<std::string> values;
  for (const std::string& arg : args) {
    size_t from = 0;
    for (;;) {
      const size_t comma = arg.find(',', from);
      values.push_back(arg.substr(from, comma - from));
      if (comma == std::string::npos) break;
      from = comma + 1;
    }
  }
  return values;
}

// Decimal, or hexadecimal after "0x"; never octal, so that 010 is ten.
bool ParseInteger(const std::string& text, long long* value) {
  const size_t digits = text[0] == '-' || text[0] == '+' ? 1 : 0;
  const bool hex = text.size() > digits + 2 && text[digits] == '0' && (text[digits + 1] | 0x20) == 'x';
  if (text.size() == digits || !std::isalnum(static_cast<unsigned char>(text[digits]))) return false;
  char* end = nullptr;
  errno = 0;
  *value = std::strtoll(text.c_str(), &end, hex ? 16 : 10);
  return *end == 0 && errno == 0;
}

bool BadValue(const Gate& gate, const std::string& text) {
  std::cerr << "hostlink-poll: bad value '" << text << "' for " << gate.text << "\n";
  return false;
}

// Puts the user's values into the gate's storage, in the layout the driver
// reads. A string is written as given, commas included; numbers of a block
// may be given comma-separated or as repeated -w options.
bool StoreValues(Gate& gate, const std::vector<std::string>& args) {
  if (gate.kind == Kind::String) {
    if (args.size() != 1) {
      std::cerr << "hostlink-poll: " << gate.text << " takes one string, " << args.size() << " given\n";
      return false;
    }
    const std::string& text = args[0];
    const size_t length = gate.storage.size() - 1;
    if (text.size() > length) {
      std::cerr << "hostlink-poll: '" << text << "' is longer than " << length << " characters\n";
      return false;
    }
    std::fill(gate.storage.begin(), gate.storage.end(), 0);
    std::memcpy(gate.storage.data(), text.data(), text.size());
    return true;
  }
  const std::vector<std::string> values = SplitValues(args);
  const size_t elements = size_t(gate.count);
  if (values.size() != elements) {
    std::cerr << "hostlink-poll: " << gate.text << " takes " << elements << " value(s), " << values.size()
              << " given\n";
    return false;
  }
  for (size_t i = 0; i < values.size(); ++i) {
    const std::string& text = values[i];
    // strtol and friends take "" and leading blanks as 0 and skip them; a
    // value the user did not type must never be written.
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return BadValue(gate, text);
    switch (gate.kind) {
      case Kind::Word:
      case Kind::Digital: {
        long long value;
        const long long min = gate.kind == Kind::Word ? -32768 : 0;
        const long long max = gate.kind == Kind::Digital ? 1 : 0xFFFF;
        if (!ParseInteger(text, &value) || value < min || value > max) return BadValue(gate, text);
        const uint16_t word = uint16_t(value);
        if (gate.count == 1) std::memcpy(gate.storage.data() + 2, &word, 2);
        else if (gate.io.address.width == 8) gate.storage[i] = uint8_t(word);
        else std::memcpy(gate.storage.data() + 2 * i, &word, 2);
        break;
      }
      case Kind::Float: {
        char* end = nullptr;
        const float value = std::strtof(text.c_str(), &end);
        if (*end) return BadValue(gate, text);
        std::memcpy(gate.storage.data() + 4 * i, &value, 4);
        break;
      }
      case Kind::Long: {
        long long value;
        if (!ParseInteger(text, &value) || value < INT32_MIN || value > UINT32_MAX) return BadValue(gate, text);
        const uint32_t word = uint32_t(value);
        std::memcpy(gate.storage.data() + 4 * i, &word, 4);
        break;
      }
      case Kind::String:
        break;
    }
  }
  return true;
}

// The driver says only that a port did not open; the system says why.
std::string PortHint(const std::string& name) {
  const std::string path = name.front() == '/' ? name : "/dev/" + name;
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    const bool busy = flock(fd, LOCK_EX | LOCK_NB) != 0;
    const bool tty = isatty(fd);
    close(fd);
    if (!tty) return path + " is not a serial line";
    if (busy) return path + " is held by another program (the driver opens ports exclusively)";
    return path + " opens, but the driver could not set it up (a line setting it cannot take?)";
  }
  const int error = errno;
  std::string text = path + ": " + std::strerror(error);
  if (error == EACCES) text += " (is the user in the device's group, e.g. dialout?)";
  if (error == EBUSY) text += " (held exclusively by another program)";
  return text;
}

// --- Frames on the wire for a real port: the tool holds the device and
// relays it through a pty that the driver opens, printing each frame.
class Tap {
 public:
  // Opens and sets up the device as the driver would, and offers the driver
  // a pty instead. Returns an empty text, or why it could not.
  std::string Start(const std::string& device, const LineSettings& line, std::string* driver_port) {
    device_ = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (device_ < 0) return "cannot open " + device + ": " + std::strerror(errno);
    // The same exclusive claim the driver makes, so that no other program
    // talks on the line while the tap holds it.
    if (flock(device_, LOCK_EX | LOCK_NB) != 0 || ioctl(device_, TIOCEXCL) != 0)
      return device + " is in use: " + std::strerror(errno);
    termios tio{};
    if (tcgetattr(device_, &tio) != 0) return device + " is not a serial line: " + std::strerror(errno);
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= line.data_bits == 7 ? CS7 : line.data_bits == 6 ? CS6 : line.data_bits == 5 ? CS5 : CS8;
    switch (line.parity) {
      case 1: tio.c_cflag |= PARENB | PARODD; break;
      case 2: tio.c_cflag |= PARENB; break;
      case 3: tio.c_cflag |= PARENB | PARODD | CMSPAR; break;  // mark
      case 4: tio.c_cflag |= PARENB | CMSPAR; break;           // space
      default: break;
    }
    if (line.parity != 0) tio.c_iflag |= INPCK;  // a character with a parity error is dropped, not relayed
    if (line.stop_bits == 2) tio.c_cflag |= CSTOPB;
    const struct { int baud; speed_t speed; } speeds[] = {
        {50, B50},     {75, B75},       {110, B110},     {134, B134},     {150, B150},   {200, B200},
        {300, B300},   {600, B600},     {1200, B1200},   {1800, B1800},   {2400, B2400}, {4800, B4800},
        {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}};
    const auto* speed = std::find_if(std::begin(speeds), std::end(speeds),
                                     [&](const auto& s) { return s.baud == line.baud_rate; });
    if (speed == std::end(speeds)) return "baud rate " + std::to_string(line.baud_rate) + " is not a standard rate";
    cfsetspeed(&tio, speed->speed);
    // The ioctl rather than tcsetattr: glibc reads the settings back and
    // calls a pty's CS8 a failure. The check below is ours instead: a pty
    // has no data bits or parity of its own, a real line must hold them all.
    termios held{};
    if (ioctl(device_, TCSETS, &tio) != 0 || tcgetattr(device_, &held) != 0)
      return "cannot set up " + device + ": " + std::strerror(errno);
    struct stat st{};
    const bool pty = fstat(device_, &st) == 0 && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
    const tcflag_t line_bits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
    if (cfgetospeed(&held) != speed->speed || (!pty && (held.c_cflag & line_bits) != (tio.c_cflag & line_bits)))
      return device + " does not take these line settings";
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[64];
    if (master_ < 0 || grantpt(master_) || unlockpt(master_) || ptsname_r(master_, name, sizeof name))
      return std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);  // keeps the pty up between the driver's opens
    *driver_port = std::string(name).substr(5);
    thread_ = std::thread([this] { Relay(); });
    return "";
  }
  ~Tap() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (int fd : {device_, master_, slave_})
      if (fd >= 0) close(fd);
  }

 private:
  // Writes all bytes; a side that takes nothing for 2 s loses them.
  static void WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
      const ssize_t n = write(fd, data, size);
      if (n > 0) {
        data += n;
        size -= size_t(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      pollfd out{fd, POLLOUT, 0};
      if (n < 0 && errno != EAGAIN) return;
      if (poll(&out, 1, 2000) <= 0) return;
    }
  }
  static std::string Printable(const std::string& frame) {
    std::string out;
    for (unsigned char c : frame) {
      if (c >= 0x20 && c < 0x7F) {
        out += char(c);
      } else {
        char hex[8];
        std::snprintf(hex, sizeof hex, "<%02X>", unsigned(c));
        out += hex;
      }
    }
    return out;
  }
  void Relay() {
    std::string pending[2];
    while (!stop_) {
      pollfd fds[2] = {{master_, POLLIN, 0}, {device_, POLLIN, 0}};
      if (poll(fds, 2, 50) <= 0) continue;
      if (!(fds[1].revents & POLLIN) && (fds[1].revents & (POLLHUP | POLLERR))) {
        // A pulled adapter: stop relaying, so that the driver sees a silent
        // line and reports its reads as failed, instead of spinning here.
        std::fprintf(stderr, "%s hostlink-poll: the serial device hung up\n", Now().c_str());
        return;
      }
      for (int side = 0; side < 2; ++side) {
        if (!(fds[side].revents & POLLIN)) continue;
        char buffer[512];
        const ssize_t n = read(fds[side].fd, buffer, sizeof buffer);
        if (n <= 0) continue;
        WriteAll(side == 0 ? device_ : master_, buffer, size_t(n));
        pending[side].append(buffer, size_t(n));
        size_t cr;
        while ((cr = pending[side].find('\r')) != std::string::npos) {
          const std::string frame = Printable(pending[side].substr(0, cr));
          std::fprintf(stderr, "%s %s %s<CR>\n", Now().c_str(), side == 0 ? "host>" : "<plc ", frame.c_str());
          pending[side].erase(0, cr + 1);
        }
      }
    }
  }
  int device_ = -1, master_ = -1, slave_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "hostlink-poll: read and write Omron SYSMAC PLC memory over Host Link through the KIVHNOM driver.\n"
      "ADDRESS is the driver's address text, e.g. 001000 (DM 1000 of unit 00), 00100012 (bit 12),\n"
      "001000F (float), 001000L / 001000B (32-bit / long BCD), 001000S20 (20-character string),\n"
      "00I1234 (IR), 00H10, 00L10, 00A100, 00T0123 (timer PV), 05V0123 (completion flag),\n"
      "00V1123 (TIM set value), 00SR (status), 00E10000 (error information), 00D3 (DM high-speed buffer).\n"
      "Without -p the built-in simulator is used."};
  std::vector<std::string> addresses;
  std::string port, parity = "even", type, format = "plain", sim_load, sim_mode = "run";
  int baud = 9600, data_bits = 7, stop_bits = 2, timeout_ms = 1000, interval_ms = 1000, polls = 0, gap_ms = -1;
  uint32_t channel = 0;
  int32_t count = 1;
  std::vector<int> ieee_units;
  std::vector<std::string> write_values;
  bool loop = false, verbose = false, trace = false, csv = false, json = false;

  app.add_option("address", addresses, "gate address text(s)")->required();
  auto* port_option = app.add_option("-p,--port", port, "serial port: ttyS0, ttyUSB0, pts/3 or a path (11 characters at most)");
  // The standard rates the driver's 16-bit field can carry.
  app.add_option("-b,--baud", baud, "baud rate (default 9600)")
      ->check(CLI::IsMember({50, 75, 110, 134, 150, 200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600}));
  app.add_option("-d,--data-bits", data_bits, "data bits, 5-8 (default 7)")->check(CLI::Range(5, 8));
  app.add_option("-s,--stop-bits", stop_bits, "stop bits, 1 or 2 (default 2)")->check(CLI::Range(1, 2));
  app.add_option("-P,--parity", parity, "none, odd, even, mark or space (default even)")
      ->check(CLI::IsMember({"none", "odd", "even", "mark", "space"}));
  app.add_option("-t,--timeout", timeout_ms, "reply timeout in ms, 10 ms steps (default 1000)")->check(CLI::Range(10, 600000));
  app.add_option("--channel", channel, "channel number (names the DUVAD<n>.INT initialisation file)");
  app.add_option("--ieee", ieee_units, "unit numbers whose floats are IEEE (repeatable; default BCD float)")
      ->check(CLI::Range(0, 99))
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->allow_extra_args(false);
  app.add_option("--gap", gap_ms, "pause before each frame, ms (default: the initialisation file's, else 0)")
      ->check(CLI::Range(0, 10000));
  app.add_option("-c,--count", count, "number of elements: reads and writes a block")->check(CLI::Range(1, 9999));
  std::vector<std::string> type_names;
  for (const auto& k : kKindNames) type_names.push_back(k.name);
  app.add_option("-T,--type", type, "gate type instead of the one the address implies: word, digital, float, long, string")
      ->check(CLI::IsMember(type_names));
  app.add_option("-w,--write", write_values,
                 "write instead of reading: one value, a string as given, or a block's values (comma-separated "
                 "or repeated -w); integers are decimal or 0x hexadecimal")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->allow_extra_args(false);
  app.add_flag("-l,--loop", loop, "poll until Ctrl-C (or -n polls)");
  app.add_option("-i,--interval", interval_ms, "poll interval in ms (default 1000)")->check(CLI::Range(0, 3600000));
  app.add_option("-n,--polls", polls, "number of polls; implies -l (default: no end)")->check(CLI::Range(0, 1000000000));
  auto* csv_flag = app.add_flag("--csv", csv, "CSV output: time,address,result,value");
  app.add_flag("--json", json, "JSON output: one object per poll")->excludes(csv_flag);
  app.add_flag("-v,--verbose", verbose, "show the driver's log lines (stderr)");
  app.add_flag("--trace", trace, "show the frames on the wire with timestamps (stderr)");
  app.add_option("--sim-load", sim_load, "built-in simulator: load memory from this file (hostlink-sim's format)")
      ->excludes(port_option);
  app.add_option("--sim-mode", sim_mode, "built-in simulator: initial mode (default run)")
      ->check(CLI::IsMember({"program", "monitor", "run"}))
      ->excludes(port_option);
  CLI11_PARSE(app, argc, argv);
  if (!write_values.empty() && addresses.size() != 1)
    return app.exit(CLI::ValidationError("--write", "writes one address at a time"));
  if (polls > 0) loop = true;

  g_log.verbose = verbose;
  morvek_set_sink(Sink, nullptr);
  std::string load_error;
  const KivMainFn entry = LoadDriver(&load_error);
  if (!entry) {
    std::cerr << "hostlink-poll: cannot load the driver: " << load_error << "\n";
    return 2;
  }

  // The built-in simulator when no port is given.
  std::unique_ptr<hlsim::Simulator> sim;
  std::unique_ptr<Tap> tap;
  std::string driver_port = port;
  if (port.empty()) {
    hlsim::Options options;
    options.units.clear();
    for (int unit = 0; unit < 32; ++unit) options.units.push_back(unit);
    if (trace) options.trace_sink = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    sim = std::make_unique<hlsim::Simulator>(options);
    try {
      sim->Start();
    } catch (const std::exception& e) {
      std::cerr << "hostlink-poll: cannot start the built-in simulator: " << e.what() << "\n";
      return 2;
    }
    bool quit = false;
    for (int unit = 0; unit < 32; ++unit) sim->Control("mode " + std::to_string(unit) + " " + sim_mode, &quit);
    if (!sim_load.empty() && !sim->Load(sim_load)) {
      std::cerr << "hostlink-poll: cannot load " << sim_load << "\n";
      return 2;
    }
    driver_port = sim->port_name();
    std::cerr << "hostlink-poll: no port given: using the built-in simulator on " << driver_port << "\n";
  }

  const uint16_t parity_code = parity == "none" ? 0 : parity == "odd" ? 1 : parity == "even" ? 2 : parity == "mark" ? 3 : 4;
  const LineSettings line{uint16_t(baud), uint16_t(data_bits), uint16_t(stop_bits == 1 ? 0 : 2), parity_code};
  if (trace && !port.empty()) {
    tap = std::make_unique<Tap>();
    std::string device = port.front() == '/' ? port : "/dev/" + port;
    const std::string problem = tap->Start(device, line, &driver_port);
    if (!problem.empty()) {
      std::cerr << "hostlink-poll: --trace: " << problem << "\n";
      return 2;
    }
  }
  if (driver_port.size() > 11) {
    std::cerr << "hostlink-poll: port name '" << driver_port << "' is longer than 11 characters; use a short symlink\n";
    return 2;
  }

  Host host(entry, channel);
  ColdStartParams start{};
  std::strncpy(start.port_name, driver_port.c_str(), sizeof start.port_name - 1);
  start.comm_enabled = 1;
  start.reply_timeout = std::max(1, timeout_ms / 10);
  start.line = line;
  host.channel().port_config.open_flags = KIV_OPEN_DEFAULT;
  if (host.Call(KIV_OP_COLD_START, &start) != KIV_OK) {
    for (const std::string& l : TakeDriverLines()) std::cerr << "hostlink-poll: " << l << "\n";
    std::cerr << "hostlink-poll: " << PortHint(driver_port) << "\n";
    return 2;
  }
  for (int unit : ieee_units) host.channel().float_format[unit] = KIV_FLOAT_IEEE;
  if (gap_ms >= 0) host.channel().frame_gap_ms = uint32_t(gap_ms);
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  int exit_code = 0;
  std::vector<Gate> gates(addresses.size());
  for (size_t i = 0; i < addresses.size(); ++i) {
    gates[i].text = addresses[i];
    gates[i].count = count;
    if (!Configure(host, gates[i], type.empty() ? nullptr : &type)) exit_code = 1;
  }

  if (exit_code == 0 && !write_values.empty()) {
    Gate& gate = gates[0];
    if (!StoreValues(gate, write_values)) {
      exit_code = 1;
    } else {
      TakeDriverLines();
      const int32_t result = host.Call(gate.count == 1 ? KIV_OP_SINGLE_WRITE : KIV_OP_BLOCK_WRITE, &gate.io);
      if (result != KIV_OK && !verbose)
        for (const std::string& l : TakeDriverLines()) std::cerr << "hostlink-poll: " << l << "\n";
      std::cout << gate.text << (result == KIV_OK ? " written" : result == 1 ? " refused" : " failed") << "\n";
      exit_code = result;
    }
  } else if (exit_code == 0) {
    const bool live = loop && !csv && !json && isatty(STDOUT_FILENO);
    if (csv) std::cout << "time,address,result,value\n";
    // Polls start on a fixed grid, so a slow reply does not shift the
    // ones after it; after a poll longer than the interval the next
    // starts at once.
    int64_t next_poll = MonotonicMs();
    for (int poll_number = 0; !g_interrupted; ++poll_number) {
      int worst = 0;
      std::ostringstream out;
      if (json) out << "{\"time\":\"" << Now(true) << "\",\"values\":{";
      for (size_t i = 0; i < gates.size(); ++i) {
        Gate& gate = gates[i];
        TakeDriverLines();
        const int32_t result = host.Call(gate.count == 1 ? KIV_OP_SINGLE_READ : KIV_OP_BLOCK_READ, &gate.io);
        worst = std::max<int>(worst, result);
        if (result != KIV_OK && !verbose && !live)
          for (const std::string& l : TakeDriverLines()) std::cerr << "hostlink-poll: " << l << "\n";
        const std::string value = result == KIV_OK ? FormatValue(gate, json ? Format::Json : csv ? Format::Csv : Format::Plain) : "";
        if (json) {
          out << (i ? "," : "") << "\"" << gate.text << "\":";
          out << (result == KIV_OK ? value : (result == 1 ? "\"refused\"" : "\"failed\""));
        } else if (csv) {
          std::string field = value;
          if (field.find_first_of(",\"") != std::string::npos) {
            std::string quoted = "\"";
            for (char c : field) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
            field = quoted + "\"";
          }
          out << Now(true) << "," << gate.text << "," << result << "," << field << "\n";
        } else {
          out << gate.text << " = " << (result == KIV_OK ? value : result == 1 ? "(refused)" : "(failed)");
          out << (live ? "\x1b[K\n" : "\n");
        }
      }
      if (json) out << "}}\n";
      if (live && poll_number > 0) std::cout << "\x1b[" << gates.size() << "A";
      std::cout << out.str() << std::flush;
      exit_code = std::max(exit_code, worst);
      if (!loop || (polls > 0 && poll_number + 1 >= polls)) break;
      next_poll = std::max(next_poll + interval_ms, MonotonicMs());
      while (!g_interrupted && MonotonicMs() < next_poll)
        usleep(useconds_t(std::min<int64_t>(10, next_poll - MonotonicMs()) * 1000));
    }
  }

  host.Call(KIV_OP_END_KIV, nullptr);
  if (sim) sim->Stop();
  return exit_code;
}
