#include "win32.h"

#include <windows.h> // before mmsystem.h, which needs it
#include <winsock.h>

#include <mmsystem.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace kpx::win {

namespace {

SOCKET handle(Sock s) {
    return static_cast<SOCKET>(s);
}

// A socket handle as the core sees it: INVALID_SOCKET becomes -1.
Sock fromhandle(SOCKET h) {
    return h == INVALID_SOCKET ? Sock{-1} : static_cast<Sock>(h);
}

} // namespace

int Win32Platform::startup() {
    WSADATA data;
    return WSAStartup(SOCKETVERSION, &data);
}

long Win32Platform::lasterror() {
    return static_cast<long>(GetLastError());
}

void Win32Platform::cleanup() {
    WSACleanup();
}

Sock Win32Platform::opensocket() {
    return fromhandle(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
}

int Win32Platform::bindto(Sock s, const char* address, int port) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = inet_addr(address);
    sa.sin_port = htons(static_cast<u_short>(port));
    const hostent* h = gethostbyname(address);
    if (h != nullptr && h->h_addr_list != nullptr && h->h_addr_list[0] != nullptr) {
        const std::size_t n =
            h->h_length > 0 && static_cast<std::size_t>(h->h_length) < sizeof sa.sin_addr
                ? static_cast<std::size_t>(h->h_length)
                : sizeof sa.sin_addr;
        std::memcpy(&sa.sin_addr, h->h_addr_list[0], n);
    } else {
        sa.sin_addr.s_addr = inet_addr(address);
    }
    return ::bind(handle(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
}

int Win32Platform::listento(Sock s, int backlog) {
    return ::listen(handle(s), backlog);
}

Sock Win32Platform::acceptfrom(Sock s) {
    sockaddr_in from;
    int len = sizeof from;
    return fromhandle(::accept(handle(s), reinterpret_cast<sockaddr*>(&from), &len));
}

long Win32Platform::receive(Sock s, unsigned char* buf, std::size_t len) {
    return ::recv(handle(s), reinterpret_cast<char*>(buf), static_cast<int>(len), 0);
}

void Win32Platform::closesock(Sock s) {
    ::closesocket(handle(s));
}

void Win32Platform::report(const char* call) {
    // The socket layer keeps its own error number; its system text is printed when there
    // is one, else the number.
    const int code = WSAGetLastError();
    char text[256] = "";
    const DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    std::size_t len = n;
    while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r' || text[len - 1] == ' ' ||
                       text[len - 1] == '.'))
        text[--len] = '\0';
    std::fflush(stdout);
    if (len > 0)
        std::fprintf(stderr, "%s: %s\n", call, text);
    else
        std::fprintf(stderr, "%s: socket error %d\n", call, code);
    std::fflush(stderr);
}

int Win32Platform::playsound(const unsigned char* image) {
    return sndPlaySoundA(reinterpret_cast<LPCSTR>(image), PLAYFLAGS) ? 1 : 0;
}

long Win32Platform::ticks() {
    return static_cast<long>(std::clock());
}

long Win32Platform::tickspersecond() {
    return CLOCKS_PER_SEC;
}

void Win32Platform::pause(int ms) {
    Sleep(static_cast<DWORD>(ms));
}

} // namespace kpx::win
