#include "fdread.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace kpx {

ReadFn fdreader(int fd) {
    return [fd](unsigned char* dst, std::size_t want) -> long {
        for (;;) {
            const ssize_t n = ::read(fd, dst, want);
            if (n < 0 && errno == EINTR) continue;
            return static_cast<long>(n);
        }
    };
}

ReadFn linkreader(int fd, std::chrono::milliseconds first, std::chrono::milliseconds packet) {
    using clock = std::chrono::steady_clock;
    struct State {
        clock::time_point deadline;   // the current limit (only while `limited`)
        bool limited = true;          // the first byte is awaited, or a packet is incomplete
        bool expired = false;         // a limit ran out: the link counts as lost
        unsigned long long bytes = 0; // received so far
    };
    auto st = std::make_shared<State>();
    st->deadline = clock::now() + first;
    const ReadFn plain = fdreader(fd);
    return [st, plain, fd, packet](unsigned char* dst, std::size_t want) -> long {
        if (st->expired) return -1;
        if (st->limited) {
            for (;;) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(st->deadline - clock::now())
                        .count();
                if (left <= 0) {
                    st->expired = true;
                    errno = ETIMEDOUT;
                    return -1;
                }
                pollfd p{fd, POLLIN, 0};
                const int r = ::poll(&p, 1, static_cast<int>(left));
                if (r < 0 && errno == EINTR) continue;
                if (r != 0) break; // readable, closed or in error: the read tells which
            }
        }
        const long n = plain(dst, want);
        if (n > 0) {
            const bool began = st->bytes % PACKETBYTES == 0;
            st->bytes += static_cast<unsigned long long>(n);
            if (st->bytes % PACKETBYTES == 0) {
                st->limited = false;
            } else if (began || !st->limited) {
                st->limited = true;
                st->deadline = clock::now() + packet;
            }
        }
        return n;
    };
}

} // namespace kpx
