#include "statusfile.h"

#include "cmdfile.h"
#include "globals.h"
#include "hooks.h"
#include "table.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace kpx {

namespace {

using Clock = std::chrono::steady_clock;

// A text as valid UTF-8 for the JSON library: valid UTF-8 sequences pass through, any other
// byte becomes the character of the same number (Latin-1), so that the file is valid JSON
// whatever bytes a request name carried.
std::string utf8text(const std::string& text) {
    std::string out;
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            continue;
        }
        std::size_t len = c >= 0xF0 && c <= 0xF4   ? 4
                          : c >= 0xE0              ? 3
                          : c >= 0xC2 && c <= 0xDF ? 2
                                                   : 0;
        if (c > 0xF4) len = 0;
        bool valid = len > 0 && i + len <= n;
        for (std::size_t k = 1; valid && k < len; ++k)
            valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (valid && len == 3) {
            const auto c1 = static_cast<unsigned char>(text[i + 1]);
            valid = !(c == 0xE0 && c1 < 0xA0) && !(c == 0xED && c1 >= 0xA0); // overlong, surrogates
        } else if (valid && len == 4) {
            const auto c1 = static_cast<unsigned char>(text[i + 1]);
            valid = !(c == 0xF0 && c1 < 0x90) && !(c == 0xF4 && c1 >= 0x90);
        }
        if (valid) {
            out.append(text, i, len);
            i += len - 1;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string picture(std::time_t now, bool running) {
    const bool server = g.profile->role == Role::server;
    std::string mode;
    std::time_t since = 0;
    if (server) {
        mode = g.live != 0 ? "live" : "playback";
        since = g.started;
    } else {
        mode = g.connection == 1 ? "connected" : "waiting";
        since = g.connection == 1 ? g.status.upstreamsince : 0;
    }
    const quad packets = g.packetcount > 0 ? g.packetcount : 0;
    const auto packetcount =
        packets < static_cast<quad>(9.0e15) ? static_cast<long long>(packets) : 9000000000000000LL;

    nlohmann::ordered_json s = {
        {"role", server ? "server" : "broadcaster"},
        {"mode", mode},
        {"running", running},
        {"started", static_cast<long long>(g.started)},
        {"since", static_cast<long long>(since)},
        {"updated", static_cast<long long>(now)},
        {"packets", packetcount},
        {"maxclients", g.maxclients},
        {"clientcount", g.clientcount},
    };
    auto& peers = s["peers"] = nlohmann::ordered_json::array();
    for (int i = 0; i < g.clientcount && i < MAXPEERS; ++i) {
        const machinerec& m = g.machine[static_cast<std::size_t>(i)];
        // The figures killsock prints for this peer if it were removed now.
        const std::uint32_t received = packetsbetween(m.startpacket, g.packetcount);
        peers.push_back({{"slot", i},
                         {"name", utf8text(m.name)},
                         {"since", static_cast<long long>(m.since)},
                         {"bytes", static_cast<std::uint32_t>(330U * received)},
                         {"seconds", received / 5U},
                         {"relay", m.bcast == 1}});
    }
    auto& dist = s["distribution"] = nlohmann::ordered_json::array();
    for (int d = 0; d < g.distcount && d < MAXPEERS; ++d) {
        const distrec& r = g.distributor[static_cast<std::size_t>(d)];
        dist.push_back({{"name", utf8text(r.clientname)},
                        {"clienturl", utf8text(r.clienturl)},
                        {"bcasturl", utf8text(r.bcasturl)}});
    }
    return s.dump(2) + "\n";
}

// Writes `text` to a new file of its own in the status file's directory (created exclusively,
// never through a link or a file someone else put there) and renames it over the status file,
// so that a reader sees either the old or the new picture, never a part. Returns 0 or an
// errno value.
int replacefile(const std::string& path, const std::string& text) {
    std::string tmp = path + ".XXXXXX";
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return errno;
    int err = 0;
    if (::fchmod(fd, 0640) != 0) err = errno;
    if (err == 0) err = writeall(fd, text.data(), text.size());
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) ::unlink(tmp.c_str());
    return err;
}

// The last picture, on the way out (the stop command, a fatal error): the program no longer
// runs. Nothing is printed any more.
void writelast() {
    if (g.statusfile.empty() || !g.status.written) return;
    replacefile(g.statusfile, picture(hooks.clock(), false));
}

void writenow() {
    if (g.statusfile.empty()) return;
    if (!g.status.written) {
        g.status.written = true;
        // A process can set its exit hook only once; it writes the last picture of the
        // settings current at exit, if they wrote one at all.
        static const bool hooked = std::atexit(writelast) == 0;
        static_cast<void>(hooked);
    }
    if (g.connection == 1 && g.status.lastconnection != 1) g.status.upstreamsince = hooks.clock();
    g.status.lastconnection = g.connection;
    g.status.lastwrite = Clock::now();
    const int err = replacefile(g.statusfile, picture(hooks.clock(), true));
    if (err == 0) {
        g.status.failing = false;
    } else if (!g.status.failing) {
        // Reported once; the stream is not affected. A later success re-arms the report.
        g.status.failing = true;
        std::fprintf(stderr, "Status file '%s': %s\n", g.statusfile.c_str(), std::strerror(err));
        std::fputs("The status file cannot be written; the stream goes on without it "
                   "(reported once).\n",
                   stderr);
    }
}

} // namespace

void statuschanged() {
    writenow();
}

void statustick() {
    if (g.statusfile.empty()) return;
    if (g.status.written && Clock::now() - g.status.lastwrite < std::chrono::seconds(1)) return;
    writenow();
}

} // namespace kpx
