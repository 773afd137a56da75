// encodefile IN OUT: reads raw 8-bit u-law from IN and writes the GSM frames to OUT, one
// packet (1600 samples) at a time through encode, as the server does with its input. A last
// partial packet is encoded as far as it holds whole frames; a trailing part frame is dropped.
#include "codec.h"

#include <array>
#include <cstdio>
#include <memory>

namespace {

struct fileclose {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using fileptr = std::unique_ptr<std::FILE, fileclose>;

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "Usage: %s in.ul out.gsm\n", argv[0]);
        return 2;
    }
    fileptr in(std::fopen(argv[1], "rb"));
    if (!in) {
        std::perror(argv[1]);
        return 1;
    }
    fileptr out(std::fopen(argv[2], "wb"));
    if (!out) {
        std::perror(argv[2]);
        return 1;
    }
    std::array<unsigned char, 1600> packet;
    std::array<unsigned char, 330> frames;
    for (;;) {
        const std::size_t got = std::fread(packet.data(), 1, packet.size(), in.get());
        const int whole = static_cast<int>(got / 160 * 160);
        if (whole > 0) {
            const int n = kpx::encode(packet.data(), whole, frames.data());
            if (n < 0 || std::fwrite(frames.data(), 1, static_cast<std::size_t>(n), out.get()) !=
                             static_cast<std::size_t>(n)) {
                std::fprintf(stderr, "%s: encoding or writing failed\n", argv[0]);
                return 1;
            }
        }
        if (got < packet.size()) break;
    }
    if (std::ferror(in.get())) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
