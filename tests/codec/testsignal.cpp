#include "testsignal.h"

#include "codec.h"

#include <cmath>

namespace codectest {

namespace {

// Small linear congruential generator; fixed so every run sees the same input.
struct lcg {
    std::uint32_t state;
    std::uint32_t next() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
};

} // namespace

std::vector<unsigned char> ulawsignal(int samples, std::uint32_t seed) {
    lcg rng{seed * 2654435761u + 1u};
    const double f1 = 180.0 + (seed % 7) * 40.0;
    const double f2 = 700.0 + (seed % 5) * 130.0;
    const double f3 = 2300.0 + (seed % 3) * 210.0;
    std::vector<unsigned char> out;
    out.reserve(static_cast<std::size_t>(samples));
    for (int i = 0; i < samples; ++i) {
        const double t = i / 8000.0;
        const double env = 0.55 + 0.45 * std::sin(2.0 * M_PI * 3.1 * t + seed);
        double v = 9000.0 * std::sin(2.0 * M_PI * f1 * t) + 5000.0 * std::sin(2.0 * M_PI * f2 * t) +
                   2500.0 * std::sin(2.0 * M_PI * f3 * t);
        v = v * env + static_cast<double>(static_cast<int>(rng.next() % 3001) - 1500);
        if (v > 32767.0) v = 32767.0;
        if (v < -32768.0) v = -32768.0;
        out.push_back(kpx::linear2ulaw(static_cast<std::int16_t>(v)));
    }
    return out;
}

std::vector<unsigned char> noisebytes(int count, std::uint32_t seed) {
    lcg rng{seed};
    std::vector<unsigned char> out(static_cast<std::size_t>(count));
    for (auto& b : out)
        b = static_cast<unsigned char>(rng.next());
    return out;
}

} // namespace codectest
