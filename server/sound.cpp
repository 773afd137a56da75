#include "sound.h"

#include "cfile.h"
#include "codec.h"
#include "commands.h"
#include "console.h"
#include "globals.h"
#include "guard.h"
#include "hooks.h"
#include "statusfile.h"
#include "table.h"

#include <syslog.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace kpx {

namespace {

void prnlivebox() {
    std::fputs("*****************************************\n"
               "* WARNING:                              *\n"
               "* What's this? EOF in live mode ???     *\n"
               "* If you are getting the data from a    *\n"
               "* file, switch to playback mode, by     *\n"
               "* setting 'live' to 'no'.               *\n"
               "* If this is not the case, check hard-  *\n"
               "* and software configuration of system! *\n"
               "*****************************************\n"
               "\n"
               "Assuming configuration error - switching to playback mode now.\n",
               stderr);
    prnline();
}

[[noreturn]] void prnbang() {
    std::fputs("***********************************\n"
               "** Bang!                         **\n"
               "** Inputfile could not be read.  **\n"
               "** Transmittion cannot go on.    **\n"
               "** Restart and make sure file is **\n"
               "** readable!!!                   **\n"
               "***********************************\n"
               "\n"
               "Quitting.\n",
               stderr);
    diefatal();
}

[[noreturn]] void prnmegaoops() {
    std::fputs("***************************************************\n"
               "** Mega-OOOPS!                                   **\n"
               "** CODEC was not able to compress audio data!    **\n"
               "** Audio data may be corrupt or input is at EOF. **\n"
               "** If error persists, contact support personell! **\n"
               "***************************************************\n"
               "\n"
               "INTERRUPTING.\n",
               stderr);
    diefatal();
}

// Reads one packet in the current mode. Returns the byte count of the packet; in playback
// mode always a full packet, the part the file could not fill being u-law silence.
std::size_t readpacket(std::FILE* in, unsigned char* buf) {
    std::size_t n = 0;
    if (g.live == 1) {
        n = std::fread(buf, 1, INPUTBYTES, in);
        if (std::feof(in) || std::ferror(in)) {
            prnlivebox();
            g.live = 0;
            n = 0;
        }
    }
    if (g.live == 0) {
        n = std::fread(buf, 1, INPUTBYTES, in);
        const bool failed = std::ferror(in) != 0; // rewind() would clear it
        if (std::feof(in)) std::rewind(in);
        if (failed) prnbang();
        if (n < static_cast<std::size_t>(INPUTBYTES)) {
            // Silence, not 0x00 (the loudest negative code), so the loop point is not heard.
            std::memset(buf + n, ULAWSILENCE, INPUTBYTES - n);
            n = INPUTBYTES;
        }
    }
    return n;
}

void packetpass(std::FILE* in, unsigned char* inbuf, unsigned char* outbuf) {
    const std::size_t n = readpacket(in, inbuf);
    g.packetcount += 1;
    if (n < static_cast<std::size_t>(INPUTBYTES)) {
        std::fputs("WARNING:\n", stderr);
        std::fputs("Could not record entire packet. Sound card problem ???\n", stderr);
        std::fprintf(stderr, "Wanted to read %d bytes, but could only read %ld bytes.\n",
                     INPUTBYTES, static_cast<long>(n));
        std::fputs("Data may be unusable for clients...but continuing.\n", stderr);
    }
    const int len = encode(inbuf, static_cast<int>(n), outbuf);
    if (len < 0) prnmegaoops();

    if (g.clientcount > 0)
        distribute(outbuf, static_cast<std::size_t>(len));
    else if (g.live == 0)
        hooks.pause(NOLISTENERPAUSEMS);

    pollcommand();
    statustick();
    prunereports();
}

} // namespace

void diefatal() {
    ::syslog(LOG_ALERT, "%s", "KPX server died !!! Admin: Please mantain!\n");
    leave(255);
}

void sendsound() {
    std::vector<unsigned char> inbuf;
    std::vector<unsigned char> outbuf;
    try {
        inbuf.resize(INPUTBYTES);
    } catch (const std::bad_alloc&) {
        std::fputs("Ooops! Not enough memory!\n", stderr);
        return;
    }
    try {
        outbuf.resize(INPUTBYTES);
    } catch (const std::bad_alloc&) {
        std::fputs("Aiiiie! Not enough memory!\n", stderr);
        return;
    }
    FilePtr in(std::fopen(g.outputdevice.c_str(), "rbe"));
    if (!in) {
        std::perror("fopen()");
        std::fprintf(stderr, "Error opening %s for reading. Check hardware and permissions!\n",
                     g.outputdevice.c_str());
        std::fputs("Please make sure no other program is using the device!\n", stderr);
        // A file to play back that cannot be opened will not appear by itself: the server ends
        // with the status of a fatal error. A live device may come back, so it is tried again.
        if (g.live == 0) diefatal();
        // The next run would try again at once; a missing device must not flood the console.
        hooks.pause(REOPENPAUSEMS);
        return;
    }
    for (;;)
        packetpass(in.get(), inbuf.data(), outbuf.data());
}

} // namespace kpx
