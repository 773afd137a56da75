// Cost of one packet through the codec layer: 1600 u-law samples to 330 bytes and back,
// each with its own fresh GSM state as in the running system.
#include "codec.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

// One packet of a voiced sound: two tones and a little noise.
std::vector<unsigned char> packetaudio() {
    std::vector<unsigned char> audio(1600);
    std::uint32_t rng = 12345;
    for (std::size_t i = 0; i < audio.size(); ++i) {
        rng = rng * 1664525u + 1013904223u;
        const double t = static_cast<double>(i) / 8000.0;
        const double v = 8000.0 * std::sin(2 * M_PI * 220.0 * t) +
                         3000.0 * std::sin(2 * M_PI * 1250.0 * t) +
                         static_cast<double>(static_cast<int>((rng >> 8) % 1001) - 500);
        audio[i] = kpx::linear2ulaw(static_cast<std::int16_t>(v));
    }
    return audio;
}

void BM_EncodePacket(benchmark::State& state) {
    const auto audio = packetaudio();
    std::vector<unsigned char> frames(330);
    for (auto _ : state) {
        benchmark::DoNotOptimize(kpx::encode(audio.data(), 1600, frames.data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 1600);
}
BENCHMARK(BM_EncodePacket);

void BM_DecodePacket(benchmark::State& state) {
    const auto audio = packetaudio();
    std::vector<unsigned char> frames(330), back(1600);
    kpx::encode(audio.data(), 1600, frames.data());
    for (auto _ : state) {
        benchmark::DoNotOptimize(kpx::decode(frames.data(), 330, back.data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 330);
}
BENCHMARK(BM_DecodePacket);

} // namespace

BENCHMARK_MAIN();
