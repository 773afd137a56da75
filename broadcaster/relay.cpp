#include "relay.h"

#include "commands.h"
#include "config.h"
#include "console.h"
#include "fdread.h"
#include "globals.h"
#include "guard.h"
#include "hooks.h"
#include "receiver.h"
#include "startup.h"
#include "statusfile.h"
#include "stream.h"
#include "table.h"

#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include <cstdio>
#include <memory>
#include <new>
#include <string>

namespace kpx {

namespace {

const AcceptTexts relaytexts{stderr, "Use a WWW-browser to connect to server!\n", nullptr};

inline constexpr int IDLETICKMS = 1000; // the command file is read at least this often

// An allowed sender accepted while another upstream was relayed: it takes over next.
int waiting = -1;

AcceptGuard relayguard() {
    AcceptGuard a;
    if (g.guard.upstreamset)
        a.allowed = [](std::uint32_t addr) { return netallowed(g.guard.upstream, addr); };
    if (!g.allowuser.empty()) {
        // An unknown user owns no program: every local sender is refused then.
        const passwd* pw = ::getpwnam(g.allowuser.c_str());
        a.user = static_cast<long>(pw != nullptr ? pw->pw_uid : static_cast<uid_t>(-1));
    }
    a.idle = [] {
        pollcommand();
        statustick();
        prunereports();
    };
    return a;
}

void lost(const char* why) {
    if (why != nullptr) std::fputs(why, stderr);
    g.connection = 0;
    prnupstreamlost();
    statuschanged();
}

} // namespace

void sendsound(int upstream) {
    std::unique_ptr<unsigned char[]> packet(new (std::nothrow) unsigned char[PACKETBYTES]);
    if (!packet) {
        std::fputs("Ooops! Not enough memory!\n", stderr);
        return;
    }
    std::vector<unsigned char> recent;
    const ReadFn rd = drainbacklog(upstream, linkreader(upstream), recent);
    using clock = std::chrono::steady_clock;
    clock::time_point lastpacket = clock::now();
    bool whole = !recent.empty(); // at least one whole packet came
    for (std::size_t at = 0; at < recent.size(); at += PACKETBYTES) {
        g.packetcount += 1;
        distribute(recent.data() + at, PACKETBYTES);
    }
    while (g.connection == 1) {
        // Between packets: the upstream, the listening socket (with an allow list) and, at
        // least once a second, the command file.
        pollfd fds[2] = {{upstream, POLLIN, 0}, {lsn.sk, POLLIN, 0}};
        const nfds_t count = g.guard.upstreamset || !g.allowuser.empty() ? 2 : 1;
        const int r = ::poll(fds, count, IDLETICKMS);
        if (count == 2 && (fds[1].revents & POLLIN) != 0)
            takewaiting(lsn.sk, relayguard(), waiting);
        if (r > 0 && fds[0].revents != 0) {
            if (collectpacket(rd, packet.get(), 0) < PACKETBYTES) {
                // The partial packet is dropped; the listeners stay for the next upstream.
                lost(nullptr);
                return;
            }
            whole = true;
            lastpacket = clock::now();
            g.packetcount += 1;
            distribute(packet.get(), PACKETBYTES);
            pollcommand();
            statustick();
            prunereports();
            continue;
        }
        pollcommand();
        statustick();
        prunereports();
        const auto quiet =
            std::chrono::duration_cast<std::chrono::seconds>(clock::now() - lastpacket);
        if (!whole) {
            // Before the first whole packet the reader's own first-byte limit applies.
            if (quiet.count() * 1000 >= FIRSTBYTELIMIT.count()) {
                lost("The upstream sent nothing after connecting.\n");
                return;
            }
        } else if (g.guard.upstreamidle > 0 && quiet.count() >= g.guard.upstreamidle) {
            std::fprintf(stderr, "The upstream sent nothing for %ld s: it is given up.\n",
                         static_cast<long>(quiet.count()));
            lost(nullptr);
            return;
        }
    }
}

int relaymain(int argc, char** argv) {
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::printf("Usage: %s [Your-IP]\n"
                    "The KPX relay broadcaster: waits on TCP port 9998 of Your-IP (default: every\n"
                    "address of this machine) for a server's or relay's stream and hands every\n"
                    "packet on to listeners of its own, requested through its command file. The\n"
                    "settings come from kpx.conf in the working directory.\n"
                    "  --help     this text\n"
                    "  --version  the version\n"
                    "KPX broadcaster %s\n",
                    argv[0], PROGRAMVERSION);
        return 0;
    }
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::printf("KPX broadcaster %s\n", PROGRAMVERSION);
        return 0;
    }
    printbanner(relayprofile.kind, relayprofile.version);
    std::fflush(stdout);
    std::fputs("No CODEC\n", stderr);
    setdefaults(relayprofile);
    g.now = hooks.clock();

    const char* self = argc > 0 ? argv[0] : "broadcaster";
    if (argc > 2) {
        std::fputs("\n", stderr);
        std::fprintf(stderr, "Usage: %s Your-IP\n", self);
        std::fprintf(stderr, "or just: %s\n\n", self);
        std::fprintf(stderr, "Configuration file is %s\n", g.inifile.c_str());
        std::fputs("\n", stderr);
        return 255;
    }

    // The settings are read once before the first upstream (its allow list applies to it)
    // and again with every upstream; who may feed the relay is said at once.
    readini();
    prnguard();
    if (!g.allowuser.empty())
        std::fprintf(stderr, "- Upstream senders on this machine must be programs of user %s%s.\n",
                     g.allowuser.c_str(),
                     ::getpwnam(g.allowuser.c_str()) != nullptr ? ""
                                                                : " (no such user: none is taken)");
    prnline();
    std::fputs("CLIENT MODE\n", stderr);
    lsn = Listener{};
    lsn.sk = makelistensocket();
    if (lsn.sk < 0) {
        std::perror("socket() (I)");
        return 255;
    }

    for (;;) {
        const std::string address = argc == 2 ? argv[1] : "0.0.0.0";
        int upstream = -1;
        if (waiting >= 0) {
            upstream = waiting;
            waiting = -1;
            std::fputs("Connection established.\n", stderr);
        } else {
            const AcceptGuard guard = relayguard();
            upstream = acc_sock(lsn.sk, address.c_str(), STREAMPORT, relaytexts, &guard);
        }
        if (upstream < 0) {
            // The listening socket is gone: a new one is bound on the next turn.
            renewlistener();
            continue;
        }
        g.connection = 1;

        prnline();
        std::fputs("SERVER MODE\n", stderr);
        readini();
        setsignals();
        prnsummary();

        g.connection = 1;
        statuschanged();
        do {
            sendsound(upstream);
        } while (g.connection == 1);
        ::close(upstream);
        std::fputs("Broadcaster shutdown.\n", stderr);
    }
}

} // namespace kpx
