#include "servermain.h"

#include "codec.h"
#include "config.h"
#include "console.h"
#include "globals.h"
#include "hooks.h"
#include "sound.h"
#include "startup.h"

#include <cstdio>
#include <string>

namespace kpx {

int servermain(int argc, char** argv) {
    const char* self = argc > 0 ? argv[0] : "server";
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::printf("Usage: %s [ini-file]\n"
                    "The KPX stream server: reads u-law audio (live from a device or FIFO, or a\n"
                    "file played in a loop), compresses it with GSM 06.10 and sends it to every\n"
                    "listener and relay requested through its command file. The settings come\n"
                    "from ini-file (default: kpx.conf in the working directory).\n"
                    "  --help     this text\n"
                    "  --version  the version\n"
                    "KPX server %s\n",
                    self, PROGRAMVERSION);
        return 0;
    }
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::printf("KPX server %s\n", PROGRAMVERSION);
        return 0;
    }
    printbanner(serverprofile.kind, serverprofile.version);
    prncod();
    std::fflush(stdout);
    setdefaults(serverprofile);
    g.now = hooks.clock();

    if (argc > 2) {
        std::fputs("\n", stderr);
        std::fprintf(stderr, "Usage: %s [ini-file]", self);
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
