#include "faults.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>

namespace kpxtest::faults {

std::string addr(int n) {
    return "127.0.13." + std::to_string(n);
}

unsigned seed() {
    static const unsigned s = [] {
        const char* env = std::getenv("KPX_FAULT_SEED");
        const unsigned v = env != nullptr ? static_cast<unsigned>(std::strtoul(env, nullptr, 10))
                                          : std::random_device{}();
        std::cout << "KPX_FAULT_SEED=" << v << "\n";
        return v;
    }();
    return s;
}

Programme::Programme(unsigned first, int count) {
    for (int i = 0; i < count; ++i) {
        chunks.push_back(server::ulawchunk(first + static_cast<unsigned>(i)));
        packets.push_back(server::encoded(chunks.back()));
    }
}

Feeder::Feeder(const std::string& path, const Programme& p, std::chrono::milliseconds every) {
    ::mkfifo(path.c_str(), 0600);
    ::signal(SIGPIPE, SIG_IGN); // a server that ends makes the writes fail, not the test
    thread_ = std::thread([this, path, chunks = p.chunks, every] {
        int fd = -1;
        while (!stop_ && (fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0)
            std::this_thread::sleep_for(5ms);
        for (std::size_t k = 0; !stop_; k = (k + 1) % chunks.size()) {
            std::size_t done = 0;
            while (!stop_ && done < chunks[k].size()) {
                pollfd pfd{fd, POLLOUT, 0};
                if (::poll(&pfd, 1, 50) <= 0) continue;
                const ssize_t n = ::write(fd, chunks[k].data() + done, chunks[k].size() - done);
                if (n < 0 && errno != EAGAIN) return void(::close(fd)); // the server is gone
                if (n > 0) done += static_cast<std::size_t>(n);
            }
            std::this_thread::sleep_for(every);
        }
        if (fd >= 0) ::close(fd);
    });
}

Feeder::~Feeder() {
    stop_ = true;
    thread_.join();
}

LiveServer::LiveServer(unsigned first, int count, std::chrono::milliseconds every)
    : programme(first, count) {
    env.conf[0] = "live = yes";
    env.conf[1] = "inputdevice = " + env.dir.file("audio");
    env.conf.push_back("maxclients = 10");
    feeder = std::make_unique<Feeder>(env.dir.file("audio"), programme, every);
}

namespace {

sockaddr_in endpoint(const std::string& address) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(9998);
    ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    return sa;
}

void endchild(int& pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    pid = -1;
}

} // namespace

Sink::Sink(const std::string& address, Mode mode, std::chrono::milliseconds after) {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return;
    // Everything the child needs is prepared before the fork: it only makes system calls.
    const sockaddr_in sa = endpoint(address);
    const int lsn = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1, small = 2048;
    ::setsockopt(lsn, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (mode == stalls) ::setsockopt(lsn, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    if (::bind(lsn, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(lsn, 1) != 0) {
        ::close(lsn);
        ::close(p[0]);
        ::close(p[1]);
        return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL); // ends with the test, however that ends
        for (int fd = 3; fd < 1024; ++fd)
            if (fd != lsn && fd != p[1]) ::close(fd);
        const int s = ::accept(lsn, nullptr, nullptr);
        char buf[4096];
        std::size_t got = 0;
        while (got < 330) {
            const ssize_t n = ::read(s, buf, sizeof buf);
            if (n <= 0) ::_exit(1);
            got += static_cast<std::size_t>(n);
        }
        (void)::write(p[1], "x", 1);
        const auto until = std::chrono::steady_clock::now() + after;
        while (mode == reads || std::chrono::steady_clock::now() < until)
            if (::read(s, buf, sizeof buf) <= 0) ::_exit(0);
        if (mode == resets) {
            const linger hard{1, 0};
            ::setsockopt(s, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            ::close(s);
            ::_exit(0);
        }
        for (;;)
            ::pause();
    }
    ::close(lsn);
    ::close(p[1]);
    ready_ = p[0];
}

Sink::~Sink() {
    endchild(pid_);
    if (ready_ >= 0) ::close(ready_);
}

bool Sink::accepted(std::chrono::milliseconds timeout) {
    pollfd pfd{ready_, POLLIN, 0};
    char c;
    return ready_ >= 0 && ::poll(&pfd, 1, static_cast<int>(timeout.count())) == 1 &&
           ::read(ready_, &c, 1) == 1;
}

void Sink::kill() {
    endchild(pid_);
}

Upstream::Upstream(const std::string& address, const Bytes& bytes, unsigned seed,
                   std::chrono::milliseconds every) {
    const sockaddr_in sa = endpoint(address);
    std::mt19937 rng(seed);
    std::vector<std::size_t> pieces;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t n = std::min<std::size_t>(1 + rng() % 400, bytes.size() - at);
        pieces.push_back(n);
        at += n;
    }
    pid_ = ::fork();
    if (pid_ != 0) return;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (int fd = 3; fd < 1024; ++fd)
        ::close(fd);
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    while (::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
        ::usleep(10000);
    std::size_t at = 0;
    const timespec pause{0, static_cast<long>(every.count()) * 1000000L};
    for (std::size_t n : pieces) {
        if (::send(s, bytes.data() + at, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) ::_exit(1);
        at += n;
        ::nanosleep(&pause, nullptr);
    }
    for (;;)
        ::pause();
}

Upstream::~Upstream() {
    endchild(pid_);
}

void Upstream::kill() {
    endchild(pid_);
}

BlackHole::BlackHole(const std::string& address) {
    const sockaddr_in sa = endpoint(address);
    const int hole = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(hole, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(hole, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(hole, 0) != 0) {
        ::close(hole);
        return;
    }
    fds_.push_back(hole);
    for (int k = 0; k < 3; ++k) {
        const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ::connect(c, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        fds_.push_back(c);
    }
    std::this_thread::sleep_for(200ms);
}

BlackHole::~BlackHole() {
    for (int fd : fds_)
        ::close(fd);
}

std::unique_ptr<Process> gatewayrun(const std::string& prog, const server::Env& e,
                                    const std::string& query) {
    Process::Options opt;
    opt.env = {{"REQUEST_METHOD", "GET"},        {"QUERY_STRING", query},
               {"REMOTE_ADDR", "127.0.0.1"},     {"GATEWAY_INTERFACE", "CGI/1.1"},
               {"KPX_COMMANDFILE", e.cmdfile()}, {"KPX_REPDIR", e.repdir()}};
    return std::make_unique<Process>(program(prog), std::vector<std::string>{}, opt);
}

GapWatch::GapWatch(const FakeListener& l) {
    thread_ = std::thread([this, &l] {
        auto last = std::chrono::steady_clock::now();
        std::size_t seen = 0;
        while (!stop_) {
            std::this_thread::sleep_for(10ms);
            std::size_t now = 0;
            for (int c = 0; c < l.connections(); ++c)
                now += l.total(c);
            const auto t = std::chrono::steady_clock::now();
            if (now != seen) {
                seen = now;
                last = t;
            }
            const long gap = static_cast<long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(t - last).count());
            if (seen > 0 && gap > longest_) longest_ = gap;
        }
    });
}

GapWatch::~GapWatch() {
    stop_ = true;
    thread_.join();
}

int descriptors(int pid) {
    std::error_code ec;
    int n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

long rsskb(int pid) {
    const std::string status = readfile("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}

} // namespace kpxtest::faults
