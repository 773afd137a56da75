// The server end to end: start-up, playback and live streaming compared byte for byte with
// the reference encoding, requests, reports and dropped listeners.
#include "serverenv.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <thread>

namespace kpxtest::server {
namespace {

TEST(ServerStartup, TwoArgumentsGiveTheUsageAndStatus255) {
    TempDir d;
    writefile(d.file("kpx.conf"), "live = no\n");
    Process::Options opt;
    opt.cwd = d.path();
    Process p(program("server"), {"a.conf", "b.conf"}, opt);
    ASSERT_TRUE(p.wait(10s));
    EXPECT_EQ(p.exitcode(), 255);
    EXPECT_EQ(p.err(), "\nUsage: " + program("server") + " [ini-file]\n");
    EXPECT_NE(p.out().find("SERVER       Version 1.10     "), std::string::npos);
    EXPECT_NE(p.out().find("CODEC: V1.48\n"), std::string::npos);
}

TEST(ServerStartup, EveryProgramAnswersHelpAndVersionWithStatus0) {
    struct Case {
        const char* program;
        const char* arg;
        const char* says; // on standard output
    };
    const Case cases[] = {
        {"server", "--help", "Usage: "},
        {"server", "--version", "KPX server 1.10\n"},
        {"broadcaster", "--help", "Usage: "},
        {"broadcaster", "--version", "KPX broadcaster 1.10\n"},
        {"client", "--help", "-o FILE"},
        {"client", "--version", "KPX client 1.10\n"},
        {"kpxctl", "--help", "Usage: kpxctl"},
        {"kpxctl", "--version", "kpxctl 1.10\n"},
    };
    for (const Case& c : cases) {
        TempDir d;
        Process::Options opt;
        opt.cwd = d.path();
        Process p(program(c.program), {c.arg}, opt);
        ASSERT_TRUE(p.wait(5s)) << c.program << " " << c.arg << " is still running";
        EXPECT_EQ(p.exitcode(), 0) << c.program << " " << c.arg;
        EXPECT_NE(p.out().find(c.says), std::string::npos)
            << c.program << " " << c.arg << ": " << p.out();
        EXPECT_NE(p.out().find("1.10"), std::string::npos) << c.program << " " << c.arg;
        EXPECT_EQ(p.err(), "") << c.program << " " << c.arg;
    }
}

TEST(ServerStartup, SummaryShowsTheSettingsAfterTheConfiguration) {
    Env e;
    e.conf.push_back("maxclients = 3");
    e.conf.push_back("broadcasters = deny");
    e.conf.push_back("inputdevice = " + e.dir.file("missing.ul"));
    e.start();
    const std::string err = e.err();
    const std::string expect = "Parsing " + e.dir.file("kpx.conf") +
                               ".\n"
                               "- Signal trapping switched OFF.\n"
                               "  Server can only be stopped by killing it with signal 9!\n"
                               "- Up to 3 listeners can connect at the same time.\n"
                               "- Server is in playback mode. If input stops, server will loop.\n"
                               "- I/O files:\n"
                               "  Default input is (must be ulaw!):  " +
                               e.dir.file("missing.ul") +
                               "\n"
                               "  Commands must go to:               " +
                               e.cmdfile() +
                               "\n"
                               "  Reportfile directory is:           " +
                               e.repdir() +
                               "\n"
                               "  HTML-skeletons are (error/success):" +
                               e.dir.file("error.html") + " and " + e.dir.file("success.html") +
                               "\n"
                               "- Official broadcaster connects are: not allowed\n"
                               "- Startup time: ";
    EXPECT_EQ(err.substr(0, expect.size()), expect);
    EXPECT_NE(err.find(".\n- Server is ready. Waiting for connections...\n" + SEPARATOR),
              std::string::npos);

    // A file to play back that cannot be opened ends the server after its message, with the
    // status of a fatal error, instead of being tried again for ever.
    ASSERT_TRUE(e.proc().wait(5s)) << e.err();
    EXPECT_EQ(e.proc().exitcode(), 255);
    EXPECT_EQ(countof(e.err(), "Error opening " + e.dir.file("missing.ul") +
                                   " for reading. Check hardware and permissions!\n"),
              1);
    EXPECT_NE(e.err().find("fopen(): No such file or directory\n"), std::string::npos);
}

TEST(ServerStartup, DefaultsWithoutConfigurationAndSignalsWhenTrappingIsOn) {
    TempDir d;
    Process::Options opt;
    opt.cwd = d.path();
    Process p(program("server"), {}, opt);
    ASSERT_TRUE(p.waiterr("Waiting for connections", 10s));
    const std::string err = p.err();
    EXPECT_EQ(err.rfind("Ini-file 'kpx.conf': No such file or directory\n", 0), 0U);
    EXPECT_NE(err.find("- Up to 10 listeners"), std::string::npos);
    EXPECT_NE(err.find("- Server is in live mode. Input should never stop!\n"), std::string::npos);
    EXPECT_NE(err.find("  Default input is (must be ulaw!):  /dev/audio\n"), std::string::npos);
    EXPECT_NE(err.find("  Commands must go to:               /tmp/kpx-commands\n"),
              std::string::npos);
    EXPECT_NE(err.find("- Official broadcaster connects are: allowed\n"), std::string::npos);
    // Signals are ignored by default: an interrupt does not end the server, and a live
    // device that cannot be opened is tried again, without flooding the console.
    p.signal(SIGINT);
    p.signal(SIGTERM);
    EXPECT_FALSE(p.wait(2500ms));
    const int opens = countof(p.err(), "Error opening /dev/audio for reading.");
    EXPECT_GE(opens, 2);
    EXPECT_LE(opens, 5);
    p.kill();

    Env e;
    writebytes(e.input(), silence(1600));
    e.conf.push_back("ignsign = off");
    e.start();
    EXPECT_NE(e.err().find("- Signal trapping switched ON.\n"
                           "  Server can be killed by any signal. (including CTRL-C)\n"),
              std::string::npos);
    e.proc().signal(SIGINT);
    ASSERT_TRUE(e.proc().wait(5s));
    EXPECT_EQ(e.proc().termsignal(), SIGINT);
}

TEST(ServerPlayback, PacketsMatchTheReferenceEncodingAndTheLoopIsSilent) {
    Env e;
    std::vector<Bytes> chunks;
    for (unsigned k = 0; k < 5; ++k)
        chunks.push_back(ulawchunk(k));
    writebytes(e.input(), concat(chunks)); // 8000 bytes: a multiple of 1600
    e.start();
    FakeListener l(addr(10));
    ASSERT_TRUE(e.connect(addr(10), l));
    ASSERT_TRUE(waitfor([&] { return l.total(0) >= 330 * 40; }, 20s));
    EXPECT_EQ(e.stop(), 10);
    ASSERT_TRUE(waitfor([&] { return l.closedbypeer(0); }, 5s));

    std::vector<Bytes> cycle;
    for (const auto& c : chunks)
        cycle.push_back(encoded(c));
    cycle.push_back(encoded(silence(1600))); // the extra packet between two runs
    const Bytes got = l.bytes(0);
    const Follow f = follow(got, cycle);
    EXPECT_EQ(f.problem, "");
    EXPECT_GE(f.packets, 40);
    EXPECT_EQ(got.size() % 330, 0U);
    // The statistics count from the first packet sent on.
    const std::string line = "Client 127.0.2.10 died (#0). It had received " +
                             std::to_string(got.size() - 330) +
                             " bytes (=" + std::to_string((got.size() / 330 - 1) / 5) + " sec.).\n";
    EXPECT_NE(e.err().find(line), std::string::npos) << e.err();
}

TEST(ServerPlayback, ATwoThousandByteFileGivesAFullAndAPaddedPacket) {
    Env e;
    const Bytes c = ulawchunk(20);
    Bytes tail = ulawchunk(21);
    tail.resize(400);
    writebytes(e.input(), concat({c, tail}));
    e.start();
    FakeListener l(addr(11));
    ASSERT_TRUE(e.connect(addr(11), l));
    ASSERT_TRUE(waitfor([&] { return l.total(0) >= 330 * 10; }, 20s));
    EXPECT_EQ(e.stop(), 10);
    const Follow f = follow(l.bytes(0), {encoded(c), encoded(concat({tail, silence(1200)}))});
    EXPECT_EQ(f.problem, "");
    EXPECT_GE(f.packets, 10);
}

TEST(ServerLive, FifoFedAtRealPaceThenEndOfFileSwitchesToPlayback) {
    Env e;
    e.conf[0] = "live = yes";
    ASSERT_EQ(mkfifo(e.input().c_str(), 0644), 0);
    e.start();
    std::vector<Bytes> chunks;
    for (unsigned k = 0; k < 15; ++k)
        chunks.push_back(ulawchunk(100 + k));
    std::atomic<int> written{0};
    std::thread writer([&] {
        const int fd = ::open(e.input().c_str(), O_WRONLY);
        if (fd < 0) return;
        for (const auto& c : chunks) {
            if (::write(fd, c.data(), c.size()) != static_cast<ssize_t>(c.size())) break;
            ++written;
            std::this_thread::sleep_for(200ms);
        }
        ::close(fd);
    });
    FakeListener l(addr(12));
    ASSERT_TRUE(waitfor([&] { return written >= 3; }, 10s));
    const bool connected = e.connect(addr(12), l);
    writer.join();
    ASSERT_TRUE(connected);
    ASSERT_TRUE(e.waiterr("switching to playback mode now.\n"));
    ASSERT_TRUE(waitfor([&] { return l.total(0) >= 330 * 20; }, 10s));
    EXPECT_EQ(e.stop(), 10);

    // The fed chunks in order, then u-law silence only (the FIFO stays at its end).
    const Bytes got = l.bytes(0);
    const std::size_t n = got.size() / 330;
    auto packet = [&](std::size_t k) {
        return Bytes(got.begin() + static_cast<long>(330 * k),
                     got.begin() + static_cast<long>(330 * k + 330));
    };
    std::size_t first = chunks.size();
    for (std::size_t c = 0; c < chunks.size(); ++c)
        if (encoded(chunks[c]) == packet(0)) first = c;
    ASSERT_LT(first, chunks.size()) << "first packet is none of the fed chunks";
    std::size_t k = 0;
    for (std::size_t c = first; c < chunks.size(); ++c, ++k) {
        ASSERT_LT(k, n);
        EXPECT_EQ(packet(k), encoded(chunks[c])) << "packet " << k;
    }
    ASSERT_LT(k, n);
    for (; k < n; ++k)
        EXPECT_EQ(packet(k), encoded(silence(1600))) << "packet " << k;
    const std::string err = e.err();
    EXPECT_EQ(countof(err, "* What's this? EOF in live mode ???     *\n"), 1);
    EXPECT_NE(err.find("*****************************************\n"
                       "* WARNING:                              *\n"
                       "* What's this? EOF in live mode ???     *\n"
                       "* If you are getting the data from a    *\n"
                       "* file, switch to playback mode, by     *\n"
                       "* setting 'live' to 'no'.               *\n"
                       "* If this is not the case, check hard-  *\n"
                       "* and software configuration of system! *\n"
                       "*****************************************\n"
                       "\n"
                       "Assuming configuration error - switching to playback mode now.\n" +
                       SEPARATOR),
              std::string::npos);
}

TEST(ServerLive, FileInputDropsItsTailSendsSilenceAndLoops) {
    Env e;
    e.conf[0] = "live = yes";
    const Bytes c0 = ulawchunk(30), c1 = ulawchunk(31);
    Bytes tail = ulawchunk(32);
    tail.resize(800);
    writebytes(e.input(), concat({c0, c1, tail}));
    // The request waits before the server starts, so it is handled after the first packet.
    writefile(e.cmdfile(), addr(13) + "\n");
    FakeListener l(addr(13));
    e.start();
    ASSERT_TRUE(waitfor([&] { return l.total(0) >= 330 * 12; }, 20s));
    EXPECT_EQ(e.stop(), 10);
    const Bytes got = l.bytes(0);
    ASSERT_GE(got.size(), 330U * 12);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 330), encoded(c1));
    EXPECT_EQ(Bytes(got.begin() + 330, got.begin() + 660), encoded(silence(1600)));
    const Follow f = follow(Bytes(got.begin() + 660, got.end()),
                            {encoded(c0), encoded(c1), encoded(concat({tail, silence(800)}))});
    EXPECT_EQ(f.problem, "");
    EXPECT_EQ(f.first, 0);
    EXPECT_EQ(countof(e.err(), "switching to playback mode now."), 1);
}

TEST(ServerRequest, SuccessReportPairExistsWhenTheFileVanishesAndStreamStartsAtAPacket) {
    Env e;
    const Bytes c0 = ulawchunk(40), c1 = ulawchunk(41);
    writebytes(e.input(), concat({c0, c1}));
    e.start();
    FakeListener l(addr(14));
    ASSERT_TRUE(e.command(addr(14) + "\n"));
    // The report pair is complete by the time the command file is gone.
    EXPECT_EQ(readfile(e.report(addr(14), ".html")), SUCCESSREPORT);
    EXPECT_EQ(readfile(e.report(addr(14), ".txt")),
              addr(14) + ": Connection established. Enjoy KPX!\n");
    ASSERT_TRUE(waitfor([&] { return l.total(0) >= 330 * 3; }, 10s));
    const Follow f = follow(l.bytes(0), {encoded(c0), encoded(c1), encoded(silence(1600))});
    EXPECT_EQ(f.problem, "");
    EXPECT_NE(e.err().find("127.0.2.14 is requesting connection.\n"
                           "Connected to [127.0.2.14:9998] (client 0).\n"
                           "Writing SUCCESS report to '" +
                           e.report(addr(14), ".html") + "' and  to '" +
                           e.report(addr(14), ".txt") + "'.\n" + SEPARATOR),
              std::string::npos)
        << e.err();
    EXPECT_EQ(e.stop(), 10);
}

TEST(ServerRequest, RefusedConnectGivesTheErrorReportWithTheMarkerReplaced) {
    Env e;
    writebytes(e.input(), ulawchunk(42));
    e.start();
    ASSERT_TRUE(e.command(addr(15) + "\n")); // nobody listens there
    EXPECT_NE(e.err().find("127.0.2.15 is requesting connection.\n"
                           "connect(): Connection refused\n"
                           "Writing ERROR report to '" +
                           e.report(addr(15), ".html") + "'  to '" + e.report(addr(15), ".txt") +
                           "'.\n"
                           "Connection NOT established.\n" +
                           SEPARATOR),
              std::string::npos)
        << e.err();
    EXPECT_EQ(readfile(e.report(addr(15), ".html")),
              "<html>\n\n" + addr(15) + ": " + CANNOTCONNECT + ".\n</html>\n\n");
    EXPECT_EQ(readfile(e.report(addr(15), ".txt")), addr(15) + ": " + CANNOTCONNECT + " \n");
    ASSERT_TRUE(e.command("@LIST\n"));
    EXPECT_NE(e.err().find("No client connected at this time!\n"), std::string::npos);
    EXPECT_EQ(e.stop(), 10);
}

TEST(ServerDrops, AClosedListenerGoesAndTheMovedOneStillGetsThePacket) {
    Env e;
    std::vector<Bytes> chunks;
    for (unsigned k = 0; k < 7; ++k)
        chunks.push_back(ulawchunk(50 + k));
    writebytes(e.input(), concat(chunks));
    e.start();
    FakeListener a(addr(50)), b(addr(51)), c(addr(52));
    ASSERT_TRUE(e.connect(addr(50), a));
    ASSERT_TRUE(e.connect(addr(51), b));
    ASSERT_TRUE(e.connect(addr(52), c));
    a.dropcurrent();
    ASSERT_TRUE(e.waiterr("Client 127.0.2.50 died (#0)."));
    const std::size_t atdrop = c.total(0);
    ASSERT_TRUE(waitfor([&] { return c.total(0) >= atdrop + 330 * 20; }, 10s));
    ASSERT_TRUE(e.command("@LIST\n"));
    EXPECT_NE(e.err().find("No/IP\n0/127.0.2.52\n1/127.0.2.51\n"), std::string::npos) << e.err();
    EXPECT_NE(e.err().find("Actual number of connections now: 2\n"), std::string::npos);
    EXPECT_EQ(e.stop(), 10);

    std::vector<Bytes> cycle;
    for (const auto& ch : chunks)
        cycle.push_back(encoded(ch));
    cycle.push_back(encoded(silence(1600)));
    // No gap: the listener that moved into the freed slot got that pass's packet too.
    for (const FakeListener* l : {&b, &c}) {
        const Follow f = follow(l->bytes(0), cycle);
        EXPECT_EQ(f.problem, "");
        EXPECT_GT(f.packets, 20);
    }
}

TEST(ServerDrops, TwoListenersClosingAreBothRemoved) {
    Env e;
    std::vector<Bytes> chunks;
    for (unsigned k = 0; k < 7; ++k)
        chunks.push_back(ulawchunk(60 + k));
    writebytes(e.input(), concat(chunks));
    e.start();
    FakeListener a(addr(53)), b(addr(54)), c(addr(55)), d(addr(56));
    for (auto [n, l] : {std::pair{53, &a}, {54, &b}, {55, &c}, {56, &d}})
        ASSERT_TRUE(e.connect(addr(n), *l));
    a.dropcurrent();
    c.dropcurrent();
    ASSERT_TRUE(e.waiterr("Client 127.0.2.53 died"));
    ASSERT_TRUE(e.waiterr("Client 127.0.2.55 died"));
    ASSERT_TRUE(e.command("@LIST\n"));
    const std::string err = e.err();
    EXPECT_NE(err.find("No/IP\n0/127.0.2.56\n1/127.0.2.54\n"), std::string::npos) << err;
    EXPECT_EQ(e.stop(), 10);
    std::vector<Bytes> cycle;
    for (const auto& ch : chunks)
        cycle.push_back(encoded(ch));
    cycle.push_back(encoded(silence(1600)));
    for (const FakeListener* l : {&b, &d})
        EXPECT_EQ(follow(l->bytes(0), cycle).problem, "");
}

} // namespace
} // namespace kpxtest::server
