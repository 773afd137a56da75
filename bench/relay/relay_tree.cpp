// A broadcast tree on loopback: the real server in live mode, fed a programme of distinct
// chunks at real pace through a FIFO, relays registered under it with "@BCONNECT" (and, at
// depth 3, relays registered under each of those), and listeners under each of the lowest
// relays, all held by one receiver pool in this process.
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
// Usage: relay_tree [--depth 2|3] [--relays R] [--middle M] [--per-relay L] [--seconds S]
//                   [--first N] [--probe] [--soak]
// R relays under the server, at depth 3 M relays under each of them, L listeners under each
// of the lowest relays.
// Addresses, depth 2: 127.0.12.N on: relays from N (default 1), then the listeners, then the
// probe. Depth 3: the upper relays from 127.0.12.N, then the two probes; the lower relays on
// 127.0.16.1 on; the listeners 250 to a block from 127.0.17.1 (up to 127.0.20.250).
#include "benchkit.h"
#include "cmdfile.h"
#include "serverenv.h"

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

using namespace kpxbench;
using namespace std::chrono_literals;
using kpxtest::server::Env;

namespace {

struct Options {
    int depth = 2, relays = 10, middle = 10, perrelay = 10, seconds = 60, first = 1;
    bool probe = false, soak = false;
    int lowest() const { return depth == 3 ? relays * middle : relays; }
    int listeners() const { return lowest() * perrelay; }
};

std::string host(int n) {
    return "127.0.12." + std::to_string(n);
}
// Depth 3: the lower relays and the listeners.
std::string lowerhost(int m) {
    return "127.0.16." + std::to_string(1 + m);
}
std::string listenerhost(int j) {
    return "127.0." + std::to_string(17 + j / 250) + "." + std::to_string(1 + j % 250);
}

// Hands a line to a program's command file as the gateways do, without waiting until it is
// taken (a relay reads it only while its upstream sends). The previous request may still be
// finishing: its file is waited for here in short steps (placerequest would pause a whole
// second, one relay after the other).
void post(Env& e, const std::string& line) {
    int error = 0;
    kpx::fileid id;
    if (!kpxtest::waitfor([&] { return !kpxtest::exists(e.cmdfile()); }, 10s) ||
        kpx::placerequest(e.cmdfile(), line, error, id) != kpx::placed::written)
        std::fprintf(stderr, "%s: the request was not written\n", e.cmdfile().c_str());
}

std::string bconnect(const std::string& a) {
    return "@BCONNECT " + a + " http://" + a + "/ http://" + a + "/broadcast.html\n";
}

struct Reading {
    long rss = -1;
    int fds = -1;
};
Reading reading(int pid) {
    return {statuskib(pid, "VmRSS"), fdcount(pid)};
}

// Ctrl-C or a TERM ends the run through the destructors, which stop every program started.
volatile std::sig_atomic_t interrupted = 0;
void oninterrupt(int) {
    interrupted = 1;
}

// Sleeps until `t`; false when the run was interrupted meanwhile.
bool sleepuntil(std::chrono::steady_clock::time_point t) {
    while (interrupted == 0 && std::chrono::steady_clock::now() < t)
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            100ms, t - std::chrono::steady_clock::now()));
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
        if (a == "--depth")
            ok = value(o.depth, 2, 3);
        else if (a == "--relays")
            ok = value(o.relays, 1, 10);
        else if (a == "--middle")
            ok = value(o.middle, 1, 10);
        else if (a == "--per-relay")
            ok = value(o.perrelay, 1, 10);
        else if (a == "--seconds")
            ok = value(o.seconds, 1, 86400);
        else if (a == "--first")
            ok = value(o.first, 1, 254);
        else if (a == "--probe")
            o.probe = true;
        else if (a == "--soak")
            o.soak = true;
        else
            ok = false;
        if (!ok) return false;
    }
    if (o.depth == 3) return o.first + o.relays + (o.probe ? 2 : 0) <= 255;
    return o.first + o.relays * (1 + o.perrelay) + (o.probe ? 1 : 0) <= 255;
}

// Asks every parent for its children one at a time, all parents at once: `ask(p, c)` asks
// parent p for child c (its k-th child is c = p * per + k), `there(c)` tells that the child is
// connected. Returns the first child that did not come, or -1.
int inrounds(int parents, int per, const std::function<void(int, int)>& ask,
             const std::function<bool(int)>& there) {
    for (int k = 0; k < per; ++k) {
        for (int p = 0; p < parents; ++p)
            ask(p, p * per + k);
        for (int p = 0; p < parents; ++p)
            if (!kpxtest::waitfor([&] { return there(p * per + k); }, 15s)) return p * per + k;
    }
    return -1;
}

// A listener of one program, measured for a few seconds and let go again: the delays from
// the feeder's write to the receiver, in ms; empty when it got no stream or was kept.
std::vector<double> probe(Env& at, bool isserver, ListenerPool& pool, int i, const Feeder& feeder) {
    const std::string line = pool.address(i) + "\n";
    if (isserver) {
        if (!at.command(line)) return {};
    } else {
        post(at, line);
    }
    if (!kpxtest::waitfor([&] { return pool.heard(i).packets >= 16; }, 15s)) return {};
    std::vector<double> d;
    const Heard h = pool.heard(i);
    for (int k = h.first; k <= h.last; ++k)
        if (const std::int64_t t = pool.arrival(i, k))
            d.push_back(static_cast<double>(t - feeder.fedat(k)) / 1e6);
    pool.drop(i); // the program frees the slot at its next writes
    if (!at.waiterr(" died (#", 10s)) return {};
    return d;
}

void spreadresults(const std::string& name, const Spread& s) {
    result(name + "_median", s.median, "ms");
    result(name + "_p99", s.p99, "ms");
    result(name + "_max", s.max, "ms");
}

// 1000 receivers hold two descriptors each.
void raisefilelimit() {
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
        r.rlim_cur = r.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &r);
    }
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr,
                     "Usage: %s [--depth 2|3] [--relays 1-10] [--middle 1-10] [--per-relay 1-10] "
                     "[--seconds S] [--first N] "
                     "[--probe] [--soak]\n",
                     argv[0]);
        return 2;
    }
    std::signal(SIGINT, oninterrupt);
    std::signal(SIGTERM, oninterrupt);
    std::signal(SIGHUP, oninterrupt);
    raisefilelimit();
    const bool deep = o.depth == 3;
    const auto t0 = std::chrono::steady_clock::now();
    auto phase = [&](const char* what) {
        std::fprintf(stderr, "%.1f s: %s\n",
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(),
                     what);
    };
    const std::string tag = o.soak ? "soak_" : deep ? "tree3_" : "tree_";
    const int listeners = o.listeners();
    std::vector<std::string> addrs;
    for (int j = 0; j < listeners; ++j)
        addrs.push_back(deep ? listenerhost(j) : host(o.first + o.relays + j));
    // The probes: a listener of the server (depth 1) and, at depth 3, of the first relay.
    const int probe1 = o.probe ? listeners : -1, probe2 = o.probe && deep ? listeners + 1 : -1;
    if (o.probe) addrs.push_back(host(o.first + o.relays + (deep ? 0 : listeners)));
    if (probe2 >= 0) addrs.push_back(host(o.first + o.relays + 1));

    // Room for the connecting (110 relays and 1000 listeners take a while on a busy machine).
    const Programme prog((o.seconds + (deep ? 600 : 120)) * 5);
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

    std::vector<double> depth1, depth2;
    if (o.probe && (depth1 = probe(server, true, pool, probe1, feeder)).empty())
        return fail("the server's own listener got no stream or was kept:\n" + server.err());

    // The relays: the upper ones under the server, at depth 3 the lower ones under those.
    std::vector<std::unique_ptr<Env>> upper, lower;
    auto start = [](std::vector<std::unique_ptr<Env>>& into, const std::string& a) {
        into.push_back(std::make_unique<Env>());
        into.back()->startrelay(a);
    };
    auto waiting = [](const Env& e) {
        return e.err().find("Waiting for connections...") != std::string::npos;
    };
    for (int r = 0; r < o.relays; ++r)
        start(upper, host(o.first + r));
    phase("upper relays started");
    if (const int c = inrounds(
            1, o.relays, [&](int, int r) { server.command(bconnect(host(o.first + r))); },
            [&](int r) { return waiting(*upper[static_cast<std::size_t>(r)]); });
        c >= 0)
        return fail("relay " + host(o.first + c) + " was not connected:\n" + server.err());
    phase("upper relays connected");
    if (deep) {
        if (o.probe && (depth2 = probe(*upper[0], false, pool, probe2, feeder)).empty())
            return fail("the first relay's own listener got no stream or was kept:\n" +
                        upper[0]->err());
        for (int m = 0; m < o.relays * o.middle; ++m)
            start(lower, lowerhost(m));
        phase("lower relays started");
        if (const int c = inrounds(
                o.relays, o.middle,
                [&](int p, int m) {
                    post(*upper[static_cast<std::size_t>(p)], bconnect(lowerhost(m)));
                },
                [&](int m) { return waiting(*lower[static_cast<std::size_t>(m)]); });
            c >= 0)
            return fail("relay " + lowerhost(c) + " was not connected:\n" +
                        upper[static_cast<std::size_t>(c / o.middle)]->err());
        phase("lower relays connected");
    }
    std::vector<std::unique_ptr<Env>>& lowest = deep ? lower : upper;
    if (const int c = inrounds(
            o.lowest(), o.perrelay,
            [&](int p, int j) {
                post(*lowest[static_cast<std::size_t>(p)],
                     addrs[static_cast<std::size_t>(j)] + "\n");
            },
            [&](int j) { return pool.heard(j).packets > 0; });
        c >= 0)
        return fail("listener " + addrs[static_cast<std::size_t>(c)] + " was not connected:\n" +
                    lowest[static_cast<std::size_t>(c / o.perrelay)]->err());
    phase("listeners connected");
    std::printf("%d relays under the server, %s%d listeners under each of the lowest (%d "
                "listeners): all connected\n",
                o.relays, deep ? (std::to_string(o.middle) + " relays under each, ").c_str() : "",
                o.perrelay, listeners);

    std::vector<Env*> relays;
    for (auto& r : upper)
        relays.push_back(r.get());
    for (auto& r : lower)
        relays.push_back(r.get());
    auto cpu = [&](bool ofrelays) {
        std::int64_t sum = 0;
        if (ofrelays)
            for (Env* r : relays)
                sum += cpuns(r->proc().pid());
        else
            sum = cpuns(server.proc().pid());
        return sum;
    };
    std::vector<int> pids{server.proc().pid()};
    for (Env* r : relays)
        pids.push_back(r->proc().pid());

    // The window: every packet fed from here on must reach every listener. At depth 3 the
    // receivers' reading (a thousand connections) costs about half as much CPU as all relays
    // together, in the same few milliseconds after each packet: they stand aside for the
    // programs measured (their stamps are the kernel's).
    if (const int err = deep ? pool.background() : 0; err != 0)
        std::fprintf(stderr, "relay_tree: the receivers run at normal priority: %s\n",
                     std::strerror(err));
    const int from = feeder.fed();
    const std::int64_t relay0 = cpu(true), server0 = cpu(false), pool0 = pool.cpuns();
    const auto begin = std::chrono::steady_clock::now();
    std::vector<Reading> minute1;
    if (o.soak && o.seconds > 60) {
        if (!sleepuntil(begin + 60s)) return fail("interrupted");
        for (int pid : pids)
            minute1.push_back(reading(pid));
    }
    if (!sleepuntil(begin + std::chrono::seconds(o.seconds))) return fail("interrupted");
    const std::int64_t relay1 = cpu(true), server1 = cpu(false), pool1 = pool.cpuns();
    const int to = feeder.fed() - 1; // the last chunk of the window
    std::vector<Reading> end;
    for (int pid : pids)
        end.push_back(reading(pid));
    if (feeder.exhausted()) return fail("the programme ran out");
    // The receivers may lag behind on a machine busy with other work: they are waited for as
    // long as they catch up, until 10 s pass without a packet read.
    for (long had = -1;;) {
        long now = 0;
        bool all = true;
        for (int i = 0; i < listeners; ++i) {
            const Heard h = pool.heard(i);
            now += h.packets;
            all = all && h.last >= to;
        }
        if (all || now == had) break;
        had = now;
        kpxtest::waitfor(
            [&] {
                for (int i = 0; i < listeners; ++i)
                    if (pool.heard(i).last < to) return false;
                return true;
            },
            10s);
    }
    std::vector<long> hwm;
    for (Env* r : relays)
        hwm.push_back(statuskib(r->proc().pid(), "VmHWM"));

    // Streams and counts.
    const int expected = to - from + 1;
    long delivered = 0, lost = 0;
    int served = 0, intact = 0, minpk = 1 << 30, maxpk = 0;
    std::vector<double> lowestdelay;
    for (int i = 0; i < listeners; ++i) {
        const Heard h = pool.heard(i);
        if (h.packets > 0) ++served;
        if (h.problem.empty() && h.connections == 1 && h.first <= from && h.last >= to)
            ++intact;
        else
            std::fprintf(stderr, "listener %s: %s (connections %d, packets %d to %d)\n",
                         addrs[static_cast<std::size_t>(i)].c_str(),
                         h.problem.empty() ? "stream incomplete" : h.problem.c_str(), h.connections,
                         h.first, h.last);
        int got = 0;
        for (int k = from; k <= to; ++k)
            if (const std::int64_t at = pool.arrival(i, k)) {
                ++got;
                lowestdelay.push_back(static_cast<double>(at - feeder.fedat(k)) / 1e6);
            }
        delivered += got;
        lost += expected - got;
        minpk = std::min(minpk, h.packets);
        maxpk = std::max(maxpk, h.packets);
    }
    const double audio = expected / 5.0;

    std::printf(
        "window: programme packets %d to %d (%.1f s of audio); each listener should have all %d\n",
        from, to, audio, expected);
    result(tag + "listeners_served", served, "listeners");
    result(tag + "listeners_intact", intact, "listeners");
    result(tag + "streams_identical", intact == listeners ? 1 : 0, "yes=1");
    result(tag + "packets_expected_per_listener", expected, "packets");
    result(tag + "packets_delivered", static_cast<double>(delivered), "packets");
    result(tag + "packets_lost", static_cast<double>(lost), "packets");
    result(tag + "packets_per_listener_min", minpk, "packets");
    result(tag + "packets_per_listener_max", maxpk, "packets");
    if (o.probe) spreadresults(tag + "delay_depth1", spread(depth1));
    if (!depth2.empty()) spreadresults(tag + "delay_depth2", spread(depth2));
    spreadresults(tag + "delay_depth" + std::to_string(o.depth), spread(lowestdelay));
    result(tag + "relays_cpu_per_audio_s", static_cast<double>(relay1 - relay0) / 1000.0 / audio,
           "us/s");
    result(tag + "server_cpu_per_audio_s", static_cast<double>(server1 - server0) / 1000.0 / audio,
           "us/s");
    if (pool0 >= 0 && pool1 >= 0)
        result(tag + "receivers_cpu_per_audio_s",
               static_cast<double>(pool1 - pool0) / 1000.0 / audio, "us/s");
    long hwmsum = 0;
    std::string each;
    for (long v : hwm) {
        each += " " + std::to_string(v);
        hwmsum += v;
    }
    if (!deep) std::printf("relays' peak RSS (KiB):%s\n", each.c_str());
    result(tag + "relay_peak_rss_max",
           static_cast<double>(*std::max_element(hwm.begin(), hwm.end())), "KiB");
    result(tag + "relay_peak_rss_min",
           static_cast<double>(*std::min_element(hwm.begin(), hwm.end())), "KiB");
    result(tag + "relay_peak_rss_sum", static_cast<double>(hwmsum), "KiB");

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
            if (!minute1.empty() &&
                (end[p].rss > minute1[p].rss + RSSSLACK || end[p].fds != minute1[p].fds)) {
                std::fprintf(stderr,
                             "%s grew between minute 1 and the end: RSS %ld -> %ld KiB, "
                             "descriptors %d -> %d\n",
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
