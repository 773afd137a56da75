// One relay hop: the real broadcaster between an upstream and ten listeners played here in
// one process. Sends programme packets every 10 ms and measures, per packet and listener, the
// delay from the moment the packet is handed to the upstream socket (taken just before the
// send, so it is never later than its last byte's arrival) to the kernel's receive time of
// its first byte at the listener; the relay's CPU per packet (schedstat), its peak RSS and
// the part of its RSS that is its own (anonymous) rather than shared library pages.
//
// Usage: relay_bench [packets]   (default 1500; 300 with KPX_BENCH_QUICK=1)
// Addresses: the relay on 127.0.11.1, the listeners on 127.0.11.2 to 127.0.11.11.
#include "benchkit.h"
#include "cmdfile.h"
#include "serverenv.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace kpxbench;
using namespace std::chrono_literals;

namespace {

constexpr int LISTENERS = 10;
constexpr auto PACE = 10ms;

int fail(const std::string& why) {
    std::fprintf(stderr, "relay_bench: %s\n", why.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    const char* quick = std::getenv("KPX_BENCH_QUICK");
    int packets = quick != nullptr && std::strcmp(quick, "1") == 0 ? 300 : 1500;
    if (argc > 1) packets = std::atoi(argv[1]);
    if (argc > 2 || packets < 10) {
        std::fprintf(stderr, "Usage: %s [packets >= 10]\n", argv[0]);
        return 2;
    }
    const Programme prog(packets + 500);
    std::vector<std::string> addrs;
    for (int i = 0; i < LISTENERS; ++i)
        addrs.push_back("127.0.11." + std::to_string(2 + i));
    ListenerPool pool(prog, addrs);

    kpxtest::server::Env relay;
    // One extra configuration line for the relay (for instance an upstream allow list).
    if (const char* extra = std::getenv("KPX_BENCH_RELAYCONF")) relay.conf.push_back(extra);
    relay.startrelay("127.0.11.1");
    const int up = kpxtest::connectto("127.0.11.1", 9998, 5s);
    if (up < 0) return fail("cannot connect to the relay on 127.0.11.1:9998");
    const int one = 1;
    ::setsockopt(up, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    std::vector<std::int64_t> sent(static_cast<std::size_t>(prog.size()), 0);
    int k = 0;
    auto next = std::chrono::steady_clock::now();
    auto sendnext = [&] {
        if (k >= prog.size()) return false;
        sent[static_cast<std::size_t>(k)] = realnow();
        if (!kpxtest::sendall(up, prog.packet(k).data(), PACKET)) return false;
        ++k;
        next += PACE;
        std::this_thread::sleep_until(next);
        return true;
    };

    // The listeners, one request at a time through the relay's command file; the relay reads
    // it only while packets arrive.
    for (int i = 0; i < LISTENERS; ++i) {
        int error = 0;
        kpx::fileid id;
        if (kpx::placerequest(relay.cmdfile(), addrs[static_cast<std::size_t>(i)] + "\n", error,
                              id) != kpx::placed::written)
            return fail("the request for " + addrs[static_cast<std::size_t>(i)] +
                        " was not written");
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (pool.heard(i).packets == 0) {
            if (std::chrono::steady_clock::now() > end || !sendnext())
                return fail("listener " + addrs[static_cast<std::size_t>(i)] +
                            " was not connected:\n" + relay.err());
        }
    }
    for (int w = 0; w < 5; ++w)
        sendnext(); // settle

    const int from = k;
    const std::int64_t cpu0 = cpuns(relay.proc().pid());
    for (int n = 0; n < packets; ++n)
        if (!sendnext()) return fail("the upstream send failed");
    const int to = k; // [from, to) measured
    const bool all = kpxtest::waitfor(
        [&] {
            for (int i = 0; i < LISTENERS; ++i)
                if (pool.heard(i).last < to - 1) return false;
            return true;
        },
        5s);
    const std::int64_t cpu1 = cpuns(relay.proc().pid());
    const long hwm = statuskib(relay.proc().pid(), "VmHWM");
    // Most of the peak is the shared C and C++ libraries' pages; the relay's own memory:
    const long anon = statuskib(relay.proc().pid(), "RssAnon");

    std::vector<double> delays, last;
    int missing = 0;
    bool intact = all;
    for (int i = 0; i < LISTENERS; ++i) {
        const Heard h = pool.heard(i);
        if (!h.problem.empty()) {
            std::fprintf(stderr, "listener %s: %s\n", addrs[static_cast<std::size_t>(i)].c_str(),
                         h.problem.c_str());
            intact = false;
        }
        for (int p = from; p < to; ++p) {
            const std::int64_t at = pool.arrival(i, p);
            if (at == 0) {
                ++missing;
                continue;
            }
            const double us = static_cast<double>(at - sent[static_cast<std::size_t>(p)]) / 1000.0;
            delays.push_back(us);
            if (i == LISTENERS - 1) last.push_back(us);
        }
    }
    const Spread d = spread(delays), dl = spread(last);
    const double cpupacket = static_cast<double>(cpu1 - cpu0) / 1000.0 / (to - from);
    std::printf("relay hop, %d packets every %lld ms to %d listeners: %zu delays, %d missing\n",
                to - from, static_cast<long long>(PACE.count()), LISTENERS, d.n, missing);
    result("relay_hop_delay_median", d.median, "us");
    result("relay_hop_delay_p99", d.p99, "us");
    result("relay_hop_delay_max", d.max, "us");
    result("relay_hop_delay_tenth_listener_median", dl.median, "us");
    result("relay_cpu_per_packet_10", cpupacket, "us");
    result("relay_cpu_per_audio_s_10", cpupacket * 5, "us/s");
    result("relay_peak_rss", static_cast<double>(hwm), "KiB");
    result("relay_rss_anon", static_cast<double>(anon), "KiB");
    ::close(up);
    if (!intact || missing != 0) return fail("the listeners' streams are not the upstream's");
    return 0;
}
