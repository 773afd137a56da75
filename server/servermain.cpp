#include "servermain.h"

#include "codec.h"
#include "config.h"
#include "console.h"
#include "globals.h"
#include "platform.h"
#include "sound.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>

namespace kpx {

int servermain(int argc, char** argv) {
    printbanner("SERVER     ", "1.10     ");
    prncod();
    std::fflush(stdout);
    setdefaults(Role::server);
    g.now = sys.clock();

    if (argc > 2) {
        std::fputs("\n", stderr);
        std::fprintf(stderr, "Usage: %s [ini-file]", argc > 0 ? argv[0] : "server");
        std::fputs("\n", stderr);
        return 255;
    }
    if (argc == 2) g.inifile = argv[1];

    readini();

    if (g.ignsign == 1) {
        std::fputs("- Signal trapping switched OFF.\n", stderr);
        std::fputs("  Server can only be stopped by killing it with signal 9!\n", stderr);
        for (int s = 1; s <= 30; ++s) std::signal(s, SIG_IGN);
    } else {
        std::fputs("- Signal trapping switched ON.\n", stderr);
        std::fputs("  Server can be killed by any signal. (including CTRL-C)\n", stderr);
    }
    std::signal(SIGPIPE, SIG_IGN);

    std::fprintf(stderr, "- Up to %ld listeners can connect at the same time.\n",
                 static_cast<long>(g.maxclients));
    if (g.live == 0)
        std::fputs("- Server is in playback mode. If input stops, server will loop.\n", stderr);
    else
        std::fputs("- Server is in live mode. Input should never stop!\n", stderr);
    std::fputs("- I/O files:\n", stderr);
    std::fprintf(stderr, "  Default input is (must be ulaw!):  %s\n", g.outputdevice.c_str());
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
    std::fputs("- Server is ready. Waiting for connections...\n", stderr);
    prnline();

    for (;;) sendsound();
}

} // namespace kpx
