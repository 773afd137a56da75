// Attacks on the server through its command file and report directory: a relay registered
// without the operator's consent, one address holding several list entries, a visitor's
// request that de-lists a relay, look-alike URLs, a page planted under a report's name in a
// directory that everyone can write, and reports that pile up for ever.
#include "serverenv.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <filesystem>

namespace kpxtest::server {
namespace {

std::string gaddr(int n) {
    return "127.0.23." + std::to_string(n);
}

void playback(Env& e, unsigned seed) {
    writebytes(e.input(), concat({ulawchunk(seed), ulawchunk(seed + 1)}));
}

inline const std::string REFUSED = "Sorry: Broadcaster connects to this server are forbidden";

// The name a command line asks for: its second word.
std::string getparam_name(const std::string& line) {
    const std::size_t from = line.find(' ') + 1;
    return line.substr(from, line.find(' ', from) - from);
}

// Where the forwarding page of request `name` sends its visitor.
std::string forwardedto(Env& e, const std::string& name) {
    const std::string page = readfile(e.report(name, ".html"));
    const std::size_t at = page.find("URL=");
    return at == std::string::npos ? "" : page.substr(at + 4, page.find('"', at) - at - 4);
}

TEST(ServerGuard, OnlyAdmittedRelaysRegisterAndOneAddressHoldsOneEntry) {
    Env e;
    playback(e, 2330);
    e.conf.push_back("maxclients = 1");
    e.conf.push_back("relayhosts = 127.0.23.40");
    e.conf.push_back("relayurls = http://relay.test/");
    e.start();
    FakeListener stranger(gaddr(41)), relay(gaddr(40));

    // A visitor registers a page of its own: refused, nothing connected, nothing listed.
    ASSERT_TRUE(e.command("@BCONNECT " + gaddr(41) + " http://relay.test/a http://relay.test/b\n"));
    EXPECT_NE(readfile(e.report(gaddr(41), ".txt")).find(REFUSED), std::string::npos);
    // The admitted host with a page outside the admitted prefixes, or a look-alike URL.
    ASSERT_TRUE(e.command("@BCONNECT " + gaddr(40) + " http://phish.test/ http://relay.test/b\n"));
    EXPECT_NE(readfile(e.report(gaddr(40), ".txt")).find(REFUSED), std::string::npos);
    ASSERT_TRUE(e.command("@BCONNECT " + gaddr(40) + " http://relay.test/\xe2\x80\xae" +
                          "fdp.exe http://relay.test/b\n"));
    EXPECT_NE(e.err().find("The broadcaster's pages are not plain ASCII URLs.\n"),
              std::string::npos);
    EXPECT_EQ(stranger.connections() + relay.connections(), 0);

    // Registered twice from one address: one slot, one entry, the second pages.
    ASSERT_TRUE(
        e.command("@BCONNECT " + gaddr(40) + " http://relay.test/one http://relay.test/b\n"));
    ASSERT_TRUE(waitfor([&] { return relay.total(0) >= 330; }, 10s)) << e.err();
    ASSERT_TRUE(
        e.command("@BCONNECT " + gaddr(40) + " http://relay.test/two http://relay.test/b\n"));
    for (int k = 0; k < 2; ++k) {
        const std::string visitor = gaddr(50 + k);
        ASSERT_TRUE(e.command(visitor + "\n"));
        EXPECT_EQ(forwardedto(e, visitor), "http://relay.test/two") << e.err();
    }
    EXPECT_EQ(relay.connections(), 1);
    EXPECT_FALSE(relay.closedbypeer(0));
    EXPECT_EQ(countof(e.err(), "Hostname/IP-address: 127.0.23.40 \n"), 2);
    EXPECT_EQ(stranger.connections(), 0);
    EXPECT_EQ(e.stop(), 10);
}

std::string raddr(int n) {
    return "127.0.29." + std::to_string(n);
}

// A listed relay's entry is the relay's: a gateway's request (it adds the visitor's address as
// a fourth token) changes its pages only with 'relayurls' set and from the relay's own
// address; unset, a relay's pages must be on its own host. The operator's line always counts.
TEST(ServerGuard, ARelaysEntryBelongsToThatRelay) {
    struct Case {
        const char* what;
        std::string line;
        bool refused;
    };
    const std::string relay = raddr(1), fresh = raddr(2), visitor = raddr(3);
    const std::string own = "http://" + relay + "/", third = "http://" + raddr(9) + "/";
    for (const bool urlsset : {false, true}) {
        SCOPED_TRACE(urlsset ? "relayurls set" : "defaults");
        Env e;
        playback(e, urlsset ? 2360 : 2370);
        e.conf.push_back("maxclients = 2");
        if (urlsset) {
            e.conf.push_back("relayurls = " + own);
            e.conf.push_back("relayurls = " + third);
        }
        e.start();
        FakeListener r(relay), f(fresh);
        ASSERT_TRUE(e.command("@BCONNECT " + relay + " " + own + "l " + own + "b\n"));
        ASSERT_TRUE(waitfor([&] { return r.total(0) >= 330; }, 10s)) << e.err();
        const std::vector<Case> cases = {
            {"a visitor re-points it to a third host",
             "@BCONNECT " + relay + " " + third + "x " + third + "x " + visitor + "\n", true},
            {"a visitor re-points it to the relay's own host",
             "@BCONNECT " + relay + " " + own + "v " + own + "v " + visitor + "\n", true},
            {"the relay itself, as a mapped address",
             "@BCONNECT " + relay + " " + own + "m " + own + "m ::ffff:" + relay + "\n", !urlsset},
            {"a new relay with pages on a third host",
             "@BCONNECT " + fresh + " " + third + "p " + third + "p " + fresh + "\n", !urlsset},
            {"the operator", "@BCONNECT " + relay + " " + own + "o " + own + "o\n", false},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            const std::string name = getparam_name(c.line);
            ASSERT_TRUE(e.command(c.line));
            const std::string report = readfile(e.report(name, ".txt"));
            EXPECT_EQ(report.find(REFUSED) != std::string::npos, c.refused) << report;
        }
        EXPECT_EQ(r.connections(), 1);
        EXPECT_FALSE(r.closedbypeer(0));
        EXPECT_EQ(f.connections(), urlsset ? 1 : 0);
        EXPECT_EQ(countof(e.err(), "Clients are forwarded to: " + third + "x"), 0);
        EXPECT_EQ(countof(e.err(), "Clients are forwarded to: " + own + "v"), 0);
        EXPECT_EQ(countof(e.err(), "Clients are forwarded to: " + own + "o"), 1);
        EXPECT_EQ(e.stop(), 10);
    }
}

TEST(ServerGuard, AVisitorNamingARelaysAddressNeitherDropsNorDelistsIt) {
    Env e;
    playback(e, 2340);
    e.conf.push_back("maxclients = 1");
    e.start();
    FakeListener relay(gaddr(42));
    ASSERT_TRUE(e.command("@BCONNECT " + gaddr(42) + " http://relay.test/l http://relay.test/b\n"));
    ASSERT_TRUE(waitfor([&] { return relay.total(0) >= 330; }, 10s)) << e.err();
    // The lconnect attack: a plain request for the relay's address, again and again.
    for (int k = 0; k < 5; ++k) {
        ASSERT_TRUE(e.command(gaddr(42) + "\n"));
        EXPECT_NE(readfile(e.report(gaddr(42), ".txt")).find("Connection established"),
                  std::string::npos);
    }
    EXPECT_EQ(relay.connections(), 1);
    EXPECT_FALSE(relay.closedbypeer(0));
    // Still listed: the next visitor of the full server is forwarded to the relay.
    ASSERT_TRUE(e.command(gaddr(43) + "\n"));
    EXPECT_EQ(forwardedto(e, gaddr(43)), "http://relay.test/l") << e.err();
    EXPECT_EQ(countof(e.err(), "died"), 0);
    EXPECT_EQ(e.stop(), 10);
}

TEST(ServerGuard, APagePlantedUnderAReportsNameInAnOpenDirectoryIsLeftAloneWithAWarning) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant a file of another user";
    Env e;
    playback(e, 2350);
    const std::string open = e.dir.file("open");
    std::filesystem::create_directory(open);
    ::chmod(open.c_str(), 01777); // as /tmp
    e.conf.push_back("repdir = " + open);
    e.conf.push_back("commandfile = " + open + "/cmd");
    // Another user's page with the name a visitor will ask for, and a private file of the
    // server's own user that is not a report.
    const std::string planted = open + "/" + gaddr(44) + ".html";
    writefile(planted, "<script>steal()</script>\n");
    ASSERT_EQ(::chown(planted.c_str(), 65534, 65534), 0);
    const std::string privatefile = open + "/" + gaddr(45) + ".txt";
    writefile(privatefile, "secret\n");
    ::chmod(privatefile.c_str(), 0600);
    e.start();
    // The boxes follow the start-up lines: wait for them, not only for the start.
    for (const char* key : {"'commandfile'", "'repdir'"})
        EXPECT_TRUE(e.waiterr("* Set " + std::string(key) + " to a directory of its own", 10s))
            << e.err();
    EXPECT_NE(e.err().find("can be written by every user of this host."), std::string::npos);

    FakeListener a(gaddr(44)), b(gaddr(45));
    for (const std::string& name : {gaddr(44), gaddr(45)}) {
        const std::string tmp = open + "/cmd.new";
        writefile(tmp, name + "\n");
        std::rename(tmp.c_str(), (open + "/cmd").c_str());
        ASSERT_TRUE(waitfor([&] { return !exists(open + "/cmd"); }, 10s));
    }
    struct stat st {};
    ASSERT_EQ(::stat(planted.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534U);
    EXPECT_EQ(readfile(planted), "<script>steal()</script>\n");
    EXPECT_EQ(readfile(privatefile), "secret\n");
    ASSERT_EQ(::stat(privatefile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600U);
    // The requests get the error report where it can be written.
    EXPECT_NE(readfile(open + "/" + gaddr(44) + ".txt").find("did not write"), std::string::npos);
    EXPECT_NE(readfile(open + "/" + gaddr(45) + ".html").find("did not write"), std::string::npos);
    EXPECT_NE(e.err().find("'" + planted + "' was not written by this server: it is left alone."),
              std::string::npos)
        << e.err();
    const std::string tmp = open + "/cmd.new";
    writefile(tmp, "@STOP\n");
    std::rename(tmp.c_str(), (open + "/cmd").c_str());
    EXPECT_TRUE(e.proc().wait(10s));
}

TEST(ServerGuard, OldReportsAreRemovedOldestFirstAndForeignFilesStay) {
    Env e;
    playback(e, 2360);
    e.conf.push_back("reportage = 3600");
    e.conf.push_back("reportcount = 3");
    // Reports as the server writes them: two older than an hour, five recent ones; and a
    // private file and an old file of another mode that merely end in ".txt".
    const auto plant = [&](const std::string& name, long age, mode_t mode) {
        for (const char* ext : {".txt", ".html"}) {
            const std::string path = e.report(name, ext);
            writefile(path, name + "\n");
            ::chmod(path.c_str(), mode);
            const timeval t[2] = {{std::time(nullptr) - age, 0}, {std::time(nullptr) - age, 0}};
            ::utimes(path.c_str(), t);
        }
    };
    plant("old1", 7200, 0640);
    plant("old2", 9000, 0644);
    for (int k = 0; k < 5; ++k)
        plant("new" + std::to_string(k), 100 * (k + 1), 0640);
    plant("private", 90000, 0600);
    e.start();
    const auto gone = [&](const std::string& n) { return !exists(e.report(n, ".txt")); };
    ASSERT_TRUE(
        waitfor([&] { return gone("old1") && gone("old2") && gone("new4") && gone("new3"); }, 15s))
        << e.err();
    EXPECT_FALSE(exists(e.report("old1", ".html")));
    for (const std::string n : {"new0", "new1", "new2", "private"})
        EXPECT_FALSE(gone(n)) << n;
    EXPECT_TRUE(exists(e.report("private", ".html")));
    EXPECT_NE(e.err().find("Removing 4 old reports from "), std::string::npos) << e.err();
    EXPECT_EQ(e.stop(), 10);
}

} // namespace
} // namespace kpxtest::server
