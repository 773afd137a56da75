#include "benchkit.h"

#include "serverenv.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kpxbench {

std::int64_t realnow() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

namespace {

std::uint64_t fnv(const unsigned char* p, std::size_t n) {
    std::uint64_t h = 1469598103934665603ULL;
    for (std::size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 1099511628211ULL;
    return h;
}

} // namespace

Programme::Programme(int count) {
    for (int k = 0; k < count; ++k) {
        chunks_.push_back(kpxtest::server::ulawchunk(static_cast<unsigned>(k) + 1000U));
        packets_.push_back(kpxtest::server::encoded(chunks_.back()));
        if (packets_.back().size() != PACKET) throw std::runtime_error("the codec gave no packet");
        index_.emplace(fnv(packets_.back().data(), PACKET), k);
    }
}

int Programme::find(const unsigned char* p) const {
    auto [from, to] = index_.equal_range(fnv(p, PACKET));
    for (auto it = from; it != to; ++it)
        if (std::memcmp(packets_[static_cast<std::size_t>(it->second)].data(), p, PACKET) == 0)
            return it->second;
    return -1;
}

// ---------------------------------------------------------------------------------------

namespace {

constexpr std::uint64_t CONNBIT = 1ULL << 32;

void watch(int ep, int fd, std::uint64_t tag) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = tag;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
}

} // namespace

ListenerPool::ListenerPool(const Programme& prog, const std::vector<std::string>& addresses)
    : prog_(prog), ears_(addresses.size()) {
    ep_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (ep_ < 0) throw std::runtime_error("epoll_create1 failed");
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        Ear& e = ears_[i];
        e.addr = addresses[i];
        e.arrival.assign(static_cast<std::size_t>(prog.size()), 0);
        e.lsock = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(e.lsock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(9998);
        if (::inet_pton(AF_INET, e.addr.c_str(), &a.sin_addr) != 1 ||
            ::bind(e.lsock, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(e.lsock, 10) != 0)
            throw std::runtime_error("cannot listen on " + e.addr +
                                     ":9998: " + std::strerror(errno));
        watch(ep_, e.lsock, i);
    }
    thread_ = std::thread([this] { run(); });
}

ListenerPool::~ListenerPool() {
    stop_ = true;
    thread_.join();
    for (auto& e : ears_) {
        if (e.conn >= 0) ::close(e.conn);
        ::close(e.lsock);
    }
    ::close(ep_);
}

Heard ListenerPool::heard(int i) const {
    const std::lock_guard<std::mutex> hold(mu_);
    return ears_[static_cast<std::size_t>(i)].h;
}

std::int64_t ListenerPool::arrival(int i, int k) const {
    const std::lock_guard<std::mutex> hold(mu_);
    const auto& a = ears_[static_cast<std::size_t>(i)].arrival;
    return k >= 0 && k < static_cast<int>(a.size()) ? a[static_cast<std::size_t>(k)] : 0;
}

void ListenerPool::drop(int i) {
    const std::lock_guard<std::mutex> hold(mu_);
    Ear& e = ears_[static_cast<std::size_t>(i)];
    if (e.conn >= 0) closeconn(e, i);
}

int ListenerPool::background() {
    sched_param none{};
    return ::pthread_setschedparam(thread_.native_handle(), SCHED_IDLE, &none);
}

std::int64_t ListenerPool::cpuns() const {
    std::ifstream f("/proc/self/task/" + std::to_string(tid_.load()) + "/schedstat");
    std::int64_t ns = -1;
    return f >> ns ? ns : -1;
}

void ListenerPool::closeconn(Ear& e, int i) {
    ::epoll_ctl(ep_, EPOLL_CTL_DEL, e.conn, nullptr);
    ::close(e.conn);
    e.conn = -1;
    if (e.have != 0 && e.h.problem.empty()) e.h.problem = "the connection ended inside a packet";
    e.have = 0;
    watch(ep_, e.lsock, static_cast<std::uint64_t>(i)); // the next sender may come
}

void ListenerPool::complete(Ear& e) {
    const int k = prog_.find(e.part.data());
    if (k < 0) {
        if (e.h.problem.empty())
            e.h.problem =
                "packet " + std::to_string(e.h.packets) + " is no packet of the programme";
        return;
    }
    if (e.h.last >= 0 && k != e.h.last + 1 && e.h.problem.empty())
        e.h.problem =
            "programme packet " + std::to_string(k) + " came after " + std::to_string(e.h.last);
    if (e.h.first < 0) e.h.first = k;
    e.h.last = k;
    ++e.h.packets;
    e.arrival[static_cast<std::size_t>(k)] = e.stamp;
}

void ListenerPool::readfrom(Ear& e, int i) {
    for (;;) {
        // Never past the end of the packet under way, so that the stamp is its first byte's.
        std::int64_t stamp = 0;
        const long n = kpxtest::recvstamped(e.conn, e.part.data() + e.have, PACKET - e.have, stamp);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            closeconn(e, i);
            return;
        }
        if (e.have == 0) e.stamp = stamp != 0 ? stamp : realnow();
        // Acknowledge at once: a listener at live pace has acknowledged long before the next
        // packet, so a faster-paced run must not leave the sender waiting on delayed ACKs.
        const int one = 1;
        ::setsockopt(e.conn, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        e.have += static_cast<std::size_t>(n);
        if (e.have == PACKET) {
            complete(e);
            e.have = 0;
        }
    }
}

void ListenerPool::run() {
    tid_ = static_cast<int>(::gettid());
    std::vector<epoll_event> evs(64);
    while (!stop_) {
        const int n = ::epoll_wait(ep_, evs.data(), static_cast<int>(evs.size()), 50);
        const std::lock_guard<std::mutex> hold(mu_);
        for (int j = 0; j < n; ++j) {
            const std::uint64_t tag = evs[static_cast<std::size_t>(j)].data.u64;
            const int i = static_cast<int>(tag & 0xFFFFFFFFULL);
            Ear& e = ears_[static_cast<std::size_t>(i)];
            if ((tag & CONNBIT) != 0) {
                if (e.conn >= 0) readfrom(e, i);
                continue;
            }
            if (e.conn >= 0) continue; // one sender at a time; the next waits in the backlog
            const int c = ::accept4(e.lsock, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (c < 0) continue;
            const int one = 1;
            ::setsockopt(c, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
            e.conn = c;
            ++e.h.connections;
            ::epoll_ctl(ep_, EPOLL_CTL_DEL, e.lsock, nullptr);
            watch(ep_, c, CONNBIT | static_cast<std::uint64_t>(i));
            readfrom(e, i);
        }
    }
}

// ---------------------------------------------------------------------------------------

Feeder::Feeder(const Programme& prog, const std::string& fifo)
    : prog_(prog), at_(static_cast<std::size_t>(prog.size()), 0) {
    if (::mkfifo(fifo.c_str(), 0600) == 0) fd_ = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
}

Feeder::~Feeder() {
    stop();
    if (fd_ >= 0) ::close(fd_);
}

void Feeder::start() {
    thread_ = std::thread([this] {
        auto next = std::chrono::steady_clock::now();
        for (int k = 0; !stop_; ++k) {
            if (k >= prog_.size()) {
                exhausted_ = true;
                return;
            }
            at_[static_cast<std::size_t>(k)] = realnow();
            // 1600 bytes is below PIPE_BUF: the server reads whole chunks.
            if (::write(fd_, prog_.chunk(k).data(), CHUNK) != static_cast<ssize_t>(CHUNK)) return;
            fed_.store(k + 1, std::memory_order_release);
            next += std::chrono::milliseconds(200);
            std::this_thread::sleep_until(next);
        }
    });
}

void Feeder::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

// ---------------------------------------------------------------------------------------

std::int64_t cpuns(int pid) {
    const std::string task = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = ::opendir(task.c_str());
    if (d == nullptr) return -1;
    std::int64_t sum = 0;
    while (const dirent* ent = ::readdir(d)) {
        if (ent->d_name[0] == '.') continue;
        std::ifstream f(task + "/" + ent->d_name + "/schedstat");
        std::int64_t ns = 0;
        if (f >> ns) sum += ns;
    }
    ::closedir(d);
    return sum;
}

long statuskib(int pid, const std::string& key) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind(key + ":", 0) == 0)
            return std::strtol(line.c_str() + key.size() + 1, nullptr, 10);
    return -1;
}

int fdcount(int pid) {
    DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr) return -1;
    int n = 0;
    while (const dirent* ent = ::readdir(d))
        if (ent->d_name[0] != '.') ++n;
    ::closedir(d);
    return n;
}

Spread spread(std::vector<double> v) {
    Spread s;
    s.n = v.size();
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    s.median = v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    s.p99 =
        v[std::min(v.size() - 1,
                   static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(v.size()))) - 1)];
    s.max = v.back();
    return s;
}

void result(const std::string& name, double value, const std::string& unit) {
    std::printf("RESULT %s %.6g %s\n", name.c_str(), value, unit.c_str());
    std::fflush(stdout);
}

} // namespace kpxbench
