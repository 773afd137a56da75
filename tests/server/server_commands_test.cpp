// Operator commands and the full table, through the command file of the real server.
#include "serverenv.h"

#include <gtest/gtest.h>

namespace kpxtest::server {
namespace {

void playbackinput(Env& e, unsigned seed) {
    writebytes(e.input(), concat({ulawchunk(seed), ulawchunk(seed + 1)}));
}

TEST(ServerTable, FullTableWithoutBroadcastersRefusesWithTheErrorReport) {
    Env e;
    e.conf.push_back("maxclients = 2");
    playbackinput(e, 200);
    e.start();
    FakeListener a(addr(16)), b(addr(17)), c(addr(18));
    ASSERT_TRUE(e.connect(addr(16), a));
    ASSERT_TRUE(e.connect(addr(17), b));
    ASSERT_TRUE(e.command(addr(18) + "\n"));
    const std::string full =
        "Maximum number of connections reached. Find another KPX server or try again later!\n";
    EXPECT_NE(e.err().find("127.0.2.18 is requesting connection.\n"
                           "Maximum number of connections reached.\n"
                           "Writing ERROR report to '" +
                           e.report(addr(18), ".html") + "'  to '" + e.report(addr(18), ".txt") +
                           "'.\n"
                           "No broadcasters are connected"),
              std::string::npos)
        << e.err();
    EXPECT_EQ(readfile(e.report(addr(18), ".html")),
              "<html>\n\n" + addr(18) + ": " + full + ".\n</html>\n\n");
    EXPECT_EQ(readfile(e.report(addr(18), ".txt")), addr(18) + ": " + full + " \n");
    EXPECT_EQ(c.connections(), 0);
    ASSERT_TRUE(e.command("@LIST\n"));
    EXPECT_NE(e.err().find("No/IP\n0/127.0.2.16\n1/127.0.2.17\n" + SEPARATOR), std::string::npos);
    EXPECT_EQ(e.stop(), 10);
}

std::string forwarded(const std::string& url) {
    return "<HEAD>\n<META HTTP-EQUIV=\"Refresh\" CONTENT=\"0; URL=" + url +
           "\">\nMaximum amount of clients reached.<A HREF=\"" + url +
           "\">Try this broadcaster</A><br>\n</HEAD>\n";
}

TEST(ServerTable, ForwardingRotatesOverTheListAndClampsAfterRemovals) {
    Env e;
    e.conf.push_back("maxclients = 3");
    playbackinput(e, 210);
    e.start();
    FakeListener b0(addr(20)), b1(addr(21)), b2(addr(22));
    for (int k = 0; k < 3; ++k) {
        const std::string n = std::to_string(k);
        ASSERT_TRUE(e.command("@BCONNECT " + addr(20 + k) + " http://l" + n + ".test/listen?a&b<" +
                              n + "> http://b" + n + ".test/relay\n"));
    }
    ASSERT_TRUE(waitfor([&] { return b2.total(0) >= 330; }, 10s));
    EXPECT_NE(e.err().find("Broadcaster connect:\n127.0.2.20 is requesting connection.\n"
                           "Connected to [127.0.2.20:9998] (client 0).\n"),
              std::string::npos);
    EXPECT_NE(e.err().find("Adding the following broadcaster to the automatic distribution list:\n"
                           "Hostname/IP-address: 127.0.2.21 \n"
                           "Clients are forwarded to: http://l1.test/listen?a&b<1> \n"
                           "Broadcasters are forwarded to: http://b1.test/relay \n"),
              std::string::npos);

    // Listener requests go to the listener URLs 0, 1, 2, 0 (escaped in the page).
    const int order[] = {0, 1, 2, 0};
    for (int k = 0; k < 4; ++k) {
        const std::string name = addr(30 + k);
        ASSERT_TRUE(e.command(name + "\n"));
        const std::string n = std::to_string(order[k]);
        EXPECT_EQ(readfile(e.report(name, ".html")),
                  forwarded("http://l" + n + ".test/listen?a&amp;b&lt;" + n + "&gt;"))
            << name;
        EXPECT_EQ(readfile(e.report(name, ".txt")),
                  "Maximum number of clients reached. Use WWW-Connect!");
    }
    EXPECT_NE(e.err().find("Maximum number of connections reached.\n"
                           "Forwarding the request to http://l2.test/listen?a&b<2>\n"
                           "Generating FORWARDER HTML.\n"),
              std::string::npos);
    // A broadcaster request in the same rotation goes to a broadcaster URL (entry 1).
    ASSERT_TRUE(e.command("@BCONNECT " + addr(34) + " http://x.test/ http://y.test/\n"));
    EXPECT_EQ(readfile(e.report(addr(34), ".html")), forwarded("http://b1.test/relay"));

    // Removing two broadcasters leaves one entry; the rotation index is beyond it now.
    ASSERT_TRUE(e.command("@KILL 1\n"));
    EXPECT_NE(e.err().find("Client 127.0.2.21 died (#1)."), std::string::npos);
    EXPECT_NE(
        e.err().find("Client was a broadcaster. Removing it from the automatic distribution list.\n"
                     "Actual number of distributers now: 2\n"
                     "Actual number of connections now: 2\n"),
        std::string::npos)
        << e.err();
    ASSERT_TRUE(e.command("@KILL 1\n")); // 127.0.2.22 took slot 1
    EXPECT_NE(e.err().find("Client 127.0.2.22 died (#1)."), std::string::npos);
    EXPECT_NE(e.err().find("Actual number of distributers now: 1\n"), std::string::npos);
    FakeListener l3(addr(23)), l4(addr(24));
    ASSERT_TRUE(e.connect(addr(23), l3));
    ASSERT_TRUE(e.connect(addr(24), l4));
    ASSERT_TRUE(e.command(addr(35) + "\n"));
    EXPECT_EQ(readfile(e.report(addr(35), ".html")),
              forwarded("http://l0.test/listen?a&amp;b&lt;0&gt;"));
    EXPECT_EQ(e.stop(), 10);
}

TEST(ServerCommands, ListAndKillBySlotNumber) {
    Env e;
    playbackinput(e, 220);
    e.start();
    ASSERT_TRUE(e.command("@list\n"));
    EXPECT_NE(
        e.err().find(
            "Command '@list' given.\nStatistics:\nNo/IP\nNo client connected at this time!\n" +
            SEPARATOR),
        std::string::npos);
    FakeListener a(addr(40)), b(addr(41)), c(addr(42));
    ASSERT_TRUE(e.connect(addr(40), a));
    ASSERT_TRUE(e.connect(addr(41), b));
    ASSERT_TRUE(e.connect(addr(42), c));

    ASSERT_TRUE(e.command("@KILL 1\n"));
    ASSERT_TRUE(waitfor([&] { return b.closedbypeer(0); }, 5s));
    EXPECT_NE(e.err().find("Command '@KILL' given.\n"), std::string::npos);
    EXPECT_NE(e.err().find("Client 127.0.2.41 died (#1)."), std::string::npos);
    ASSERT_TRUE(e.command("@LIST\n"));
    EXPECT_NE(e.err().find("No/IP\n0/127.0.2.40\n1/127.0.2.42\n"), std::string::npos);

    ASSERT_TRUE(e.connect(addr(41), b));
    ASSERT_TRUE(e.command("@KILL=1\n"));
    EXPECT_NE(e.err().find("Client 127.0.2.42 died (#1)."), std::string::npos);
    ASSERT_TRUE(e.connect(addr(42), c));

    // With three peers: 3, -1 and no argument are invalid; nothing is removed.
    // Numbers beyond 32 bits do not wrap round to a slot (4294967296 is not 0).
    for (const char* bad : {"@KILL 3\n", "@KILL -1\n", "@KILL\n", "@NOSUCH 1\n",
                            "@KILL 4294967296\n", "@KILL -4294967295\n"}) {
        const int before = countof(e.err(), "Command was invalid. Doing nothing.\n" + SEPARATOR);
        ASSERT_TRUE(e.command(bad));
        EXPECT_EQ(countof(e.err(), "Command was invalid. Doing nothing.\n" + SEPARATOR), before + 1)
            << bad;
    }
    EXPECT_EQ(countof(e.err(), " died (#"), 2);
    // 'x' reads as 0.
    ASSERT_TRUE(e.command("@KILL x\n"));
    EXPECT_NE(e.err().find("Client 127.0.2.40 died (#0)."), std::string::npos);
    ASSERT_TRUE(e.command("@LIST\n"));
    EXPECT_NE(e.err().find("No/IP\n0/127.0.2.42\n1/127.0.2.41\n"), std::string::npos) << e.err();
    EXPECT_EQ(e.stop(), 10);
}

TEST(ServerCommands, StopDisconnectsFourPeersInSlotOrderAndEndsWithStatus10) {
    Env e;
    playbackinput(e, 230);
    e.start();
    FakeListener a(addr(44)), b(addr(45)), c(addr(46)), d(addr(47));
    ASSERT_TRUE(e.connect(addr(44), a));
    ASSERT_TRUE(e.connect(addr(45), b));
    ASSERT_TRUE(e.connect(addr(46), c));
    ASSERT_TRUE(e.connect(addr(47), d));
    ASSERT_TRUE(e.command("@STOP\n"));
    ASSERT_TRUE(e.proc().wait(10s));
    EXPECT_EQ(e.proc().exitcode(), 10);
    EXPECT_FALSE(exists(e.cmdfile()));
    const std::string err = e.err();
    std::size_t pos = err.find("Command '@STOP' given.\n");
    ASSERT_NE(pos, std::string::npos);
    const std::string tail = err.substr(pos);
    std::size_t at = 0;
    for (int k = 0; k < 4; ++k) {
        const std::string who =
            "Client 127.0.2." + std::to_string(44 + k) + " died (#" + std::to_string(k) + ").";
        const std::size_t p = tail.find(who, at);
        ASSERT_NE(p, std::string::npos) << who << "\n" << tail;
        const std::string count =
            "Actual number of connections now: " + std::to_string(3 - k) + "\n" + SEPARATOR;
        ASSERT_EQ(tail.find(count, p), tail.find("Actual number of connections now:", p)) << tail;
        at = p + 1;
        EXPECT_EQ(countof(tail, "Client 127.0.2." + std::to_string(44 + k) + " died"), 1);
    }
    EXPECT_EQ(
        tail.substr(tail.size() - std::string("All clients killed.\nServer stopped.\n").size()),
        "All clients killed.\nServer stopped.\n");
    for (const FakeListener* l : {&a, &b, &c, &d})
        EXPECT_TRUE(waitfor([&] { return l->closedbypeer(0); }, 5s));
}

TEST(ServerCommands, BroadcasterConnectAllowedAddsToTheListAndDeniedGivesTheErrorReport) {
    {
        Env e;
        playbackinput(e, 240);
        e.start();
        FakeListener r(addr(48));
        ASSERT_TRUE(e.command("@BCONNECT " + addr(48) + "\n"));
        ASSERT_TRUE(waitfor([&] { return r.total(0) >= 330; }, 10s));
        EXPECT_NE(e.err().find("Hostname/IP-address: 127.0.2.48 \nClients are forwarded to:  \n"
                               "Broadcasters are forwarded to:  \n"),
                  std::string::npos);
        ASSERT_TRUE(e.command("@KILL 0\n"));
        EXPECT_NE(
            e.err().find(
                "Client was a broadcaster. Removing it from the automatic distribution list.\n"
                "Actual number of distributers now: 0\nActual number of connections now: 0\n"),
            std::string::npos);
        EXPECT_EQ(e.stop(), 10);
    }
    Env e;
    e.conf.push_back("broadcasters = deny");
    playbackinput(e, 241);
    e.start();
    FakeListener r(addr(49));
    ASSERT_TRUE(e.command("@BCONNECT " + addr(49) + " http://l/ http://b/\n"));
    EXPECT_NE(
        e.err().find(
            "Command '@BCONNECT' given.\nRejecting broadcaster connect.\nWriting ERROR report"),
        std::string::npos);
    EXPECT_EQ(readfile(e.report(addr(49), ".html")),
              "<html>\n\n127.0.2.49: Sorry: Broadcaster connects to this server are "
              "forbidden\n.\n</html>\n\n");
    EXPECT_EQ(r.connections(), 0);
    EXPECT_EQ(e.stop(), 10);
}

} // namespace
} // namespace kpxtest::server
