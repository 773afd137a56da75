// Codec layer: 8-bit u-law on both outer sides, GSM 06.10 full-rate frames inside.
// Every block is coded with a fresh GSM state, so blocks can be decoded independently.
#pragma once

#include <cstdint>

namespace kpx {

inline constexpr const char* CODECVERSION = "V1.48";

// Compresses `length` u-law bytes (a multiple of 160) into length/160*33 bytes of GSM frames.
// Returns the number of bytes written, or -1 for a refused length or exhausted memory.
int encode(const unsigned char* in, int length, unsigned char* out);

// Expands `length` bytes of GSM frames (a multiple of 33) into length/33*160 u-law bytes.
// Returns the number of bytes written, or -1 for a refused length or a frame without signature.
int decode(const unsigned char* in, int length, unsigned char* out);

// G.711 u-law expansion (bias 132), range -32124..32124.
std::int16_t ulaw2linear(unsigned char code);

// G.711 u-law compression without a separate clipping step.
unsigned char linear2ulaw(std::int16_t sample);

// Prints "CODEC: V1.48" on standard output.
void prncod();

} // namespace kpx
