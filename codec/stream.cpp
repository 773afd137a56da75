// Reader rules of the stream link, shared by every receiver. No platform calls here: the
// receive call comes in as a ReadFn, so the same code serves POSIX and Windows sockets.
#include "stream.h"

namespace kpx {

int collectpacket(const ReadFn& rd, unsigned char* buf, int have) {
    // Out-of-range fill levels are brought back into range rather than trusted.
    if (have < 0) have = 0;
    if (have >= PACKETBYTES) return PACKETBYTES;
    if (!rd || buf == nullptr) return have;
    for (int reads = 0; reads < MAXREADS && have < PACKETBYTES; ++reads) {
        const int missing = PACKETBYTES - have;
        const long n = rd(buf + have, static_cast<std::size_t>(missing));
        // Nothing (end of stream) or an error still uses up one of the attempts. A reader
        // that claims more than was asked for cannot push the count past the buffer.
        if (n > 0) have += n > missing ? missing : static_cast<int>(n);
    }
    return have;
}

void prnlost(std::FILE* out) {
    std::fputs("Connection to server lost.\nTry to connect again!\n", out);
    std::fflush(out);
}

void prncorrupt(std::FILE* out) {
    std::fprintf(out, "Corrupt package! (read=%ld - must=%d)\n", static_cast<long>(PACKETBYTES),
                 PACKETBYTES);
    std::fflush(out);
}

} // namespace kpx
