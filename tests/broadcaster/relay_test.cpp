// The relay broadcaster: packets handed on unchanged through chains of relays, upstream
// losses with the listeners kept, its command file and configuration, bad upstreams.
#include "serverenv.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <thread>

namespace kpxtest::server {
namespace {

std::string raddr(int n) {
    return "127.0.6." + std::to_string(n);
}

// A server in playback mode whose stream cycles through `cycle`.
std::vector<Bytes> playback(Env& e, unsigned seed) {
    const Bytes c0 = ulawchunk(seed), c1 = ulawchunk(seed + 1);
    writebytes(e.input(), concat({c0, c1}));
    return {encoded(c0), encoded(c1), encoded(silence(1600))};
}

// Puts `line` into the command file without waiting: a relay reads it only after a packet.
void post(Env& e, const std::string& line) {
    const std::string tmp = e.dir.file("cmd.new");
    writefile(tmp, line);
    std::rename(tmp.c_str(), e.cmdfile().c_str());
}

// The upstream side of a relay, played by the test: connects to relay:9998 and sends.
struct Upstream {
    explicit Upstream(const std::string& relay) : fd(connectto(relay, 9998, 5s)) {}
    ~Upstream() { end(); }
    bool send(const Bytes& b) { return fd >= 0 && kpxtest::sendall(fd, b.data(), b.size()); }
    void end() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    int fd;
};

TEST(Relay, ChainsHandEveryPacketOnUnchanged) {
    // server -> relay A -> two listeners, and relay A -> relay B -> one listener.
    Env srv, a, b;
    const std::vector<Bytes> cycle = playback(srv, 600);
    srv.start();
    a.startrelay(raddr(1));
    b.startrelay(raddr(4));
    FakeListener l2(raddr(2)), l3(raddr(3)), l5(raddr(5));

    ASSERT_TRUE(srv.command(raddr(1) + "\n"));
    ASSERT_TRUE(a.waiterr("- Broadcaster is ready. Waiting for connections...\n")) << a.err();
    ASSERT_TRUE(a.connect(raddr(2), l2)) << a.err();
    ASSERT_TRUE(a.connect(raddr(3), l3)) << a.err();
    ASSERT_TRUE(a.command(raddr(4) + "\n"));
    ASSERT_TRUE(b.waiterr("- Broadcaster is ready. Waiting for connections...\n")) << b.err();
    ASSERT_TRUE(b.connect(raddr(5), l5)) << b.err();
    ASSERT_TRUE(waitfor([&] { return l5.total(0) >= 330 * 40; }, 30s));

    for (FakeListener* l : {&l2, &l3, &l5}) {
        const Follow f = follow(l->bytes(0), cycle);
        EXPECT_EQ(f.problem, "");
        EXPECT_GE(f.packets, 40);
    }
    const std::string err = a.err();
    EXPECT_NE(err.find("No CODEC\n"), std::string::npos);
    EXPECT_NE(
        err.find(
            "\nCLIENT MODE\nUse a WWW-browser to connect to server!\nConnection established.\n" +
            SEPARATOR + "SERVER MODE\nParsing kpx.conf.\n"),
        std::string::npos)
        << err;
    EXPECT_NE(err.find("  Broadcaster can only be stopped by killing it with signal 9!\n"
                       "- Up to 10 listeners can connect at the same time.\n- I/O files:\n"
                       "  Input is:                          network\n"),
              std::string::npos)
        << err;
    EXPECT_NE(a.proc().out().find("BROADCASTER  Version 1.10     "), std::string::npos);
    EXPECT_EQ(b.stop(), 10);
    EXPECT_EQ(a.stop(), 10);
    EXPECT_NE(a.err().find("All clients killed.\nServer stopped.\n"), std::string::npos);
    EXPECT_EQ(srv.stop(), 10);
}

TEST(Relay, UpstreamLossKeepsTheListenersForTheNextUpstream) {
    Env r;
    r.conf.push_back("maxclients = 1");
    r.startrelay(raddr(10));
    FakeListener l(raddr(11));
    const Bytes p1 = encoded(ulawchunk(1)), p2 = encoded(ulawchunk(2)), p3 = encoded(ulawchunk(3));

    Upstream first(raddr(10));
    ASSERT_TRUE(first.send(p1));
    ASSERT_TRUE(r.waiterr("Waiting for connections...")) << r.err();
    // A request written while the upstream is silent is taken all the same: the relay looks
    // at its command file at least once a second.
    post(r, raddr(11) + "\n");
    ASSERT_TRUE(waitfor([&] { return !exists(r.cmdfile()); }, 5s));
    ASSERT_TRUE(first.send(p2));
    ASSERT_TRUE(first.send(p3));
    ASSERT_TRUE(waitfor([&] { return l.total(0) >= 2 * 330; }, 5s));

    // The table is full: the relay's own text goes into the report.
    post(r, raddr(12) + "\n");
    ASSERT_TRUE(first.send(p1));
    ASSERT_TRUE(waitfor([&] { return !exists(r.cmdfile()); }, 5s));
    EXPECT_NE(readfile(r.report(raddr(12), ".txt"))
                  .find("Maximum number of connections reached. Find another KPX server or "
                        "reconnect first URL!"),
              std::string::npos);

    // A second upstream waits in the backlog and sends at once; the first ends mid-packet.
    r.conf = {"maxclients = 7", "commandfile = " + r.cmdfile(), "repdir = " + r.repdir()};
    std::string text;
    for (const auto& line : r.conf)
        text += line + "\n";
    writefile(r.dir.file("kpx.conf"), text);
    Upstream second(raddr(10));
    ASSERT_TRUE(second.send(concat({p2, p1})));
    ASSERT_TRUE(first.send(Bytes(p1.begin(), p1.begin() + 100)));
    first.end();

    const std::string lost = "***********************************\n"
                             "** Connection to server lost!!!  **\n"
                             "***********************************\n"
                             "\n"
                             "**********************************\n"
                             "** Connection to server lost!!! **\n"
                             "** ~~~~~~~~~~~~~~~~~~~~~~~~~~~~ **\n"
                             "** All clients disconnected!!!! **\n"
                             "** Please connect again!!!      **\n"
                             "**********************************\n"
                             "Broadcaster shutdown.\n"
                             "Use a WWW-browser to connect to server!\n"
                             "Connection established.\n";
    ASSERT_TRUE(r.waiterr(lost)) << r.err();
    ASSERT_TRUE(waitfor([&] { return l.total(0) >= 5 * 330; }, 5s));
    // The listener stayed on the same connection: p2, p3, p1 from the first upstream, then
    // p2, p1.
    EXPECT_TRUE(l.bytes(0) == concat({p2, p3, p1, p2, p1}));
    EXPECT_EQ(l.connections(), 1);
    const std::string err = r.err();
    EXPECT_EQ(countof(err, "CLIENT MODE"), 1);
    EXPECT_EQ(countof(err, "SERVER MODE"), 2);
    EXPECT_NE(err.find("- Up to 7 listeners can connect at the same time.\n"), std::string::npos);
    // A stop is read also while the upstream is silent.
    post(r, "@STOP\n");
    ASSERT_TRUE(r.proc().wait(10s));
    EXPECT_EQ(r.proc().exitcode(), 10);
}

TEST(Relay, StartupArgumentsAndConfigurationNotes) {
    TempDir d;
    writefile(d.file("kpx.conf"), "live = no\ninputdevice = /dev/audio\nlive\n");
    Process::Options opt;
    opt.cwd = d.path();
    Process usage(program("broadcaster"), {"a", "b"}, opt);
    ASSERT_TRUE(usage.wait(10s));
    EXPECT_EQ(usage.exitcode(), 255);
    const std::string self = program("broadcaster");
    EXPECT_EQ(usage.err(), "No CODEC\n\nUsage: " + self + " Your-IP\nor just: " + self +
                               "\n\nConfiguration file is kpx.conf\n\n");

    Process bad(program("broadcaster"), {"192.0.2.1"}, opt);
    ASSERT_TRUE(bad.wait(10s));
    EXPECT_EQ(bad.exitcode(), 1);
    EXPECT_NE(bad.err().find("bind(): "), std::string::npos);

    Process p(program("broadcaster"), {raddr(20)}, opt);
    ASSERT_TRUE(p.waiterr("connect to server!\n", 10s));
    Upstream up(raddr(20));
    ASSERT_TRUE(p.waiterr("Waiting for connections...", 10s));
    EXPECT_NE(p.err().find("Parsing kpx.conf.\nLive is always 'yes' on a broadcaster\n"
                           "inputdevice does not make sense. This is a broadcaster!\n"
                           "ERROR parsing ini-file: Line 3 makes no sense.\n"),
              std::string::npos)
        << p.err();
}

TEST(Relay, BadUpstreamsAreRelayedOrDroppedAndTheNextIsServed) {
    Env r;
    r.startrelay(raddr(30));
    FakeListener l(raddr(31));
    const Bytes garbage(660, 0x5A);
    {
        Upstream up(raddr(30));
        ASSERT_TRUE(up.send(garbage));
        ASSERT_TRUE(r.waiterr("Waiting for connections..."));
        post(r, raddr(31) + "\n");
        ASSERT_TRUE(up.send(garbage)); // garbage is relayed as it is: the relay never decodes
        ASSERT_TRUE(waitfor([&] { return l.total(0) >= 330; }, 5s));
        EXPECT_EQ(l.bytes(0), Bytes(l.total(0), 0x5A));
    }
    ASSERT_TRUE(r.waiterr("Broadcaster shutdown.\n"));
    {
        // A sender that sends nothing at all is given up after the first-byte limit.
        Upstream idle(raddr(30));
        ASSERT_TRUE(r.waiterr("Broadcaster shutdown.\nUse a WWW-browser to connect to server!\n"
                              "Connection established.\n"));
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_TRUE(waitfor([&] { return countof(r.err(), "Broadcaster shutdown.\n") == 2; }, 15s));
        EXPECT_GE(std::chrono::steady_clock::now() - t0, 8s);
    }
    const std::size_t had = l.total(0);
    Upstream good(raddr(30));
    const Bytes p = encoded(ulawchunk(9));
    ASSERT_TRUE(good.send(concat({p, p})));
    ASSERT_TRUE(waitfor([&] { return l.total(0) >= had + 2 * 330; }, 5s));
    const Bytes got = l.bytes(0);
    EXPECT_TRUE(Bytes(got.end() - 660, got.end()) == concat({p, p}));
}

} // namespace
} // namespace kpxtest::server
