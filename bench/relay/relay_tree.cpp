// A broadcast tree on loopback: the real server in live mode, fed a programme of distinct
// chunks at real pace through a FIFO, relays registered under it with "@BCONNECT", and
// listeners under each relay, all held by one receiver pool in this process.
//
// It checks every listener's stream packet by packet against the server's encoding of the
// programme and counts, for the measured window, the packets each listener should have had
// and did have. Delays run from the feeder's write of a chunk into the FIFO to the kernel's
// receive time of the packet's first byte at a listener (one clock): the server's read and
// encoding are in it. With --probe a listener of the server's own is measured first, for a
// few seconds before the relays take all ten slots: that is depth 1 (read, encode, one
// send); the listeners of the relays are depth 2.
//
// --soak also takes RSS and open descriptors of the server and every relay from /proc at
// minute 1 of the window and at its end and fails on growth, and stops relays and server with
// "@STOP", each of which must end with status 10.
//
// Usage: relay_tree [--relays R] [--per-relay L] [--seconds S] [--first N] [--probe] [--soak]
// Addresses 127.0.12.N on: relays from N (default 1), then the listeners, then the probe.
#include "cmdfile.h"
#include "benchkit.h"
#include "serverenv.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

using namespace kpxbench;
using namespace std::chrono_literals;
using kpxtest::server::Env;

namespace {

struct Options {
    int relays = 10, perrelay = 10, seconds = 60, first = 1;
    bool probe = false, soak = false;
};

std::string host(int n) { return "127.0.12." + std::to_string(n); }

// Hands a line to a program's command file as the gateways do, without waiting until it is
// taken (a relay reads it only while its upstream sends).
void post(Env& e, const std::string& line) {
    int error = 0;
    kpx::fileid id;
    if (kpx::placerequest(e.cmdfile(), line, error, id) != kpx::placed::written)
        std::fprintf(stderr, "%s: the request was not written\n", e.cmdfile().c_str());
}

struct Reading {
    long rss = -1;
    int fds = -1;
};
Reading reading(int pid) { return {statuskib(pid, "VmRSS"), fdcount(pid)}; }

// Ctrl-C or a TERM ends the run through the destructors, which stop every program started.
volatile std::sig_atomic_t interrupted = 0;
void oninterrupt(int) { interrupted = 1; }

// Sleeps until `t`; false when the run was interrupted meanwhile.
bool sleepuntil(std::chrono::steady_clock::time_point t) {
    while (interrupted == 0 && std::chrono::steady_clock::now() < t)
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(100ms, t - std::chrono::steady_clock::now()));
    return interrupted == 0;
}

int fail(const std::string& why) {
    std::fprintf(stderr, "relay_tree: %s\n", why.c_str());
    return 1;
}

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](int& into, int lo, int hi) {
            if (i + 1 >= argc) return false;
            into = std::atoi(argv[++i]);
            return into >= lo && into <= hi;
        };
        bool ok = true;
        if (a == "--relays") ok = value(o.relays, 1, 10);
        else if (a == "--per-relay") ok = value(o.perrelay, 1, 10);
        else if (a == "--seconds") ok = value(o.seconds, 1, 86400);
        else if (a == "--first") ok = value(o.first, 1, 254);
        else if (a == "--probe") o.probe = true;
        else if (a == "--soak") o.soak = true;
        else ok = false;
        if (!ok) return false;
    }
    return o.first + o.relays * (1 + o.perrelay) + (o.probe ? 1 : 0) <= 255;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr, "Usage: %s [--relays 1-10] [--per-relay 1-10] [--seconds S] [--first N] [--probe] [--soak]\n",
                     argv[0]);
        return 2;
    }
    std::signal(SIGINT, oninterrupt);
    std::signal(SIGTERM, oninterrupt);
    std::signal(SIGHUP, oninterrupt);
    const std::string tag = o.soak ? "soak_" : "tree_";
    const int listeners = o.relays * o.perrelay;
    std::vector<std::string> addrs;
    for (int j = 0; j < listeners; ++j) addrs.push_back(host(o.first + o.relays + j));
    const int probe = o.probe ? listeners : -1;
    if (o.probe) addrs.push_back(host(o.first + o.relays + listeners));

    const Programme prog((o.seconds + 120) * 5);
    ListenerPool pool(prog, addrs);

    Env server;
    for (auto& line : server.conf) {
        if (line.rfind("live", 0) == 0) line = "live = yes";
        if (line.rfind("inputdevice", 0) == 0) line = "inputdevice = " + server.dir.file("audio");
    }
    server.conf.push_back("maxclients = 10");
    Feeder feeder(prog, server.dir.file("audio"));
    if (!feeder.ok()) return fail("cannot make the FIFO");
    server.start();
    if (!server.proc().running()) return fail("the server did not start:\n" + server.err());
    feeder.start();

    std::vector<double> depth1;
    if (o.probe) {
        if (!server.command(addrs[static_cast<std::size_t>(probe)] + "\n") ||
            !kpxtest::waitfor([&] { return pool.heard(probe).packets >= 16; }, 15s))
            return fail("the server's own listener got no stream:\n" + server.err());
        const Heard h = pool.heard(probe);
        for (int k = h.first; k <= h.last; ++k)
            if (const std::int64_t at = pool.arrival(probe, k))
                depth1.push_back(static_cast<double>(at - feeder.fedat(k)) / 1e6);
        pool.drop(probe); // the server frees the slot at its next writes
        if (!server.waiterr(" died (#", 10s)) return fail("the server kept its own listener");
    }

    std::vector<std::unique_ptr<Env>> relays;
    for (int r = 0; r < o.relays; ++r) {
        relays.push_back(std::make_unique<Env>());
        relays.back()->startrelay(host(o.first + r));
    }
    for (int r = 0; r < o.relays; ++r) {
        const std::string a = host(o.first + r);
        if (!server.command("@BCONNECT " + a + " http://" + a + "/ http://" + a + "/broadcast.html\n") ||
            !relays[static_cast<std::size_t>(r)]->waiterr("Waiting for connections...", 10s))
            return fail("relay " + a + " was not connected:\n" + server.err());
    }
    // One listener per relay at a time, all relays at once.
    for (int j = 0; j < o.perrelay; ++j) {
        for (int r = 0; r < o.relays; ++r) post(*relays[static_cast<std::size_t>(r)], addrs[static_cast<std::size_t>(r * o.perrelay + j)] + "\n");
        for (int r = 0; r < o.relays; ++r) {
            const int i = r * o.perrelay + j;
            if (!kpxtest::waitfor([&] { return pool.heard(i).packets > 0; }, 15s))
                return fail("listener " + addrs[static_cast<std::size_t>(i)] + " was not connected:\n" +
                            relays[static_cast<std::size_t>(r)]->err());
        }
    }
    std::printf("%d relays under the server, %d listeners under each: all connected\n", o.relays, o.perrelay);

    auto cpu = [&](bool ofrelays) {
        std::int64_t sum = 0;
        if (ofrelays)
            for (auto& r : relays) sum += cpuns(r->proc().pid());
        else
            sum = cpuns(server.proc().pid());
        return sum;
    };
    std::vector<int> pids{server.proc().pid()};
    for (auto& r : relays) pids.push_back(r->proc().pid());

    // The window: every packet fed from here on must reach every listener.
    const int from = feeder.fed();
    const std::int64_t relay0 = cpu(true), server0 = cpu(false);
    const auto start = std::chrono::steady_clock::now();
    std::vector<Reading> minute1;
    if (o.soak && o.seconds > 60) {
        if (!sleepuntil(start + 60s)) return fail("interrupted");
        for (int pid : pids) minute1.push_back(reading(pid));
    }
    if (!sleepuntil(start + std::chrono::seconds(o.seconds))) return fail("interrupted");
    const std::int64_t relay1 = cpu(true), server1 = cpu(false);
    const int to = feeder.fed() - 1; // the last chunk of the window
    std::vector<Reading> end;
    for (int pid : pids) end.push_back(reading(pid));
    if (feeder.exhausted()) return fail("the programme ran out");
    kpxtest::waitfor([&] {
        for (int i = 0; i < listeners; ++i)
            if (pool.heard(i).last < to) return false;
        return true;
    }, 10s);
    std::vector<long> hwm;
    for (auto& r : relays) hwm.push_back(statuskib(r->proc().pid(), "VmHWM"));

    // Streams and counts.
    const int expected = to - from + 1;
    long delivered = 0, lost = 0;
    int served = 0, intact = 0, minpk = 1 << 30, maxpk = 0;
    std::vector<double> depth2;
    for (int i = 0; i < listeners; ++i) {
        const Heard h = pool.heard(i);
        if (h.packets > 0) ++served;
        if (h.problem.empty() && h.connections == 1 && h.first <= from && h.last >= to) ++intact;
        else
            std::fprintf(stderr, "listener %s: %s (connections %d, packets %d to %d)\n", addrs[static_cast<std::size_t>(i)].c_str(),
                         h.problem.empty() ? "stream incomplete" : h.problem.c_str(), h.connections, h.first, h.last);
        int got = 0;
        for (int k = from; k <= to; ++k)
            if (const std::int64_t at = pool.arrival(i, k)) {
                ++got;
                depth2.push_back(static_cast<double>(at - feeder.fedat(k)) / 1e6);
            }
        delivered += got;
        lost += expected - got;
        minpk = std::min(minpk, h.packets);
        maxpk = std::max(maxpk, h.packets);
    }
    const double audio = expected / 5.0;
    const Spread d1 = spread(depth1), d2 = spread(depth2);

    std::printf("window: programme packets %d to %d (%.1f s of audio); each listener should have all %d\n", from, to,
                audio, expected);
    result(tag + "listeners_served", served, "listeners");
    result(tag + "listeners_intact", intact, "listeners");
    result(tag + "streams_identical", intact == listeners ? 1 : 0, "yes=1");
    result(tag + "packets_expected_per_listener", expected, "packets");
    result(tag + "packets_delivered", static_cast<double>(delivered), "packets");
    result(tag + "packets_lost", static_cast<double>(lost), "packets");
    result(tag + "packets_per_listener_min", minpk, "packets");
    result(tag + "packets_per_listener_max", maxpk, "packets");
    if (o.probe) {
        result(tag + "delay_depth1_median", d1.median, "ms");
        result(tag + "delay_depth1_max", d1.max, "ms");
    }
    result(tag + "delay_depth2_median", d2.median, "ms");
    result(tag + "delay_depth2_max", d2.max, "ms");
    result(tag + "relays_cpu_per_audio_s", static_cast<double>(relay1 - relay0) / 1000.0 / audio, "us/s");
    result(tag + "server_cpu_per_audio_s", static_cast<double>(server1 - server0) / 1000.0 / audio, "us/s");
    std::string each;
    for (long v : hwm) each += " " + std::to_string(v);
    std::printf("relays' peak RSS (KiB):%s\n", each.c_str());
    result(tag + "relay_peak_rss_max", static_cast<double>(*std::max_element(hwm.begin(), hwm.end())), "KiB");
    result(tag + "relay_peak_rss_min", static_cast<double>(*std::min_element(hwm.begin(), hwm.end())), "KiB");

    bool ok = served == listeners && intact == listeners && lost == 0;
    if (o.soak) {
        // RSS may move by a page or two as the C library's buffers settle; a leak of even a
        // few bytes per packet shows far beyond that over minutes.
        constexpr long RSSSLACK = 16;
        for (std::size_t p = 0; p < pids.size(); ++p) {
            const std::string who = p == 0 ? "server" : "relay" + std::to_string(p);
            if (!minute1.empty()) {
                result(tag + who + "_rss_minute1", static_cast<double>(minute1[p].rss), "KiB");
                result(tag + who + "_fds_minute1", minute1[p].fds, "descriptors");
            }
            result(tag + who + "_rss_end", static_cast<double>(end[p].rss), "KiB");
            result(tag + who + "_fds_end", end[p].fds, "descriptors");
            if (!minute1.empty() && (end[p].rss > minute1[p].rss + RSSSLACK || end[p].fds != minute1[p].fds)) {
                std::fprintf(stderr, "%s grew between minute 1 and the end: RSS %ld -> %ld KiB, descriptors %d -> %d\n",
                             who.c_str(), minute1[p].rss, end[p].rss, minute1[p].fds, end[p].fds);
                ok = false;
            }
        }
        for (std::size_t r = 0; r < relays.size(); ++r)
            if (const int st = relays[r]->stop(); st != 10) {
                std::fprintf(stderr, "relay %zu ended with %d on @STOP\n", r + 1, st);
                ok = false;
            }
        if (const int st = server.stop(); st != 10) {
            std::fprintf(stderr, "the server ended with %d on @STOP\n", st);
            ok = false;
        }
    }
    feeder.stop();
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
