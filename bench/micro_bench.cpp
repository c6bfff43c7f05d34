// Micro-benchmarks of the pure pieces on the transaction path.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "address/address.h"
#include "codec/codec.h"
#include "hostlink/hostlink.h"
#include "kivhnom/kivhnom.h"
#include "kivhnom/morvek.h"
#include "transfer/transfer.h"

namespace {

void Quiet(void*, int, const char*) {}
const bool kQuiet = (morvek_set_sink(Quiet, nullptr), true);

void BM_Fcs(benchmark::State& state) {
  const std::string frame = "@00RD" + std::string(120, '7');
  for (auto _ : state) benchmark::DoNotOptimize(kiv::Fcs(frame.data(), frame.size()));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frame.size()));
}
BENCHMARK(BM_Fcs);

void BM_Parse(benchmark::State& state) {
  const char* texts[] = {"001000", "00100012", "001000F", "00I123415", "001000S20", "05V0123"};
  size_t i = 0;
  for (auto _ : state) {
    GateDefinition definition{texts[i++ % 6], 0, 0, 1, {}};
    benchmark::DoNotOptimize(kiv::Parse(definition));
  }
}
BENCHMARK(BM_Parse);

void BM_EncodeBcdFloat(benchmark::State& state) {
  float value = 123.456f;
  uint32_t word;
  for (auto _ : state) {
    benchmark::DoNotOptimize(kiv::EncodeBcdFloat(value, &word));
    value += 0.001f;
  }
}
BENCHMARK(BM_EncodeBcdFloat);

void BM_DecodeBcdFloat(benchmark::State& state) {
  uint32_t word = 0x45603123;
  for (auto _ : state) benchmark::DoNotOptimize(kiv::DecodeBcdFloat(word));
}
BENCHMARK(BM_DecodeBcdFloat);

struct Block {
  ChannelContext channel{};
  std::vector<uint16_t> storage = std::vector<uint16_t>(541, 0x1234);
  GateIo gate{"bench", 0, {0, kiv::MakeArea('D'), 0, -1, 16}, 0, 541, 0, storage.data(), 0};
  KivRequest request{&channel, KIV_OP_BLOCK_READ, 0, 0, &gate};
};

void BM_StoreData541Words(benchmark::State& state) {
  Block block;
  std::string data;
  for (int i = 0; i < 541; ++i) data += "1A2B";
  for (auto _ : state) benchmark::DoNotOptimize(kiv::StoreData(&block.request, data.data(), int32_t(data.size()), 6));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}
BENCHMARK(BM_StoreData541Words);

void BM_PutData541Words(benchmark::State& state) {
  Block block;
  char text[KIV_FRAME_SIZE];
  int32_t length;
  for (auto _ : state) benchmark::DoNotOptimize(kiv::PutData(&block.request, 0, text, sizeof text - 1, &length));
  state.SetBytesProcessed(int64_t(state.iterations()) * 541 * 4);
}
BENCHMARK(BM_PutData541Words);

}  // namespace

BENCHMARK_MAIN();
