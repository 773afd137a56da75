// Runs the real web relay fed at real time by a stand-in upstream and measures it:
//   1. CPU per second of audio with 0, 50 and 200 browser-like listeners (HTTP/1.1 GETs that
//      read everything): the encode cost once, then the marginal cost per listener;
//   2. its peak resident set size;
//   3. the delay from a packet arriving upstream to its page leaving: a loud packet among
//      silent ones, sent at a known time, shows as a large page at the listener.
// Each figure is printed as "RESULT <name> <value> <unit>".
// Usage: webrelay_bench [path/to/webrelay] [seconds per listener count] [MOUNTS]   (on 127.0.9.250)
// MOUNTS: ogg (the default), mp3 or ogg,mp3: the listeners take these streams in turn, and the
// relay encodes MP3 only when it is asked for, so that the ogg and mp3 runs' encode figures
// differ by the cost of MP3. The figures of a run other than ogg are named webrelay_<mounts>_...
// (for instance webrelay_ogg_mp3_cpu_200_listeners).
#include "codec.h"

#include <opus/opus.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
const char* const ADDR = "127.0.9.250";

int connectto(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, ADDR, &sa.sin_addr);
    for (int i = 0; i < 100; ++i) {
        if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return fd;
        std::this_thread::sleep_for(50ms);
    }
    ::close(fd);
    return -1;
}

bool sendall(int fd, const void* p, std::size_t n) {
    const char* c = static_cast<const char*>(p);
    while (n > 0) {
        const ssize_t w = ::send(fd, c, n, MSG_NOSIGNAL);
        if (w <= 0) return false;
        c += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

std::vector<unsigned char> packet(bool loud, unsigned seed) {
    std::vector<unsigned char> ulaw(1600, 0xFF), out(330);
    std::mt19937 rng(seed);
    if (loud)
        for (std::size_t i = 0; i < ulaw.size(); ++i) {
            const double t = static_cast<double>(i) / 8000.0;
            const double v = 8000.0 * std::sin(2 * 3.14159265 * 440 * t) + static_cast<double>(rng() % 4001) - 2000.0;
            ulaw[i] = kpx::linear2ulaw(static_cast<std::int16_t>(v));
        }
    kpx::encode(ulaw.data(), 1600, out.data());
    return out;
}

// The upstream: one packet per 200 ms on an absolute schedule. `loud(k)` picks the packets.
struct Feeder {
    std::atomic<bool> stop{false};
    std::atomic<bool> quiet{false};        // silence except for the probe packets
    std::mutex mu;
    std::vector<Clock::time_point> probes; // when each probe packet was sent
    std::thread t;
    void run(int fd) {
        const auto loud = packet(true, 1), silent = packet(false, 0);
        auto next = Clock::now();
        for (long k = 0; !stop; ++k) {
            std::this_thread::sleep_until(next);
            const bool probe = quiet && k % 10 == 0;
            const auto& p = !quiet || probe ? loud : silent;
            if (!sendall(fd, p.data(), p.size())) break;
            if (probe) {
                std::lock_guard<std::mutex> l(mu);
                probes.push_back(Clock::now());
            }
            next += 200ms;
        }
    }
};

// Browser-like listeners: each sends a GET and reads whatever comes, on one thread.
struct Listeners {
    std::vector<int> fds;
    std::vector<long long> bytes;
    std::atomic<bool> stop{false};
    std::thread t;
    void open(int n, const std::vector<std::string>& mounts) {
        for (int i = 0; i < n; ++i) {
            const int fd = connectto(8000);
            const std::string req = "GET /listen." + mounts[static_cast<std::size_t>(i) % mounts.size()] +
                                    " HTTP/1.1\r\nHost: " + ADDR +
                                    ":8000\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64) bench\r\n"
                                    "Accept: audio/webm,audio/ogg,audio/*;q=0.9,*/*;q=0.5\r\n"
                                    "Accept-Encoding: identity\r\nRange: bytes=0-\r\nConnection: keep-alive\r\n\r\n";
            if (fd < 0 || !sendall(fd, req.data(), req.size())) {
                std::fprintf(stderr, "listener %d could not connect\n", i);
                std::exit(1);
            }
            fds.push_back(fd);
            bytes.push_back(0);
        }
        t = std::thread([this] {
            std::vector<pollfd> p;
            for (int fd : fds) p.push_back({fd, POLLIN, 0});
            char buf[16384];
            while (!stop) {
                if (::poll(p.data(), p.size(), 100) <= 0) continue;
                for (std::size_t i = 0; i < p.size(); ++i)
                    if (p[i].revents != 0) {
                        const ssize_t n = ::read(p[i].fd, buf, sizeof buf);
                        if (n > 0) bytes[i] += n;
                        else p[i].events = 0;
                    }
            }
        });
    }
    void close() {
        stop = true;
        if (t.joinable()) t.join();
        for (int fd : fds) ::close(fd);
    }
};

// RMS of the Opus frames of the page whose lacing values start at `lacing` in `buf`.
double loudness(OpusDecoder* dec, const std::string& buf, std::size_t lacing, std::size_t nseg) {
    std::size_t at = lacing + nseg, len = 0;
    double sum = 0;
    long samples = 0;
    for (std::size_t i = 0; i < nseg; ++i) {
        len += static_cast<unsigned char>(buf[lacing + i]);
        if (static_cast<unsigned char>(buf[lacing + i]) == 255) continue;
        opus_int16 pcm[960];
        const int n = opus_decode(dec, reinterpret_cast<const unsigned char*>(buf.data() + at),
                                  static_cast<opus_int32>(len), pcm, 960, 0);
        for (int k = 0; k < n; ++k) sum += static_cast<double>(pcm[k]) * pcm[k];
        samples += n > 0 ? n : 0;
        at += len;
        len = 0;
    }
    return samples > 0 ? std::sqrt(sum / static_cast<double>(samples)) : 0;
}

double cpuseconds(int pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::istringstream in(s.substr(s.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long statuskib(int pid, const char* key) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(f, line);)
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key) + 1);
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    const std::string exe = argc > 1 ? argv[1] : "build/bin/webrelay";
    // KPX_BENCH_QUICK=1: shorter settling and delay windows, for a run of the whole table in CI.
    const char* q = std::getenv("KPX_BENCH_QUICK");
    const bool quick = q && std::string(q) == "1";
    const int seconds = argc > 2 ? std::max(quick ? 3 : 5, std::atoi(argv[2])) : 20;
    const auto settle = quick ? 1s : 2s;
    const std::string mountlist = argc > 3 ? argv[3] : "ogg";
    std::vector<std::string> mounts;
    for (std::size_t at = 0; at <= mountlist.size();) {
        const std::size_t comma = std::min(mountlist.find(',', at), mountlist.size());
        mounts.push_back(mountlist.substr(at, comma - at));
        at = comma + 1;
    }
    for (const std::string& m : mounts)
        if (m != "ogg" && m != "mp3") {
            std::fprintf(stderr, "MOUNTS: ogg, mp3 or ogg,mp3\n");
            return 2;
        }
    const bool mp3 = std::find(mounts.begin(), mounts.end(), "mp3") != mounts.end();
    // Result names: webrelay_... for the ogg run, webrelay_ogg_mp3_... and so on for the others.
    std::string tag = "webrelay_";
    if (mountlist != "ogg")
        for (const std::string& m : mounts) tag += m + "_";
    ::signal(SIGPIPE, SIG_IGN);

    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        // The relay's console would mix with the results.
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        const std::string listen = std::string(ADDR) + ":8000";
        ::execl(exe.c_str(), exe.c_str(), "--listen", listen.c_str(), "--max-listeners", "300", "--mp3-bitrate",
                mp3 ? "32000" : "0", ADDR, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const int up = connectto(9998);
    if (up < 0) {
        std::fprintf(stderr, "the web relay (%s) did not take its upstream\n", exe.c_str());
        ::kill(-pid, SIGKILL);
        return 1;
    }
    Feeder feed;
    feed.t = std::thread([&] { feed.run(up); });
    std::this_thread::sleep_for(settle);

    double cpu[3] = {0, 0, 0};
    const int counts[3] = {0, 50, 200};
    for (int c = 0; c < 3; ++c) {
        if (quick && counts[c] == 50) continue; // the encode cost and 200 listeners give the line
        Listeners ls;
        ls.open(counts[c], mounts);
        std::this_thread::sleep_for(settle);
        const long long before = counts[c] ? ls.bytes[0] : 0;
        const double c0 = cpuseconds(pid);
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
        cpu[c] = (cpuseconds(pid) - c0) / wall;
        if (counts[c]) {
            const auto least = *std::min_element(ls.bytes.begin(), ls.bytes.end());
            std::printf("%d listeners: the slowest got %lld bytes, the first %.0f bytes/s\n", counts[c], least,
                        static_cast<double>(ls.bytes[0] - before) / wall);
        }
        ls.close();
        std::printf("RESULT %scpu_%d_listeners %.3f %%core\n", tag.c_str(), counts[c], 100 * cpu[c]);
    }
    std::printf("RESULT %scpu_encode %.1f us/audio-s\n", tag.c_str(), 1e6 * cpu[0]);
    std::printf("RESULT %scpu_per_listener %.2f us/audio-s\n", tag.c_str(), 1e6 * (cpu[2] - cpu[0]) / 200);

    // Delay: silence with one loud packet every 2 s; the probe listener times the big pages.
    feed.quiet = true;
    std::this_thread::sleep_for(1s);
    const int probe = connectto(8000);
    const std::string req = std::string("GET /listen.ogg HTTP/1.0\r\nHost: ") + ADDR + "\r\n\r\n";
    sendall(probe, req.data(), req.size());
    const auto joined = Clock::now();
    int decerr = 0;
    OpusDecoder* dec = opus_decoder_create(8000, 1, &decerr);
    std::vector<Clock::time_point> big;
    bool lastloud = true;
    std::string buf;
    const auto end = Clock::now() + (quick ? 5s : 21s);
    while (Clock::now() < end) {
        pollfd p{probe, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char tmp[8192];
        const ssize_t n = ::read(probe, tmp, sizeof tmp);
        if (n <= 0) break;
        const auto now = Clock::now();
        buf.append(tmp, static_cast<std::size_t>(n));
        for (std::size_t at; (at = buf.find("OggS")) != std::string::npos;) {
            if (at + 27 > buf.size()) break;
            const std::size_t nseg = static_cast<unsigned char>(buf[at + 26]);
            if (at + 27 + nseg > buf.size()) break;
            std::size_t len = 27 + nseg;
            for (std::size_t i = 0; i < nseg; ++i) len += static_cast<unsigned char>(buf[at + 27 + i]);
            if (at + len > buf.size()) break;
            // The first loud page after silent ones. The stream has a constant bit rate, so the
            // page's frames are decoded to tell.
            const bool loudpage = loudness(dec, buf, at + 27, nseg) > 1000;
            // The burst of the last seconds, sent at once on connecting, says nothing of the delay.
            if (loudpage && !lastloud && now - joined > 1s) big.push_back(now);
            lastloud = loudpage;
            buf.erase(0, at + len);
        }
    }
    ::close(probe);
    if (dec != nullptr) opus_decoder_destroy(dec);
    std::vector<double> delays;
    {
        std::lock_guard<std::mutex> l(feed.mu);
        for (const auto& b : big) {
            // The latest probe sent before this page arrived.
            const auto it = std::upper_bound(feed.probes.begin(), feed.probes.end(), b);
            if (it != feed.probes.begin()) delays.push_back(std::chrono::duration<double, std::milli>(b - *(it - 1)).count());
        }
    }
    const long hwm = statuskib(pid, "VmHWM:");
    feed.stop = true;
    feed.t.join();
    ::close(up);
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);

    std::printf("RESULT %speak_rss %.2f MiB\n", tag.c_str(), static_cast<double>(hwm) / 1024.0);
    if (delays.size() < 3) {
        // At a constant bit rate the probe pages no longer stand out by size: the delay row
        // stays empty rather than failing the other figures.
        std::fprintf(stderr, "page delay not measured: too few probe pages seen (%zu)\n",
                     delays.size());
        return 0;
    }
    std::sort(delays.begin(), delays.end());
    std::printf("RESULT %spage_delay_median %.1f ms\n", tag.c_str(), delays[delays.size() / 2]);
    std::printf("RESULT %spage_delay_max %.1f ms\n", tag.c_str(), delays.back());
    std::printf("goals: 200 listeners under 5 %%core, peak RSS under 16 MiB\n");
    return 0;
}
