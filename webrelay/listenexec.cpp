// Starts a web server on a listening socket made here with a small send buffer, handed over as
// socket activation (descriptor 3, LISTEN_FDS=1, LISTEN_PID). Connections accepted on it inherit
// the buffer, so a stream client that stops reading is noticed by the web server (its writes
// block) within seconds instead of after megabytes that the kernel would otherwise queue.
// Usage: listenexec ADDR PORT SNDBUF PROGRAM [ARGS...]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "Usage: %s ADDR PORT SNDBUF PROGRAM [ARGS...]\n",
                     argc > 0 ? argv[0] : "listenexec");
        return 2;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[2])));
    const int sndbuf = std::atoi(argv[3]);
    if (::inet_pton(AF_INET, argv[1], &sa.sin_addr) != 1 || sa.sin_port == 0 || sndbuf <= 0) {
        std::fprintf(stderr,
                     "listenexec: ADDR must be a dotted IPv4 address, PORT and SNDBUF numbers\n");
        return 2;
    }
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    if (s < 0 || ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf) != 0 ||
        ::bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(s, 1024) != 0) {
        std::perror("listenexec");
        return 1;
    }
    if (s != 3 && (::dup2(s, 3) != 3 || ::close(s) != 0)) {
        std::perror("listenexec: dup2");
        return 1;
    }
    // The pid stays the same across exec, so the web server finds its own pid here.
    ::setenv("LISTEN_FDS", "1", 1);
    ::setenv("LISTEN_PID", std::to_string(::getpid()).c_str(), 1);
    ::execvp(argv[4], argv + 4);
    std::perror("listenexec: exec");
    return 127;
}
