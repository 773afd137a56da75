#include "receiver.h"

#include "platform.h"
#include "stream.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace kpx {

Listener lsn;

namespace {

inline constexpr long RENEWPAUSEMS = 100;

void say(const AcceptTexts& t, const char* text) {
    std::fputs(text, t.out);
    std::fflush(t.out);
}

} // namespace

int makelistensocket() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s >= 0) {
        const int on = 1;
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    return s;
}

void setkeepalive(int fd) {
    const int on = 1;
    const int idle = KEEPIDLESEC;
    const int intvl = KEEPINTVLSEC;
    const int count = KEEPCOUNT;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof intvl);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

int acc_sock(int sock, const char* address, int port, const AcceptTexts& texts) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    sa.sin_addr.s_addr = ::inet_addr(address);

    if (lsn.init == 0) {
        const hostent* h = ::gethostbyname(address);
        if (h != nullptr && h->h_addrtype == AF_INET && h->h_addr_list != nullptr &&
            h->h_addr_list[0] != nullptr) {
            const std::size_t n = static_cast<std::size_t>(h->h_length) < sizeof sa.sin_addr
                                      ? static_cast<std::size_t>(h->h_length)
                                      : sizeof sa.sin_addr;
            std::memcpy(&sa.sin_addr, h->h_addr_list[0], n);
        }
        if (::bind(sock, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) < 0) {
            std::perror("bind()");
            if (texts.bindhint != nullptr) say(texts, texts.bindhint);
            leave(1);
        }
    }
    lsn.init = 1;

    say(texts, texts.waiting);
    if (::listen(sock, LISTENBACKLOG) < 0) {
        std::perror("listen()");
        ::close(sock);
        return -4;
    }
    int conn;
    do {
        conn = ::accept4(sock, nullptr, nullptr, SOCK_CLOEXEC);
    } while (conn < 0 && errno == EINTR);
    if (conn < 0) {
        std::perror("accept()");
        ::close(sock);
        return -1;
    }
    setkeepalive(conn);
    say(texts, "Connection established.\n");
    return conn;
}

void prnupstreamlost() {
    std::fputs("***********************************\n"
               "** Connection to server lost!!!  **\n"
               "***********************************\n"
               "\n"
               "**********************************\n"
               "** Connection to server lost!!! **\n"
               "** ~~~~~~~~~~~~~~~~~~~~~~~~~~~~ **\n"
               "** All clients disconnected!!!! **\n"
               "** Please connect again!!!      **\n"
               "**********************************\n",
               stderr);
}

void renewlistener() {
    lsn.sk = makelistensocket();
    if (lsn.sk < 0) {
        std::perror("socket()");
        leave(255);
    }
    lsn.init = 0;
    sys.pause(RENEWPAUSEMS);
}

} // namespace kpx
