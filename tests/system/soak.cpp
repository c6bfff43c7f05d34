// Soak with verification: random transactions of every kind against the
// simulator with random faults; every successful read is checked against
// the simulator's memory and every successful write by reading it.
//
//   soak [TRANSACTIONS] [FAULT_RATE] [SEED]
//
// Exit status 0 when nothing was silently corrupted.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "kivhnom/kivhnom.h"
#include "kivhnom/morvek.h"
#include "simulator.h"

namespace {

using hlsim::Area;

void Quiet(void*, int, const char*) {}

struct Stats {
  uint64_t ok = 0, refused = 0, failed = 0, verified = 0, corrupt = 0;
};

class Soak {
 public:
  Soak(double fault_rate, uint64_t seed) : random_(seed) {
    hlsim::Options options;
    options.units = {0, 1};
    options.fault_rate = fault_rate;
    options.seed = seed;
    sim_ = std::make_unique<hlsim::Simulator>(options);
    sim_->Start();
    sim_->SetMode(0, hlsim::Mode::Monitor);
    sim_->SetMode(1, hlsim::Mode::Monitor);
    channel_ = std::make_unique<ChannelContext>();
    std::memset(channel_.get(), 0, sizeof *channel_);
    ColdStartParams start{};
    std::strncpy(start.port_name, sim_->port_name().c_str(), sizeof start.port_name - 1);
    start.comm_enabled = 1;
    start.reply_timeout = 10;  // 100 ms: faults cost little
    start.line = {9600, 7, 2, 2};
    Call(KIV_OP_COLD_START, &start);
    channel_->float_format[1] = KIV_FLOAT_IEEE;
  }
  ~Soak() {
    Call(KIV_OP_END_KIV, nullptr);
    sim_->Stop();
  }

  void Step() {
    switch (random_() % 9) {
      case 0: Words(false); break;
      case 1: Words(true); break;
      case 2: Bit(); break;
      case 3: Long('L'); break;
      case 4: Long('B'); break;
      case 5: Float(0); break;
      case 6: Float(1); break;
      case 7: String(); break;
      case 8: Flags(); break;
    }
  }
  const Stats& stats() const { return stats_; }

 private:
  int32_t Call(uint32_t opcode, void* params) {
    KivRequest request{channel_.get(), opcode, 0, 0, params};
    return KivMain(&request);
  }
  GateIo Gate(const std::string& text, int32_t type, int32_t count, void* data) {
    texts_.push_back(text);
    GateDefinition definition{texts_.back().c_str(), 0, type, count, {}};
    Call(count == 1 ? KIV_OP_SINGLE_ADDRESS_PARSER : KIV_OP_BLOCK_ADDRESS_PARSER, &definition);
    if (texts_.size() > 16) texts_.erase(texts_.begin());
    return GateIo{texts_.back().c_str(), 0, definition.address, type, count, 0, data, 0};
  }
  // Runs one transaction; true when it succeeded.
  bool Run(uint32_t opcode, GateIo& gate) {
    const int32_t result = Call(opcode, &gate);
    if (result == KIV_OK) ++stats_.ok;
    else if (result == KIV_REFUSED) ++stats_.refused;
    else ++stats_.failed;
    return result == KIV_OK;
  }
  void Check(bool good, const std::string& what) {
    ++stats_.verified;
    if (!good) {
      ++stats_.corrupt;
      std::fprintf(stderr, "soak: CORRUPT %s\n", what.c_str());
    }
  }
  bool Write() { return random_() % 2; }
  int Address(int span) { return int(random_() % uint32_t(9000 / span)) * span; }

  void Words(bool block) {
    const int count = block ? 1 + int(random_() % 60) : 1;
    const int address = Address(64);
    char text[16];
    std::snprintf(text, sizeof text, "00%04d", address);
    std::vector<uint16_t> storage(size_t(count) + 2, 0);
    GateIo gate = Gate(text, 0, count, storage.data());
    if (Write()) {
      std::vector<uint16_t> values(static_cast<size_t>(count), 0);
      for (auto& v : values) v = uint16_t(random_());
      if (block) std::memcpy(storage.data(), values.data(), 2 * values.size());
      else storage[1] = values[0];
      if (!Run(block ? KIV_OP_BLOCK_WRITE : KIV_OP_SINGLE_WRITE, gate)) return;
      for (int i = 0; i < count; ++i)
        Check(sim_->GetWord(0, Area::DM, address + i) == values[size_t(i)], std::string("word write ") + text);
    } else {
      if (!Run(block ? KIV_OP_BLOCK_READ : KIV_OP_SINGLE_READ, gate)) return;
      for (int i = 0; i < count; ++i) {
        const uint16_t got = block ? storage[size_t(i)] : storage[1];
        Check(got == sim_->GetWord(0, Area::DM, address + i), std::string("word read ") + text);
      }
    }
  }

  void Bit() {
    const int address = Address(1);
    const int bit = int(random_() % 16);
    char text[16];
    std::snprintf(text, sizeof text, "00%04d%02d", address, bit);
    uint16_t storage[2] = {0, 0};
    GateIo gate = Gate(text, KIV_GATE_DIGITAL, 1, storage);
    if (Write()) {
      const uint16_t before = sim_->GetWord(0, Area::DM, address);
      storage[1] = uint16_t(random_() % 2);
      const uint16_t value = storage[1];
      if (!Run(KIV_OP_SINGLE_WRITE, gate)) return;
      const uint16_t after = sim_->GetWord(0, Area::DM, address);
      const uint16_t mask = uint16_t(1u << bit);
      Check(((after & mask) != 0) == (value != 0) && (after & ~mask) == (before & ~mask),
            std::string("bit write ") + text);
      Check(storage[1] == value, "bit write keeps the host's value");
    } else {
      if (!Run(KIV_OP_SINGLE_READ, gate)) return;
      Check(storage[1] == ((sim_->GetWord(0, Area::DM, address) >> bit) & 1), std::string("bit read ") + text);
    }
  }

  uint32_t Pair(int unit, int address) {
    return uint32_t(sim_->GetWord(unit, Area::DM, address)) | (uint32_t(sim_->GetWord(unit, Area::DM, address + 1)) << 16);
  }

  void Long(char modifier) {
    const int address = Address(2);
    char text[16];
    std::snprintf(text, sizeof text, "00%04d%c", address, modifier);
    uint32_t storage = 0;
    GateIo gate = Gate(text, 4, 1, &storage);
    if (Write()) {
      storage = modifier == 'B' ? uint32_t(random_() % 100000000) : uint32_t(random_());
      const uint32_t value = storage;
      if (!Run(KIV_OP_SINGLE_WRITE, gate)) return;
      uint32_t back = Pair(0, address);
      if (modifier == 'B') {
        // Word N holds the low four digits, N+1 the high four.
        uint32_t decoded = 0;
        Check(kiv::DecodeLongBcd(kiv::HalfExchange(back), &decoded) && decoded == value, std::string("BCD write ") + text);
      } else {
        Check(back == value, std::string("long write ") + text);
      }
    } else {
      if (!Run(KIV_OP_SINGLE_READ, gate)) return;
      const uint32_t memory = Pair(0, address);
      if (modifier == 'B') {
        uint32_t decoded = 0;
        Check(kiv::DecodeLongBcd(kiv::HalfExchange(memory), &decoded) && decoded == storage, std::string("BCD read ") + text);
      } else {
        Check(storage == memory, std::string("long read ") + text);
      }
    }
  }

  void Float(int unit) {
    const int address = Address(2);
    char text[16];
    std::snprintf(text, sizeof text, "%02d%04dF", unit, address);
    float storage = 0;
    GateIo gate = Gate(text, KIV_GATE_FLOAT, 1, &storage);
    const uint32_t memory_word = uint32_t(sim_->GetWord(unit, Area::DM, address)) << 16 | sim_->GetWord(unit, Area::DM, address + 1);
    if (Write()) {
      storage = float(std::ldexp(double(random_() % 1000000), -int(random_() % 20)));
      const float value = storage;
      if (!Run(KIV_OP_SINGLE_WRITE, gate)) return;
      // What the PLC holds, as it reads on the wire: word N first.
      const uint32_t wire = uint32_t(sim_->GetWord(unit, Area::DM, address)) << 16 | sim_->GetWord(unit, Area::DM, address + 1);
      float back;
      if (unit == 1) {
        const uint32_t bits = kiv::HalfExchange(wire);
        std::memcpy(&back, &bits, 4);
        Check(back == value, std::string("IEEE write ") + text);
      } else {
        const uint32_t bits = kiv::DecodeBcdFloat(wire);
        std::memcpy(&back, &bits, 4);
        Check(std::fabs(back - value) <= std::fabs(value) * 2e-6 + 1e-13, std::string("BCD float write ") + text);
      }
    } else {
      if (!Run(KIV_OP_SINGLE_READ, gate)) return;
      uint32_t expected = unit == 1 ? kiv::HalfExchange(memory_word) : kiv::DecodeBcdFloat(memory_word);
      uint32_t got;
      std::memcpy(&got, &storage, 4);
      Check(got == expected, std::string("float read ") + text);
    }
  }

  void String() {
    const int address = Address(10);
    char text[16];
    std::snprintf(text, sizeof text, "00%04dS20", address);
    char storage[21] = {};
    GateIo gate = Gate(text, KIV_GATE_STRING, 1, storage);
    if (Write()) {
      for (int i = 0; i < 20; ++i) storage[i] = char('A' + random_() % 26);
      const std::string value(storage, 20);
      if (!Run(KIV_OP_SINGLE_WRITE, gate)) return;
      std::string back;
      for (int i = 0; i < 10; ++i) {
        const uint16_t w = sim_->GetWord(0, Area::DM, address + i);
        back += char(w >> 8);
        back += char(w & 0xFF);
      }
      Check(back == value, std::string("string write ") + text);
    } else {
      if (!Run(KIV_OP_SINGLE_READ, gate)) return;
      bool same = storage[20] == 0;
      for (int i = 0; i < 10; ++i) {
        const uint16_t w = sim_->GetWord(0, Area::DM, address + i);
        same = same && uint8_t(storage[2 * i]) == (w >> 8) && uint8_t(storage[2 * i + 1]) == (w & 0xFF);
      }
      Check(same, std::string("string read ") + text);
    }
  }

  void Flags() {
    const int count = 1 + int(random_() % 30);
    const int number = int(random_() % 900);
    char text[16];
    std::snprintf(text, sizeof text, "00V0%03d", number);
    std::vector<uint8_t> storage(size_t(count) + 4, 0);
    GateIo gate = Gate(text, KIV_GATE_DIGITAL, count, storage.data());
    if (count == 1) gate.count = 1;
    if (Write()) {
      for (int i = 0; i < count; ++i) storage[size_t(i)] = uint8_t(random_() % 2);
      const std::vector<uint8_t> values(storage.begin(), storage.begin() + count);
      if (count == 1) storage[2] = values[0], storage[3] = 0;
      if (!Run(count == 1 ? KIV_OP_SINGLE_WRITE : KIV_OP_BLOCK_WRITE, gate)) return;
      for (int i = 0; i < count; ++i)
        Check(sim_->GetCompletionFlag(0, number + i) == (values[size_t(i)] != 0), std::string("flag write ") + text);
    } else {
      if (!Run(count == 1 ? KIV_OP_SINGLE_READ : KIV_OP_BLOCK_READ, gate)) return;
      for (int i = 0; i < count; ++i) {
        const int got = count == 1 ? storage[2] : storage[size_t(i)];
        Check(got == int(sim_->GetCompletionFlag(0, number + i)), std::string("flag read ") + text);
      }
    }
  }

  std::mt19937_64 random_;
  std::unique_ptr<hlsim::Simulator> sim_;
  std::unique_ptr<ChannelContext> channel_;
  std::vector<std::string> texts_;
  Stats stats_;
};

}  // namespace

int main(int argc, char** argv) {
  const long transactions = argc > 1 ? std::atol(argv[1]) : 1000;
  const double rate = argc > 2 ? std::atof(argv[2]) : 0.05;
  const uint64_t seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1;
  morvek_set_sink(Quiet, nullptr);
  Soak soak(rate, seed);
  for (long i = 0; i < transactions; ++i) soak.Step();
  const Stats& s = soak.stats();
  std::printf("soak: %ld transactions, fault rate %.3f, seed %llu\n", transactions, rate, (unsigned long long)seed);
  std::printf("soak: ok %llu, refused %llu, failed %llu; verified %llu, silently corrupted %llu\n",
              (unsigned long long)s.ok, (unsigned long long)s.refused, (unsigned long long)s.failed,
              (unsigned long long)s.verified, (unsigned long long)s.corrupt);
  return s.corrupt == 0 ? 0 : 1;
}
