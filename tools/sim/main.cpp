// hostlink-sim: a Host Link PLC on a pseudo-terminal (or a serial device),
// controlled by line commands on standard input.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <csignal>
#include <iostream>

#include "simulator.h"

namespace {
volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }
}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "hostlink-sim: an Omron Host Link PLC simulator.\n"
      "Creates a pseudo-terminal and prints its port name (e.g. pts/5) as the first line of standard output;\n"
      "give that name to the driver or to hostlink-poll. Control commands are read from standard input, one\n"
      "per line, and answered on standard output; the end of standard input ends the simulator (use\n"
      "--no-stdin to run in the background until SIGINT or SIGTERM)."};
  app.footer(std::string("\n") + hlsim::Simulator::ControlHelp() +
             "\nExample:\n"
             "  hostlink-sim -u 0 -u 5 --trace      # prints e.g. pts/3; give that name to the driver\n"
             "  set 0 DM 100 1234 ABCD              # DM100 = 0x1234, DM101 = 0xABCD on unit 00\n"
             "  fault no-reply header=RD count=2    # the next two RD commands get no reply\n");
  hlsim::Options options;
  std::vector<int> units;
  std::string parity = "E", load, save, initial_mode = "run";
  bool quiet_stdin = false;
  app.add_option("-u,--unit", units, "unit numbers served (00-99, repeatable; default 0)")->check(CLI::Range(0, 99));
  app.add_option("-D,--device", options.device, "serve this serial device instead of a new pseudo-terminal");
  app.add_option("-L,--link", options.link, "also make this symlink to the pseudo-terminal (e.g. /tmp/hl0)");
  app.add_option("-b,--baud", options.baud, "line rate, for the device and for --pace (default 9600)")
      ->check(CLI::PositiveNumber);
  app.add_option("-d,--data-bits", options.data_bits, "data bits (default 7)")->check(CLI::Range(5, 8));
  app.add_option("-s,--stop-bits", options.stop_bits, "stop bits (default 2)")->check(CLI::Range(1, 2));
  app.add_option("-P,--parity", parity, "parity N, O or E (default E)")->check(CLI::IsMember({"N", "O", "E"}));
  app.add_flag("--pace", options.pace, "send each byte at the line's rate, as a real wire would");
  app.add_option("--delay", options.response_delay_ms, "turnaround delay before every reply, ms")
      ->check(CLI::Range(0, 3600000));
  app.add_option("--fault-rate", options.fault_rate, "random faults on this fraction of commands (0-1)")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--seed", options.seed, "seed of the random faults (default 1)");
  app.add_flag("-t,--trace", options.trace, "print every frame in and out, timestamped and decoded, on stderr");
  app.add_option("--mode", initial_mode, "initial mode of every unit: program, monitor or run (default run)")
      ->check(CLI::IsMember({"program", "monitor", "run"}));
  app.add_option("--load", load, "load the state from this text file at start (format: see 'dump')");
  app.add_option("--save", save, "save the state to this text file at exit");
  app.add_flag("--no-stdin", quiet_stdin, "do not read control commands (run until a signal)");
  CLI11_PARSE(app, argc, argv);

  if (!units.empty()) options.units = units;
  options.parity = parity[0];
  // Trace lines go to standard error; "trace on|off" switches them.
  const bool trace_at_start = options.trace;
  options.trace = false;
  options.trace_sink = [](const std::string& line) { std::cerr << line << std::endl; };
  hlsim::Simulator sim(options);
  sim.SetTrace(trace_at_start);
  try {
    sim.Start();
  } catch (const std::exception& e) {
    std::cerr << "hostlink-sim: " << e.what() << std::endl;
    return 1;
  }
  bool quit = false;
  for (int unit : options.units) sim.Control("mode " + std::to_string(unit) + " " + initial_mode, &quit);
  std::string why;
  if (!load.empty() && !sim.Load(load, &why)) {
    std::cerr << "hostlink-sim: " << why << std::endl;
    return 1;
  }
  std::cout << sim.port_name() << std::endl;

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGPIPE, SIG_IGN);
  // Standard input is read with read(2) and split here: a buffered stream
  // could hold lines that poll no longer reports.
  std::string input;
  bool input_open = !quiet_stdin;
  while (!quit && !g_stop) {
    const size_t newline = input.find('\n');
    if (newline != std::string::npos) {
      const std::string line = input.substr(0, newline);
      input.erase(0, newline + 1);
      std::cout << sim.Control(line, &quit) << std::flush;
      continue;
    }
    if (!input_open) {
      if (!input.empty()) {  // a last line without its newline
        std::cout << sim.Control(input, &quit) << std::flush;
        input.clear();
      }
      if (!quiet_stdin) break;  // end of input ends the simulator
      pause();
      continue;
    }
    pollfd pfd{STDIN_FILENO, POLLIN, 0};
    if (poll(&pfd, 1, 200) <= 0) continue;
    char buffer[4096];
    const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
    if (got > 0) {
      input.append(buffer, size_t(got));
      if (input.size() > 1 << 20 && input.find('\n') == std::string::npos) input.clear();  // no line end in sight
    } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
      input_open = false;
    }
  }
  sim.Stop();
  if (!save.empty() && !sim.Save(save)) {
    std::cerr << "hostlink-sim: cannot save " << save << std::endl;
    return 1;
  }
  return 0;
}
