// Runs the real server and measures it:
//   1. encode-only cost: CPU seconds to compress the bench input packet by packet;
//   2. playback mode with 10 listeners that read as fast as they can, for at least 1000
//      packets each: the server's CPU seconds (user + system) per second of audio sent,
//      the ratio to the encode-only cost, and its peak resident set size;
//   3. live mode from a FIFO fed at real pace: the delay from writing a request line into
//      the command file to the listener's first byte, over several requests.
// With --statusfile [seconds] only this runs instead: live mode at real pace with 10
// listeners for `seconds` (default 30) of audio, once without and once with a status file,
// printing the server's CPU seconds per second of audio as RESULT lines.
// Usage: server_bench [path/to/server] [packets] [live requests]
//   (listeners on 127.0.7.10 to 127.0.7.20; defaults 3000 packets, 20 live requests)
// Every figure is also printed as a line "RESULT <name> <value> <unit>" for scripts/bench.
//        server_bench [path/to/server] --statusfile [seconds]
#include "cmdfile.h"
#include "codec.h"
#include "testsupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double cpuseconds(const rusage& r) {
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// Peak resident set size of a running process (VmHWM), in KiB; -1 when unreadable. The
// rusage of a child is no measure of it: it keeps the peak of the image before exec, that is
// of this bench at the time of the fork.
long vmhwm(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long kib = -1;
    while (f >> key) {
        if (key == "VmHWM:") {
            f >> kib;
            break;
        }
        std::getline(f, key);
    }
    return kib;
}

void result(const char* name, double value, const char* unit) {
    std::printf("RESULT %s %.6g %s\n", name, value, unit);
}

double selfcpu() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return cpuseconds(r);
}

std::vector<unsigned char> benchinput(std::size_t packets) {
    // Speech-like material is not needed for the cost: the encoder's work does not depend
    // much on the signal. A mix of tones and noise keeps it away from silence.
    std::vector<unsigned char> b(packets * 1600);
    std::mt19937 rng(42);
    for (std::size_t i = 0; i < b.size(); ++i) {
        const double t = static_cast<double>(i) / 8000.0;
        const double v = 8000.0 * std::sin(2 * 3.14159265 * 440 * t) +
                         3000.0 * std::sin(2 * 3.14159265 * 1250 * t) +
                         static_cast<double>(static_cast<int>(rng() % 2001) - 1000);
        b[i] = kpx::linear2ulaw(static_cast<std::int16_t>(v));
    }
    return b;
}

// A receiver on addr:9998 that accepts one connection and reads everything it gets.
struct Listener {
    int lsock = -1;
    std::atomic<long> bytes{0};
    std::atomic<bool> stop{false};
    std::atomic<long long> firstbyte_ns{
        0}; // steady clock of the first byte of the latest connection
    std::thread th;

    explicit Listener(const std::string& addr) {
        lsock = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(lsock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(9998);
        inet_pton(AF_INET, addr.c_str(), &sa.sin_addr);
        if (bind(lsock, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
            listen(lsock, 10) != 0) {
            std::perror(("listener " + addr).c_str());
            std::exit(2);
        }
        th = std::thread([this] { run(); });
    }
    ~Listener() {
        stop = true;
        th.join();
        close(lsock);
    }
    void run() {
        std::vector<unsigned char> buf(65536);
        while (!stop) {
            pollfd p{lsock, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            const int c = accept(lsock, nullptr, nullptr);
            if (c < 0) continue;
            bool first = true;
            while (!stop) {
                pollfd q{c, POLLIN, 0};
                if (poll(&q, 1, 20) <= 0) continue;
                const ssize_t n = read(c, buf.data(), buf.size());
                if (n <= 0) break;
                if (first) {
                    firstbyte_ns = Clock::now().time_since_epoch().count();
                    first = false;
                }
                bytes += n;
            }
            close(c);
        }
    }
};

// The server under test in `dir`, its console in console.txt there (standard error; standard
// output in console.out).
struct Server {
    kpxtest::Process proc;
    Server(const std::string& exe, const std::string& dir)
        : proc(exe, {"kpx.conf"}, options(dir)) {}
    static kpxtest::Process::Options options(const std::string& dir) {
        kpxtest::Process::Options o;
        o.cwd = dir;
        o.outfile = dir + "/console.out";
        o.errfile = dir + "/console.txt";
        return o;
    }
    // Waits for the end, at most `limit`, then ends it; its CPU is then known.
    void wait(std::chrono::milliseconds limit) {
        if (!proc.wait(limit)) proc.kill();
    }
};

// Hands a line to the server's command file as the gateways and kpxctl do, and waits until
// it is taken; `written`, when given, receives the moment the line was in the file.
bool command(const std::string& dir, const std::string& line,
             Clock::time_point* written = nullptr) {
    const std::string cmd = dir + "/cmd";
    int error = 0;
    kpx::fileid id;
    if (kpx::placerequest(cmd, line, error, id) != kpx::placed::written) return false;
    if (written != nullptr) *written = Clock::now();
    return kpx::awaittaken(cmd);
}

void writeconf(const std::string& dir, const std::string& input, bool live) {
    std::ofstream c(dir + "/kpx.conf");
    c << "live = " << (live ? "yes" : "no") << "\n"
      << "inputdevice = " << input << "\n"
      << "commandfile = " << dir << "/cmd\n"
      << "repdir = " << dir << "\n"
      << "successhtml = " << dir << "/ok.html\n"
      << "errorhtml = " << dir << "/err.html\n";
    std::ofstream(dir + "/ok.html") << "<p>ok</p>\n";
    std::ofstream(dir + "/err.html") << "@\n";
}

// Live mode from a FIFO fed at real pace with ten listeners for `seconds` of audio: the
// server's CPU seconds (user + system, whole run) per second of audio sent.
double livecpu(const std::string& exe, const std::string& dir,
               const std::vector<unsigned char>& input, long seconds, bool status) {
    const std::string fifo = dir + "/live.fifo";
    fs::remove(fifo);
    fs::remove(dir + "/status.json");
    mkfifo(fifo.c_str(), 0644);
    writeconf(dir, fifo, true);
    if (status)
        std::ofstream(dir + "/kpx.conf", std::ios::app)
            << "statusfile = " << dir << "/status.json\n";
    std::vector<std::unique_ptr<Listener>> ls;
    for (int k = 0; k < 10; ++k)
        ls.push_back(std::make_unique<Listener>("127.0.7." + std::to_string(10 + k)));
    Server s(exe, dir);
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        const int fd = open(fifo.c_str(), O_WRONLY);
        auto next = Clock::now();
        const std::size_t packets = input.size() / 1600;
        std::size_t k = 0;
        while (feeding && fd >= 0) {
            if (write(fd, input.data() + (k++ % packets) * 1600, 1600) != 1600) break;
            next += std::chrono::milliseconds(200);
            std::this_thread::sleep_until(next);
        }
        if (fd >= 0) close(fd);
    });
    for (int k = 0; k < 10; ++k)
        if (!command(dir, "127.0.7." + std::to_string(10 + k) + "\n"))
            std::fprintf(stderr, "request %d not taken\n", k);
    const auto end = Clock::now() + std::chrono::seconds(seconds + 30);
    while (ls.front()->bytes < seconds * 5 * 330 && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    command(dir, "@STOP\n");
    s.wait(std::chrono::seconds(20));
    feeding = false;
    feeder.join();
    if (status && !fs::exists(dir + "/status.json"))
        std::fprintf(stderr, "no status file was written\n");
    const double audio = static_cast<double>(ls.front()->bytes.load() / 330) / 5.0;
    return audio > 0 ? s.proc.cpuseconds() / audio : 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 2 && std::string(argv[2]) == "--statusfile") {
        const std::string exe = fs::absolute(argv[1]).string();
        const long seconds = argc > 3 ? std::max(3L, std::atol(argv[3])) : 30;
        char tmpl[] = "/tmp/kpx-serverbench-XXXXXX";
        const std::string dir = mkdtemp(tmpl);
        const auto input = benchinput(250);
        const double without = livecpu(exe, dir, input, seconds, false);
        const double with = livecpu(exe, dir, input, seconds, true);
        std::printf("RESULT server_live_cpu_per_audio_s_10_listeners %.6f cpu-s/s\n", without);
        std::printf("RESULT server_live_cpu_per_audio_s_10_listeners_statusfile %.6f cpu-s/s\n",
                    with);
        fs::remove_all(dir);
        return 0;
    }
    const std::string exe =
        fs::absolute(argc > 1 ? fs::path(argv[1]) : fs::path(argv[0]).parent_path() / "server")
            .string();
    const long want = argc > 2 ? std::atol(argv[2]) : 3000;
    const int liverequests = argc > 3 ? std::atoi(argv[3]) : 20;
    char tmpl[] = "/tmp/kpx-serverbench-XXXXXX";
    const std::string dir = mkdtemp(tmpl);

    // 1. Encode-only cost.
    const std::size_t filepackets = 250; // 50 s of audio, looped by the server
    const auto input = benchinput(filepackets);
    {
        std::ofstream f(dir + "/in.ul", std::ios::binary);
        f.write(reinterpret_cast<const char*>(input.data()),
                static_cast<std::streamsize>(input.size()));
    }
    std::vector<unsigned char> out(330);
    const long encpackets = 4000;
    const double c0 = selfcpu();
    for (long k = 0; k < encpackets; ++k)
        kpx::encode(input.data() + (static_cast<std::size_t>(k) % filepackets) * 1600, 1600,
                    out.data());
    const double encodecpu = (selfcpu() - c0) / static_cast<double>(encpackets); // s per packet
    std::printf("encode only:            %.1f us CPU per packet = %.4f CPU s per s of audio\n",
                encodecpu * 1e6, encodecpu * 5);
    result("encode_cpu_per_audio_s", encodecpu * 5 * 1e6, "us/s");
    double peraudio1 = 0;

    // 2. Playback with one and with ten fast listeners.
    writeconf(dir, dir + "/in.ul", false);
    for (int nl : {1, 10}) {
        std::vector<std::unique_ptr<Listener>> ls;
        for (int k = 0; k < nl; ++k)
            ls.push_back(std::make_unique<Listener>("127.0.7." + std::to_string(10 + k)));
        {
            Server s(exe, dir);
            for (int k = 0; k < nl; ++k)
                if (!command(dir, "127.0.7." + std::to_string(10 + k) + "\n")) {
                    std::fprintf(stderr, "request %d not taken\n", k);
                    return 1;
                }
            const auto end = Clock::now() + std::chrono::seconds(120);
            while (ls.back()->bytes < want * 330 && Clock::now() < end)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const long hwm = vmhwm(s.proc.pid());
            command(dir, "@STOP\n");
            s.wait(std::chrono::seconds(20));
            long minpackets = 1L << 40;
            long total = 0;
            for (auto& l : ls) {
                minpackets = std::min(minpackets, l->bytes.load() / 330);
                total += l->bytes.load() / 330;
            }
            // Packets taken from the input: the first listener's count is the closest bound.
            const long packets = ls.front()->bytes.load() / 330;
            const double cpu = s.proc.cpuseconds();
            const double audio = static_cast<double>(packets) / 5.0;
            std::printf("playback, %2d listeners: %ld packets to each (min %ld), %ld sent in all; "
                        "exit status %d\n",
                        nl, packets, minpackets, total, s.proc.exitcode());
            std::printf("                        %.3f CPU s for %.1f s of audio = %.4f CPU s per s "
                        "of audio "
                        "(%.1f us per packet)\n",
                        cpu, audio, cpu / audio, cpu / static_cast<double>(packets) * 1e6);
            std::printf("                        ratio to encode only: %.2f (distribution and "
                        "polling add %.0f %%)\n",
                        cpu / static_cast<double>(packets) / encodecpu,
                        (cpu / static_cast<double>(packets) / encodecpu - 1) * 100);
            std::printf("                        peak RSS %ld KiB (%.2f MiB, VmHWM)\n", hwm,
                        static_cast<double>(hwm) / 1024.0);
            const std::string n = std::to_string(nl);
            result(("server_cpu_per_audio_s_" + n).c_str(), cpu / audio * 1e6, "us/s");
            result(("server_ratio_to_encode_" + n).c_str(),
                   cpu / static_cast<double>(packets) / encodecpu, "x");
            result(("server_peak_rss_" + n).c_str(), static_cast<double>(hwm), "KiB");
            if (nl == 1)
                peraudio1 = cpu / audio;
            else
                result("server_marginal_cpu_per_listener_audio_s",
                       (cpu / audio - peraudio1) / (nl - 1) * 1e6, "us/s");
        }
    }

    // 3. Live mode from a paced FIFO: request line to first byte.
    const std::string fifo = dir + "/live.fifo";
    mkfifo(fifo.c_str(), 0644);
    writeconf(dir, fifo, true);
    Listener l("127.0.7.20");
    Server s(exe, dir);
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        const int fd = open(fifo.c_str(), O_WRONLY);
        auto next = Clock::now();
        std::size_t k = 0;
        while (feeding && fd >= 0) {
            if (write(fd, input.data() + (k++ % filepackets) * 1600, 1600) != 1600) break;
            next += std::chrono::milliseconds(200);
            std::this_thread::sleep_until(next);
        }
        if (fd >= 0) close(fd);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    std::vector<double> delays;
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> phase(0, 199);
    for (int round = 0; round < liverequests; ++round) {
        l.firstbyte_ns = 0;
        Clock::time_point t0;
        if (!command(dir, "127.0.7.20\n", &t0)) break;
        const auto end = Clock::now() + std::chrono::seconds(5);
        while (l.firstbyte_ns == 0 && Clock::now() < end)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (l.firstbyte_ns == 0) break;
        delays.push_back(static_cast<double>(l.firstbyte_ns - t0.time_since_epoch().count()) / 1e6);
        command(dir, "@KILL 0\n");
        // Start the next request at a random point of the packet period.
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + phase(rng)));
    }
    command(dir, "@STOP\n");
    feeding = false;
    s.wait(std::chrono::seconds(10));
    feeder.join();
    std::sort(delays.begin(), delays.end());
    if (!delays.empty())
        std::printf("live, paced FIFO:       request to first byte over %zu requests: min %.1f ms, "
                    "median %.1f ms, "
                    "max %.1f ms (one packet period: 200 ms)\n",
                    delays.size(), delays.front(), delays[delays.size() / 2], delays.back());
    if (!delays.empty()) {
        result("live_first_byte_min", delays.front(), "ms");
        result("live_first_byte_median", delays[delays.size() / 2], "ms");
        result("live_first_byte_max", delays.back(), "ms");
    } else
        std::printf("live, paced FIFO:       no request was served\n");
    fs::remove_all(dir);
    return 0;
}
