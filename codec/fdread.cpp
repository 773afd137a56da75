#include "fdread.h"

#include <cerrno>
#include <unistd.h>

namespace kpx {

ReadFn fdreader(int fd)
{
    return [fd](unsigned char* dst, std::size_t want) -> long {
        for (;;) {
            const ssize_t n = ::read(fd, dst, want);
            if (n < 0 && errno == EINTR)
                continue;
            return static_cast<long>(n);
        }
    };
}

} // namespace kpx
