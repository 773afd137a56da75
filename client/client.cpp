#include "client.h"

#include "codec.h"
#include "console.h"
#include "fdread.h"
#include "stream.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace kpx {

int sk = -1;
int init = 0;
std::FILE* outfile = nullptr;
std::string devicename = AUDIODEVICE;

namespace {

// Standard output is unbuffered in the program (see clientmain), so every line appears as
// soon as it is printed, also when it has no line end of its own.
void say(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// A fresh IPv4 stream socket for listening. Address reuse lets a client that was stopped
// during a reception be started again at once on the same address, instead of failing its
// bind while the old connection lingers in the kernel.
int makesocket() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s >= 0) {
        const int on = 1;
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    return s;
}

} // namespace

int acc_sock(int sock, const char* address, int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    sa.sin_addr.s_addr = ::inet_addr(address);

    if (init == 0) {
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
            say("Did you specify your own IP address ???\n");
            std::exit(1);
        }
    }
    init = 1;

    say("Use your WWW-browser to connect a server!\n");
    if (::listen(sock, LISTENBACKLOG) < 0) {
        std::perror("listen()");
        ::close(sock);
        return -4;
    }
    const int conn = ::accept(sock, nullptr, nullptr);
    if (conn < 0) {
        std::perror("accept()");
        ::close(sock);
        return -1;
    }
    say("Connection established.\n");
    return conn;
}

void getsound(int conn) {
    outfile = std::fopen(devicename.c_str(), "r+");
    if (outfile == nullptr) {
        std::perror("fopen()");
        std::printf("Check that you have an enabled %s device and that you can access it!\n",
                    devicename.c_str());
        std::fflush(stdout);
        return;
    }

    // Two buffers per reception, whatever the stream brings.
    std::unique_ptr<unsigned char[]> packet(new (std::nothrow) unsigned char[PACKETBUFBYTES]);
    std::unique_ptr<unsigned char[]> audio(new (std::nothrow) unsigned char[AUDIOBUFBYTES]);
    if (!packet || !audio) {
        say("Out of memory!\n");
        std::fclose(outfile);
        outfile = nullptr;
        return;
    }

    // Synchronisation: the first bytes that arrive begin the first packet.
    say("Trying to get beginning of stream...");
    const long first = ::read(conn, packet.get(), PACKETBYTES);
    if (first == 0) {
        // The sender closed before its first byte: nothing will ever arrive on this link.
        prnlost(stdout);
        std::fflush(stdout);
    } else {
        int have = first > 0 ? static_cast<int>(first) : 0;
        say("okay, got it.\n");
        say("The audience is listening to KPX...(CTRL-C aborts)\n");

        const ReadFn rd = fdreader(conn);
        for (;;) {
            have = collectpacket(rd, packet.get(), have);
            if (have < PACKETBYTES) {
                prnlost(stdout);
                std::fflush(stdout);
                break;
            }
            have = 0;
            const int n = decode(packet.get(), PACKETBYTES, audio.get());
            if (n < 0) {
                prncorrupt(stdout);
                std::fflush(stdout);
                continue;
            }
            const std::size_t written =
                std::fwrite(audio.get(), 1, static_cast<std::size_t>(n), outfile);
            if (written < static_cast<std::size_t>(n)) {
                say("Could not play entire audio stream! Sound card problem???\n");
                // The device stream is buffered: a short count only says how much its buffer
                // took before the device refused a write, so a stream in error is treated
                // like a device that takes nothing, and the reception ends.
                if (written == 0 || std::ferror(outfile)) break;
            }
        }
    }

    std::fclose(outfile);
    outfile = nullptr;
}

int serveone(const char* address) {
    const int conn = acc_sock(sk, address, STREAMPORT);
    if (conn < 0) {
        // acc_sock has closed the listening socket. Make a new one and let the next call bind
        // it again to the same address, so the client keeps serving; a short pause keeps a
        // persistent failure from spinning.
        sk = makesocket();
        if (sk < 0) {
            std::perror("socket()");
            std::exit(255);
        }
        init = 0;
        ::usleep(100000);
        return conn;
    }
    getsound(conn);
    ::close(conn);
    say("Connection closed.\n");
    say("\n\n");
    return conn;
}

int clientmain(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    printbanner(CLIENTKIND, CLIENTVERSION);
    prncod();
    init = 0;

    if (argc > 2) {
        std::printf("Usage:   %s <your-IP>\n", argv[0]);
        std::printf("or just: %s\n", argv[0]);
        return 255;
    }
    const std::string address = argc == 2 ? argv[1] : ANYADDRESS;

    sk = makesocket();
    if (sk < 0) {
        std::perror("socket()");
        return 255;
    }
    for (;;) serveone(address.c_str());
}

} // namespace kpx
