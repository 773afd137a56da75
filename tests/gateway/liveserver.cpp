#include "liveserver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gatewaytest {

using namespace std::chrono_literals;

LiveServer::LiveServer(const std::vector<std::string>& extra) {
    const std::string src = kpxtest::sourcedir();
    ::mkdir(repdir().c_str(), 0755);
    const std::string fifo = dir_.file("audio");
    ::mkfifo(fifo.c_str(), 0600);
    // Opened for reading and writing: never blocks, and the server never sees an end of input.
    feedfd_ = ::open(fifo.c_str(), O_RDWR);
    feeder_ = std::thread([this] {
        const std::vector<unsigned char> packet(1600, 0xFF);
        auto next = std::chrono::steady_clock::now();
        while (!stop_) {
            if (::write(feedfd_, packet.data(), packet.size()) < 0) break;
            next += 200ms;
            std::this_thread::sleep_until(next);
        }
    });
    std::string conf = "inputdevice = " + fifo +
                       "\n"
                       "commandfile = " +
                       cmdfile() +
                       "\n"
                       "repdir = " +
                       repdir() +
                       "\n"
                       "successhtml = " +
                       src +
                       "/web/success.html\n"
                       "errorhtml = " +
                       src + "/web/error.html\n";
    for (const auto& line : extra)
        conf += line + "\n";
    kpxtest::writefile(dir_.file("kpx.conf"), conf);
    kpxtest::Process::Options opt;
    opt.cwd = dir_.path();
    proc_ = std::make_unique<kpxtest::Process>(
        kpxtest::program("server"), std::vector<std::string>{dir_.file("kpx.conf")}, opt);
    ready_ = proc_->waiterr("Waiting for connections", 10s);
}

LiveServer::~LiveServer() {
    proc_->kill();
    stop_ = true;
    feeder_.join();
    if (feedfd_ >= 0) ::close(feedfd_);
}

namespace {
std::string doublelines(const std::string& text) {
    std::string out;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size() - 1;
        out += text.substr(at, nl + 1 - at) + "\n";
        at = nl + 1;
    }
    return out;
}
} // namespace

std::string pagefor(const std::string& report) {
    return doublelines(report);
}
std::string reportfor(const std::string& skeleton) {
    return doublelines(skeleton);
}

} // namespace gatewaytest
