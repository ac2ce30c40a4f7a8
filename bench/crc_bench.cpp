// The CRC-32 register update at memory speed, beside the table loop it replaces.
#include "Crc32.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

void BM_UpdateCRC32(benchmark::State& state) {
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0xA5);
  uint32_t crc = 0;
  for (auto _ : state) {
    OrvCopy::UpdateCRC32(data.data(), data.size(), &crc);
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_UpdateCRC32Bytewise(benchmark::State& state) {
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0xA5);
  uint32_t crc = 0;
  for (auto _ : state) {
    OrvCopy::UpdateCRC32Bytewise(data.data(), data.size(), &crc);
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(BM_UpdateCRC32)->Arg(65856)->Arg(1 << 20);
BENCHMARK(BM_UpdateCRC32Bytewise)->Arg(65856);

}  // namespace
