#include "client.h"

#include "codec.h"
#include "console.h"
#include "fdread.h"
#include "numbers.h"
#include "receiver.h"
#include "stream.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

namespace kpx {

std::FILE* outfile = nullptr;
std::string devicename = AUDIODEVICE;
bool pacedoutput = false;
int outputfd = -1;
long silencelimit = SILENCELIMITSEC;
std::vector<NetRule> allowed;

namespace {

// Standard output is unbuffered in the program (see clientmain), so every line appears as
// soon as it is printed, also when it has no line end of its own.
void say(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

const AcceptTexts clienttexts{stdout, "Use your WWW-browser to connect a server!\n",
                              "Did you specify your own IP address ???\n"};

// Waits until the sender has something to read, at most the silence limit. False (with a
// console line) when it stayed silent that long.
bool heardwithin(int conn) {
    if (silencelimit <= 0) return true;
    pollfd p{conn, POLLIN, 0};
    int r = 0;
    do
        r = ::poll(&p, 1, static_cast<int>(silencelimit * 1000));
    while (r < 0 && errno == EINTR);
    if (r != 0) return true;
    std::printf("The sender sent nothing for %ld s: it is given up.\n", silencelimit);
    return false;
}

} // namespace

void getsound(int conn) {
    if (outputfd >= 0) {
        const int fd = ::fcntl(outputfd, F_DUPFD_CLOEXEC, 0);
        outfile = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
        if (outfile == nullptr && fd >= 0) ::close(fd);
    } else {
        outfile = std::fopen(devicename.c_str(), "r+");
    }
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

        using clock = std::chrono::steady_clock;
        clock::time_point due = clock::now();
        for (;;) {
            if (have == 0 && !heardwithin(conn)) {
                prnlost(stdout);
                std::fflush(stdout);
                break;
            }
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
            if (pacedoutput) {
                // No device sets the pace: one packet per 200 ms, and after a gap in the
                // stream the pace starts again rather than catching up.
                std::fflush(outfile);
                due += std::chrono::milliseconds(1000 / PACKETSPERSECOND);
                const auto now = clock::now();
                if (due < now - std::chrono::seconds(1)) due = now;
                std::this_thread::sleep_until(due);
            }
        }
    }

    std::fclose(outfile);
    outfile = nullptr;
}

int serveone(const char* address) {
    AcceptGuard guard;
    if (!allowed.empty())
        guard.allowed = [](std::uint32_t addr) { return netallowed(allowed, addr); };
    const int conn = acc_sock(lsn.sk, address, STREAMPORT, clienttexts, &guard);
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

namespace {

const char* const USAGE =
    "Usage: %s [-o FILE] [-a ADDRESS[/BITS]]... [-s SECONDS] [your-IP]\n"
    "Waits on TCP port 9998 of your-IP (default: every address of this machine) for a KPX\n"
    "server or relay and plays its stream.\n"
    "  -o FILE     write the decoded 8-bit u-law to FILE instead of /dev/audio, at the\n"
    "              stream's real pace (- is standard output, /dev/null discards it)\n"
    "  -a ADDRESS  play only senders from this address or network (may be repeated, or\n"
    "              comma-separated; default: any sender)\n"
    "  -s SECONDS  give a sender up after this long without a packet (default 30, 0: never)\n"
    "  --help      this text;  --version  the version\n";

int usageerror(const char* self) {
    std::printf("Usage:   %s <your-IP>\n", self);
    std::printf("or just: %s\n", self);
    return 255;
}

} // namespace

int clientmain(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const char* self = argc > 0 ? argv[0] : "client";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::printf(USAGE, self);
            std::printf("KPX client %s\n", PROGRAMVERSION);
            return 0;
        }
        if (a == "--version") {
            std::printf("KPX client %s\n", PROGRAMVERSION);
            return 0;
        }
    }
    std::string address = ANYADDRESS;
    std::string output;
    std::string problem; // a value that cannot be used, said after the banner
    bool usage = false;
    int positional = 0;
    for (int i = 1; i < argc && !usage && problem.empty(); ++i) {
        const std::string a = argv[i];
        if ((a == "-o" || a == "-a" || a == "-s") && i + 1 < argc) {
            const std::string v = argv[++i];
            long secs = 0;
            if (a == "-o")
                output = v;
            else if (a == "-a" && !addrules(v, allowed))
                problem = "'" + v + "' is not an address or network (a.b.c.d or a.b.c.d/n).";
            else if (a == "-s" && !plainnumber(v, 86400, secs))
                problem = "'" + v + "' is not a number of seconds.";
            else if (a == "-s")
                silencelimit = secs;
            continue;
        }
        if ((!a.empty() && a[0] == '-') || ++positional > 1) usage = true;
        address = a;
    }
    if (!usage && problem.empty() && output == "-") {
        // The audio takes standard output; the console lines go to the error stream.
        outputfd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
        if (outputfd >= 0) ::dup2(STDERR_FILENO, STDOUT_FILENO);
    }

    printbanner(CLIENTKIND, CLIENTVERSION);
    prncod();
    lsn = Listener{};
    if (usage) return usageerror(self);
    if (!problem.empty()) {
        std::printf("%s: %s\n", self, problem.c_str());
        return 255;
    }

    if (!output.empty()) {
        pacedoutput = true;
        if (output != "-")
            outputfd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (outputfd < 0) {
            std::perror("open()");
            std::printf("Cannot write the audio to %s.\n", output.c_str());
            return 255;
        }
        devicename = output;
    }

    lsn.sk = makelistensocket();
    if (lsn.sk < 0) {
        std::perror("socket()");
        return 255;
    }
    for (;;)
        serveone(address.c_str());
}

} // namespace kpx
