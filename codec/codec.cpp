// Codec layer: u-law <-> 16-bit linear conversion and GSM 06.10 block coding.
// Every call of encode/decode works with a brand-new GSM state that is released before the
// call returns, so each block stands on its own and the receiver can start anywhere.
#include "codec.h"
#include "stream.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <memory>

#include <gsm.h>

namespace kpx {

namespace {

// The expansion rule, also used to fill the lookup table below.
constexpr std::int16_t expand(unsigned char code) {
    const unsigned inv = static_cast<unsigned char>(~code);
    int t = static_cast<int>(((inv & 0x0Fu) << 3) + 132u);
    t <<= (inv >> 4) & 0x07u;
    return static_cast<std::int16_t>((inv & 0x80u) ? 132 - t : t - 132);
}

constexpr std::array<std::int16_t, 256> makeexpandtable() {
    std::array<std::int16_t, 256> table{};
    for (unsigned c = 0; c < 256; ++c)
        table[c] = expand(static_cast<unsigned char>(c));
    return table;
}

// 256 entries: the per-sample cost of encode's input conversion is a single load.
constexpr std::array<std::int16_t, 256> expandtable = makeexpandtable();

// Owns one GSM library state for the duration of a single encode or decode call.
struct gsmdeleter {
    void operator()(gsm_state* s) const { gsm_destroy(s); }
};
using gsmptr = std::unique_ptr<gsm_state, gsmdeleter>;

gsmptr freshstate() {
    return gsmptr(gsm_create());
}

constexpr bool hassignature(const unsigned char* frame) {
    return (frame[0] >> 4) == 0x0D;
}

} // namespace

std::int16_t ulaw2linear(unsigned char code) {
    return expandtable[code];
}

unsigned char linear2ulaw(std::int16_t sample) {
    int v;
    unsigned mask;
    if (sample < 0) {
        v = 132 - sample;
        mask = 0x7F;
    } else {
        v = sample + 132;
        mask = 0xFF;
    }
    // Magnitudes above 32635 (v > 0x7FFF) fall outside the last segment: largest code.
    if (v > 0x7FFF) return static_cast<unsigned char>(0x7F ^ mask);
    // Segment ends are 0xFF, 0x1FF, ..., 0x7FFF: the segment is the bit width beyond eight.
    const int width = std::bit_width(static_cast<unsigned>(v));
    const int s = width > 8 ? width - 8 : 0;
    const unsigned code =
        (static_cast<unsigned>(s) << 4) | ((static_cast<unsigned>(v) >> (s + 3)) & 0x0Fu);
    return static_cast<unsigned char>((code ^ mask) & 0xFFu);
}

int encode(const unsigned char* in, int length, unsigned char* out) {
    // Refuse before anything is allocated: negative or partial-frame lengths, missing buffers.
    if (length < 0 || length % FRAMESAMPLES != 0) return -1;
    if (length > 0 && (in == nullptr || out == nullptr)) return -1;
    gsmptr state = freshstate();
    if (!state) return -1;
    // One frame's worth of linear samples at a time; nothing larger is needed.
    std::array<gsm_signal, FRAMESAMPLES> samples;
    int count = 0;
    for (int pos = 0; pos < length; pos += FRAMESAMPLES) {
        for (int i = 0; i < FRAMESAMPLES; ++i)
            samples[static_cast<std::size_t>(i)] = expandtable[in[pos + i]];
        gsm_encode(state.get(), samples.data(), out + count);
        count += FRAMEBYTES;
    }
    return count;
}

int decode(const unsigned char* in, int length, unsigned char* out) {
    if (length < 0 || length % FRAMEBYTES != 0) return -1;
    if (length > 0 && (in == nullptr || out == nullptr)) return -1;
    // A block with a frame the library would reject is refused as a whole. Checking every
    // signature first means a refused block leaves `out` untouched instead of half written.
    for (int pos = 0; pos < length; pos += FRAMEBYTES)
        if (!hassignature(in + pos)) return -1;
    gsmptr state = freshstate();
    if (!state) return -1;
    std::array<gsm_signal, FRAMESAMPLES> samples;
    std::array<gsm_byte, FRAMEBYTES> frame;
    int count = 0;
    for (int pos = 0; pos < length; pos += FRAMEBYTES) {
        // The library's decoder takes a non-const frame; hand it a copy.
        std::copy(in + pos, in + pos + FRAMEBYTES, frame.begin());
        if (gsm_decode(state.get(), frame.data(), samples.data()) < 0) return -1;
        for (int i = 0; i < FRAMESAMPLES; ++i)
            out[count + i] = linear2ulaw(samples[static_cast<std::size_t>(i)]);
        count += FRAMESAMPLES;
    }
    return count;
}

void prncod() {
    std::printf("CODEC: %s\n", CODECVERSION);
}

} // namespace kpx
