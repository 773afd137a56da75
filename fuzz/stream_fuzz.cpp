// The stream reader under arbitrary chunkings. The input is a script of receive calls, each
// one control byte (0: nothing, 1: an error, 2: a reader claiming more than it was asked
// for, otherwise up to that many bytes) followed by the bytes it delivers. Packets come out
// whole and in order: every byte delivered once, none lost, repeated or made up.
// The same bytes then go through a socket pair and the POSIX link reader.
#include "fdread.h"
#include "fuzzcheck.h"
#include "stream.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

// Packets read through `rd` until the link counts as lost; the partial rest is dropped.
std::string packets(const kpx::ReadFn& rd) {
    std::string out;
    unsigned char buf[kpx::PACKETBYTES + 8];
    std::memset(buf, 0xEE, sizeof buf);
    for (;;) {
        const int have = kpx::collectpacket(rd, buf, 0);
        FUZZ_CHECK(have >= 0 && have <= kpx::PACKETBYTES);
        FUZZ_CHECK(buf[kpx::PACKETBYTES] == 0xEE); // nothing written past the packet
        if (have < kpx::PACKETBYTES) return out;
        out.append(reinterpret_cast<const char*>(buf), kpx::PACKETBYTES);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string delivered; // what the scripted receives handed over, in order
    std::size_t at = 0;
    const kpx::ReadFn scripted = [&](unsigned char* dst, std::size_t want) -> long {
        FUZZ_CHECK(want >= 1 && want <= static_cast<std::size_t>(kpx::PACKETBYTES));
        if (at >= size) return 0;
        const std::uint8_t control = data[at++];
        if (control == 0) return 0;
        if (control == 1) return -1;
        const std::size_t n = std::min({static_cast<std::size_t>(control), want, size - at});
        std::memcpy(dst, data + at, n);
        delivered.append(reinterpret_cast<const char*>(data + at), n);
        at += n;
        return control == 2 ? static_cast<long>(want) + 1000 : static_cast<long>(n);
    };
    const std::string got = packets(scripted);
    // A reader that overclaims has its claim cut to what was asked for; otherwise the
    // packets are exactly the delivered bytes up to the last whole packet.
    if (std::find(data, data + size, 2) == data + size) {
        FUZZ_CHECK(got.size() == delivered.size() / kpx::PACKETBYTES * kpx::PACKETBYTES);
        FUZZ_CHECK(delivered.compare(0, got.size(), got) == 0);
    }

    // The raw input through a real descriptor, already closed at the far end.
    int sv[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
    const std::size_t n = std::min<std::size_t>(size, 100000);
    int bufsize = 1 << 20;
    ::setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &bufsize, sizeof bufsize);
    ::setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &bufsize, sizeof bufsize);
    FUZZ_CHECK(::write(sv[1], data, n) == static_cast<ssize_t>(n));
    ::close(sv[1]);
    using ms = std::chrono::milliseconds;
    const std::string viafd = packets(kpx::linkreader(sv[0], ms(200), ms(200)));
    ::close(sv[0]);
    FUZZ_CHECK(viafd.size() == n / kpx::PACKETBYTES * kpx::PACKETBYTES);
    FUZZ_CHECK(std::memcmp(viafd.data(), data, viafd.size()) == 0);
    return 0;
}
