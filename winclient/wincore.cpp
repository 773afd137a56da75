#include "wincore.h"

#include "codec.h"
#include "console.h"
#include "stream.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace kpx::win {

const Frontend CONSOLEFRONTEND = {"Win32Client", "1.10b    ", false,
                                  "Use your WWW-browser to connect to a server! (CTRL-C quits)\n"};
const Frontend WINDOWFRONTEND = {"Win32sClient", "0.1alpha", true,
                                 "Use your WWW-browser to connect to a server!\n"};

Platform* sys = nullptr;
const Frontend* frontend = &CONSOLEFRONTEND;

// clang-format off
const unsigned char ulaw2pcm8[256] = {
    0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x00,
    0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x02,
    0x05,0x09,0x0D,0x11,0x15,0x19,0x1D,0x21,0x25,0x29,0x2D,0x31,0x35,0x39,0x3D,0x41,
    0x44,0x46,0x48,0x4A,0x4C,0x4E,0x50,0x52,0x54,0x56,0x58,0x5A,0x5C,0x5E,0x60,0x62,
    0x64,0x65,0x66,0x67,0x68,0x69,0x6A,0x6B,0x6C,0x6D,0x6E,0x6F,0x70,0x71,0x72,0x73,
    0x73,0x74,0x74,0x75,0x75,0x76,0x76,0x77,0x77,0x78,0x78,0x79,0x79,0x7A,0x7A,0x7B,
    0x7B,0x7B,0x7C,0x7C,0x7C,0x7C,0x7D,0x7D,0x7D,0x7D,0x7E,0x7E,0x7E,0x7E,0x7F,0x7F,
    0x7F,0x7F,0x7F,0x7F,0x80,0x80,0x80,0x80,0x80,0x80,0x80,0x80,0x80,0x80,0x80,0x80,
    0xFF,0xFF,0xFF,0xFF,0xFF,0xFF,0xFF,0xFF,0xFF,0xFF,0xFF,0xFF,0xFF,0xFF,0xFF,0xFF,
    0xFF,0xFF,0xFF,0xFF,0xFF,0xFF,0xFF,0xFF,0xFF,0xFF,0xFF,0xFF,0xFF,0xFF,0xFF,0xFF,
    0xFC,0xF8,0xF4,0xF0,0xEC,0xE8,0xE4,0xE0,0xDC,0xD8,0xD4,0xD0,0xCC,0xC8,0xC4,0xC0,
    0xBD,0xBB,0xB9,0xB7,0xB5,0xB3,0xB1,0xAF,0xAD,0xAB,0xA9,0xA7,0xA5,0xA3,0xA1,0x9F,
    0x9D,0x9C,0x9B,0x9A,0x99,0x98,0x97,0x96,0x95,0x94,0x93,0x92,0x91,0x90,0x8F,0x8E,
    0x8E,0x8D,0x8D,0x8C,0x8C,0x8B,0x8B,0x8A,0x8A,0x89,0x89,0x88,0x88,0x87,0x87,0x86,
    0x86,0x86,0x85,0x85,0x85,0x85,0x84,0x84,0x84,0x84,0x83,0x83,0x83,0x83,0x82,0x82,
    0x82,0x82,0x82,0x82,0x81,0x81,0x81,0x81,0x81,0x81,0x81,0x81,0x80,0x80,0x80,0x80,
};
// clang-format on

unsigned char image[2][IMAGEBYTES];
int fill = 0;
int current = 0;

namespace {

// Every message is flushed at once: the window of wingui shows text as it is flushed, and
// the socket-call failures on standard error then stay in order with it.
void say(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

void put32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void put16(unsigned char* p, std::uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void closinglines() {
    say("Connection closed.\n");
    say("Restart KPX!\n");
    say("\n\n");
}

} // namespace

void resetsound() {
    std::memset(image, 0x80, sizeof image);
    fill = 0;
    current = 0;
}

void writeheader(unsigned char* img) {
    std::memcpy(img, "RIFF", 4);
    put32(img + 4, IMAGEBYTES - 8);
    std::memcpy(img + 8, "WAVEfmt ", 8);
    put32(img + 16, 16);   // format chunk length
    put16(img + 20, 1);    // PCM
    put16(img + 22, 1);    // one channel
    put32(img + 24, 8000); // samples per second
    put32(img + 28, 8000); // bytes per second
    put16(img + 32, 1);    // block alignment
    put16(img + 34, 8);    // bits per sample
    std::memcpy(img + 36, "data", 4);
    put32(img + 40, IMAGESAMPLES);
}

int playwave(const unsigned char* bytes, int count) {
    if (count < 0 || count > IMAGESAMPLES - fill) return 0;
    unsigned char* img = image[current];
    unsigned char* samples = img + HEADERBYTES + fill;
    for (int i = 0; i < count; ++i)
        samples[i] = ulaw2pcm8[bytes[i]];
    fill += count;
    if (fill < IMAGESAMPLES) return count;

    writeheader(img);
    // The player refuses a new image while the previous one still plays, so the image is
    // offered again until it starts; the clock is in CLOCKS_PER_SEC ticks. A short pause
    // between attempts leaves the processor to the rest of the system.
    const long start = sys->ticks();
    const long persecond = sys->tickspersecond() > 0 ? sys->tickspersecond() : 1;
    for (;;) {
        const int started = sys->playsound(img);
        if ((sys->ticks() - start) / persecond > STARTSECONDS) return 0;
        if (started != 0) break;
        sys->pause(RETRYPAUSEMS);
    }
    fill = 0;
    current ^= 1;
    return count;
}

Sock acc_sock(Sock sock, const char* address, int port) {
    if (sys->bindto(sock, address, port) < 0) {
        sys->report("bind()");
        return BINDFAILED;
    }
    say("ready.\n");
    say("\n");
    say(frontend->browserline);
    if (sys->listento(sock, LISTENBACKLOG) < 0) {
        sys->report("listen()");
        sys->closesock(sock);
        return LISTENFAILED;
    }
    const Sock conn = sys->acceptfrom(sock);
    if (conn < 0) {
        sys->report("accept()");
        sys->closesock(sock);
        return ACCEPTFAILED;
    }
    say("Connection established.\n");
    return conn;
}

void getsound(Sock s) {
    std::unique_ptr<unsigned char[]> packet(new (std::nothrow) unsigned char[PACKETBUFBYTES]);
    std::unique_ptr<unsigned char[]> audio(new (std::nothrow) unsigned char[AUDIOBUFBYTES]);
    if (!packet || !audio) {
        say("Out of memory!\n");
        return;
    }

    // Synchronisation: the first bytes that arrive begin the first packet. A receive that
    // delivers nothing is repeated, but a sender that has closed delivers nothing for ever,
    // so after MAXREADS empty receives the link counts as lost.
    long first = 0;
    for (int empty = 0; empty < MAXREADS; ++empty) {
        first = sys->receive(s, packet.get(), PACKETBYTES);
        if (first != 0) break;
    }
    if (first == 0) {
        prnlost(stdout);
        return;
    }
    say("The audience is listening to KPX...\n");

    int have = first > 0 ? (first > PACKETBYTES ? PACKETBYTES : static_cast<int>(first)) : 0;
    const ReadFn rd = [s](unsigned char* dst, std::size_t want) {
        return sys->receive(s, dst, want);
    };
    for (;;) {
        have = collectpacket(rd, packet.get(), have);
        if (have < PACKETBYTES) {
            prnlost(stdout);
            return;
        }
        have = 0;
        if (decode(packet.get(), PACKETBYTES, audio.get()) < 0) {
            prncorrupt(stdout);
            continue;
        }
        if (playwave(audio.get(), PACKETSAMPLES) != PACKETSAMPLES) {
            say("Could not play entire audio stream! Sound card problem???\n");
            return;
        }
    }
}

int clientmain(const Frontend& prof, Platform& plat, int argc, char** argv) {
    sys = &plat;
    frontend = &prof;
    printbanner(prof.kind, prof.version);
    prncod();
    std::fflush(stdout);
    if (prof.attention) {
        say("\n");
        say("ATTENTION:\n");
        say("KPX was never designed to run on 16 bit systems.\n");
        say("THIS IS AN EXPERIMENTAL VERSION. No warranty, no support!\n");
        say("\n");
    }
    if (argc > 2) {
        std::printf("Usage: %s <your-IP>\n", argv[0]);
        std::printf("   or: %s \n", argv[0]);
        std::fflush(stdout);
        return -1;
    }

    // The optional argument is kept (cut to the buffer), but every interface is bound.
    char address[ADDRESSBYTES];
    std::snprintf(address, sizeof address, "%s", argc == 2 ? argv[1] : ANYADDRESS);
    std::snprintf(address, sizeof address, "%s", ANYADDRESS);

    say("Initializing TCP/IP...");
    if (sys->startup() != 0) {
        std::printf("WSAStartup() failed: %ld\n", sys->lasterror());
        std::fflush(stdout);
        return -1;
    }
    const Sock sock = sys->opensocket();
    if (sock < 0) {
        sys->report("socket()");
        return -1;
    }
    const Sock conn = acc_sock(sock, address, STREAMPORT);
    if (conn == BINDFAILED) return 1;
    if (conn < 0) {
        // No sender to receive from: the reception ends before it began.
        prnlost(stdout);
    } else {
        getsound(conn);
        sys->closesock(conn);
    }
    closinglines();
    sys->cleanup();
    return 0;
}

} // namespace kpx::win
