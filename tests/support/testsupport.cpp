#include "testsupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

namespace kpxtest {

std::string bindir() {
    return KPX_BIN_DIR;
}
std::string sourcedir() {
    return KPX_SOURCE_DIR;
}
std::string program(const std::string& name) {
    return bindir() + "/" + name;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kpxtest-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    // Make read-only subdirectories removable again before removing the tree.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
    }
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

Process::Process(const std::string& exe, const std::vector<std::string>& args)
    : Process(exe, args, Options{}) {}

Process::Process(const std::string& exe, const std::vector<std::string>& args, const Options& opt) {
    if (opt.outfile.empty() || opt.errfile.empty()) own_ = new TempDir();
    outfile_ = opt.outfile.empty() ? own_->file("stdout") : opt.outfile;
    errfile_ = opt.errfile.empty() ? own_->file("stderr") : opt.errfile;
    std::vector<std::string> argv{exe};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);

    // A child forked from the test's main thread dies with the test (a CTest timeout kills
    // only the test process); from another thread it cannot, since the kernel would end it
    // with that thread.
    const pid_t parent = getpid();
    const bool mainthread = gettid() == parent;
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        setpgid(0, 0);
        if (mainthread) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(125);
        }
        for (const auto& name : opt.unsetenv)
            ::unsetenv(name.c_str());
        for (const auto& [k, v] : opt.env)
            ::setenv(k.c_str(), v.c_str(), 1);
        if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0) _exit(126);
        int in = open(opt.stdinfile.empty() ? "/dev/null" : opt.stdinfile.c_str(), O_RDONLY);
        int out = open(outfile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errfile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        // Nothing else of the test (a FIFO's writing end, a listening socket) goes along.
        close_range(3, ~0U, 0);
        // Default dispositions for the child, whatever the test runner set.
        for (int s = 1; s < 32; ++s)
            ::signal(s, SIG_DFL);
        execv(exe.c_str(), cargv.data());
        _exit(127);
    }
    setpgid(pid_, pid_); // also here, so that the group exists before kill() may need it
}

Process::~Process() {
    kill();
    delete own_;
}

void Process::reap(int options) {
    int st = 0;
    rusage ru{};
    if (wait4(pid_, &st, options, &ru) != pid_) return;
    status_ = st;
    reaped_ = true;
    cpu_ = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

bool Process::running() {
    if (!reaped_) reap(WNOHANG);
    return !reaped_;
}

void Process::join() {
    if (!reaped_) reap(0);
}

double Process::cpuseconds() const {
    return cpu_;
}

bool Process::wait(std::chrono::milliseconds timeout) {
    return waitfor([this] { return !running(); }, timeout);
}

void Process::signal(int sig) {
    if (!reaped_) ::kill(pid_, sig);
}

void Process::kill() {
    // The whole group: whatever the program started goes too, even after it ended itself.
    ::kill(-pid_, SIGKILL);
    if (reaped_) return;
    ::kill(pid_, SIGKILL);
    reap(0);
    reaped_ = true;
}

int Process::exitcode() const {
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}
int Process::termsignal() const {
    return WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
}
std::string Process::out() const {
    return readfile(outfile_);
}
std::string Process::err() const {
    return readfile(errfile_);
}

bool Process::waitout(const std::string& text, std::chrono::milliseconds timeout) const {
    return waitfor([&] { return out().find(text) != std::string::npos; }, timeout);
}
bool Process::waiterr(const std::string& text, std::chrono::milliseconds timeout) const {
    return waitfor([&] { return err().find(text) != std::string::npos; }, timeout);
}

bool waitfor(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= end) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string readfile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::vector<unsigned char> readbytes(const std::string& path) {
    const std::string s = readfile(path);
    return {s.begin(), s.end()};
}

void writefile(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

void writebytes(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

bool exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

int countof(const std::string& haystack, const std::string& needle) {
    if (needle.empty()) return 0;
    int n = 0;
    for (auto pos = haystack.find(needle); pos != std::string::npos;
         pos = haystack.find(needle, pos + needle.size()))
        ++n;
    return n;
}

double segsnr(const std::vector<short>& ref, const std::vector<short>& got) {
    constexpr std::size_t SEGMENT = 160;
    const std::size_t n = std::min(ref.size(), got.size());
    double sum = 0;
    int segments = 0;
    for (std::size_t at = 0; at + SEGMENT <= n; at += SEGMENT) {
        double sig = 0, err = 0;
        for (std::size_t i = at; i < at + SEGMENT; ++i) {
            const double r = ref[i], g = got[i];
            sig += r * r;
            err += (r - g) * (r - g);
        }
        if (sig / SEGMENT < 300.0 * 300.0) continue; // quieter than about -40 dBFS
        const double snr = 10 * std::log10((sig + 1e-9) / (err + 1e-9));
        sum += std::clamp(snr, -10.0, 35.0);
        ++segments;
    }
    return segments ? sum / segments : -100.0;
}

struct FakeListener::Impl {
    int lsock = -1;
    std::atomic<bool> stop{false};
    std::atomic<bool> paused{false};
    std::atomic<bool> drop{false};
    mutable std::mutex mu;
    std::vector<std::vector<unsigned char>> data;
    std::vector<bool> closed;
    std::thread th;

    void run() {
        while (!stop) {
            pollfd p{lsock, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            int c = accept(lsock, nullptr, nullptr);
            if (c < 0) continue;
            std::size_t idx;
            {
                std::lock_guard<std::mutex> lk(mu);
                data.emplace_back();
                closed.push_back(false);
                idx = data.size() - 1;
            }
            unsigned char buf[4096];
            bool peerclosed = false;
            while (!stop && !drop) {
                if (paused) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    continue;
                }
                pollfd q{c, POLLIN, 0};
                if (poll(&q, 1, 20) <= 0) continue;
                ssize_t n = read(c, buf, sizeof buf);
                if (n <= 0) {
                    peerclosed = true;
                    break;
                }
                std::lock_guard<std::mutex> lk(mu);
                data[idx].insert(data[idx].end(), buf, buf + n);
            }
            drop = false;
            close(c);
            std::lock_guard<std::mutex> lk(mu);
            closed[idx] = peerclosed;
        }
    }
};

FakeListener::FakeListener(const std::string& addr, int port) : impl_(new Impl) {
    impl_->lsock = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(impl_->lsock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, addr.c_str(), &sa.sin_addr);
    if (bind(impl_->lsock, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        listen(impl_->lsock, 10) != 0) {
        const std::string why = std::strerror(errno);
        close(impl_->lsock);
        delete impl_;
        throw std::runtime_error("FakeListener bind " + addr + ": " + why);
    }
    impl_->th = std::thread([this] { impl_->run(); });
}

FakeListener::~FakeListener() {
    impl_->stop = true;
    impl_->th.join();
    close(impl_->lsock);
    delete impl_;
}

int FakeListener::connections() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return static_cast<int>(impl_->data.size());
}

std::vector<unsigned char> FakeListener::bytes(int connection) const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    if (connection < 0 || connection >= static_cast<int>(impl_->data.size())) return {};
    return impl_->data[static_cast<std::size_t>(connection)];
}

std::size_t FakeListener::total(int connection) const {
    return bytes(connection).size();
}

bool FakeListener::closedbypeer(int connection) const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    if (connection < 0 || connection >= static_cast<int>(impl_->closed.size())) return false;
    return impl_->closed[static_cast<std::size_t>(connection)];
}

void FakeListener::dropcurrent() {
    impl_->drop = true;
}
void FakeListener::pause(bool paused) {
    impl_->paused = paused;
}

int connectto(const std::string& addr, int port, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    do {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, addr.c_str(), &sa.sin_addr);
        if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return fd;
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < end);
    return -1;
}

bool sendall(int fd, const void* data, std::size_t len) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (len > 0) {
        ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return false;
        }
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

long recvstamped(int fd, void* buf, std::size_t len, std::int64_t& stamp) {
    iovec io{buf, len};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr m{};
    m.msg_iov = &io;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(fd, &m, MSG_DONTWAIT);
    stamp = 0;
    if (n > 0)
        for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec ts{};
                std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                stamp = static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
            }
    return static_cast<long>(n);
}

} // namespace kpxtest
