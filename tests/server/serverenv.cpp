#include "serverenv.h"

#include "codec.h"

#include <cstdio>
#include <filesystem>
#include <random>

namespace kpxtest::server {

std::string addr(int n) {
    return "127.0.2." + std::to_string(n);
}

Bytes ulawchunk(unsigned seed) {
    std::mt19937 rng(seed * 7919U + 17U);
    Bytes b(1600);
    for (auto& x : b)
        x = static_cast<unsigned char>(rng() & 0xFF);
    return b;
}

Bytes encoded(const Bytes& chunk) {
    Bytes out(chunk.size() / 160 * 33);
    const int n = kpx::encode(chunk.data(), static_cast<int>(chunk.size()), out.data());
    if (n < 0) return {};
    out.resize(static_cast<std::size_t>(n));
    return out;
}

Bytes silence(std::size_t n) {
    return Bytes(n, 0xFF);
}

Bytes concat(const std::vector<Bytes>& parts) {
    Bytes all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

Follow follow(const Bytes& got, const std::vector<Bytes>& cycle) {
    Follow f;
    const std::size_t count = got.size() / 330;
    int expect = -1;
    for (std::size_t k = 0; k < count; ++k) {
        const Bytes p(got.begin() + static_cast<long>(k * 330),
                      got.begin() + static_cast<long>(k * 330 + 330));
        if (expect < 0) {
            for (std::size_t c = 0; c < cycle.size(); ++c)
                if (cycle[c] == p) {
                    expect = static_cast<int>(c);
                    break;
                }
            if (expect < 0) {
                f.problem = "first packet matches no reference packet";
                return f;
            }
            f.first = expect;
        } else if (cycle[static_cast<std::size_t>(expect)] != p) {
            f.problem = "packet " + std::to_string(k) + " is not reference packet " +
                        std::to_string(expect);
            return f;
        }
        ++f.packets;
        expect = (expect + 1) % static_cast<int>(cycle.size());
    }
    return f;
}

Env::Env() {
    std::filesystem::create_directory(repdir());
    writefile(dir.file("success.html"), SUCCESSSKELETON);
    writefile(dir.file("error.html"), ERRORSKELETON);
    conf = {"live = no",
            "inputdevice = " + input(),
            "commandfile = " + cmdfile(),
            "repdir = " + repdir() + "/",
            "successhtml = " + dir.file("success.html"),
            "errorhtml = " + dir.file("error.html")};
}

Env::~Env() {
    if (proc_) proc_->kill();
}

namespace {

// The command line of `name` with `arg`, behind `wrapper` when there is one.
std::pair<std::string, std::vector<std::string>>
commandline(const std::vector<std::string>& wrapper, const std::string& name,
            const std::string& arg) {
    std::vector<std::string> args = wrapper;
    std::string exe = program(name);
    if (!args.empty()) {
        exe = args.front();
        args.erase(args.begin());
        args.push_back(program(name));
    }
    args.push_back(arg);
    return {exe, args};
}

} // namespace

void Env::start(const std::vector<std::string>& wrapper) {
    std::string text;
    for (const auto& l : conf)
        text += l + "\n";
    writefile(dir.file("kpx.conf"), text);
    Process::Options opt;
    opt.cwd = dir.path();
    const auto [exe, args] = commandline(wrapper, "server", dir.file("kpx.conf"));
    proc_ = std::make_unique<Process>(exe, args, opt);
    waiterr("Waiting for connections...", 10s);
}

void Env::startrelay(const std::string& own, const std::vector<std::string>& wrapper) {
    std::string text;
    for (const auto& l : conf)
        if (l.rfind("live", 0) != 0 && l.rfind("inputdevice", 0) != 0) text += l + "\n";
    writefile(dir.file("kpx.conf"), text);
    Process::Options opt;
    opt.cwd = dir.path();
    const auto [exe, args] = commandline(wrapper, "broadcaster", own);
    proc_ = std::make_unique<Process>(exe, args, opt);
    waiterr("Use a WWW-browser to connect to server!\n", 10s);
}

bool Env::command(const std::string& line, std::chrono::milliseconds timeout) {
    const std::string tmp = dir.file("cmd.new");
    writefile(tmp, line);
    std::rename(tmp.c_str(), cmdfile().c_str());
    return waitfor([&] { return !exists(cmdfile()); }, timeout);
}

bool Env::connect(const std::string& address, FakeListener& l) {
    const int before = l.connections();
    if (!command(address + "\n")) return false;
    return waitfor([&] { return l.connections() > before && l.total(l.connections() - 1) >= 330; },
                   10s);
}

int Env::stop() {
    if (!command("@STOP\n")) return -1;
    if (!proc_->wait(10s)) return -1;
    return proc_->exitcode();
}

} // namespace kpxtest::server
