#include "clientenv.h"

#include "codec.h"
#include "stream.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <random>
#include <sstream>
#include <stdexcept>

namespace clienttest {

void writeasoundrc(const std::string& home, Device dev, const std::string& heardfile) {
    std::string rc;
    if (dev == Device::broken) {
        // Card 7 does not exist on the test machine (nor on most others): the open fails.
        rc = "pcm.!default {\n"
             "  type hw\n"
             "  card 7\n"
             "}\n";
    } else {
        rc = "pcm.!default {\n"
             "  type asym\n"
             "  playback.pcm {\n"
             "    type file\n"
             "    slave.pcm \"null\"\n"
             "    file \"|cat >>'" +
             heardfile +
             "'\"\n"
             "    format \"raw\"\n"
             "  }\n"
             "  capture.pcm \"null\"\n"
             "}\n";
    }
    kpxtest::writefile(home + "/.asoundrc", rc);
}

Client::Client(const std::vector<std::string>& args, Device dev)
    : heardfile_(home_.file("heard.ul")) {
    writeasoundrc(home_.path(), dev, heardfile_);
    kpxtest::Process::Options opt;
    opt.env["HOME"] = home_.path();
    opt.env["LD_PRELOAD"] = "libaoss.so.0";
    // Sanitizer builds: the preloaded library comes before the sanitizer runtime.
    opt.env["ASAN_OPTIONS"] = "verify_asan_link_order=0";
    opt.unsetenv = {"ALSA_CONFIG_PATH", "ALSA_OSS_DEBUG"};
    opt.cwd = home_.path();
    proc_ = std::make_unique<kpxtest::Process>(kpxtest::program("client"), args, opt);
}

Bytes Client::heard() const {
    return kpxtest::exists(heardfile_) ? kpxtest::readbytes(heardfile_) : Bytes{};
}

bool Client::waitcount(const std::string& text, int n, std::chrono::milliseconds timeout) const {
    return kpxtest::waitfor([&] { return kpxtest::countof(out(), text) >= n; }, timeout);
}

Sender::Sender(const std::string& addr) : fd_(kpxtest::connectto(addr, kpx::STREAMPORT, 5s)) {}

Sender::~Sender() {
    close();
}

bool Sender::send(const Bytes& b) {
    return send(b, 0, b.size());
}

bool Sender::send(const Bytes& b, std::size_t from, std::size_t len) {
    if (fd_ < 0 || from + len > b.size()) return false;
    return kpxtest::sendall(fd_, b.data() + from, len);
}

void Sender::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

Bytes ulawsignal(int samples, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> freq(180.0, 1400.0);
    std::normal_distribution<double> hiss(0.0, 150.0);
    const double f1 = freq(rng), f2 = freq(rng), f3 = freq(rng);
    Bytes out(static_cast<std::size_t>(samples));
    const double pi = std::acos(-1.0);
    for (int i = 0; i < samples; ++i) {
        const double t = i / 8000.0;
        const double env = 0.55 + 0.45 * std::sin(2 * pi * 1.7 * t + seed);
        const double v =
            env * (5200 * std::sin(2 * pi * f1 * t) + 2600 * std::sin(2 * pi * f2 * t) +
                   1300 * std::sin(2 * pi * f3 * t)) +
            hiss(rng);
        out[static_cast<std::size_t>(i)] =
            kpx::linear2ulaw(static_cast<std::int16_t>(std::lround(v)));
    }
    return out;
}

Bytes noise(int count, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out(static_cast<std::size_t>(count));
    for (auto& b : out)
        b = static_cast<unsigned char>(rng() & 0xFF);
    return out;
}

Bytes encodepackets(const Bytes& audio) {
    if (audio.size() % kpx::PACKETSAMPLES != 0) throw std::invalid_argument("not whole packets");
    Bytes wire;
    std::array<unsigned char, kpx::PACKETBYTES> pkt{};
    for (std::size_t at = 0; at < audio.size(); at += kpx::PACKETSAMPLES) {
        if (kpx::encode(audio.data() + at, kpx::PACKETSAMPLES, pkt.data()) != kpx::PACKETBYTES)
            throw std::runtime_error("encode failed");
        wire.insert(wire.end(), pkt.begin(), pkt.end());
    }
    return wire;
}

Bytes packets(int count, std::uint32_t seed) {
    return encodepackets(ulawsignal(count * kpx::PACKETSAMPLES, seed));
}

Bytes expectedplay(const Bytes& wire, int* refused) {
    Bytes out;
    int bad = 0;
    std::array<unsigned char, kpx::PACKETSAMPLES> audio{};
    for (std::size_t at = 0; at + kpx::PACKETBYTES <= wire.size(); at += kpx::PACKETBYTES) {
        const int n = kpx::decode(wire.data() + at, kpx::PACKETBYTES, audio.data());
        if (n < 0) {
            ++bad;
            continue;
        }
        out.insert(out.end(), audio.begin(), audio.begin() + n);
    }
    if (refused) *refused = bad;
    return out;
}

Bytes slice(const Bytes& b, std::size_t from, std::size_t len) {
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + len));
}

Bytes concat(const Bytes& a, const Bytes& b) {
    Bytes r = a;
    r.insert(r.end(), b.begin(), b.end());
    return r;
}

long vmkib(int pid, const std::string& field) {
    std::istringstream in(kpxtest::readfile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

} // namespace clienttest
