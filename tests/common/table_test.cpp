// The table, report and command routines in-process (they are linked unchanged into the
// relay broadcaster, so this executable links nothing of the codec).
#include "commands.h"
#include "console.h"
#include "globals.h"
#include "hooks.h"
#include "reports.h"
#include "table.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

namespace kpx {
namespace {

using kpxtest::readfile;
using kpxtest::writefile;

struct Quit {
    int status;
};

class Common : public ::testing::Test {
  protected:
    void SetUp() override {
        setdefaults(serverprofile);
        resethooks();
        hooks.clock = [] { return static_cast<std::time_t>(1700000000); };
        hooks.quit = [](int status) { throw Quit{status}; };
        g.resdir = dir.path();
        g.okfile = dir.file("ok.html");
        g.errorfile = dir.file("err.html");
        g.listname = dir.file("cmd");
    }
    void TearDown() override {
        for (int fd : fds)
            ::close(fd);
        setdefaults(serverprofile);
        resethooks();
    }
    // A connected peer in the next slot; returns the far end of its connection.
    int addpeer(const std::string& name, quad start, int bcast = 0) {
        int sv[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        machinerec& r = g.machine[static_cast<std::size_t>(g.clientcount++)];
        r.sock = sv[0];
        r.name = name;
        r.startpacket = start;
        r.bcast = bcast;
        fds.push_back(sv[1]);
        return sv[1];
    }
    // True when the near end was closed (end of stream within two seconds).
    static bool closedfar(int far) {
        pollfd p{far, POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0) return false;
        char c;
        return ::read(far, &c, 1) == 0;
    }
    kpxtest::TempDir dir;
    std::vector<int> fds;
    const std::string stamp = timetext(1700000000) + ":\n";
    const std::string sep = std::string(79, '-') + "\n";
};

TEST_F(Common, KillsockReportsPacketsAsBytesAndSeconds) {
    g.packetcount = 150;
    const int far = addpeer("peer-a", 100);
    addpeer("peer-b", 146);
    testing::internal::CaptureStderr();
    killsock(0);
    const std::string first = testing::internal::GetCapturedStderr();
    EXPECT_EQ(first, stamp +
                         "Client peer-a died (#0). It had received 16500 bytes (=10 sec.).\n"
                         "Actual number of connections now: 1\n" +
                         sep);
    EXPECT_TRUE(closedfar(far));
    EXPECT_EQ(g.machine[0].name, "peer-b");
    testing::internal::CaptureStderr();
    killsock(0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              stamp +
                  "Client peer-b died (#0). It had received 1320 bytes (=0 sec.).\n"
                  "Actual number of connections now: 0\n" +
                  sep);
    EXPECT_EQ(g.now, 1700000000);
    EXPECT_EQ(g.machine[0].sock, -1);
    EXPECT_EQ(packetsbetween(5, 4), 0U); // removed before its first packet
}

TEST_F(Common, KillsockMovesTheLastRecordWholeIntoTheFreedSlot) {
    addpeer("A", 1);
    addpeer("B", 2);
    addpeer("C", 3);
    addpeer("D", 4, 1);
    g.distributor[0].clientname = "D";
    g.distcount = 1;
    const int dsock = g.machine[3].sock;
    testing::internal::CaptureStderr();
    killsock(1);
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(g.clientcount, 3);
    EXPECT_EQ(g.machine[0].name, "A");
    EXPECT_EQ(g.machine[1].name, "D");
    EXPECT_EQ(g.machine[1].sock, dsock);
    EXPECT_EQ(g.machine[1].bcast, 1);
    EXPECT_TRUE(g.machine[1].startpacket == 4);
    EXPECT_EQ(g.machine[2].name, "C");
    EXPECT_EQ(g.machine[3].sock, -1);
    testing::internal::CaptureStderr();
    killsock(3); // beyond the table: ignored
    killsock(-1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(g.clientcount, 3);
}

TEST_F(Common, KillingABroadcasterShrinksTheList) {
    addpeer("r1", 1, 1);
    addpeer("r2", 1, 1);
    addpeer("r3", 1, 1);
    for (int k = 0; k < 3; ++k) {
        g.distributor[static_cast<std::size_t>(k)] = {
            "r" + std::to_string(k + 1), "L" + std::to_string(k), "B" + std::to_string(k)};
    }
    g.distcount = 3;
    testing::internal::CaptureStderr();
    killsock(1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              stamp +
                  "Client r2 died (#1). It had received 0 bytes (=0 sec.).\n"
                  "Client was a broadcaster. Removing it from the automatic distribution list.\n"
                  "Actual number of distributers now: 2\n"
                  "Actual number of connections now: 2\n" +
                  sep);
    EXPECT_EQ(g.distcount, 2);
    EXPECT_EQ(g.distributor[1].clientname, "r3");
    EXPECT_EQ(g.distributor[1].clienturl, "L2");
    EXPECT_EQ(g.distributor[1].bcasturl, "B2");
    EXPECT_EQ(g.distributor[2].clientname, "");
}

TEST_F(Common, SkeletonCopyRules) {
    writefile(g.okfile, "<p>\n" + std::string(1500, 'x') + "\nlast line without newline");
    writefile(g.errorfile, "<html>\n@\n</html>\n");
    testing::internal::CaptureStderr();
    handlesuccess("192.0.2.7");
    handleerror("socket() call did not succeed! Mail admin.\n", "192.0.2.8");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(readfile(dir.file("192.0.2.7.html")),
              "<p>\n\n" + std::string(1023, 'x') + "\n" + std::string(477, 'x') + "\n\n");
    EXPECT_EQ(readfile(dir.file("192.0.2.8.html")),
              "<html>\n\n192.0.2.8: socket() call did not succeed! Mail admin.\n.\n</html>\n\n");
    EXPECT_EQ(readfile(dir.file("192.0.2.8.txt")),
              "192.0.2.8: socket() call did not succeed! Mail admin.\n \n");
    EXPECT_EQ(err, "Writing SUCCESS report to '" + dir.file("192.0.2.7.html") + "' and  to '" +
                       dir.file("192.0.2.7.txt") + "'.\nWriting ERROR report to '" +
                       dir.file("192.0.2.8.html") + "'  to '" + dir.file("192.0.2.8.txt") + "'.\n");

    // A second report for the same name replaces both files.
    testing::internal::CaptureStderr();
    handleerror("Internal Problem!", "192.0.2.7");
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(readfile(dir.file("192.0.2.7.html")),
              "<html>\n\n192.0.2.7: Internal Problem!.\n</html>\n\n");
    EXPECT_EQ(readfile(dir.file("192.0.2.7.txt")), "192.0.2.7: Internal Problem! \n");
}

TEST_F(Common, TheOldReportIsRemovedBeforeTheSkeletonIsOpened) {
    // A skeleton that is itself the report's path is gone before it could be read.
    g.okfile = dir.file("self.html");
    g.errorfile = dir.file("other.html");
    writefile(g.okfile, "<p>old</p>\n");
    writefile(dir.file("other.html"), "<p>old</p>\n@\n");
    testing::internal::CaptureStderr();
    handlesuccess("self");
    handleerror("Internal Problem!", "other");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "No HTML skeleton for report found.\nWriting SUCCESS report  to '" +
                       dir.file("self.txt") +
                       "'.\nNo HTML skeleton for report found.\nWriting ERROR report  to '" +
                       dir.file("other.txt") + "'.\n");
    EXPECT_EQ(readfile(dir.file("self.html")), "");
    EXPECT_EQ(readfile(dir.file("self.txt")), "self: Connection established. Enjoy KPX!\n");
    EXPECT_EQ(readfile(dir.file("other.html")), "");
    EXPECT_EQ(readfile(dir.file("other.txt")), "other: Internal Problem! \n");
}

TEST_F(Common, AForwarderThatCannotBeWrittenGivesAnInternalProblemReport) {
    writefile(g.errorfile, "@\n");
    std::filesystem::create_directory(dir.file("peer.html"));
    testing::internal::CaptureStderr();
    handleforwarding("http://relay.test/", "peer");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Cannot write FORWARDER HTML Writing ERROR report to '" +
                       dir.file("KPX-SERVER.html") + "'  to '" + dir.file("KPX-SERVER.txt") +
                       "'.\n");
    EXPECT_EQ(readfile(dir.file("KPX-SERVER.html")), "KPX-SERVER: Internal Problem!.\n");
    EXPECT_EQ(readfile(dir.file("peer.txt")),
              "Maximum number of clients reached. Use WWW-Connect!");
}

TEST_F(Common, AFullRelayRefusesWithItsOwnText) {
    setdefaults(relayprofile);
    g.resdir = dir.path();
    g.errorfile = dir.file("err.html");
    writefile(g.errorfile, "@\n");
    g.maxclients = 1;
    addpeer("first", 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(conn("second\n", 0), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(
        err.rfind("second is requesting connection.\nMaximum number of connections reached.\n", 0),
        0U);
    EXPECT_EQ(readfile(dir.file("second.html")),
              "second: Maximum number of connections reached. Find another KPX server or reconnect "
              "first URL!\n.\n");
    EXPECT_EQ(g.clientcount, 1);
}

TEST_F(Common, StopClosesEveryPeerOnceInItsOriginalSlotOrder) {
    std::vector<int> far;
    for (const char* n : {"A", "B", "C", "D"})
        far.push_back(addpeer(n, 1));
    g.packetcount = 11; // ten packets each
    writefile(g.listname, "@STOP\n");
    testing::internal::CaptureStderr();
    int status = -1;
    try {
        parsecom("@STOP\n");
    } catch (const Quit& q) {
        status = q.status;
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 10);
    std::string expect = "Command '@STOP' given.\n";
    const char* names[] = {"A", "B", "C", "D"};
    for (int k = 0; k < 4; ++k)
        expect += stamp + "Client " + names[k] + " died (#" + std::to_string(k) +
                  "). It had received 3300 bytes (=2 sec.).\nActual number of connections now: " +
                  std::to_string(3 - k) + "\n" + sep;
    expect += "All clients killed.\nServer stopped.\n";
    EXPECT_EQ(err, expect);
    EXPECT_EQ(g.clientcount, 0);
    for (int f : far)
        EXPECT_TRUE(closedfar(f));
    for (const auto& r : g.machine)
        EXPECT_EQ(r.sock, -1);
    EXPECT_FALSE(kpxtest::exists(g.listname));
}

TEST_F(Common, AcceptableNames) {
    EXPECT_TRUE(acceptablename("192.0.2.7"));
    EXPECT_TRUE(acceptablename(".."));
    EXPECT_TRUE(
        acceptablename("")); // an empty line's report pair is ".html" / ".txt" in the directory
    EXPECT_FALSE(acceptablename("../x"));
    testing::internal::CaptureStderr();
    handlesuccess("a/b");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Request name 'a/b' is not acceptable"),
              std::string::npos);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

} // namespace
} // namespace kpx

namespace kpx {
namespace {

TEST(SendAll, FinishesEveryPacketOrGivesUpWithinTheLimit) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    const int small = 4096;
    ::setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

    // Far more than the buffers hold: many send calls, each writing part of it.
    std::vector<unsigned char> big(256 * 1024);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<unsigned char>(i * 7);
    std::vector<unsigned char> got;
    std::thread reader([&] {
        unsigned char buf[512];
        while (got.size() < big.size()) {
            const ssize_t n = ::read(sv[1], buf, sizeof buf);
            if (n <= 0) break;
            got.insert(got.end(), buf, buf + n);
        }
    });
    EXPECT_TRUE(sendall(sv[0], big.data(), big.size(), 5000));
    reader.join();
    EXPECT_TRUE(got == big);

    // Nobody reads any more: the buffers fill and the send gives up at the limit.
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(sendall(sv[0], big.data(), big.size(), 300));
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, std::chrono::milliseconds(290));
    EXPECT_LT(took, std::chrono::milliseconds(2000));

    ::close(sv[1]); // a closed peer fails at once
    EXPECT_FALSE(sendall(sv[0], big.data(), 330, 3000));
    ::close(sv[0]);
}

} // namespace
} // namespace kpx
