// The shipped lighttpd configuration started by scripts/web: the pages are served, only the two
// gateways and the status page run as programs and nothing else under /cgi-bin/ is served,
// the gateways get the operator's paths and ignore the form's.
// Address: 127.0.4.60:8080.
#include "liveserver.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <string>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

const std::string web = "127.0.4.60";

std::string http(const std::string& request) {
    int fd = kpxtest::connectto(web, 8080, 2s);
    if (fd < 0) return "";
    std::string reply;
    if (kpxtest::sendall(fd, request.data(), request.size())) {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0) reply.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return reply;
}

std::string get(const std::string& path) {
    return http("GET " + path + " HTTP/1.0\r\nHost: " + web + "\r\n\r\n");
}

std::string post(const std::string& path, const std::string& body) {
    return http("POST " + path + " HTTP/1.0\r\nHost: " + web +
                "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body);
}

std::string status(const std::string& reply) { return reply.substr(0, reply.find("\r\n")); }

TEST(WebServer, ServesThePagesAndOnlyTheGatewaysAndTheStatusPage) {
    kpxtest::TempDir state;
    const std::string statusfile = state.file("status.json");
    gatewaytest::LiveServer server({"statusfile = " + statusfile});
    ASSERT_TRUE(server.ready()) << server.err();
    kpxtest::Process lighttpd(kpxtest::sourcedir() + "/scripts/web",
                              {"--address", web, "--port", "8080", "--bindir", kpxtest::bindir(),
                               "--commandfile", server.cmdfile(), "--repdir", server.repdir(),
                               "--statusfile", statusfile, "--statedir", state.file("web")});
    ASSERT_TRUE(kpxtest::waitfor([] {
        int fd = kpxtest::connectto(web, 8080, 100ms);
        if (fd >= 0) ::close(fd);
        return fd >= 0;
    }, 10s)) << lighttpd.out() << lighttpd.err();

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
    EXPECT_NE(get("/").find("href=\"/cgi-bin/status\""), std::string::npos); // the listener page links to it
    // Other programs of the build directory, the programs under any other URL (an extra path
    // would have them sent as files) and the configuration stay out of reach.
    for (const char* url : {"/cgi-bin/server", "/cgi-bin/lconnect/x", "/cgi-bin/bconnect/",
                            "/cgi-bin/status/x.html", "/cgi-bin/lconnect%2Fx", "/cgi-bin/./bconnect/y",
                            "/cgi-bin/", "/cgi-bin", "/cgi-bin/LCONNECT", "/cgi-bin/../lighttpd.conf"}) {
        r = get(url);
        EXPECT_EQ(status(r), "HTTP/1.0 403 Forbidden") << url;
        EXPECT_EQ(r.find("\x7f" "ELF"), std::string::npos) << url;
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

    lighttpd.signal(SIGTERM);
    EXPECT_TRUE(lighttpd.wait(10s));
}

TEST(WebServer, ScriptOptions) {
    kpxtest::Process help(kpxtest::sourcedir() + "/scripts/web", {"--help"});
    ASSERT_TRUE(help.wait(10s));
    EXPECT_EQ(help.exitcode(), 0);
    for (const char* o : {"--port", "--address", "--docroot", "--commandfile", "--repdir", "--statusfile", "--daemon"})
        EXPECT_NE(help.out().find(o), std::string::npos) << o;
    kpxtest::Process bad(kpxtest::sourcedir() + "/scripts/web", {"--port", "eighty"});
    ASSERT_TRUE(bad.wait(10s));
    EXPECT_EQ(bad.exitcode(), 2);
    EXPECT_NE(bad.err().find("port must be a number"), std::string::npos);
}

} // namespace
