// Streams a client must survive: garbage, a stream that does not start at a frame boundary,
// a sender that trickles or stalls, a long stream (memory stays bounded), senders outside the
// allow list and one that falls silent.
#include "clientenv.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

using namespace clienttest;
using kpxtest::countof;

namespace {
const std::string WAITING = "Use your WWW-browser to connect a server!\n";
const std::string LOST = "Connection to server lost.\nTry to connect again!\n";
const std::string CORRUPT = "Corrupt package! (read=330 - must=330)\n";
} // namespace

TEST(ClientBadInput, GarbageBetweenGoodPacketsIsDroppedPacketByPacket) {
    const std::string addr = "127.0.3.11";
    Client c({addr});
    // good, garbage, good, garbage (3 packets' worth), good
    Bytes wire = packets(2, 11);
    wire = concat(wire, noise(330, 12));
    wire = concat(wire, packets(3, 13));
    wire = concat(wire, noise(3 * 330, 14));
    wire = concat(wire, packets(1, 15));
    int refused = 0;
    const Bytes want = expectedplay(wire, &refused);
    ASSERT_EQ(refused, 4); // 40 random frames all carrying the signature is not going to happen
    Sender s(addr);
    ASSERT_TRUE(s.send(wire));
    s.close();
    ASSERT_TRUE(c.waitcount(WAITING, 2));
    EXPECT_EQ(countof(c.out(), CORRUPT), 4);
    EXPECT_TRUE(c.heard() == want);
    EXPECT_EQ(c.heard().size(), 6u * 1600u);
    EXPECT_TRUE(c.proc().running());
}

TEST(ClientBadInput, StreamNotStartingAtAFrameBoundaryIsNeverRealigned) {
    const std::string addr = "127.0.3.12";
    Client c({addr});
    // 7 stray bytes, then 8 good packets: every 330-byte packet the client takes straddles two
    // frames, so (unless a shifted frame happens to carry the signature) all are refused.
    const Bytes wire = concat(noise(7, 16), packets(8, 17));
    int refused = 0;
    const Bytes want = expectedplay(wire, &refused);
    Sender s(addr);
    ASSERT_TRUE(s.send(wire));
    s.close();
    ASSERT_TRUE(c.waitcount(WAITING, 2));
    EXPECT_EQ(countof(c.out(), CORRUPT), refused);
    EXPECT_GE(refused, 1);
    EXPECT_EQ(countof(c.out(), LOST), 1); // the 7 bytes left over at the end
    EXPECT_TRUE(c.heard() == want);
}

TEST(ClientBadInput, SenderTricklingSingleBytesCountsAsLostAfter100Reads) {
    const std::string addr = "127.0.3.13";
    Client c({addr});
    const Bytes wire = packets(1, 18);
    Sender s(addr);
    ASSERT_TRUE(s.connected());
    // Never a whole packet: each byte arrives on its own, so each read of the client gets one.
    std::size_t sent = 0;
    while (sent < 329 && countof(c.out(), LOST) == 0) {
        if (!s.send(wire, sent, 1)) break;
        ++sent;
        std::this_thread::sleep_for(4ms);
    }
    ASSERT_TRUE(c.waitcount(LOST, 1, 5s)) << "sent " << sent << " bytes\n" << c.out();
    EXPECT_LT(sent, 329u);
    ASSERT_TRUE(c.waitcount(WAITING, 2));
    EXPECT_TRUE(c.heard().empty());
    EXPECT_TRUE(c.proc().running());
}

TEST(ClientBadInput, StalledSenderIsWaitedForAndPlaysOnWhenItResumes) {
    const std::string addr = "127.0.3.14";
    Client c({addr});
    const Bytes wire = packets(4, 19);
    Sender s(addr);
    ASSERT_TRUE(s.send(wire, 0, 330 + 100));
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(countof(c.out(), LOST), 0);
    EXPECT_EQ(countof(c.out(), WAITING), 1);
    ASSERT_TRUE(s.send(wire, 430, wire.size() - 430));
    s.close();
    ASSERT_TRUE(c.waitcount(WAITING, 2));
    EXPECT_TRUE(c.heard() == expectedplay(wire));
}

TEST(ClientBadInput, LongStreamKeepsMemoryBounded) {
#if defined(__SANITIZE_ADDRESS__)
    // The address sanitizer keeps freed blocks in quarantine, so resident size grows anyway.
    GTEST_SKIP() << "resident size is not meaningful under the address sanitizer";
#endif
    const std::string addr = "127.0.3.15";
    Client c({addr});
    const Bytes good = packets(50, 20);
    const Bytes bad = noise(50 * 330, 21);
    Sender s(addr);
    ASSERT_TRUE(s.send(good));
    ASSERT_TRUE(c.waitcount("The audience is listening", 1));
    // After the first packets the client holds everything a reception needs.
    std::this_thread::sleep_for(200ms);
    const long early = vmkib(c.proc().pid(), "VmRSS");
    ASSERT_GT(early, 0);
    // 4000 more packets (good and refused ones, 800 s of sound) through the same reception.
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(s.send(i % 2 ? bad : good));
    s.close();
    ASSERT_TRUE(c.waitcount(WAITING, 2, 30s));
    const long peak = vmkib(c.proc().pid(), "VmHWM");
    EXPECT_EQ(countof(c.out(), CORRUPT), 20 * 50);
    EXPECT_EQ(c.heard().size(), 21u * 50u * 1600u);
    // A leak of even one buffer per packet would add several MiB.
    EXPECT_LT(peak - early, 512) << "early " << early << " KiB, peak " << peak << " KiB";
}

TEST(ClientBadInput, AnIdleSenderIsDroppedAndTheNextSenderPlays) {
    const std::string addr = "127.0.3.60";
    Client c({addr});
    ASSERT_TRUE(c.waitcount("connect a server!\n", 1));
    Sender idle(addr); // connects and sends nothing
    ASSERT_TRUE(idle.connected());
    ASSERT_TRUE(c.waitcount("Connection established.\n", 1));
    Sender real(addr); // waits in the backlog meanwhile
    ASSERT_TRUE(real.connected());
    const Bytes wire = packets(10, 61);
    ASSERT_TRUE(real.send(wire));
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(c.waitcount("Connection established.\n", 2, 15s)) << c.out();
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 8s);
    EXPECT_NE(c.out().find("Trying to get beginning of stream...Connection to server lost.\n"
                           "Try to connect again!\nConnection closed.\n"),
              std::string::npos)
        << c.out();
    real.close();
    ASSERT_TRUE(c.waitcount("Connection closed.\n", 2));
    EXPECT_TRUE(c.heard() == expectedplay(wire));
}

namespace {

// A sender connected from `from` to `to`:9998; -1 when it cannot connect.
int senderfrom(const std::string& from, const std::string& to) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, from.c_str(), &a.sin_addr);
    sockaddr_in b{};
    b.sin_family = AF_INET;
    b.sin_port = htons(9998);
    ::inet_pton(AF_INET, to.c_str(), &b.sin_addr);
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::connect(s, reinterpret_cast<sockaddr*>(&b), sizeof b) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

} // namespace

TEST(ClientBadInput, OnlyAllowedSendersPlayAndASilentOneIsGivenUp) {
    const std::string addr = "127.0.3.70", allowed = "127.0.3.71";
    Client c({"-a", allowed, "-s", "2", addr});
    ASSERT_TRUE(c.waitcount("connect a server!\n", 1));
    // A stranger is closed at once, before a byte of its stream is played.
    const int stranger = senderfrom("127.0.3.72", addr);
    ASSERT_GE(stranger, 0);
    const Bytes strange = packets(5, 71);
    ASSERT_TRUE(kpxtest::sendall(stranger, strange.data(), strange.size()));
    ASSERT_TRUE(
        c.proc().waiterr("Sender 127.0.3.72 refused: not in the upstream allow list.\n", 5s))
        << c.err();
    // An allowed sender that falls silent is given up after the limit; the next one plays.
    const int silent = senderfrom(allowed, addr);
    ASSERT_GE(silent, 0);
    const Bytes first = packets(2, 72), second = packets(10, 73);
    ASSERT_TRUE(kpxtest::sendall(silent, first.data(), first.size()));
    ASSERT_TRUE(c.waitcount("Connection established.\n", 1)) << c.out();
    const int next = senderfrom(allowed, addr);
    ASSERT_GE(next, 0);
    ASSERT_TRUE(kpxtest::sendall(next, second.data(), second.size()));
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(c.waitcount("The sender sent nothing for 2 s: it is given up.\n", 1, 10s))
        << c.out();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 4s);
    ASSERT_TRUE(c.waitcount("Connection established.\n", 2, 5s)) << c.out();
    ::close(next);
    ASSERT_TRUE(c.waitcount("Connection closed.\n", 2, 5s)) << c.out();
    EXPECT_TRUE(c.heard() == concat(expectedplay(first), expectedplay(second)));
    ::close(silent);
    ::close(stranger);
}
