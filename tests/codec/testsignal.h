// Deterministic test audio for the codec tests.
#pragma once

#include <cstdint>
#include <vector>

namespace codectest {

// `samples` u-law bytes of a speech-like signal: a few tones with a wandering envelope plus
// noise, different for every `seed`.
std::vector<unsigned char> ulawsignal(int samples, std::uint32_t seed);

// `count` bytes of pseudo-random data (not valid audio, not valid frames).
std::vector<unsigned char> noisebytes(int count, std::uint32_t seed);

} // namespace codectest
