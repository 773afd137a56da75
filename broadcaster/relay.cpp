#include "relay.h"

#include "commands.h"
#include "config.h"
#include "console.h"
#include "fdread.h"
#include "globals.h"
#include "platform.h"
#include "receiver.h"
#include "startup.h"
#include "status.h"
#include "stream.h"
#include "table.h"

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <new>
#include <string>

namespace kpx {

namespace {

const AcceptTexts relaytexts{stderr, "Use a WWW-browser to connect to server!\n", nullptr};

} // namespace

void sendsound(int upstream) {
    std::unique_ptr<unsigned char[]> packet(new (std::nothrow) unsigned char[PACKETBYTES]);
    if (!packet) {
        std::fputs("Ooops! Not enough memory!\n", stderr);
        return;
    }
    const ReadFn rd = linkreader(upstream);
    while (g.connection == 1) {
        if (collectpacket(rd, packet.get(), 0) < PACKETBYTES) {
            // The partial packet is dropped; the listeners stay for the next upstream.
            g.connection = 0;
            prnupstreamlost();
            statuschanged();
            return;
        }
        g.packetcount += 1;
        distribute(packet.get(), PACKETBYTES);
        pollcommand();
        statustick();
    }
}

int relaymain(int argc, char** argv) {
    printbanner(relayprofile.kind, relayprofile.version);
    std::fflush(stdout);
    std::fputs("No CODEC\n", stderr);
    setdefaults(relayprofile);
    g.now = sys.clock();

    const char* self = argc > 0 ? argv[0] : "broadcaster";
    if (argc > 2) {
        std::fputs("\n", stderr);
        std::fprintf(stderr, "Usage: %s Your-IP\n", self);
        std::fprintf(stderr, "or just: %s\n\n", self);
        std::fprintf(stderr, "Configuration file is %s\n", g.inifile.c_str());
        std::fputs("\n", stderr);
        return 255;
    }

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
        const int upstream = acc_sock(lsn.sk, address.c_str(), STREAMPORT, relaytexts);
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
