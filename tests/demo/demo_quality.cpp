// What each listener of the demo heard, against the source it was sent:
//
//   demo_quality SOURCE.ul PACKETS HEARD.ul...
//
// SOURCE is the programme as the pacer fed it (whole 1600-byte packets, played from its first
// packet and looped); PACKETS is how many packets of it were streamed. A listener hears some
// packets of silence before the programme starts (and after it ends), so each capture is
// aligned to the source at the packet offset that matches best. One line per capture:
//
//   <file> offset <packets> compared <packets> snr <dB> identical <yes|no|->
//
// "snr" is the segmental SNR of the aligned part (the measure of the client's end-to-end
// test); "identical" says whether that part is byte for byte what the first capture heard
// (the relay must pass every packet on unchanged). Exit status 0, or 2 for unusable input.
#include "codec.h"
#include "stream.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
constexpr std::size_t PACKET = kpx::PACKETSAMPLES;
constexpr std::size_t SEGMENT = kpx::FRAMESAMPLES;

bool readall(const std::string& path, Bytes& out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return true;
}

// Segmental SNR in dB over 160-sample segments whose reference is not near silence, each
// held within [-10, 35] dB; `ref` and `got` give n samples each. -100 when nothing is loud.
double segsnr(const unsigned char* ref, const unsigned char* got, std::size_t n) {
    double sum = 0;
    int segments = 0;
    for (std::size_t at = 0; at + SEGMENT <= n; at += SEGMENT) {
        double sig = 0, err = 0;
        for (std::size_t i = at; i < at + SEGMENT; ++i) {
            const double r = kpx::ulaw2linear(ref[i]), g = kpx::ulaw2linear(got[i]);
            sig += r * r;
            err += (r - g) * (r - g);
        }
        if (sig / SEGMENT < 300.0 * 300.0) continue; // quieter than about -40 dBFS
        sum += std::clamp(10 * std::log10((sig + 1e-9) / (err + 1e-9)), -10.0, 35.0);
        ++segments;
    }
    return segments ? sum / segments : -100.0;
}

struct Match {
    std::size_t offset = 0, compared = 0;
    double snr = -100.0;
};

// The packet offset in `heard` where the streamed part of the source fits best.
Match align(const Bytes& source, std::size_t packets, const Bytes& heard) {
    const std::size_t sourcepackets = source.size() / PACKET, heardpackets = heard.size() / PACKET;
    Bytes ref(packets * PACKET);
    for (std::size_t k = 0; k < packets; ++k)
        std::copy_n(source.begin() + static_cast<long>((k % sourcepackets) * PACKET), PACKET,
                    ref.begin() + static_cast<long>(k * PACKET));
    Match best;
    for (std::size_t o = 0; o < heardpackets; ++o) {
        const std::size_t n = std::min(packets, heardpackets - o);
        // A shorter overlap only counts when no longer one exists.
        if (n < best.compared) break;
        const double snr = segsnr(ref.data(), heard.data() + o * PACKET, n * PACKET);
        if (n > best.compared || snr > best.snr) best = {o, n, snr};
    }
    return best;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s SOURCE.ul PACKETS HEARD.ul...\n", argv[0]);
        return 2;
    }
    Bytes source;
    const long packets = std::atol(argv[2]);
    if (!readall(argv[1], source) || source.size() < PACKET || packets <= 0) {
        std::fprintf(stderr, "%s: no usable source %s or packet count %s\n", argv[0], argv[1],
                     argv[2]);
        return 2;
    }
    Bytes first;
    std::size_t firstat = 0, firstn = 0;
    for (int a = 3; a < argc; ++a) {
        Bytes heard;
        if (!readall(argv[a], heard)) {
            std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[a]);
            return 2;
        }
        const Match m = align(source, static_cast<std::size_t>(packets), heard);
        const char* identical = "-";
        if (a == 3) {
            first = heard;
            firstat = m.offset * PACKET;
            firstn = m.compared * PACKET;
        } else {
            const std::size_t n = m.compared * PACKET;
            identical =
                n == firstn && std::equal(heard.begin() + static_cast<long>(m.offset * PACKET),
                                          heard.begin() + static_cast<long>(m.offset * PACKET + n),
                                          first.begin() + static_cast<long>(firstat))
                    ? "yes"
                    : "no";
        }
        std::printf("%s offset %zu compared %zu snr %.2f identical %s\n", argv[a], m.offset,
                    m.compared, m.snr, identical);
    }
    return 0;
}
