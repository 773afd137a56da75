#include "servermain.h"

#include "codec.h"
#include "config.h"
#include "console.h"
#include "globals.h"
#include "hooks.h"
#include "sound.h"
#include "startup.h"

#include <cstdio>

namespace kpx {

int servermain(int argc, char** argv) {
    printbanner(serverprofile.kind, serverprofile.version);
    prncod();
    std::fflush(stdout);
    setdefaults(serverprofile);
    g.now = hooks.clock();

    if (argc > 2) {
        std::fputs("\n", stderr);
        std::fprintf(stderr, "Usage: %s [ini-file]", argc > 0 ? argv[0] : "server");
        std::fputs("\n", stderr);
        return 255;
    }
    if (argc == 2) g.inifile = argv[1];

    readini();

    setsignals();
    prnsummary();

    for (;;)
        sendsound();
}

} // namespace kpx
