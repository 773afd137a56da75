// lconnect and bconnect as the web server starts them, against the real server in live mode:
// a listener connected, a refused connect, a full server forwarding to a listed broadcaster's
// page, and a refused broadcaster connect.
#include "liveserver.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

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
            const std::string& body, const std::map<std::string, std::string>& site = {}) {
    static std::atomic<int> bodies{0};
    const std::string in = s.dir().file("body-" + prog + "-" + std::to_string(++bodies));
    kpxtest::writefile(in, body);
    kpxtest::Process::Options opt;
    opt.env = {{"REQUEST_METHOD", "POST"},
               {"CONTENT_LENGTH", std::to_string(body.size())},
               {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
               {"REMOTE_ADDR", remote},
               {"GATEWAY_INTERFACE", "CGI/1.1"},
               {"KPX_COMMANDFILE", s.cmdfile()},
               {"KPX_REPDIR", s.repdir()}};
    opt.env.insert(site.begin(), site.end());
    opt.unsetenv = {"QUERY_STRING", "KPX_GATEWAY_LOCKDIR", "KPX_POSTONLY"};
    opt.stdinfile = in;
    kpxtest::Process p(kpxtest::program(prog), {}, opt);
    // A run waits at most about 10 s for its turn, 10 s for the server to take its request and
    // 10 s for the report; under attack on a loaded machine it may use all three.
    EXPECT_TRUE(p.wait(50s));
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

// Gateways one network cannot hold: attackers of one /24 (two runs each, the per-address
// limit) keep naming an address whose connect is never answered, while a visitor from
// another /24 asks for itself. Each unanswered connect costs the command file 2 s, then the
// attackers' network waits (cooldown) and the runs queue first come, first served.
TEST(RealServer, AttackersNamingBlackholesDoNotHoldTheGateways) {
    // The blackhole: a listening socket whose accept queue is full, so SYNs get no answer.
    const std::string hole = "127.0.30.250";
    const int hs = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(hs, 0);
    int one = 1;
    ::setsockopt(hs, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(9998);
    ::inet_pton(AF_INET, hole.c_str(), &sa.sin_addr);
    ASSERT_EQ(::bind(hs, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(::listen(hs, 0), 0);
    std::vector<int> fillers;
    for (int k = 0; k < 3; ++k) {
        fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        ::connect(fillers.back(), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    }
    std::this_thread::sleep_for(200ms);

    struct Case {
        int attackers;
        int atleast; // of 12 tries connected, each within 6 s
    };
    for (const Case c : {Case{4, 10}, Case{1, 11}}) {
        SCOPED_TRACE(std::to_string(c.attackers) + " attacking addresses");
        LiveServer s;
        ASSERT_TRUE(s.ready()) << s.err();
        const kpxtest::TempDir locks;
        const std::map<std::string, std::string> site = {{"KPX_GATEWAY_LOCKDIR", locks.path()}};
        std::atomic<bool> stop{false};
        std::atomic<int> attacks{0};
        std::vector<std::thread> attackers;
        for (int a = 0; a < c.attackers * 2; ++a)
            attackers.emplace_back([&, a] {
                while (!stop) {
                    post("lconnect", s, "10.9.8." + std::to_string(1 + a / 2), "CLIENTNAME=" + hole,
                         site);
                    ++attacks;
                }
            });
        std::this_thread::sleep_for(1s);
        int connected = 0;
        std::chrono::steady_clock::duration longest{};
        for (int k = 0; k < 12; ++k) {
            const std::string me = "127.0.30." + std::to_string(10 + k);
            kpxtest::FakeListener listener(me);
            const auto t0 = std::chrono::steady_clock::now();
            const Answer a = post("lconnect", s, me, "", site);
            const auto took = std::chrono::steady_clock::now() - t0;
            longest = std::max(longest, took);
            if (a.page == header + pagefor(reportfor(skeleton("success.html"))) && took < 6s)
                ++connected;
            std::this_thread::sleep_for(500ms);
        }
        stop = true;
        for (auto& t : attackers)
            t.join();
        std::printf(
            "%d attacking addresses (%d runs): visitor connected %d of 12, longest %.1f s\n",
            c.attackers, attacks.load(), connected, std::chrono::duration<double>(longest).count());
        EXPECT_GE(connected, c.atleast);
        EXPECT_GT(attacks.load(), 12); // the attack went on all the while
    }
    for (int f : fillers)
        ::close(f);
    ::close(hs);
}

// A network whose request was not connected is told how long to wait, without a request.
TEST(RealServer, TheCooldownPageSaysHowLongToWait) {
    LiveServer s;
    ASSERT_TRUE(s.ready()) << s.err();
    const kpxtest::TempDir locks;
    const std::map<std::string, std::string> site = {{"KPX_GATEWAY_LOCKDIR", locks.path()}};
    Answer a = post("lconnect", s, "10.9.7.1", "CLIENTNAME=127.0.30.251", site); // refused
    EXPECT_NE(a.page.find("Cannot connect."), std::string::npos) << a.page;
    for (const char* neighbour : {"10.9.7.1", "10.9.7.200", "::ffff:10.9.7.3"}) {
        a = post("lconnect", s, neighbour, "CLIENTNAME=127.0.30.252", site);
        EXPECT_EQ(a.page, header + "A request from your network could not be connected just now. "
                                   "Please wait 10 seconds before you try again.<br>\n")
            << neighbour;
    }
    EXPECT_EQ(kpxtest::countof(s.err(), "127.0.30.252 is requesting"), 0);
    kpxtest::FakeListener other("127.0.30.253");
    a = post("lconnect", s, "10.9.6.1", "CLIENTNAME=127.0.30.253", site);
    EXPECT_EQ(a.page, header + pagefor(reportfor(skeleton("success.html"))));
}

} // namespace
