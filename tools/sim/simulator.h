// hostlink-sim: a Host Link PLC simulator on a pseudo-terminal or a serial
// device, with fault injection. Written from the protocol's public facts
// only, and sharing no code with the driver, so that it can check it.
//
// In-process use (tests, hostlink-poll's built-in default):
//
//   hlsim::Simulator sim;              // one unit, 00, in RUN mode
//   sim.Start();                       // creates the pty, starts serving
//   sim.SetWord(0, hlsim::Area::DM, 100, 0x1234);
//   ... open sim.port_name() ("pts/N") with the driver ...
//   sim.ArmFault({hlsim::FaultKind::NoReply, "RD", 1});
//
// Every accessor is thread-safe; every wait is bounded. Accessors throw
// std::out_of_range for a unit that is not served, an address beyond its
// area, or an unknown set-value instruction name.
//
// The line vanishing (FaultKind::LineVanish) closes the pty master, as a
// pulled USB adapter would; about 200 ms later a new pty is offered (a new
// "pts/N", or the same name under Options::link), or the device is opened
// again. port_name() is empty while no line is there; WaitForLine waits for
// the new one.
//
// Trace lines read "HH:MM:SS.uuuuuu > @00RD0000000157*<CR>  unit 00 RD" for
// frames in and "... < @00RD00123452*<CR>  unit 00 RD end 00" for frames
// out: the bytes as sent, then what they mean.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace hlsim {

enum class Mode { Program, Monitor, Run };
// Word areas: data memory, I/O and internal relays, holding, link and
// auxiliary relays, timer/counter present values.
enum class Area { DM, IR, HR, LR, AR, TC };

const char* ModeName(Mode mode);
bool ParseArea(std::string_view name, Area* area);
const char* AreaName(Area area);
int AreaSize(Area area);

// Computes the frame check sequence: XOR of the frame's text characters.
uint8_t Fcs(std::string_view text);
// Text + FCS (upper-case hex) + "*" + CR.
std::string FinalFrame(std::string_view text);

// One PLC unit: memory, mode and error state. Pure: command text in,
// reply text out; not thread-safe on its own.
class Plc {
 public:
  static constexpr int kTimers = 1000;
  Plc();
  // command: "@" + unit + header + operands (no FCS, no terminator).
  // Returns the reply text without FCS and terminator, or "" for no reply.
  std::string Handle(std::string_view command);

  uint16_t& Word(Area area, int address) { return memory_[static_cast<int>(area)][address]; }
  uint16_t Word(Area area, int address) const { return memory_[static_cast<int>(area)][address]; }
  bool completion_flags[kTimers] = {};
  std::map<std::string, std::vector<uint16_t>> set_values;  // by instruction name, 4 characters
  uint16_t dm_buffer[8] = {};                               // what CR reports
  uint16_t error_words[2] = {};                             // what MF reports
  Mode mode = Mode::Run;

 private:
  std::vector<uint16_t> memory_[6];
};

enum class FaultKind {
  NoReply,           // the command is executed, the reply never comes
  LateReply,         // the reply comes after delay_ms (0: 3000 ms)
  BadFcs,            // the reply's FCS is wrong
  LowerCaseFcs,      // the reply's FCS is in lower-case hex (valid)
  WrongUnit,         // the reply echoes another unit number
  WrongHeader,       // the reply echoes another header
  EndCode,           // the command is not executed; the reply carries end_code
  UndefinedCommand,  // the "IC" reply
  Truncated,         // half the reply, then nothing
  GarbageBefore,     // noise bytes before the reply
  GarbageAfter,      // noise bytes after the reply
  StallDelimiter,    // a multi-frame command gets no CR delimiter
  LineVanish,        // the line disappears mid-reply (a pulled adapter)
};
const char* FaultName(FaultKind kind);
bool ParseFaultKind(std::string_view name, FaultKind* kind);
extern const FaultKind kAllFaultKinds[13];

struct Fault {
  FaultKind kind = FaultKind::NoReply;
  std::string header;        // two letters, or empty for any command
  int count = 1;             // the next N matching commands; -1 without end
  double probability = 1.0;  // fraction of matching commands hit
  int end_code = 0x15;       // for EndCode
  int delay_ms = 0;          // for LateReply; 0 means 3000 ms
  int unit = -1;             // -1: any unit
};

struct Counters {
  std::map<std::string, uint64_t> commands_by_header;
  uint64_t commands = 0;
  uint64_t aborts = 0;
  uint64_t fcs_errors = 0;
  uint64_t faults_fired = 0;
  uint64_t frames_in = 0;
  uint64_t frames_out = 0;
  uint64_t bytes_in = 0;
  uint64_t bytes_out = 0;
  uint64_t lines_lost = 0;  // times the line vanished
};

struct Options {
  std::vector<int> units{0};
  std::string device;  // empty: create a pseudo-terminal
  std::string link;    // optional symlink to the pty, e.g. /tmp/hl0
  int baud = 9600;     // line rate, for the device and for pacing
  int data_bits = 7;
  int stop_bits = 2;
  char parity = 'E';   // N, O, E
  bool pace = false;   // send each byte at the line's rate
  int response_delay_ms = 0;
  double fault_rate = 0;  // random faults on this fraction of commands
  uint64_t seed = 1;
  // Tracing starts on when trace is set or a sink is given; SetTrace and
  // the "trace" control command turn it on and off. While on, each line goes
  // to the sink if there is one, and is kept for TakeTrace when trace is set
  // or there is no sink (at most 100000 lines are kept).
  // The sink runs on the serving thread with the simulator's lock held: it
  // must not call back into the simulator.
  bool trace = false;
  std::function<void(const std::string&)> trace_sink;
};

class Simulator {
 public:
  explicit Simulator(Options options = {});
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  void Start();  // throws std::runtime_error when the line cannot be set up
  void Stop();
  std::string port_name() const;  // "pts/N", the device, or the link

  void SetWord(int unit, Area area, int address, uint16_t value);
  uint16_t GetWord(int unit, Area area, int address) const;
  void SetCompletionFlag(int unit, int number, bool on);
  bool GetCompletionFlag(int unit, int number) const;
  void SetSetValue(int unit, const std::string& instruction, int number, uint16_t value);
  uint16_t GetSetValue(int unit, const std::string& instruction, int number) const;
  void SetDmBuffer(int unit, int index, uint16_t value);
  void SetMode(int unit, Mode mode);
  Mode GetMode(int unit) const;
  void SetErrorInfo(int unit, uint16_t word1, uint16_t word2);
  void GetErrorInfo(int unit, uint16_t* word1, uint16_t* word2) const;

  void ArmFault(const Fault& fault);
  void ClearFaults();
  Counters counters() const;
  void ResetCounters();
  void SetTrace(bool on);
  std::vector<std::string> TakeTrace();
  // Waits until the number of handled commands reaches n (bounded).
  bool WaitForCommands(uint64_t n, int timeout_ms);
  // Waits until the line has vanished `lost` times in all and a line is
  // there again (bounded).
  bool WaitForLine(uint64_t lost, int timeout_ms);

  // State as readable text, one item per line, values in hex:
  //   00 mode run          00 DM 100 1234       00 FLAG 3 1
  //   00 SV TIM_ 5 0100    00 HSB 7 7777        00 ERROR 0810 0001
  // (words and flags only when non-zero; "_" stands for a blank in a
  // set-value name; "#" starts a comment). Load reads the whole file
  // first: on an error it changes nothing and says which line is wrong;
  // otherwise every unit named in the file is reset and then given exactly
  // the file's contents, so a saved state comes back whole.
  bool Save(const std::string& path) const;
  bool Load(const std::string& path, std::string* error = nullptr);
  // One unit's state in the same text form.
  std::string Describe(int unit) const;

  // Handles one control command line (the stdin interface); returns the
  // answer lines ("ok", a value, or a line starting with "error:"). Sets
  // *quit on "quit".
  std::string Control(const std::string& line, bool* quit);
  // The control commands, as "help" shows them.
  static const char* ControlHelp();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace hlsim
