#include "commands.h"

#include "config.h"
#include "console.h"
#include "globals.h"
#include "guard.h"
#include "hooks.h"
#include "numbers.h"
#include "reports.h"
#include "statusfile.h"
#include "table.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace kpx {

namespace {

bool samefile(const Handled& h, const struct stat& st) {
    return h.valid && h.dev == st.st_dev && h.ino == st.st_ino && h.size == st.st_size &&
           h.mtime.tv_sec == st.st_mtim.tv_sec && h.mtime.tv_nsec == st.st_mtim.tv_nsec;
}

// Closes the command file and removes it, which tells its writer the request was taken.
void closeandremove() {
    struct stat st {};
    const bool known = g.listfile != nullptr && ::fstat(::fileno(g.listfile), &st) == 0;
    if (g.listfile != nullptr) std::fclose(g.listfile);
    g.listfile = nullptr;
    if (::unlink(g.listname.c_str()) != 0) {
        std::perror("unlink()");
        std::fprintf(stderr,
                     "Command file %s could not be removed. Its request is not handled "
                     "again until the file changes.\n",
                     g.listname.c_str());
        if (known) {
            g.stuck.valid = true;
            g.stuck.dev = st.st_dev;
            g.stuck.ino = st.st_ino;
            g.stuck.size = st.st_size;
            g.stuck.mtime = st.st_mtim;
        }
    }
}

void stopall() {
    // Every peer is disconnected once, in the slot order in which the command found them,
    // and numbered by that slot. Peers are found by their socket, not by a slot that a
    // removal may already have refilled.
    const int n = g.clientcount;
    std::array<int, MAXPEERS> socks{};
    for (int i = 0; i < n; ++i)
        socks[static_cast<std::size_t>(i)] = g.machine[static_cast<std::size_t>(i)].sock;
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < g.clientcount; ++j) {
            if (g.machine[static_cast<std::size_t>(j)].sock == socks[static_cast<std::size_t>(i)]) {
                killsock(j, i);
                break;
            }
        }
    }
    std::fputs("All clients killed.\n", stderr);
    // Printed by the relay as well: scripts wait for this line as the end of a stop.
    std::fputs("Server stopped.\n", stderr);
    if (g.listfile != nullptr) std::fclose(g.listfile);
    g.listfile = nullptr;
    ::unlink(g.listname.c_str());
    leave(10);
}

} // namespace

void parsecom(const std::string& line) {
    const std::string command = getcommand(line);
    const std::string argument = getparam(line, 1, VALUECHARS);
    std::fprintf(stderr, "Command '%s' given.\n", command.c_str());

    if (sameword(command, "@STOP")) {
        stopall();
    } else if (sameword(command, "@LIST")) {
        std::fputs("Statistics:\n", stderr);
        std::fputs("No/IP\n", stderr);
        if (g.clientcount == 0) std::fputs("No client connected at this time!\n", stderr);
        for (int i = 0; i < g.clientcount; ++i)
            std::fprintf(stderr, "%ld/%s\n", static_cast<long>(i),
                         g.machine[static_cast<std::size_t>(i)].name.c_str());
    } else if (sameword(command, "@KILL") && !argument.empty() &&
               static_cast<std::uint32_t>(atoinumber(argument)) <
                   static_cast<std::uint32_t>(g.clientcount)) {
        killsock(static_cast<int>(atoinumber(argument)));
        return; // killsock ends with its own separator line
    } else if (sameword(command, "@BCONNECT")) {
        const Registration r = parsebconnect(line);
        const std::string& host = r.name;
        if (g.allowbcons != 1) {
            std::fputs("Rejecting broadcaster connect.\n", stderr);
            handleerror(MSG_NOBCONNECT, host);
        } else {
            const std::string& curl = r.clienturl;
            const std::string& burl = r.bcasturl;
            if (!isplainurl(curl) || !isplainurl(burl) || !relayurlsallowed(curl, burl)) {
                // Pages shown to listeners are plain ASCII and, where the operator named
                // them, begin with one of the admitted prefixes.
                std::fputs(isplainurl(curl) && isplainurl(burl)
                               ? "The broadcaster's pages are not among the admitted "
                                 "'relayurls'.\n"
                               : "The broadcaster's pages are not plain ASCII URLs.\n",
                           stderr);
                std::fputs("Rejecting broadcaster connect.\n", stderr);
                handleerror(MSG_NOBCONNECT, host);
            } else {
                std::fputs("Broadcaster connect:\n", stderr);
                // Listed once connected; the separator follows in finishrequest while
                // the connect runs between packets.
                if (conn(host, 1, curl, burl, r.requester) == CONNPENDING) return;
            }
        }
    } else {
        std::fputs("Command was invalid. Doing nothing.\n", stderr);
    }
    prnline();
}

namespace {

// The end of a request whose connect ran between packets: the separator
// printed and the command file removed, which tells the requester its report is ready.
void finishrequest() {
    prnline();
    closeandremove();
}

} // namespace

void pollcommand() {
    // A request under way is finished first; the command file is not read again until then,
    // so requests stay one at a time.
    if (g.pending.active) {
        if (connprogress() != CONNPENDING) finishrequest();
        return;
    }

    // This runs after every packet and almost always finds no file: a stat tells that for
    // less than a failed open, which sets up and drops a file record in the kernel each time.
    struct stat st {};
    if (::stat(g.listname.c_str(), &st) != 0) {
        g.stuck.valid = false;
        return;
    }
    // Non-blocking open, so that a FIFO put in the file's place cannot hang the server;
    // anything but a regular file is left alone.
    const int fd = ::open(g.listname.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        g.stuck.valid = false;
        return;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || samefile(g.stuck, st)) {
        ::close(fd);
        return;
    }
    g.stuck.valid = false;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    g.listfile = ::fdopen(fd, "r");
    if (g.listfile == nullptr) {
        ::close(fd);
        return;
    }

    std::array<char, COMMANDLINECHARS + 1> buf{};
    if (std::fgets(buf.data(), static_cast<int>(buf.size()), g.listfile) == nullptr) {
        // Empty (a writer has just created it): leave it for the next pass.
        std::fclose(g.listfile);
        g.listfile = nullptr;
        return;
    }
    const std::string line(buf.data()); // the line as text: it ends at a NUL byte

    g.now = hooks.clock();
    prntime(g.now);
    if (!line.empty() && line[0] == '@') {
        parsecom(line);
    } else if (conn(line, 0) != CONNPENDING) {
        prnline();
    }
    if (!g.pending.active) closeandremove();
}

} // namespace kpx
