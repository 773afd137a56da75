// Gateway timings against the real server in live mode (input paced at one packet per 200 ms):
//   1. one lconnect run, from its start to the complete answer page (success report), run
//      directly as the web server would run it: median, minimum and maximum over 20 runs;
//   2. the cost of lighttpd starting the CGI: the same refused request (illegal name, answered
//      at once without the server) run directly and through lighttpd over HTTP, next to a
//      static page through lighttpd; and the whole success path through lighttpd.
// Addresses: 127.0.7.20 (listener), 127.0.7.30:8080 (lighttpd).
// Usage: gateway_bench [runs]   (default 20 runs of each; medians also printed as
// "RESULT <name> <value> <unit>" lines for scripts/bench)
#include "liveserver.h"
#include "testsupport.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using clk = std::chrono::steady_clock;
int RUNS = 20;

double ms(clk::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

struct Stats {
    double median, min, max;
};
Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    double med = v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    return {med, v.front(), v.back()};
}
void print(const char* what, const std::vector<double>& v) {
    Stats s = stats(v);
    std::printf("%-58s median %8.2f ms  min %8.2f  max %8.2f  (%zu runs)\n", what, s.median, s.min,
                s.max, v.size());
}

// Runs `exe` with `env` added, standard input from `in`, output into `out` (its standard
// error next to it, in `out`.err); returns the elapsed wall time and the exit status.
double runcgi(const std::string& exe, const std::map<std::string, std::string>& env,
              const std::string& in, const std::string& out, int& status) {
    kpxtest::Process::Options opt;
    opt.env = env;
    opt.stdinfile = in;
    opt.outfile = out;
    opt.errfile = out + ".err";
    const auto t0 = clk::now();
    kpxtest::Process cgi(exe, {}, opt);
    cgi.join();
    const auto t1 = clk::now();
    status = cgi.exitcode();
    return ms(t1 - t0);
}

// One HTTP/1.0 request; returns the elapsed time until the connection closed, `reply` the
// whole answer.
double http(const std::string& addr, int port, const std::string& request, std::string& reply) {
    auto t0 = clk::now();
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, addr.c_str(), &sa.sin_addr);
    reply.clear();
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
        kpxtest::sendall(fd, request.data(), request.size())) {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0)
            reply.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return ms(clk::now() - t0);
}

std::string post(const std::string& host, const std::string& body) {
    // The site's own form, as a browser posts it (Origin names the page's site).
    return "POST /cgi-bin/lconnect HTTP/1.0\r\nHost: " + host + ":8080\r\nOrigin: http://" + host +
           ":8080\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1) RUNS = std::max(1, std::atoi(argv[1]));
    const std::string lconnect = kpxtest::program("lconnect");
    gatewaytest::LiveServer server;
    if (!server.ready()) {
        std::fprintf(stderr, "server did not start:\n%s\n", server.err().c_str());
        return 1;
    }
    kpxtest::TempDir work;
    const std::string empty = work.file("empty"), refused = work.file("refused"),
                      page = work.file("page");
    kpxtest::writefile(empty, "");
    kpxtest::writefile(refused, "CLIENTNAME=bad");
    const std::string listener = "127.0.7.20";
    kpxtest::FakeListener fake(listener);

    const std::map<std::string, std::string> cgienv = {{"REQUEST_METHOD", "POST"},
                                                       {"CONTENT_LENGTH", "0"},
                                                       {"REMOTE_ADDR", listener},
                                                       {"KPX_COMMANDFILE", server.cmdfile()},
                                                       {"KPX_REPDIR", server.repdir()}};

    // The listener's connection is dropped after every run so that the table never fills.
    auto dropped = [&](int n) {
        fake.dropcurrent();
        return kpxtest::waitfor([&] { return kpxtest::countof(server.err(), " died ") >= n; }, 5s);
    };

    // Runs start at phases spread evenly over the 200 ms packet period, since the wait for the
    // server's next poll depends on where in the period a request arrives.
    auto phase = [](int i) {
        std::this_thread::sleep_for(std::chrono::milliseconds((i * 10) % 200));
    };

    std::vector<double> direct;
    for (int i = 0; i < RUNS; ++i) {
        phase(i);
        int status = 0;
        double t = runcgi(lconnect, cgienv, empty, page, status);
        if (status != 0 ||
            kpxtest::readfile(page).find("Connection established") == std::string::npos) {
            std::fprintf(stderr, "run %d failed (status %d):\n%s\n", i, status,
                         kpxtest::readfile(page).c_str());
            return 1;
        }
        direct.push_back(t);
        if (!dropped(i + 1)) {
            std::fprintf(stderr, "the server did not drop the listener\n");
            return 1;
        }
    }
    std::printf("lconnect against the server in live mode, 200 ms packets\n");
    print("lconnect run, start to answer page (success):", direct);

    // The refused request: no waiting, only the program start and the CGI decoding.
    std::map<std::string, std::string> refusedenv = cgienv;
    refusedenv["CONTENT_LENGTH"] = "14";
    std::vector<double> refuseddirect;
    for (int i = 0; i < RUNS; ++i) {
        int status = 0;
        refuseddirect.push_back(runcgi(lconnect, refusedenv, refused, page, status));
        if (status != 1) return 1;
    }

    // The same through lighttpd, started by scripts/web.
    const std::string web = "127.0.7.30";
    kpxtest::Process lighttpd(kpxtest::sourcedir() + "/scripts/web",
                              {"--address", web, "--port", "8080", "--bindir", kpxtest::bindir(),
                               "--commandfile", server.cmdfile(), "--repdir", server.repdir(),
                               "--statedir", work.file("web")});
    if (!kpxtest::waitfor(
            [&] {
                int fd = kpxtest::connectto(web, 8080, 100ms);
                if (fd >= 0) ::close(fd);
                return fd >= 0;
            },
            10s)) {
        std::fprintf(stderr, "lighttpd did not start:\n%s\n", lighttpd.err().c_str());
        return 1;
    }
    std::string reply;
    std::vector<double> staticpage, refusedweb, successweb;
    for (int i = 0; i < RUNS; ++i) {
        staticpage.push_back(
            http(web, 8080, "GET /index.html HTTP/1.0\r\nHost: " + web + "\r\n\r\n", reply));
        if (reply.find("200 OK") == std::string::npos) return 1;
        refusedweb.push_back(http(web, 8080, post(web, "CLIENTNAME=bad"), reply));
        if (reply.find("Illegal hostname") == std::string::npos) return 1;
    }
    for (int i = 0; i < RUNS; ++i) {
        phase(i);
        successweb.push_back(http(web, 8080, post(web, "CLIENTNAME=" + listener), reply));
        if (reply.find("Connection established") == std::string::npos) {
            std::fprintf(stderr, "web run %d failed:\n%s\n", i, reply.c_str());
            return 1;
        }
        if (!dropped(RUNS + i + 1)) return 1;
    }
    print("static page through lighttpd (HTTP round trip):", staticpage);
    print("refused request, lconnect run directly:", refuseddirect);
    print("refused request through lighttpd (HTTP + CGI start):", refusedweb);
    std::printf("%-58s %8.2f ms\n",
                "cost of lighttpd starting the CGI (medians: web - static - direct):",
                stats(refusedweb).median - stats(staticpage).median - stats(refuseddirect).median);
    print("lconnect success through lighttpd, request to answer page:", successweb);
    std::printf("RESULT lconnect_answer_median %.2f ms\n", stats(direct).median);
    std::printf("RESULT lconnect_web_answer_median %.2f ms\n", stats(successweb).median);
    std::printf("RESULT lconnect_web_answer_max %.2f ms\n", stats(successweb).max);
    std::printf("RESULT cgi_start_cost %.2f ms\n",
                stats(refusedweb).median - stats(staticpage).median - stats(refuseddirect).median);
    lighttpd.signal(SIGTERM);
    lighttpd.wait(5s);
    return 0;
}
