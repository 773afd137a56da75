// Feeds a listener client for the client benchmark: connects to ADDR:9998 as a server would
// and sends PACKETS packets of the embedded programme (encoded once, sent in a loop), either as
// fast as the client takes them or paced at 5 packets per second like a live server.
//
//   clientfeed ADDR PACKETS [paced]
#include "codec.h"
#include "stream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: %s ADDR PACKETS [paced]\n", argv[0]);
        return 2;
    }
    const std::string addr = argv[1];
    const long count = std::atol(argv[2]);
    const bool paced = argc == 4 && std::string(argv[3]) == "paced";

    std::ifstream f(std::string(KPX_SOURCE_DIR) + "/server/programme.ul", std::ios::binary);
    std::vector<unsigned char> audio((std::istreambuf_iterator<char>(f)), {});
    audio.resize(audio.size() / kpx::PACKETSAMPLES * kpx::PACKETSAMPLES);
    if (audio.empty()) {
        std::fprintf(stderr, "%s: no programme\n", argv[0]);
        return 2;
    }
    std::vector<unsigned char> wire(audio.size() / kpx::PACKETSAMPLES * kpx::PACKETBYTES);
    for (std::size_t p = 0; p < audio.size() / kpx::PACKETSAMPLES; ++p)
        if (kpx::encode(audio.data() + p * kpx::PACKETSAMPLES, kpx::PACKETSAMPLES,
                        wire.data() + p * kpx::PACKETBYTES) != kpx::PACKETBYTES)
            return 2;
    const std::size_t packets = wire.size() / kpx::PACKETBYTES;

    int fd = -1;
    for (int tries = 0; tries < 250 && fd < 0; ++tries) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(kpx::STREAMPORT);
        ::inet_pton(AF_INET, addr.c_str(), &sa.sin_addr);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            ::close(fd);
            fd = -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    if (fd < 0) {
        std::perror("connect()");
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i) {
        if (paced) std::this_thread::sleep_until(start + std::chrono::milliseconds(200 * i));
        const unsigned char* p =
            wire.data() + (static_cast<std::size_t>(i) % packets) * kpx::PACKETBYTES;
        std::size_t left = kpx::PACKETBYTES;
        while (left > 0) {
            const ssize_t n = ::send(fd, p, left, MSG_NOSIGNAL);
            if (n <= 0) {
                std::perror("send()");
                return 1;
            }
            p += n;
            left -= static_cast<std::size_t>(n);
        }
    }
    ::close(fd);
    return 0;
}
