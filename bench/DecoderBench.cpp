// How long decoding one batch takes, for a full 256-byte batch of status blocks and for the
// common single block, in every variant.
#include <benchmark/benchmark.h>

#include <vector>

#include "StatusDecoder.h"

namespace {

std::vector<uint8_t> Blocks(size_t size) {
    std::vector<uint8_t> batch(size);
    for (size_t i = 0; i + 3 < size; i += 4) {
        batch[i] = (i / 4) % 2 ? 0x10 : 0x14;
        batch[i + 1] = batch[i + 2] = batch[i + 3] = 0;
    }
    return batch;
}

void DecodeFullBatch(benchmark::State& state) {
    const Variant& variant = *kAllVariants[state.range(0)];
    const std::vector<uint8_t> batch = Blocks(256);
    for (auto _ : state) {
        StatusUpdate u = DecodeBatch(variant, DecodeMode::Thermal, batch.data(), 256);
        benchmark::DoNotOptimize(u);
    }
    state.SetLabel(variant.name);
}
BENCHMARK(DecodeFullBatch)->DenseRange(0, 3);

void DecodeOneBlock(benchmark::State& state) {
    const Variant& variant = *kAllVariants[state.range(0)];
    const uint8_t block[4] = {0x14, 0x00, 0x00, 0x00};
    for (auto _ : state) {
        StatusUpdate u = DecodeBatch(variant, DecodeMode::Thermal, block, 4);
        benchmark::DoNotOptimize(u);
    }
    state.SetLabel(variant.name);
}
BENCHMARK(DecodeOneBlock)->DenseRange(0, 3);

}  // namespace

BENCHMARK_MAIN();
