#include "client.h"

#include "codec.h"
#include "console.h"
#include "fdread.h"
#include "receiver.h"
#include "stream.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace kpx {

std::FILE* outfile = nullptr;
std::string devicename = AUDIODEVICE;

namespace {

// Standard output is unbuffered in the program (see clientmain), so every line appears as
// soon as it is printed, also when it has no line end of its own.
void say(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

const AcceptTexts clienttexts{stdout, "Use your WWW-browser to connect a server!\n",
                              "Did you specify your own IP address ???\n"};

} // namespace

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

    // Synchronisation: the first bytes that arrive begin the first packet. A sender that sends
    // nothing within the first-byte limit holds the port for nobody: its link counts as lost,
    // and the next sender waiting in the backlog is taken.
    const ReadFn rd = linkreader(conn);
    say("Trying to get beginning of stream...");
    const long first = rd(packet.get(), PACKETBYTES);
    if (first == 0 || (first < 0 && errno == ETIMEDOUT)) {
        // The sender closed (or stayed silent) before its first byte.
        prnlost(stdout);
        std::fflush(stdout);
    } else {
        int have = first > 0 ? static_cast<int>(first) : 0;
        say("okay, got it.\n");
        say("The audience is listening to KPX...(CTRL-C aborts)\n");

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
    const int conn = acc_sock(lsn.sk, address, STREAMPORT, clienttexts);
    if (conn < 0) {
        // acc_sock has closed the listening socket: a new one is bound on the next turn, so
        // the client keeps serving.
        renewlistener();
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
    lsn = Listener{};

    if (argc > 2) {
        std::printf("Usage:   %s <your-IP>\n", argv[0]);
        std::printf("or just: %s\n", argv[0]);
        return 255;
    }
    const std::string address = argc == 2 ? argv[1] : ANYADDRESS;

    lsn.sk = makelistensocket();
    if (lsn.sk < 0) {
        std::perror("socket()");
        return 255;
    }
    for (;;)
        serveone(address.c_str());
}

} // namespace kpx
