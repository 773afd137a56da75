// Runs the real web relay fed at real time by a stand-in upstream and measures it with many
// browser-like listeners (HTTP/1.1 GETs that read everything), all held by one load generator
// thread with epoll:
//   1. CPU (% of one core) with no listener (the encode cost) and with each listener count,
//      and from those the marginal CPU per listener per audio second;
//   2. the time until every listener of a count had its answer;
//   3. for the Ogg listeners, every audio page: the time its bytes reach each listener (the
//      kernel's receive time) against the first listener they reached (the page delay across
//      listeners, median, p99 and max: the relay's fan-out of one page to everybody),
//      and the listeners that missed a page of the measured window (pages are told apart by
//      their body, which the relay shares between listeners; only the header is each one's);
//   4. its peak resident set size.
// Each figure is printed as "RESULT <name> <value> <unit>".
//
// Usage: webrelay_bench [path/to/webrelay] [seconds per listener count] [MOUNTS] [--listeners
// N[,M...]]
//                       [--name NAME]
//   (on 127.0.9.250; listener counts default to 50,200, 200 with KPX_BENCH_QUICK=1; figures
//   named NAME_... instead of webrelay_...)
//        webrelay_bench --attach PID HOST:PORT PATH NAME [seconds] [--listeners N[,M...]]
//   measures another streaming server already running and fed (process PID, serving an Ogg
//   stream at PATH) the same way; its figures are named NAME_... (bench/peer-icecast).
//        webrelay_bench [path/to/webrelay] [seconds] --versus PID HOST:PORT PATH NAME
//                       [--listeners N[,M...]]
//   our web relay and that other server in turns, count by count, with the ratios ours /
//   theirs (versus_webrelay_...); a listener that either does not serve is counted out.
// MOUNTS: ogg (the default), mp3 or ogg,mp3: the listeners take these streams in turn, and the
// relay encodes MP3 only when it is asked for. The figures of a run other than ogg are named
// webrelay_<mounts>_... (for instance webrelay_ogg_mp3_cpu_200_listeners); such a run first
// measures the cost of MP3 (webrelay_mp3_encode): its relay's CPU against a twin's without
// MP3 (on 127.0.9.251), both fed alike, over the same window.
#include "benchkit.h"
#include "codec.h"
#include "pagefix.h"
#include "testsupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
const char* const ADDR = "127.0.9.250";
const char* const TWINADDR = "127.0.9.251"; // the relay without MP3 beside an MP3 run

// CLOCK_REALTIME in ns, the clock of the kernel's receive stamps.
std::int64_t nowns() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// A packet of u-law noise of its own for every `seed`: no two pages of the stream are alike.
std::vector<unsigned char> packet(unsigned seed) {
    std::vector<unsigned char> ulaw(1600), out(330);
    std::mt19937 rng(seed);
    for (std::size_t i = 0; i < ulaw.size(); ++i) {
        const double t = static_cast<double>(i) / 8000.0;
        const double v = 8000.0 * std::sin(2 * 3.14159265 * 440 * t) +
                         static_cast<double>(rng() % 4001) - 2000.0;
        ulaw[i] = kpx::linear2ulaw(static_cast<std::int16_t>(v));
    }
    kpx::encode(ulaw.data(), 1600, out.data());
    return out;
}

// The upstream: one packet per 200 ms on an absolute schedule.
struct Feeder {
    std::atomic<bool> stop{false};
    std::thread t;
    void run(int fd) {
        auto next = Clock::now();
        for (unsigned k = 0; !stop; ++k) {
            std::this_thread::sleep_until(next);
            const auto p = packet(k + 1);
            if (!kpxtest::sendall(fd, p.data(), p.size())) break;
            next += 200ms;
        }
    }
};

std::uint64_t fnv(const char* p, std::size_t n) {
    std::uint64_t h = 1469598103934665603ULL;
    for (std::size_t i = 0; i < n; ++i)
        h = (h ^ static_cast<unsigned char>(p[i])) * 1099511628211ULL;
    return h;
}

// One listener: its socket, the answer's header, the chunked body taken apart and, for an
// Ogg stream, the pages it received (index in the load's page table, arrival time).
// Where the listeners connect and what they ask for: paths[i % paths.size()] for listener i.
struct Target {
    std::string addr = ADDR;
    int port = 8000;
    std::vector<std::string> paths;
};

struct Reader {
    int fd = -1;
    bool ogg = true, connected = false, answered = false, chunked = false, ended = false;
    std::string head, line, pages;
    long long chunkleft = 0; // bytes of the current chunk still to come
    int skip = 0;            // CRLF after a chunk
    long long bytes = 0;
    int tries = 0; // connections tried before this one
    std::vector<std::pair<int, std::int64_t>> got;
};

// The listeners of one count, held by one thread with epoll. Connects at most PENDING at a
// time, so that the relay's backlog is not flooded.
class Load {
  public:
    Load(int n, const Target& target) : readers_(static_cast<std::size_t>(n)), target_(target) {
        ep_ = ::epoll_create1(EPOLL_CLOEXEC);
        for (std::size_t i = 0; i < readers_.size(); ++i) {
            const std::string& path = target.paths[i % target.paths.size()];
            readers_[i].ogg = path.size() < 4 || path.compare(path.size() - 4, 4, ".mp3") != 0;
        }
        started_ = nowns();
        t_ = std::thread([this] { run(); });
    }
    ~Load() {
        stopreading();
        for (auto& r : readers_)
            if (r.fd >= 0) ::close(r.fd);
        ::close(ep_);
    }
    Load(const Load&) = delete;
    Load& operator=(const Load&) = delete;

    int answered() const { return answered_.load(); }
    int failed() const { return failed_.load(); }
    int retries() const { return retries_.load(); }
    std::string firstfailure() const {
        return failed() > 0 ? firstfailure_ : "";
    } // once the count is complete
    double accepttime() const { return static_cast<double>(allanswered_.load() - started_) / 1e9; }
    // Ends the reading; readers() and firsts() may be read from then on.
    void stopreading() {
        stop_ = true;
        if (t_.joinable()) t_.join();
    }
    const std::vector<Reader>& readers() const { return readers_; }
    const std::vector<std::int64_t>& firsts() const { return firsts_; }

  private:
    // Below the relay's bound on requests not yet arrived (128), which closes the oldest.
    static constexpr int PENDING = 64;
    static constexpr int TRIES = 5;

    // Listener and connection in an epoll event.
    std::uint64_t tagof(std::size_t i) const {
        return i | static_cast<std::uint64_t>(readers_[i].tries) << 32;
    }

    void open(std::size_t i) {
        Reader& r = readers_[i];
        r.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<std::uint16_t>(target_.port));
        ::inet_pton(AF_INET, target_.addr.c_str(), &sa.sin_addr);
        if (r.fd < 0 || (::connect(r.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 &&
                         errno != EINPROGRESS)) {
            ++failed_;
            r.ended = true;
            return;
        }
        const int one = 1;
        ::setsockopt(r.fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
        epoll_event ev{};
        ev.events = EPOLLOUT;
        ev.data.u64 = tagof(i);
        ::epoll_ctl(ep_, EPOLL_CTL_ADD, r.fd, &ev);
        ++pending_;
    }

    void request(std::size_t i) {
        Reader& r = readers_[i];
        const std::string req =
            "GET " + target_.paths[i % target_.paths.size()] +
            " HTTP/1.1\r\nHost: " + target_.addr + ":" + std::to_string(target_.port) +
            "\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64) bench\r\n"
            "Accept: audio/webm,audio/ogg,audio/*;q=0.9,*/*;q=0.5\r\n"
            "Accept-Encoding: identity\r\nRange: bytes=0-\r\nConnection: keep-alive\r\n\r\n";
        int error = 0;
        socklen_t len = sizeof error;
        ::getsockopt(r.fd, SOL_SOCKET, SO_ERROR, &error, &len);
        r.connected = true;
        --pending_;
        if (error != 0 || ::send(r.fd, req.data(), req.size(), MSG_NOSIGNAL) !=
                              static_cast<ssize_t>(req.size())) {
            end(r, std::string("connect: ") + std::strerror(error != 0 ? error : errno));
            return;
        }
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = tagof(i);
        ::epoll_ctl(ep_, EPOLL_CTL_MOD, r.fd, &ev);
    }

    // A listener turned away before its answer tries again, as a player does, up to TRIES
    // times; then it counts as failed.
    void end(Reader& r, const std::string& why) {
        ::epoll_ctl(ep_, EPOLL_CTL_DEL, r.fd, nullptr);
        if (!r.connected) --pending_;
        if (!r.answered && r.tries < TRIES) {
            ++retries_;
            ::close(r.fd);
            const bool ogg = r.ogg;
            const int tries = r.tries + 1;
            r = Reader{};
            r.ogg = ogg;
            r.tries = tries;
            again_.push_back(static_cast<std::size_t>(&r - readers_.data()));
            return;
        }
        if (!r.answered && failed_++ == 0) firstfailure_ = why;
        r.ended = true;
    }

    // Complete Ogg pages of reader r; the two header pages (granule position 0) are everyone's
    // and say nothing of the delay.
    void takepages(Reader& r, std::int64_t now) {
        std::size_t at = 0;
        for (std::size_t len; (len = kpx::ogglength(std::string_view(r.pages).substr(at))) != 0;
             at += len) {
            const std::string_view page(r.pages.data() + at, len);
            if (kpx::ogggranule(page) == 0) continue;
            const std::size_t bodyat = 27 + static_cast<unsigned char>(page[26]);
            const std::uint64_t h = fnv(page.data() + bodyat, len - bodyat);
            auto [it, fresh] = index_.emplace(h, static_cast<int>(firsts_.size()));
            if (fresh) firsts_.push_back(now);
            r.got.emplace_back(it->second, now);
        }
        r.pages.erase(0, at);
    }

    void body(Reader& r, const char* p, std::size_t n, std::int64_t now) {
        r.bytes += static_cast<long long>(n);
        if (!r.ogg) return;
        if (!r.chunked) {
            r.pages.append(p, n);
        } else {
            while (n > 0) {
                if (r.skip > 0) {
                    --r.skip, ++p, --n;
                } else if (r.chunkleft > 0) {
                    const std::size_t take =
                        std::min<std::size_t>(n, static_cast<std::size_t>(r.chunkleft));
                    r.pages.append(p, take);
                    r.chunkleft -= static_cast<long long>(take);
                    p += take, n -= take;
                    if (r.chunkleft == 0) r.skip = 2;
                } else {
                    const char c = *p++;
                    --n;
                    if (c != '\n') {
                        r.line += c;
                        continue;
                    }
                    r.chunkleft = std::strtoll(r.line.c_str(), nullptr, 16);
                    r.line.clear();
                }
            }
        }
        takepages(r, now);
    }

    // The arrival time of what is read is the kernel's receive time (SO_TIMESTAMPNS), so that
    // this one thread's own lag among ten thousand sockets is not counted as the relay's.
    void readfrom(Reader& r) {
        static char buf[65536];
        std::int64_t now = 0;
        const long n = kpxtest::recvstamped(r.fd, buf, sizeof buf, now);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
            end(r, n < 0 ? std::string("read: ") + std::strerror(errno)
                         : "closed before the answer, after: '" + r.head.substr(0, 80) + "'");
            return;
        }
        if (now == 0) now = nowns();
        if (r.answered) {
            body(r, buf, static_cast<std::size_t>(n), now);
            return;
        }
        r.head.append(buf, static_cast<std::size_t>(n));
        const std::size_t eoh = r.head.find("\r\n\r\n");
        if (eoh == std::string::npos) return;
        if (r.head.compare(0, 12, "HTTP/1.1 200") != 0 &&
            r.head.compare(0, 12, "HTTP/1.0 200") != 0) {
            end(r, "answer: " + r.head.substr(0, r.head.find('\r')));
            return;
        }
        r.answered = true;
        r.chunked = r.head.substr(0, eoh).find("chunked") != std::string::npos;
        if (++answered_ == static_cast<int>(readers_.size())) allanswered_ = now;
        const std::string rest = r.head.substr(eoh + 4);
        r.head.clear();
        body(r, rest.data(), rest.size(), now);
    }

    void run() {
        std::size_t next = 0;
        std::vector<epoll_event> evs(256);
        while (!stop_) {
            while (!again_.empty() && pending_ < PENDING) {
                open(again_.back());
                again_.pop_back();
            }
            while (next < readers_.size() && pending_ < PENDING)
                open(next++);
            const int n = ::epoll_wait(ep_, evs.data(), static_cast<int>(evs.size()), 20);
            for (int j = 0; j < n; ++j) {
                const std::uint64_t tag = evs[static_cast<std::size_t>(j)].data.u64;
                const std::size_t i = tag & 0xFFFFFFFFU;
                Reader& r = readers_[i];
                if (r.ended || tag != tagof(i))
                    continue; // ended, or an event of its last connection
                if (!r.connected)
                    request(i);
                else
                    readfrom(r);
            }
        }
    }

    std::vector<Reader> readers_;
    Target target_;
    std::unordered_map<std::uint64_t, int> index_; // page body hash -> index in firsts_
    std::vector<std::int64_t> firsts_;             // first arrival of each page at any listener
    int ep_ = -1, pending_ = 0;
    std::int64_t started_ = 0;
    std::atomic<std::int64_t> allanswered_{0};
    std::atomic<int> answered_{0}, failed_{0}, retries_{0};
    std::vector<std::size_t> again_; // listeners to connect again
    std::string firstfailure_;
    std::atomic<bool> stop_{false};
    std::thread t_;
};

// CPU seconds (user + system) of a process, including its threads that have ended already
// (a server may run a thread per connection; the threads' own schedstat would lose theirs).
double cpuseconds(int pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const std::size_t close = s.rfind(')');
    if (close == std::string::npos) return 0;
    // Fields after the command: state is field 3, utime 14, stime 15.
    const char* p = s.c_str() + close + 2;
    unsigned long long v[13] = {};
    for (int k = 0; k < 13 && *p != '\0'; ++k) {
        while (*p == ' ')
            ++p;
        v[k] = k == 0 ? 0 : std::strtoull(p, nullptr, 10);
        while (*p != ' ' && *p != '\0')
            ++p;
    }
    return static_cast<double>(v[11] + v[12]) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long statuskib(int pid, const char* key) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(f, line);)
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key) + 1);
    return -1;
}

struct Spread {
    double median = 0, p99 = 0, max = 0;
};
Spread spread(std::vector<double>& v) {
    Spread s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    s.median = v[v.size() / 2];
    s.p99 =
        v[std::min(v.size() - 1,
                   static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(v.size()))) - 1)];
    s.max = v.back();
    return s;
}

// Ten thousand listeners are ten thousand descriptors here.
void raisefilelimit() {
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
        r.rlim_cur = r.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &r);
    }
}

std::vector<std::string> split(const std::string& s) {
    std::vector<std::string> out;
    for (std::size_t at = 0; at <= s.size();) {
        const std::size_t comma = std::min(s.find(',', at), s.size());
        out.push_back(s.substr(at, comma - at));
        at = comma + 1;
    }
    return out;
}

} // namespace

// CPU of process `pid` (% of one core / 100) over `s` of real time.
double cpuover(int pid, std::chrono::seconds s) {
    const double c0 = cpuseconds(pid);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(s);
    return (cpuseconds(pid) - c0) / std::chrono::duration<double>(Clock::now() - t0).count();
}

// The figures of one listener count.
struct CountFigures {
    int answered = 0;
    double cpu = 0, marginal = 0, p99 = 0;
    long rss = 0; // KiB
    bool all = false, ok = true;
};

// Process `pid`, serving `target`, with `n` listeners: prints the figures named tag...;
// `idle` is its CPU without listeners. A count that is not served in full is measured with
// the listeners that were answered (`all` false).
CountFigures measurecount(int pid, const Target& target, int n, int seconds,
                          std::chrono::seconds settle, const std::string& tag, double idle) {
    CountFigures f;
    Load load(n, target);
    f.all = kpxtest::waitfor([&] { return load.answered() + load.failed() >= n; }, 60s) &&
            load.failed() == 0;
    f.answered = load.answered();
    std::printf("RESULT %sanswered_%d_listeners %d listeners\n", tag.c_str(), n, f.answered);
    if (f.all) {
        std::printf("RESULT %saccept_%d_listeners %.3f s\n", tag.c_str(), n, load.accepttime());
        std::printf("RESULT %saccept_retries_%d_listeners %d connections\n", tag.c_str(), n,
                    load.retries());
    } else {
        std::fprintf(
            stderr, "%s: %d listeners: %d answered, %d failed, the rest still waiting after 60 s\n",
            tag.c_str(), n, f.answered, load.failed());
    }
    std::this_thread::sleep_for(settle);
    const std::int64_t from = nowns();
    f.cpu = cpuover(pid, std::chrono::seconds(seconds));
    const std::int64_t to = nowns();
    f.rss = statuskib(pid, "VmRSS:");
    // Per listener served: those answered by the end of the window (a server still answering
    // late listeners served more than were in at its start).
    f.answered = load.answered();
    std::this_thread::sleep_for(1s); // the window's last pages reach the slowest listeners
    load.stopreading();

    // The pages of the window: first seen between its start and its end.
    const auto& firsts = load.firsts();
    std::vector<char> inwindow(firsts.size());
    int windowpages = 0;
    for (std::size_t k = 0; k < firsts.size(); ++k)
        if (firsts[k] >= from && firsts[k] <= to) inwindow[k] = 1, ++windowpages;
    std::vector<double> delays;
    int missed = 0, oggreaders = 0;
    long long least = -1;
    for (const Reader& r : load.readers()) {
        if (!r.answered) continue;
        least = least < 0 ? r.bytes : std::min(least, r.bytes);
        if (!r.ogg) continue;
        ++oggreaders;
        int had = 0;
        for (const auto& [k, at] : r.got)
            if (inwindow[static_cast<std::size_t>(k)]) {
                ++had;
                delays.push_back(static_cast<double>(at - firsts[static_cast<std::size_t>(k)]) /
                                 1e6);
            }
        if (had < windowpages) ++missed;
    }
    std::printf("RESULT %sserved_%d_listeners %d listeners\n", tag.c_str(), n, f.answered);
    std::printf(
        "%s: %d listeners: %d of %d served; the slowest got %lld bytes; %d pages in the window, "
        "%d Ogg listeners\n",
        tag.c_str(), n, f.answered, n, least, windowpages, oggreaders);
    f.marginal = f.answered > 0 ? 1e6 * (f.cpu - idle) / f.answered : 0;
    std::printf("RESULT %scpu_%d_listeners %.3f %%core\n", tag.c_str(), n, 100 * f.cpu);
    std::printf("RESULT %scpu_per_listener_%d %.2f us/audio-s\n", tag.c_str(), n, f.marginal);
    std::printf("RESULT %srss_%d_listeners %.2f MiB\n", tag.c_str(), n,
                static_cast<double>(f.rss) / 1024.0);
    if (oggreaders > 0) {
        const Spread d = spread(delays);
        f.p99 = d.p99;
        std::printf("RESULT %spage_delay_%d_median %.2f ms\n", tag.c_str(), n, d.median);
        std::printf("RESULT %spage_delay_%d_p99 %.2f ms\n", tag.c_str(), n, d.p99);
        std::printf("RESULT %spage_delay_%d_max %.2f ms\n", tag.c_str(), n, d.max);
        std::printf("RESULT %smissed_page_%d_listeners %d listeners\n", tag.c_str(), n, missed);
        if (windowpages == 0) f.ok = false;
    }
    if (!f.all && load.failed() > 0)
        std::fprintf(stderr, "%s: the first that failed: %s\n", tag.c_str(),
                     load.firstfailure().c_str());
    return f;
}

// The figures of every listener count for process `pid`, serving `target`, named tag...:
// false when a count was not served. `encodes`: its CPU without listeners is its encoding.
bool measure(int pid, const Target& target, const std::vector<int>& counts, int seconds,
             std::chrono::seconds settle, const std::string& tag, bool encodes) {
    const int most = *std::max_element(counts.begin(), counts.end());
    const double idle = cpuover(pid, std::chrono::seconds(seconds));
    std::printf("RESULT %scpu_0_listeners %.3f %%core\n", tag.c_str(), 100 * idle);
    if (encodes) std::printf("RESULT %scpu_encode %.1f us/audio-s\n", tag.c_str(), 1e6 * idle);
    bool ok = true;
    for (const int n : counts) {
        const CountFigures f = measurecount(pid, target, n, seconds, settle, tag, idle);
        ok = ok && f.all && f.ok;
        if (n == most)
            std::printf("RESULT %scpu_per_listener %.2f us/audio-s\n", tag.c_str(), f.marginal);
    }
    std::printf("RESULT %speak_rss %.2f MiB\n", tag.c_str(),
                static_cast<double>(statuskib(pid, "VmHWM:")) / 1024.0);
    return ok;
}

// Ours (`pid` at `target`, named tag...) and a peer (`peerpid` at `peer`, named peertag...)
// measured one after the other, count by count, so that both see the machine's other load of
// the same minutes: the idle CPU of each, then for every count ours and the peer's, and the
// ratios ours / peer (figures versus_...). A listener either side does not serve is counted
// out ("n of N served"); the run goes on. False when ours did not serve a count in full.
bool measurepair(int pid, const Target& target, const std::string& tag, int peerpid,
                 const Target& peer, const std::string& peertag, const std::vector<int>& counts,
                 int seconds, std::chrono::seconds settle) {
    const int most = *std::max_element(counts.begin(), counts.end());
    const double idle = cpuover(pid, std::chrono::seconds(seconds));
    const double peeridle = cpuover(peerpid, std::chrono::seconds(seconds));
    std::printf("RESULT %scpu_0_listeners %.3f %%core\n", tag.c_str(), 100 * idle);
    std::printf("RESULT %scpu_encode %.1f us/audio-s\n", tag.c_str(), 1e6 * idle);
    std::printf("RESULT %scpu_0_listeners %.3f %%core\n", peertag.c_str(), 100 * peeridle);
    bool ok = true;
    for (const int n : counts) {
        const CountFigures a = measurecount(pid, target, n, seconds, settle, tag, idle);
        const CountFigures b = measurecount(peerpid, peer, n, seconds, settle, peertag, peeridle);
        ok = ok && a.all && a.ok;
        if (n == most) {
            std::printf("RESULT %scpu_per_listener %.2f us/audio-s\n", tag.c_str(), a.marginal);
            std::printf("RESULT %scpu_per_listener %.2f us/audio-s\n", peertag.c_str(), b.marginal);
        }
        std::printf("%d listeners: ours %d of %d served, the peer %d of %d\n", n, a.answered, n,
                    b.answered, n);
        if (b.marginal > 0)
            std::printf("RESULT versus_webrelay_cpu_per_listener_ratio_%d %.3f x\n", n,
                        a.marginal / b.marginal);
        if (b.cpu > 0)
            std::printf("RESULT versus_webrelay_cpu_ratio_%d %.3f x\n", n, a.cpu / b.cpu);
        if (b.p99 > 0)
            std::printf("RESULT versus_webrelay_page_delay_p99_ratio_%d %.3f x\n", n,
                        a.p99 / b.p99);
    }
    std::printf("RESULT %speak_rss %.2f MiB\n", tag.c_str(),
                static_cast<double>(statuskib(pid, "VmHWM:")) / 1024.0);
    std::printf("RESULT %speak_rss %.2f MiB\n", peertag.c_str(),
                static_cast<double>(statuskib(peerpid, "VmHWM:")) / 1024.0);
    return ok;
}

// What MP3 costs: the CPU of the relay `pid` (encoding both formats, no listeners yet)
// against a twin without MP3, fed alike, over the same window, so that the machine's other
// load is the same for both. Printed as NAME in % of one core.
bool mp3cost(const std::string& exe, int pid, int seconds, std::chrono::seconds settle,
             const std::string& name) {
    kpxtest::Process twin(
        exe, {"--listen", std::string(TWINADDR) + ":8000", "--mp3bitrate", "0", TWINADDR});
    const int up = kpxtest::connectto(TWINADDR, 9998, 5s);
    if (up < 0) {
        std::fprintf(stderr, "the web relay without MP3 did not take its upstream:\n%s",
                     twin.err().c_str());
        return false;
    }
    Feeder feed;
    feed.t = std::thread([&] { feed.run(up); });
    std::this_thread::sleep_for(settle);
    // The web relay's threads live as long as it does, so the sum over its threads now
    // (the scheduler's own account, to the nanosecond) holds for short windows.
    const double a0 = kpxbench::cpuns(pid) / 1e9, b0 = kpxbench::cpuns(twin.pid()) / 1e9;
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double a1 = kpxbench::cpuns(pid) / 1e9, b1 = kpxbench::cpuns(twin.pid()) / 1e9;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    feed.stop = true;
    feed.t.join();
    ::close(up);
    std::printf("with MP3 %.3f %%core, without %.3f %%core over the same %.1f s\n",
                100 * (a1 - a0) / wall, 100 * (b1 - b0) / wall, wall);
    std::printf("RESULT %s %.3f %%core\n", name.c_str(), 100 * ((a1 - a0) - (b1 - b0)) / wall);
    return true;
}

int main(int argc, char** argv) {
    // KPX_BENCH_QUICK=1: shorter settling and windows, for a run of the whole table in CI.
    const char* q = std::getenv("KPX_BENCH_QUICK");
    const bool quick = q && std::string(q) == "1";
    std::vector<std::string> pos;
    std::vector<int> counts;
    bool attach = false;
    std::string name;
    std::vector<std::string> versus; // PID HOST:PORT PATH NAME
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--listeners" && i + 1 < argc) {
            for (const std::string& c : split(argv[++i]))
                counts.push_back(std::atoi(c.c_str()));
        } else if (std::string(argv[i]) == "--attach") {
            attach = true;
        } else if (std::string(argv[i]) == "--versus" && i + 4 < argc) {
            versus.assign(argv + i + 1, argv + i + 5);
            i += 4;
        } else if (std::string(argv[i]) == "--name" && i + 1 < argc) {
            name = argv[++i];
        } else {
            pos.emplace_back(argv[i]);
        }
    }
    if (counts.empty()) counts = quick ? std::vector<int>{200} : std::vector<int>{50, 200};
    for (int c : counts)
        if (c < 1 || c > 10000) {
            std::fprintf(stderr, "--listeners: counts from 1 to 10000\n");
            return 2;
        }
    const auto settle = quick ? 1s : 2s;
    auto secondsat = [&](std::size_t at) {
        return pos.size() > at ? std::max(quick ? 3 : 5, std::atoi(pos[at].c_str())) : 20;
    };
    ::signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each figure as soon as it is measured
    raisefilelimit();
    if (attach) {
        const std::size_t colon = pos.size() >= 4 ? pos[1].rfind(':') : std::string::npos;
        if (colon == std::string::npos) {
            std::fprintf(
                stderr,
                "Usage: %s --attach PID HOST:PORT PATH NAME [seconds] [--listeners N[,M...]]\n",
                argv[0]);
            return 2;
        }
        Target t{pos[1].substr(0, colon), std::atoi(pos[1].c_str() + colon + 1), {pos[2]}};
        return measure(std::atoi(pos[0].c_str()), t, counts, secondsat(4), settle, pos[3] + "_",
                       false)
                   ? 0
                   : 1;
    }

    const std::string exe = !pos.empty() ? pos[0] : "build/bin/webrelay";
    const std::string mountlist = pos.size() > 2 ? pos[2] : "ogg";
    const std::vector<std::string> mounts = split(mountlist);
    Target target;
    for (const std::string& m : mounts) {
        if (m != "ogg" && m != "mp3") {
            std::fprintf(stderr, "MOUNTS: ogg, mp3 or ogg,mp3\n");
            return 2;
        }
        target.paths.push_back("/listen." + m);
    }
    const bool mp3 = std::find(mounts.begin(), mounts.end(), "mp3") != mounts.end();
    // Result names: webrelay_... for the ogg run, webrelay_ogg_mp3_... and so on for the others.
    std::string tag = name.empty() ? "webrelay_" : name + "_";
    if (mountlist != "ogg")
        for (const std::string& m : mounts)
            tag += m + "_";

    const int most = *std::max_element(counts.begin(), counts.end());
    const std::string listen = std::string(ADDR) + ":8000";
    // Every reader comes from one address here, so the per-address limit is lifted to the count.
    const std::string places = std::to_string(std::max(300, most));
    kpxtest::Process relay(exe, {"--listen", listen, "--maxlisteners", places, "--peraddress",
                                 places, "--mp3bitrate", mp3 ? "32000" : "0", ADDR});
    const int up = kpxtest::connectto(ADDR, 9998, 5s);
    if (up < 0) {
        std::fprintf(stderr, "the web relay (%s) did not take its upstream:\n%s", exe.c_str(),
                     relay.err().c_str());
        return 1;
    }
    Feeder feed;
    feed.t = std::thread([&] { feed.run(up); });
    std::this_thread::sleep_for(settle);
    if (mounts.size() > 1 && !mp3cost(exe, relay.pid(), secondsat(1), settle,
                                      (name.empty() ? "webrelay" : name) + "_mp3_encode"))
        return 1;
    bool ok = false;
    if (versus.empty()) {
        ok = measure(relay.pid(), target, counts, secondsat(1), settle, tag, true);
    } else {
        const std::size_t colon = versus[1].rfind(':');
        Target peer{
            versus[1].substr(0, colon), std::atoi(versus[1].c_str() + colon + 1), {versus[2]}};
        ok = measurepair(relay.pid(), target, tag, std::atoi(versus[0].c_str()), peer,
                         versus[3] + "_", counts, secondsat(1), settle);
    }
    feed.stop = true;
    feed.t.join();
    ::close(up);
    return ok ? 0 : 1;
}
