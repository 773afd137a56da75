#include "startup.h"

#include "console.h"
#include "globals.h"
#include "guard.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>

namespace kpx {

void setsignals() {
    const Profile& p = *g.profile;
    if (g.ignsign == 1) {
        std::fputs("- Signal trapping switched OFF.\n", stderr);
        std::fputs(p.signaloff, stderr);
        for (int s = 1; s <= 30; ++s)
            std::signal(s, SIG_IGN);
    } else {
        std::fputs("- Signal trapping switched ON.\n", stderr);
        std::fputs(p.signalon, stderr);
    }
    std::signal(SIGPIPE, SIG_IGN);
}

void prnsummary() {
    const Profile& p = *g.profile;
    std::fprintf(stderr, "- Up to %ld listeners can connect at the same time.\n",
                 static_cast<long>(g.maxclients));
    if (p.role == Role::server) {
        if (g.live == 0)
            std::fputs("- Server is in playback mode. If input stops, server will loop.\n", stderr);
        else
            std::fputs("- Server is in live mode. Input should never stop!\n", stderr);
    }
    std::fputs("- I/O files:\n", stderr);
    if (p.role == Role::server)
        std::fprintf(stderr, "  Default input is (must be ulaw!):  %s\n", g.outputdevice.c_str());
    else
        std::fputs("  Input is:                          network\n", stderr);
    std::fprintf(stderr, "  Commands must go to:               %s\n", g.listname.c_str());
    std::fprintf(stderr, "  Reportfile directory is:           %s\n", g.resdir.c_str());
    std::fprintf(stderr, "  HTML-skeletons are (error/success):%s and %s\n", g.errorfile.c_str(),
                 g.okfile.c_str());
    if (::geteuid() != 0) {
        std::fputs("WARNING:\n", stderr);
        std::fputs("Be sure you have permissions to read and write to the above mentioned files!\n",
                   stderr);
    }
    std::fprintf(stderr, "- Official broadcaster connects are: %s",
                 g.allowbcons == 1 ? "allowed\n" : "not allowed\n");
    std::fprintf(stderr, "- Startup time: %.24s.\n", timetext(g.now).c_str());
    std::fprintf(stderr, "- %s is ready. Waiting for connections...\n", p.program);
    prnline();
    prnguard();
}

} // namespace kpx
