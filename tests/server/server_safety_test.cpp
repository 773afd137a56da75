// Safety of the server against stalled peers, unanswered connects, hostile request names,
// planted links, and bad command files, skeletons and report directories.
#include "serverenv.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <thread>

namespace kpxtest::server {
namespace {

void playbackinput(Env& e, unsigned seed) {
    writebytes(e.input(), concat({ulawchunk(seed), ulawchunk(seed + 1)}));
}

// The server run in a network namespace of its own (loopback only), for requests whose
// names go to the resolver.
const std::vector<std::string> ISOLATED = {"/usr/bin/unshare", "-n", "sh", "-c",
                                           "ip link set lo up && exec \"$0\" \"$@\""};

TEST(ServerSafety, AListenerThatStopsReadingIsDroppedWhileTheOtherStreams) {
    Env e;
    playbackinput(e, 300);
    e.start();
    FakeListener stalled(addr(57)), good(addr(58));
    ASSERT_TRUE(e.connect(addr(57), stalled));
    ASSERT_TRUE(e.connect(addr(58), good));
    stalled.pause(true);
    ASSERT_TRUE(e.waiterr("Client 127.0.2.57 died (#0).", 30s)) << e.err();
    // What the stalled listener got before it was dropped is whole packets, none torn.
    const std::vector<Bytes> cycle = {encoded(ulawchunk(300)), encoded(ulawchunk(301)),
                                      encoded(silence(1600))};
    stalled.pause(false);
    ASSERT_TRUE(waitfor([&] { return stalled.closedbypeer(0); }, 5s));
    EXPECT_EQ(stalled.total(0) % 330, 0U);
    EXPECT_EQ(follow(stalled.bytes(0), cycle).problem, "");
    const std::size_t after = good.total(0);
    EXPECT_TRUE(waitfor([&] { return good.total(0) > after + 330 * 10; }, 10s));
    ASSERT_TRUE(e.command("@LIST\n"));
    EXPECT_NE(e.err().find("No/IP\n0/127.0.2.58\n" + SEPARATOR), std::string::npos);
    EXPECT_EQ(e.stop(), 10);
}

TEST(ServerSafety, AnUnansweredConnectGivesUpWithinTheLimit) {
    // A listening socket with a full accept queue: further connection attempts get no answer.
    const int hole = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(hole, 0);
    int one = 1;
    ::setsockopt(hole, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(9998);
    ::inet_pton(AF_INET, addr(59).c_str(), &sa.sin_addr);
    ASSERT_EQ(::bind(hole, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(::listen(hole, 0), 0);
    std::vector<int> fillers;
    for (int k = 0; k < 3; ++k) {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        fillers.push_back(s);
    }
    std::this_thread::sleep_for(200ms);

    Env e;
    playbackinput(e, 310);
    e.start();
    FakeListener good(addr(60));
    ASSERT_TRUE(e.connect(addr(60), good));
    // The stream goes on while the connect waits: the other listener keeps receiving.
    const auto t0 = std::chrono::steady_clock::now();
    const std::string tmp = e.dir.file("cmd.new");
    writefile(tmp, addr(59) + "\n");
    std::rename(tmp.c_str(), e.cmdfile().c_str());
    std::size_t before = good.total(0), stalls = 0;
    while (exists(e.cmdfile()) && std::chrono::steady_clock::now() - t0 < 15s) {
        std::this_thread::sleep_for(300ms);
        const std::size_t now = good.total(0);
        if (now < before + 330) ++stalls;
        before = now;
    }
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(stalls, 0U);
    EXPECT_GE(took, 1800ms); // 'connectlimit', 2 s by default
    EXPECT_LT(took, 4s);
    EXPECT_NE(e.err().find("127.0.2.59 is requesting connection.\n"
                           "connect(): Connection timed out\n"
                           "Writing ERROR report to '" +
                           e.report(addr(59), ".html") + "'  to '" + e.report(addr(59), ".txt") +
                           "'.\n"
                           "Connection NOT established.\n"),
              std::string::npos)
        << e.err();
    EXPECT_EQ(readfile(e.report(addr(59), ".html")),
              "<html>\n\n" + addr(59) + ": " + CANNOTCONNECT + ".\n</html>\n\n");
    const std::size_t after = good.total(0);
    EXPECT_TRUE(waitfor([&] { return good.total(0) > after + 330 * 10; }, 10s));
    EXPECT_EQ(e.stop(), 10);
    for (int s : fillers)
        ::close(s);
    ::close(hole);
}

TEST(ServerSafety, AnUnansweredNameLookupDoesNotHoldTheStream) {
    // In a namespace of its own, with a name server that never answers and a listener that
    // notes when each piece of the stream arrives.
    Env e;
    playbackinput(e, 330);
    e.start({"/bin/sh", sourcedir() + "/tests/server/isolated.sh", e.dir.file("arrivals")});
    ASSERT_TRUE(e.command("127.0.0.1\n"));
    ASSERT_TRUE(e.waiterr("Connected to [127.0.0.1:9998]")) << e.err();
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(e.command("nowhere.kpx.test\n", 15s));
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, 1800ms); // 'connectlimit', 2 s by default
    EXPECT_LT(took, 4s);
    EXPECT_NE(e.err().find(
                  "nowhere.kpx.test is requesting connection.\nconnect(): Connection timed out\n"),
              std::string::npos)
        << e.err();
    EXPECT_TRUE(exists(e.report("nowhere.kpx.test", ".txt")));
    // Arrival times (seconds) at the listener: no pause anywhere near the lookup's length.
    std::istringstream in(readfile(e.dir.file("arrivals")));
    double t = 0, last = -1, gap = 0;
    int pieces = 0;
    while (in >> t) {
        if (last >= 0) gap = std::max(gap, t - last);
        last = t;
        ++pieces;
    }
    EXPECT_GT(pieces, 20);
    EXPECT_LT(gap, 1.0);
    std::printf("longest gap in the stream during the lookup: %.3f s over %d pieces\n", gap,
                pieces);
    EXPECT_EQ(e.stop(), 10);
}

TEST(ServerSafety, ARequestForAConnectedHostChangesNothing) {
    Env e;
    playbackinput(e, 340);
    e.conf.push_back("maxclients = 3");
    e.start();
    FakeListener l(addr(72)), other(addr(73));
    ASSERT_TRUE(e.connect(addr(73), other));
    ASSERT_TRUE(e.connect(addr(72), l));
    // Asked for again, also under another spelling of its address: the connection stays,
    // every request gets the success report, and no second slot is taken.
    for (int k = 0; k < 10; ++k)
        ASSERT_TRUE(e.command(addr(72) + "\n")) << k;
    ASSERT_TRUE(e.command("0177.0.2.72\n"));
    EXPECT_EQ(readfile(e.report("0177.0.2.72", ".html")), SUCCESSREPORT);
    EXPECT_EQ(l.connections(), 1);
    EXPECT_FALSE(l.closedbypeer(0));
    ASSERT_TRUE(e.command("@LIST\n"));
    EXPECT_NE(e.err().find("No/IP\n0/127.0.2.73\n1/127.0.2.72\n" + SEPARATOR), std::string::npos)
        << e.err();
    EXPECT_EQ(countof(e.err(), "is connected already (client 1). Its connection stays."), 11);
    EXPECT_EQ(countof(e.err(), "died"), 0);
    EXPECT_EQ(countof(e.err(), "Maximum number of connections reached."), 0);
    EXPECT_TRUE(other.total(0) > 0 && !other.closedbypeer(0));
    EXPECT_EQ(e.stop(), 10);
}

TEST(ServerSafety, NamesWithASlashAreRefusedBeforeAnyFileIsTouched) {
    Env e;
    playbackinput(e, 320);
    e.start();
    writefile(e.dir.file("escape.html"), "keep");
    writefile(e.dir.file("escape.txt"), "keep");
    for (const std::string name : {"../escape", "a/b", "/tmp"}) {
        ASSERT_TRUE(e.command(name + "\n")) << name;
        EXPECT_NE(e.err().find(name + " is requesting connection.\nRequest name '" + name +
                               "' is not acceptable"),
                  std::string::npos)
            << e.err();
    }
    ASSERT_TRUE(e.command("@BCONNECT ../escape http://l/ http://b/\n"));
    EXPECT_EQ(readfile(e.dir.file("escape.html")), "keep");
    EXPECT_EQ(readfile(e.dir.file("escape.txt")), "keep");
    EXPECT_TRUE(std::filesystem::is_empty(e.repdir()));
    EXPECT_EQ(countof(e.err(), "connect()"), 0);
    EXPECT_EQ(e.stop(), 10);
}

TEST(ServerSafety, PlantedLinksAreReplacedAndAnUnremovableReportIsNotWritable) {
    Env e;
    playbackinput(e, 330);
    e.start();
    writefile(e.dir.file("target.html"), "keep");
    writefile(e.dir.file("target.txt"), "keep");
    std::filesystem::create_symlink(e.dir.file("target.html"), e.report(addr(61), ".html"));
    std::filesystem::create_symlink(e.dir.file("target.txt"), e.report(addr(61), ".txt"));
    FakeListener l(addr(61));
    ASSERT_TRUE(e.connect(addr(61), l));
    EXPECT_EQ(readfile(e.dir.file("target.html")), "keep");
    EXPECT_EQ(readfile(e.dir.file("target.txt")), "keep");
    EXPECT_FALSE(std::filesystem::is_symlink(e.report(addr(61), ".html")));
    EXPECT_EQ(readfile(e.report(addr(61), ".html")), SUCCESSREPORT);
    EXPECT_EQ(readfile(e.report(addr(61), ".txt")),
              addr(61) + ": Connection established. Enjoy KPX!\n");
    EXPECT_EQ(std::filesystem::status(e.report(addr(61), ".html")).permissions() &
                  std::filesystem::perms::all,
              std::filesystem::perms(0640));

    // A directory in the report's place cannot be removed: the report is not writable.
    std::filesystem::create_directory(e.report(addr(62), ".html"));
    ASSERT_TRUE(e.command(addr(62) + "\n")); // nobody listens at .62
    EXPECT_NE(
        e.err().find("Cannot write ERROR report to '" + e.report(addr(62), ".html") + "'  to '"),
        std::string::npos)
        << e.err();
    EXPECT_TRUE(std::filesystem::is_directory(e.report(addr(62), ".html")));
    EXPECT_EQ(readfile(e.report(addr(62), ".txt")), addr(62) + ": " + CANNOTCONNECT + " \n");
    EXPECT_EQ(e.stop(), 10);
}

TEST(ServerSafety, NamesGoingToTheResolverAreEscapedCutAndNeverCommands) {
    Env e;
    playbackinput(e, 340);
    e.start(ISOLATED);
    const std::string odd = "x<b>&\"q\"";
    ASSERT_TRUE(e.command(odd + "\n"));
    EXPECT_EQ(readfile(e.report(odd, ".html")),
              "<html>\n\nx&lt;b&gt;&amp;&quot;q&quot;: " + CANNOTCONNECT + ".\n</html>\n\n");
    EXPECT_EQ(readfile(e.report(odd, ".txt")), odd + ": " + CANNOTCONNECT + " \n");

    // A leading blank makes a listener request, not a command.
    ASSERT_TRUE(e.command(" @STOP\n"));
    EXPECT_NE(e.err().find(" @STOP is requesting connection.\n"), std::string::npos);
    EXPECT_TRUE(exists(e.report(" @STOP", ".html")));
    EXPECT_TRUE(e.proc().running());

    // An empty line asks for the empty name: its connect fails like any other and its
    // report pair is ".html" / ".txt" in the report directory.
    ASSERT_TRUE(e.command("\n"));
    EXPECT_NE(e.err().find(":\n is requesting connection.\nconnect(): "), std::string::npos)
        << e.err();
    EXPECT_EQ(readfile(e.report("", ".html")), "<html>\n\n: " + CANNOTCONNECT + ".\n</html>\n\n");
    EXPECT_EQ(readfile(e.report("", ".txt")), ": " + CANNOTCONNECT + " \n");

    // 300 characters: the name is cut to 254, and only the first line counts.
    const std::string longname(300, 'a');
    ASSERT_TRUE(e.command(longname + "\nsecond line\n"));
    EXPECT_NE(e.err().find(std::string(254, 'a') + " is requesting connection.\n"),
              std::string::npos);
    // 254 characters and ".html" exceed the longest file name: the report is not writable.
    EXPECT_NE(
        e.err().find("Cannot write ERROR report to '" + e.report(std::string(254, 'a'), ".html")),
        std::string::npos);
    EXPECT_NE(e.err().find("Text file could not be created!\n"), std::string::npos);
    EXPECT_EQ(countof(e.err(), "second line"), 0);

    // Binary bytes: the line ends at a NUL byte.
    ASSERT_TRUE(e.command(std::string("\x01\xfe\xff", 3) + std::string(1, '\0') + "tail\n"));
    EXPECT_TRUE(exists(e.report("\x01\xfe\xff", ".txt")));

    // Over-long command words and arguments are cut.
    ASSERT_TRUE(e.command("@" + std::string(200, 'W') + " " + std::string(300, '7') + "\n"));
    EXPECT_NE(e.err().find("Command '@" + std::string(94, 'W') + "' given.\nCommand was invalid."),
              std::string::npos);
    ASSERT_TRUE(e.command("@KILL " + std::string(300, '7') + "\n"));
    ASSERT_TRUE(
        e.command("@BCONNECT " + std::string(300, 'h') + " " + std::string(1500, 'u') + "\n"));
    EXPECT_NE(e.err().find(std::string(127, 'h') + " is requesting connection.\n"),
              std::string::npos);
    EXPECT_EQ(e.stop(), 10);
}

TEST(ServerBadInput, OddCommandFilesNeverStopTheStream) {
    Env e;
    playbackinput(e, 350);
    e.start();
    FakeListener l(addr(63));
    ASSERT_TRUE(e.connect(addr(63), l));
    auto streaming = [&] {
        const std::size_t before = l.total(0);
        return waitfor([&] { return l.total(0) > before + 330 * 5; }, 5s);
    };

    // Binary command line, CR line end, an over-long first line followed by a second one.
    ASSERT_TRUE(e.command(std::string("@\x01\x02\xff", 4) + std::string(1, '\0') + "x\n"));
    ASSERT_TRUE(e.command("@LIST\r\n"));
    EXPECT_NE(e.err().find("Command '@LIST\r' given.\nCommand was invalid. Doing nothing.\n"),
              std::string::npos);
    ASSERT_TRUE(e.command("@LIST" + std::string(2000, ' ') + "x\n@STOP\n"));
    EXPECT_TRUE(e.proc().running());
    EXPECT_TRUE(streaming());

    // An empty file stays until a line is written into it.
    writefile(e.cmdfile(), "");
    std::this_thread::sleep_for(600ms);
    EXPECT_TRUE(exists(e.cmdfile()));
    writefile(e.cmdfile(), "@LIST\n");
    EXPECT_TRUE(waitfor([&] { return !exists(e.cmdfile()); }, 5s));

    // A directory or a FIFO in the file's place is left alone.
    std::filesystem::create_directory(e.cmdfile());
    EXPECT_TRUE(streaming());
    std::filesystem::remove(e.cmdfile());
    ASSERT_EQ(::mkfifo(e.cmdfile().c_str(), 0644), 0);
    EXPECT_TRUE(streaming());
    std::filesystem::remove(e.cmdfile());

    EXPECT_TRUE(e.proc().running());
    const int lists = countof(e.err(), "Command '@LIST' given.");
    EXPECT_EQ(lists, 2);
    EXPECT_EQ(countof(e.err(), "Command '@STOP' given."), 0);
    EXPECT_EQ(e.stop(), 10);
}

TEST(ServerBadInput, MissingSkeletonsAndReportDirectoryKeepTheStreamGoing) {
    {
        Env e;
        e.conf.push_back("successhtml = " + e.dir.file("none.html"));
        e.conf.push_back("errorhtml = " + e.dir.path()); // a directory
        playbackinput(e, 360);
        e.start();
        FakeListener l(addr(70));
        ASSERT_TRUE(e.connect(addr(70), l));
        EXPECT_NE(e.err().find("No HTML skeleton for report found.\nWriting SUCCESS report  to '" +
                               e.report(addr(70), ".txt") + "'.\n"),
                  std::string::npos)
            << e.err();
        EXPECT_TRUE(exists(e.report(addr(70), ".html")));
        EXPECT_EQ(readfile(e.report(addr(70), ".html")), "");
        ASSERT_TRUE(e.command(addr(74) + "\n")); // nobody waits there: an error report
        EXPECT_NE(e.err().find("No HTML skeleton for report found.\nWriting ERROR report  to '"),
                  std::string::npos);
        EXPECT_EQ(e.stop(), 10);
    }
    Env e;
    e.conf.push_back("repdir = " + e.dir.file("nowhere"));
    playbackinput(e, 361);
    e.start();
    FakeListener l(addr(71));
    ASSERT_TRUE(e.connect(addr(71), l));
    EXPECT_NE(e.err().find("Cannot write SUCCESS report to '" + e.dir.file("nowhere") +
                           "/127.0.2.71.html' and  to '" + e.dir.file("nowhere") +
                           "/127.0.2.71.txt'.\nText file could not be created!\n"),
              std::string::npos)
        << e.err();
    const std::size_t before = l.total(0);
    EXPECT_TRUE(waitfor([&] { return l.total(0) > before + 330 * 5; }, 5s));
    EXPECT_EQ(e.stop(), 10);
}

TEST(ServerBadInput, AnOrdinaryUserWithUnreadableAndUnremovableFiles) {
    Env e;
    playbackinput(e, 370);
    std::filesystem::permissions(e.dir.path(), std::filesystem::perms(0755));
    std::filesystem::permissions(e.repdir(), std::filesystem::perms(0555)); // read-only
    e.start({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    ASSERT_TRUE(e.proc().running()) << e.err();
    EXPECT_NE(e.err().find("WARNING:\nBe sure you have permissions to read and write to the above "
                           "mentioned files!\n"
                           "- Official broadcaster connects are: allowed\n"),
              std::string::npos)
        << e.err();

    // The command file's directory is not writable for the server: the request is handled
    // once, reported as not removable, and not carried out again.
    FakeListener l(addr(65));
    writefile(e.cmdfile(), addr(65) + "\n");
    ASSERT_TRUE(e.waiterr("could not be removed"));
    EXPECT_NE(e.err().find("Cannot write SUCCESS report to '" + e.report(addr(65), ".html") +
                           "' and  to '" + e.report(addr(65), ".txt") +
                           "'.\nText file could not be created!\n"),
              std::string::npos)
        << e.err();
    EXPECT_NE(e.err().find("unlink(): Permission denied\n"), std::string::npos);
    ASSERT_TRUE(waitfor([&] { return l.total(0) >= 330 * 5; }, 5s));
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(countof(e.err(), "127.0.2.65 is requesting connection."), 1);

    // An unreadable command file is left alone; once readable (and changed) it is handled.
    std::filesystem::permissions(e.cmdfile(), std::filesystem::perms::none);
    writefile(e.cmdfile(), "@LIST\n");
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(countof(e.err(), "Command '@LIST' given."), 0);
    std::filesystem::permissions(e.cmdfile(), std::filesystem::perms(0644));
    ASSERT_TRUE(e.waiterr("Command '@LIST' given.\nStatistics:\nNo/IP\n0/127.0.2.65\n"));
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(countof(e.err(), "Command '@LIST' given."), 1);

    std::filesystem::remove(e.cmdfile());
    writefile(e.cmdfile(), "@STOP\n");
    ASSERT_TRUE(e.proc().wait(10s));
    EXPECT_EQ(e.proc().exitcode(), 10);
}

} // namespace
} // namespace kpxtest::server
