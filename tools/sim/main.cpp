// hostlink-sim: a Host Link PLC on a pseudo-terminal (or a serial device),
// controlled by line commands on standard input.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
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
      "per line, and answered on standard output (type 'help' for the list)."};
  hlsim::Options options;
  std::vector<int> units;
  std::string parity = "E", load, save, initial_mode = "run";
  bool quiet_stdin = false;
  app.add_option("-u,--unit", units, "unit numbers served (00-99, repeatable; default 0)")->check(CLI::Range(0, 99));
  app.add_option("-D,--device", options.device, "serve this serial device instead of a new pseudo-terminal");
  app.add_option("-L,--link", options.link, "also make this symlink to the pseudo-terminal (e.g. /tmp/hl0)");
  app.add_option("-b,--baud", options.baud, "line rate, for the device and for --pace (default 9600)");
  app.add_option("-d,--data-bits", options.data_bits, "data bits (default 7)")->check(CLI::Range(5, 8));
  app.add_option("-s,--stop-bits", options.stop_bits, "stop bits (default 2)")->check(CLI::Range(1, 2));
  app.add_option("-P,--parity", parity, "parity N, O or E (default E)")->check(CLI::IsMember({"N", "O", "E"}));
  app.add_flag("--pace", options.pace, "send each byte at the line's rate, as a real wire would");
  app.add_option("--delay", options.response_delay_ms, "turnaround delay before every reply, ms");
  app.add_option("--fault-rate", options.fault_rate, "random faults on this fraction of commands (0-1)")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--seed", options.seed, "seed of the random faults (default 1)");
  app.add_flag("-t,--trace", options.trace, "print every frame in and out with a timestamp (stderr)");
  app.add_option("--mode", initial_mode, "initial mode of every unit: program, monitor or run (default run)")
      ->check(CLI::IsMember({"program", "monitor", "run"}));
  app.add_option("--load", load, "load memory from this text file at start");
  app.add_option("--save", save, "save memory to this text file at exit");
  app.add_flag("--no-stdin", quiet_stdin, "do not read control commands (run until a signal)");
  CLI11_PARSE(app, argc, argv);

  if (!units.empty()) options.units = units;
  options.parity = parity[0];
  if (options.trace) {
    options.trace = false;
    options.trace_sink = [](const std::string& line) { std::cerr << line << std::endl; };
  }
  hlsim::Simulator sim(options);
  try {
    sim.Start();
  } catch (const std::exception& e) {
    std::cerr << "hostlink-sim: " << e.what() << std::endl;
    return 1;
  }
  bool quit = false;
  for (int unit : options.units) sim.Control("mode " + std::to_string(unit) + " " + initial_mode, &quit);
  if (!load.empty() && !sim.Load(load)) {
    std::cerr << "hostlink-sim: cannot load " << load << std::endl;
    return 1;
  }
  std::cout << sim.port_name() << std::endl;

  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGPIPE, SIG_IGN);
  std::string line;
  while (!quit && !g_stop) {
    if (quiet_stdin) {
      pause();
      continue;
    }
    pollfd pfd{STDIN_FILENO, POLLIN, 0};
    if (poll(&pfd, 1, 200) <= 0) continue;
    if (!std::getline(std::cin, line)) break;  // end of input ends the simulator
    std::cout << sim.Control(line, &quit) << std::flush;
  }
  sim.Stop();
  if (!save.empty() && !sim.Save(save)) {
    std::cerr << "hostlink-sim: cannot save " << save << std::endl;
    return 1;
  }
  return 0;
}
