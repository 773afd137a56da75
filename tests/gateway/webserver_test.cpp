// The shipped lighttpd configuration started by scripts/web: the pages are served, only the two
// gateways and the status page run as programs and nothing else under /cgi-bin/ is served,
// the gateways get the operator's paths and ignore the form's; and the attacks on the web
// host it stops: requests sent from other sites, gateway runs that hold the host, a flood of
// oversized headers filling the error log.
// Addresses: 127.0.4.60:8080; 127.0.4.80, .83 and .86:8080 with clients on .81-.89.
#include "liveserver.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <future>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

std::string web = "127.0.4.60";

// Connects to the site from the address `from` (empty: any).
int connectfrom(const std::string& from) {
    if (from.empty()) return kpxtest::connectto(web, 8080, 2s);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{}, remote{};
    local.sin_family = remote.sin_family = AF_INET;
    remote.sin_port = htons(8080);
    ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    ::inet_pton(AF_INET, web.c_str(), &remote.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string http(const std::string& request, const std::string& from = "") {
    int fd = connectfrom(from);
    if (fd < 0) return "";
    std::string reply;
    if (kpxtest::sendall(fd, request.data(), request.size())) {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0)
            reply.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return reply;
}

std::string get(const std::string& path) {
    return http("GET " + path + " HTTP/1.0\r\nHost: " + web + "\r\n\r\n");
}

// A form POST; `headers` are extra header lines, each ending in CRLF. Without an Origin or
// Referer among them the site's own Origin is sent, as a browser does; "-" sends neither.
std::string post(const std::string& path, const std::string& body, std::string headers = "",
                 const std::string& from = "") {
    if (headers == "-")
        headers.clear();
    else if (headers.find("Origin:") == std::string::npos &&
             headers.find("Referer:") == std::string::npos)
        headers += "Origin: http://" + web + ":8080\r\n";
    return http("POST " + path + " HTTP/1.0\r\nHost: " + web + ":8080" +
                    "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\n" + headers + "\r\n" + body,
                from);
}

std::string status(const std::string& reply) {
    return reply.substr(0, reply.find("\r\n"));
}

// scripts/web on `address`:8080 for the command file and report directory given, state in
// `state`/web; ended with its process group.
class Site {
  public:
    Site(const std::string& address, const std::string& cmdfile, const std::string& repdir,
         const kpxtest::TempDir& state, std::vector<std::string> extra = {}) {
        web = address;
        std::vector<std::string> args = {
            "--address",     address, "--port",   "8080", "--bindir",   kpxtest::bindir(),
            "--commandfile", cmdfile, "--repdir", repdir, "--statedir", state.file("web")};
        args.insert(args.end(), extra.begin(), extra.end());
        proc_ = std::make_unique<kpxtest::Process>(kpxtest::sourcedir() + "/scripts/web", args);
        up_ = kpxtest::waitfor(
            [] {
                int fd = kpxtest::connectto(web, 8080, 100ms);
                if (fd >= 0) ::close(fd);
                return fd >= 0;
            },
            10s);
    }
    ~Site() {
        if (!proc_->running()) return;
        proc_->signal(SIGTERM);
        proc_->wait(10s);
    }
    bool up() const { return up_; }
    std::string log() const { return proc_->out() + proc_->err(); }
    kpxtest::Process& proc() { return *proc_; }

  private:
    std::unique_ptr<kpxtest::Process> proc_;
    bool up_ = false;
};

const std::string refusal =
    "Refused: this server takes requests only as forms posted from its own pages.<br>\n";
const std::string busy =
    "The web gateway is busy (too many requests at once from your address or in all). "
    "Please try again in a minute.<br>\n";

TEST(WebServer, ServesThePagesAndOnlyTheGatewaysAndTheStatusPage) {
    kpxtest::TempDir state;
    const std::string statusfile = state.file("status.json");
    gatewaytest::LiveServer server({"statusfile = " + statusfile});
    ASSERT_TRUE(server.ready()) << server.err();
    Site site("127.0.4.60", server.cmdfile(), server.repdir(), state, {"--statusfile", statusfile});
    ASSERT_TRUE(site.up()) << site.log();

    std::string r = get("/");
    EXPECT_EQ(status(r), "HTTP/1.0 200 OK");
    EXPECT_NE(r.find("action=\"/cgi-bin/lconnect\""), std::string::npos);
    EXPECT_NE(r.find("name=\"CLIENTNAME\""), std::string::npos);
    r = get("/broadcast.html");
    EXPECT_EQ(status(r), "HTTP/1.0 200 OK");
    EXPECT_NE(r.find("action=\"/cgi-bin/bconnect\""), std::string::npos);
    for (const char* f : {"name=\"CLIENTNAME\"", "name=\"CLIENTURL\"", "name=\"BCASTURL\""})
        EXPECT_NE(r.find(f), std::string::npos) << f;
    EXPECT_EQ(status(get("/kpx.css")), "HTTP/1.0 200 OK");
    EXPECT_NE(get("/").find("href=\"/cgi-bin/status\""),
              std::string::npos); // the listener page links to it
    // Other programs of the build directory, the programs under any other URL (an extra path
    // would have them sent as files) and the configuration stay out of reach.
    for (const char* url :
         {"/cgi-bin/server", "/cgi-bin/lconnect/x", "/cgi-bin/bconnect/", "/cgi-bin/status/x.html",
          "/cgi-bin/lconnect%2Fx", "/cgi-bin/./bconnect/y", "/cgi-bin/", "/cgi-bin",
          "/cgi-bin/LCONNECT", "/cgi-bin/../lighttpd.conf"}) {
        r = get(url);
        EXPECT_EQ(status(r), "HTTP/1.0 403 Forbidden") << url;
        EXPECT_EQ(r.find("\x7f"
                         "ELF"),
                  std::string::npos)
            << url;
    }

    // A listener whose form names its own paths: the operator's paths are used all the same.
    kpxtest::TempDir elsewhere;
    kpxtest::FakeListener listener("127.0.4.61");
    r = post("/cgi-bin/lconnect", "CLIENTNAME=127.0.4.61&COMMANDFILE=" + elsewhere.file("planted") +
                                      "&REPDIR=" + elsewhere.path());
    EXPECT_EQ(status(r), "HTTP/1.0 200 OK");
    EXPECT_NE(r.find("Connection established. Enjoy KPX!"), std::string::npos) << r;
    EXPECT_TRUE(kpxtest::waitfor([&] { return listener.total() >= 330; }, 5s));
    EXPECT_FALSE(kpxtest::exists(elsewhere.file("planted")));
    EXPECT_TRUE(kpxtest::exists(server.repdir() + "/127.0.4.61.txt"));

    // The status page reads the operator's status file.
    r = get("/cgi-bin/status");
    EXPECT_EQ(status(r), "HTTP/1.0 200 OK");
    EXPECT_NE(r.find("class=\"onair\">On air since"), std::string::npos) << r;
    EXPECT_NE(r.find("Listeners now: <span id=\"listeners\">1</span>"), std::string::npos) << r;
    EXPECT_EQ(r.find("127.0.4.61"), std::string::npos) << r;

    // A refusal of the gateway reaches the browser as a page.
    r = post("/cgi-bin/bconnect", "CLIENTNAME=127.0.4.62");
    EXPECT_EQ(status(r), "HTTP/1.0 200 OK");
    EXPECT_NE(r.find("\r\n\r\nBCASTURL must be defined! Mail admin!<br>"), std::string::npos) << r;

    site.proc().signal(SIGTERM);
    EXPECT_TRUE(site.proc().wait(10s));
}

// Another site's page makes its visitors' browsers send requests to the gateways (an <img>
// for a GET, a form for a POST): none reaches the server, while the site's own form works.
TEST(WebServer, CrossSiteRequestsAreRefused) {
    kpxtest::TempDir state;
    gatewaytest::LiveServer server;
    ASSERT_TRUE(server.ready()) << server.err();
    Site site("127.0.4.80", server.cmdfile(), server.repdir(), state);
    ASSERT_TRUE(site.up()) << site.log();
    kpxtest::FakeListener victim("127.0.4.81");
    const std::string form = "CLIENTNAME=127.0.4.81";
    const std::string relayform =
        form + "&CLIENTURL=http://evil.example/&BCASTURL=http://evil.example/b";
    struct Attack {
        std::string what, reply;
    };
    const std::vector<Attack> attacks = {
        {"GET lconnect", get("/cgi-bin/lconnect?" + form)},
        {"GET bconnect", get("/cgi-bin/bconnect?" + relayform)},
        {"POST from another origin",
         post("/cgi-bin/lconnect", form, "Origin: http://evil.example\r\n")},
        {"POST from another port",
         post("/cgi-bin/lconnect", form, "Origin: http://127.0.4.80:8081\r\n")},
        {"POST from an opaque origin", post("/cgi-bin/lconnect", form, "Origin: null\r\n")},
        {"POST with neither Origin nor Referer", post("/cgi-bin/lconnect", form, "-")},
        {"POST referred by another page",
         post("/cgi-bin/bconnect", relayform, "Referer: http://evil.example/x.html\r\n")},
    };
    for (const auto& a : attacks) {
        EXPECT_EQ(status(a.reply), "HTTP/1.0 200 OK") << a.what;
        EXPECT_NE(a.reply.find("\r\n\r\n" + refusal), std::string::npos)
            << a.what << ": " << a.reply;
    }
    EXPECT_EQ(victim.connections(), 0);
    EXPECT_FALSE(kpxtest::exists(server.repdir() + "/127.0.4.81.txt"));

    // The site's own form, as a browser posts it from the site's page.
    const std::string r =
        post("/cgi-bin/lconnect", form,
             "Origin: http://127.0.4.80:8080\r\nReferer: http://127.0.4.80:8080/\r\n");
    EXPECT_NE(r.find("Connection established. Enjoy KPX!"), std::string::npos) << r;
    EXPECT_TRUE(kpxtest::waitfor([&] { return victim.connections() == 1; }, 5s));
}

// One visitor (and then many) start gateway runs that wait their turn: beyond the limits a
// request gets the busy page at once instead of one more waiting process.
TEST(WebServer, GatewayRunsAreBoundedPerAddressAndInAll) {
    kpxtest::TempDir state;
    // A command file nobody takes: every run that gets a slot waits (about 10 s).
    const std::string cmdfile = state.file("commands");
    kpxtest::writefile(cmdfile, "someone.else.waiting\n");
    ::mkdir(state.file("reports").c_str(), 0700);
    Site site("127.0.4.83", cmdfile, state.file("reports"), state,
              {"--gateway-max", "3", "--gateway-per-client", "2"});
    ASSERT_TRUE(site.up()) << site.log();
    const auto ask = [](const std::string& from) {
        return std::async(std::launch::async,
                          [from] { return post("/cgi-bin/lconnect", "", "", from); });
    };
    std::vector<std::future<std::string>> waiting;
    for (const char* from : {"127.0.4.84", "127.0.4.84", "127.0.4.85"})
        waiting.push_back(ask(from));
    const std::string locks = state.file("web") + "/locks/";
    // Until the three runs hold their slots.
    EXPECT_TRUE(kpxtest::waitfor(
        [&] {
            return kpxtest::exists(locks + "client-127.0.4.84-1") &&
                   kpxtest::exists(locks + "client-127.0.4.85-0") &&
                   kpxtest::exists(locks + "slot-2");
        },
        10s));

    for (const char* from : {"127.0.4.84", "127.0.4.86"}) { // the first address again; a third one
        const auto t0 = std::chrono::steady_clock::now();
        const std::string r = post("/cgi-bin/lconnect", "", "", from);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s) << from;
        EXPECT_NE(r.find("\r\n\r\n" + busy), std::string::npos) << from << ": " << r;
    }
    for (auto& w : waiting) {
        const std::string r = w.get();
        EXPECT_NE(r.find("Server is busy or not accepting connections."), std::string::npos) << r;
    }
    // Once those ended, their slots are free again.
    const std::string r = post("/cgi-bin/lconnect", "", "", "127.0.4.86");
    EXPECT_NE(r.find("Server is busy or not accepting connections."), std::string::npos) << r;
}

// A flood of requests with oversized headers (each answered 431 and logged by lighttpd) keeps
// the error log within its bound.
TEST(WebServer, HeaderFloodLeavesTheErrorLogBounded) {
    kpxtest::TempDir state;
    ::mkdir(state.file("reports").c_str(), 0700);
    Site site("127.0.4.86", state.file("commands"), state.file("reports"), state,
              {"--errorlog-max", "4096"});
    ASSERT_TRUE(site.up()) << site.log();
    const std::string oversized =
        "GET / HTTP/1.0\r\nHost: " + web + "\r\nX-Pad: " + std::string(20000, 'a') + "\r\n\r\n";
    int answered = 0;
    for (int i = 0; i < 300; ++i)
        answered += status(http(oversized)).find(" 431 ") != std::string::npos;
    EXPECT_EQ(answered, 300);
    EXPECT_EQ(status(get("/")), "HTTP/1.0 200 OK"); // the site still serves
    const std::string log = state.file("web") + "/error.log";
    // The older half holds the 431 lines; both stay below their bound together.
    EXPECT_TRUE(kpxtest::waitfor([&] { return kpxtest::exists(log + ".1"); }, 5s));
    const std::string older = kpxtest::readfile(log + ".1");
    EXPECT_NE(older.find("431"), std::string::npos) << older;
    EXPECT_LE(older.size() + kpxtest::readfile(log).size(), 2u * 4096u);
}

TEST(WebServer, ScriptOptions) {
    kpxtest::Process help(kpxtest::sourcedir() + "/scripts/web", {"--help"});
    ASSERT_TRUE(help.wait(10s));
    EXPECT_EQ(help.exitcode(), 0);
    for (const char* o : {"--port", "--address", "--docroot", "--commandfile", "--repdir",
                          "--statusfile", "--daemon", "--gateway-max", "--gateway-per-client",
                          "--server-user", "--errorlog-max", "--cert", "--key", "--redirect-from"})
        EXPECT_NE(help.out().find(o), std::string::npos) << o;
    const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
        {{"--port", "eighty"}, "port must be a number"},
        {{"--gateway-max", "0"}, "--gateway-max must be a positive number"},
        {{"--gateway-per-client", "two"}, "--gateway-per-client must be a positive number"},
        {{"--errorlog-max", ""}, "--errorlog-max must be a positive number"},
        {{"--redirect-from", "x"}, "--redirect-from must be a port number"},
    };
    for (const auto& [args, message] : bad) {
        kpxtest::Process p(kpxtest::sourcedir() + "/scripts/web", args);
        ASSERT_TRUE(p.wait(10s));
        EXPECT_EQ(p.exitcode(), 2) << message;
        EXPECT_NE(p.err().find(message), std::string::npos) << p.err();
    }
}

} // namespace
