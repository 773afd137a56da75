// lconnect and bconnect as the web server starts them, against the real server in live mode:
// a listener connected, a refused connect, a full server forwarding to a listed broadcaster's
// page, and a refused broadcaster connect.
#include "liveserver.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

using namespace std::chrono_literals;
using gatewaytest::LiveServer;
using gatewaytest::pagefor;
using gatewaytest::reportfor;

const std::string header = "Content-Type: text/html\n\n";

struct Answer {
    int status;
    std::string page;
};

// One gateway run with the environment lighttpd gives it: a POST of `body` from `remote`.
Answer post(const std::string& prog, LiveServer& s, const std::string& remote,
            const std::string& body) {
    const std::string in = s.dir().file("body-" + prog + "-" + remote);
    kpxtest::writefile(in, body);
    kpxtest::Process::Options opt;
    opt.env = {{"REQUEST_METHOD", "POST"},
               {"CONTENT_LENGTH", std::to_string(body.size())},
               {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
               {"REMOTE_ADDR", remote},
               {"GATEWAY_INTERFACE", "CGI/1.1"},
               {"KPX_COMMANDFILE", s.cmdfile()},
               {"KPX_REPDIR", s.repdir()}};
    opt.unsetenv = {"QUERY_STRING"};
    opt.stdinfile = in;
    kpxtest::Process p(kpxtest::program(prog), {}, opt);
    EXPECT_TRUE(p.wait(30s));
    return {p.exitcode(), p.out()};
}

std::string skeleton(const std::string& name) {
    return kpxtest::readfile(kpxtest::sourcedir() + "/web/" + name);
}

// The error page for `name` and `message`: the marker line of the skeleton replaced.
std::string errorpage(const std::string& name, const std::string& message) {
    std::string sk = skeleton("error.html");
    const std::size_t at = sk.find("\n@\n");
    std::string report = reportfor(sk.substr(0, at + 1)) + name + ": " + message + ".\n" +
                         reportfor(sk.substr(at + 3));
    return header + pagefor(report);
}

TEST(RealServer, ListenerIsConnectedAndGetsTheSuccessPage) {
    ASSERT_TRUE(kpxtest::exists(kpxtest::program("server")));
    LiveServer s;
    ASSERT_TRUE(s.ready()) << s.err();
    kpxtest::FakeListener listener("127.0.4.40");
    Answer a = post("lconnect", s, "127.0.4.40", "");
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.page, header + pagefor(reportfor(skeleton("success.html"))));
    EXPECT_TRUE(kpxtest::waitfor([&] { return listener.total() >= 2 * 330; }, 5s));
    EXPECT_FALSE(kpxtest::exists(s.repdir() + "/127.0.4.40.html"));
    EXPECT_EQ(kpxtest::readfile(s.repdir() + "/127.0.4.40.txt"),
              "127.0.4.40: Connection established. Enjoy KPX!\n");
    EXPECT_FALSE(kpxtest::exists(s.cmdfile()));

    // The address field of the page names another listener.
    kpxtest::FakeListener other("127.0.4.46");
    a = post("lconnect", s, "127.0.4.40", "CLIENTNAME=127.0.4.46");
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.page, header + pagefor(reportfor(skeleton("success.html"))));
    EXPECT_TRUE(kpxtest::waitfor([&] { return other.total() >= 330; }, 5s));
}

TEST(RealServer, RefusedConnectGivesTheErrorPage) {
    LiveServer s;
    ASSERT_TRUE(s.ready()) << s.err();
    Answer a = post("lconnect", s, "127.0.4.41", "");
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.page, errorpage("127.0.4.41",
                                "Cannot connect. Is your client program started? Did you specify "
                                "the right IP? Are you sitting beyond a firewall?"));
    EXPECT_FALSE(kpxtest::exists(s.repdir() + "/127.0.4.41.html"));
}

TEST(RealServer, FullServerForwardsToTheListedBroadcaster) {
    LiveServer s({"maxclients = 1"});
    ASSERT_TRUE(s.ready()) << s.err();
    kpxtest::FakeListener relay("127.0.4.42");
    const std::string listenurl = "http://127.0.4.42:8080/relay.html";
    const std::string bcasturl = "http://127.0.4.42:8080/broadcast.html";
    Answer a = post("bconnect", s, "127.0.4.49",
                    "CLIENTNAME=127.0.4.42&CLIENTURL=http%3A%2F%2F127.0.4.42%3A8080%2Frelay.html"
                    "&BCASTURL=" +
                        bcasturl);
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.page, header + pagefor(reportfor(skeleton("success.html"))));
    EXPECT_TRUE(kpxtest::waitfor([&] { return relay.total() >= 330; }, 5s));

    // The table is full now: a listener is sent to the relay's listener page.
    kpxtest::FakeListener late("127.0.4.43");
    a = post("lconnect", s, "127.0.4.43", "");
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.page, header + pagefor("<HEAD>\n"
                                       "<META HTTP-EQUIV=\"Refresh\" CONTENT=\"0; URL=" +
                                       listenurl +
                                       "\">\n"
                                       "Maximum amount of clients reached.<A HREF=\"" +
                                       listenurl +
                                       "\">Try this broadcaster</A><br>\n"
                                       "</HEAD>\n"));
    EXPECT_EQ(late.connections(), 0);

    // Another broadcaster is sent to the relay's broadcaster page.
    kpxtest::FakeListener second("127.0.4.44");
    a = post("bconnect", s, "127.0.4.44",
             "CLIENTURL=http://x.example/&BCASTURL=http://x.example/b");
    EXPECT_EQ(a.status, 0);
    EXPECT_NE(a.page.find("CONTENT=\"0; URL=" + bcasturl + "\""), std::string::npos) << a.page;
    EXPECT_EQ(second.connections(), 0);
}

TEST(RealServer, RefusedBroadcasterConnect) {
    LiveServer s({"broadcasters = deny"});
    ASSERT_TRUE(s.ready()) << s.err();
    kpxtest::FakeListener relay("127.0.4.45");
    Answer a = post("bconnect", s, "127.0.4.45",
                    "CLIENTURL=http://r.example/&BCASTURL=http://r.example/b");
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.page, errorpage("127.0.4.45",
                                "Sorry: Broadcaster connects to this server are forbidden\n"));
    EXPECT_EQ(relay.connections(), 0);
}

} // namespace
