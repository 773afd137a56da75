// Playback at the pace of its listeners (127.0.2.80-89): a listener that takes the stream at
// real time (the real client writing to a file) is kept by a server in playback mode and by a
// relay fed by one, and the server runs only a little ahead of it; a listener that never reads
// is dropped within 15 s, by the server in playback mode and by a relay.
#include "serverenv.h"

#include "codec.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>

namespace kpxtest::server {
namespace {

// A number from the status file ("key": n), or -1.
long statusnumber(const std::string& path, const std::string& key) {
    std::smatch m;
    const std::string text = readfile(path);
    if (!std::regex_search(text, m, std::regex("\"" + key + "\":\\s*([0-9]+)"))) return -1;
    return std::stol(m[1]);
}

// The real client on `own`, writing what it plays to `file` at real time.
std::unique_ptr<Process> realtimeclient(const std::string& own, const std::string& file) {
    auto c =
        std::make_unique<Process>(program("client"), std::vector<std::string>{"-o", file, own});
    c->waitout("Use your WWW-browser", 10s);
    return c;
}

// Segmental SNR of what the client wrote against the programme, aligned on the packet where
// its reception began (found by trying every packet start of the first cycle).
double heardsnr(const Bytes& heard, const Bytes& programme) {
    auto linear = [](const Bytes& b, std::size_t from, std::size_t n) {
        std::vector<short> v;
        for (std::size_t k = from; k < from + n && k < b.size(); ++k)
            v.push_back(kpx::ulaw2linear(b[k]));
        return v;
    };
    const std::size_t n = std::min<std::size_t>(heard.size(), 8000 * 10);
    const std::vector<short> got = linear(heard, 0, n);
    double best = -100;
    for (std::size_t at = 0; at + n <= programme.size(); at += 1600)
        best = std::max(best, segsnr(linear(programme, at, n), got));
    return best;
}

struct Paced {
    const char* name;
    bool relay; // the listener is the relay's, the relay the server's
};

class PlaybackPace : public ::testing::TestWithParam<Paced> {};

TEST_P(PlaybackPace, ARealTimeListenerIsKeptAndTheServerRunsLittleAhead) {
    const Paced c = GetParam();
    const std::string own = addr(c.relay ? 81 : 80), relayaddr = addr(83);
    Env s;
    const Bytes programme = readbytes(sourcedir() + "/server/programme.ul");
    writebytes(s.input(), programme);
    s.conf.push_back("statusfile = " + s.dir.file("status.json"));
    s.start();
    TempDir out;
    auto client = realtimeclient(own, out.file("heard.ul"));
    Env r;
    r.conf.push_back("statusfile = " + r.dir.file("status.json"));
    if (c.relay) {
        r.startrelay(relayaddr);
        ASSERT_TRUE(s.command("@BCONNECT " + relayaddr + " http://a/ http://b/\n")) << s.err();
        ASSERT_TRUE(r.waiterr("SERVER MODE", 10s)) << r.err();
        ASSERT_TRUE(r.command(own + "\n")) << r.err();
    } else {
        ASSERT_TRUE(s.command(own + "\n")) << s.err();
    }
    ASSERT_TRUE(client->waitout("okay, got it.", 10s)) << client->out();
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(25s);
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    // The listener is counted, and the server is at most 30 s of stream ahead of it.
    EXPECT_EQ(statusnumber((c.relay ? r : s).dir.file("status.json"), "clientcount"), 1);
    const long packets = statusnumber(s.dir.file("status.json"), "packets");
    EXPECT_GT(packets, 0);
    // Through a relay two more buffers lie between the server and the listener.
    if (!c.relay) {
        EXPECT_LE(packets, static_cast<long>((elapsed + 30) * 5)) << "after " << elapsed << " s";
    }
    std::this_thread::sleep_for(5s);
    EXPECT_EQ(s.err().find(" died "), std::string::npos) << s.err();
    if (c.relay) {
        EXPECT_EQ(r.err().find(" died "), std::string::npos) << r.err();
    }
    // What the client wrote is the programme, at real time: about 30 s, as GSM keeps it.
    const Bytes heard = readbytes(out.file("heard.ul"));
    EXPECT_GT(heard.size(), 8000U * 27);
    EXPECT_LT(heard.size(), 8000U * 34);
    EXPECT_GT(heardsnr(heard, programme), 8.0);
    std::cout << c.name << ": after " << elapsed << " s the server had read " << packets
              << " packets (" << packets / 5.0 - elapsed << " s ahead); the client wrote "
              << heard.size() / 8000.0 << " s\n";
    if (c.relay) {
        EXPECT_EQ(r.stop(), 10);
    }
    EXPECT_EQ(s.stop(), 10);
}

INSTANTIATE_TEST_SUITE_P(Modes, PlaybackPace,
                         ::testing::Values(Paced{"server", false}, Paced{"relay", true}),
                         [](const auto& i) { return std::string(i.param.name); });

// A relay that nobody listens to takes a playback stream at about twice real time, not as fast
// as the server can encode it (before: 21,849 packets, 73 minutes of stream, in 10 s).
TEST(PlaybackPace, ARelayNobodyListensToDoesNotDriveTheServerFlatOut) {
    Env s, r;
    writebytes(s.input(), readbytes(sourcedir() + "/server/programme.ul"));
    s.conf.push_back("statusfile = " + s.dir.file("status.json"));
    s.start();
    r.startrelay(addr(89));
    ASSERT_TRUE(s.command("@BCONNECT " + addr(89) + " http://a/ http://b/\n")) << s.err();
    ASSERT_TRUE(r.waiterr("SERVER MODE", 10s)) << r.err();
    std::this_thread::sleep_for(6s);
    // 10 packets a second, and what the socket buffers between them hold (about 120 packets).
    const long packets = statusnumber(s.dir.file("status.json"), "packets");
    EXPECT_GT(packets, 30);
    EXPECT_LT(packets, 6 * 10 + 200);
    EXPECT_EQ(r.stop(), 10);
    EXPECT_EQ(s.stop(), 10);
}

// A receiver on addr:9998 that accepts and never reads (default socket buffers).
int neverreader(const std::string& a) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(9998);
    ::inet_pton(AF_INET, a.c_str(), &sa.sin_addr);
    if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(s, 1) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

// A never-reading listener fills its buffers in playback mode and through a relay, and is
// dropped. (In live mode the stream comes only at real time, and the listener's kernel takes it
// into a receive buffer that grows to hours of stream, acknowledging it as it would for a
// reader: TCP does not tell the two apart there.)
struct Never {
    const char* name;
    bool relay;
    int good, never; // the two listeners' addresses (the relay waits on never + 1)
};

class NeverReading : public ::testing::TestWithParam<Never> {};

INSTANTIATE_TEST_SUITE_P(Modes, NeverReading,
                         ::testing::Values(Never{"playback", false, 84, 85},
                                           Never{"relay", true, 86, 87}),
                         [](const auto& i) { return std::string(i.param.name); });

TEST_P(NeverReading, AListenerThatNeverReadsIsDroppedWithin15sAndTheOtherStays) {
    const Never c = GetParam();
    Env s;
    writebytes(s.input(), readbytes(sourcedir() + "/server/programme.ul"));
    s.start();
    Env r;
    if (c.relay) {
        r.startrelay(addr(c.never + 1));
        ASSERT_TRUE(s.command("@BCONNECT " + addr(c.never + 1) + " http://a/ http://b/\n"))
            << s.err();
        ASSERT_TRUE(r.waiterr("SERVER MODE", 10s)) << r.err();
    }
    Env& front = c.relay ? r : s;
    FakeListener good(addr(c.good));
    ASSERT_TRUE(front.connect(addr(c.good), good)) << front.err();
    const int never = neverreader(addr(c.never));
    ASSERT_GE(never, 0);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(front.command(addr(c.never) + "\n")) << front.err();
    ASSERT_TRUE(front.waiterr("Client " + addr(c.never) + " died", 20s)) << front.err();
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(took, 15s);
    std::cout << c.name << ": the never-reading listener was dropped after "
              << std::chrono::duration<double>(took).count() << " s\n";
    // The other listener goes on.
    const std::size_t before = good.total(0);
    EXPECT_TRUE(waitfor([&] { return good.total(0) > before + 330 * 10; }, 5s));
    EXPECT_EQ(front.err().find("Client " + addr(c.good) + " died"), std::string::npos)
        << front.err();
    ::close(never);
    if (c.relay) {
        EXPECT_EQ(r.stop(), 10);
    }
    EXPECT_EQ(s.stop(), 10);
}

} // namespace
} // namespace kpxtest::server
