// CPU of the Windows clients' core per second of audio: getsound over a stream of packets
// held in memory, with a player that starts every image at once.
#include "codec.h"
#include "stream.h"
#include "wincore.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

using namespace kpx::win;

class MemoryPlatform : public Platform {
  public:
    std::vector<unsigned char> wire;
    std::size_t at = 0;
    int startup() override { return 0; }
    long lasterror() override { return 0; }
    void cleanup() override {}
    Sock opensocket() override { return 3; }
    int bindto(Sock, const char*, int) override { return 0; }
    int listento(Sock, int) override { return 0; }
    Sock acceptfrom(Sock) override { return 4; }
    long receive(Sock, unsigned char* buf, std::size_t len) override {
        const std::size_t n = std::min(len, wire.size() - at);
        std::memcpy(buf, wire.data() + at, n);
        at += n;
        return static_cast<long>(n);
    }
    void closesock(Sock) override {}
    void report(const char*) override {}
    int playsound(const unsigned char* img) override {
        benchmark::DoNotOptimize(img[HEADERBYTES]);
        return 1;
    }
    long ticks() override { return 0; }
    long tickspersecond() override { return 1000; }
    void pause(int) override {}
};

void BM_CoreTenSecondsOfAudio(benchmark::State& state) {
    constexpr int PACKETS = 50; // 10 s
    MemoryPlatform plat;
    for (int p = 0; p < PACKETS; ++p) {
        unsigned char audio[kpx::PACKETSAMPLES], gsm[kpx::PACKETBYTES];
        for (int i = 0; i < kpx::PACKETSAMPLES; ++i)
            audio[i] =
                kpx::linear2ulaw(static_cast<std::int16_t>(((i * (p + 3)) % 200 - 100) * 80));
        kpx::encode(audio, kpx::PACKETSAMPLES, gsm);
        plat.wire.insert(plat.wire.end(), gsm, gsm + kpx::PACKETBYTES);
    }
    sys = &plat;
    // The client's two lines per run go to /dev/null while it is measured.
    std::fflush(stdout);
    const int saved = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    for (auto _ : state) {
        plat.at = 0;
        resetsound();
        getsound(4);
    }
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(null);
    state.counters["audio_s"] =
        benchmark::Counter(PACKETS / 5.0, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_CoreTenSecondsOfAudio)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
