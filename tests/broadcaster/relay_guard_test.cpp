// Attacks on a relay's upstream side: a stranger waiting in the backlog to take over, a sender
// that goes quiet to hold the listeners in silence, an operator who cannot stop a relay whose
// upstream is quiet, and a backlog of stale audio burst to the listeners.
#include "serverenv.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace kpxtest::server {
namespace {

std::string gaddr(int n) {
    return "127.0.47." + std::to_string(n);
}

// A sender from `from` to relay:9998; -1 when it cannot connect.
int sender(const std::string& from, const std::string& relay) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in src{}, dst{};
    src.sin_family = dst.sin_family = AF_INET;
    ::inet_pton(AF_INET, from.c_str(), &src.sin_addr);
    ::inet_pton(AF_INET, relay.c_str(), &dst.sin_addr);
    dst.sin_port = htons(9998);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// True when the peer of `fd` closed it within `limit` (end of stream or reset).
bool closedwithin(int fd, std::chrono::milliseconds limit) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return false;
    char c;
    return ::recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
}

// Packets of `got` equal to `packet`.
int countpackets(const Bytes& got, const Bytes& packet) {
    int n = 0;
    for (std::size_t at = 0; at + 330 <= got.size(); at += 330)
        if (std::equal(packet.begin(), packet.end(), got.begin() + static_cast<long>(at))) ++n;
    return n;
}

// Sends `packet` every 200 ms from `fd` until stopped or the link fails.
struct Feed {
    Feed(int fd, Bytes packet)
        : fd_(fd), t_([this, packet] {
              while (!stop_ && kpxtest::sendall(fd_, packet.data(), packet.size()))
                  std::this_thread::sleep_for(200ms);
          }) {}
    ~Feed() { end(); }
    void end() {
        stop_ = true;
        if (t_.joinable()) t_.join();
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd_;
    std::atomic<bool> stop_{false};
    std::thread t_;
};

TEST(RelayGuard, AStrangerInTheBacklogNeverTakesOverAtTheNextBlip) {
    Env r;
    r.conf.push_back("allowupstream = 127.0.47.1,127.0.47.64/26");
    r.startrelay(gaddr(10));
    EXPECT_TRUE(r.waiterr("Upstream senders are accepted only from the 'allowupstream' list.", 5s))
        << r.err();
    FakeListener l(gaddr(11));
    const Bytes real = encoded(ulawchunk(2301)), strange = encoded(ulawchunk(2302));
    auto feed = std::make_unique<Feed>(sender(gaddr(1), gaddr(10)), real);
    ASSERT_TRUE(r.waiterr("Waiting for connections...")) << r.err();
    ASSERT_TRUE(r.connect(gaddr(11), l)) << r.err();

    // The stranger connects while the real upstream is relayed, and is closed at once.
    const int stranger = sender(gaddr(9), gaddr(10));
    ASSERT_GE(stranger, 0);
    kpxtest::sendall(stranger, strange.data(), strange.size());
    EXPECT_TRUE(closedwithin(stranger, 3s));
    EXPECT_TRUE(r.waiterr("Sender 127.0.47.9 refused: not in the upstream allow list.\n"))
        << r.err();

    // The blip: the real upstream goes and comes back; its stream is what the listener hears.
    feed.reset();
    ASSERT_TRUE(r.waiterr("Broadcaster shutdown.\n")) << r.err();
    const std::size_t before = l.total(0);
    feed = std::make_unique<Feed>(sender(gaddr(70), gaddr(10)), real);
    ASSERT_TRUE(waitfor([&] { return l.total(0) >= before + 330 * 5; }, 10s)) << r.err();
    feed.reset();
    ::close(stranger);
    EXPECT_EQ(countpackets(l.bytes(0), strange), 0);
    EXPECT_GE(countpackets(l.bytes(0), real), 5);
    EXPECT_EQ(r.stop(), 10);
}

// On one machine the server connects from 127.0.0.1, so the allow list must name it, and any
// local user's program connects from there too. With allowuser, another user's sender (run as
// nobody) is closed at once instead of waiting to take over.
TEST(RelayGuard, AnotherLocalUsersUpstreamIsRefusedFromAnAllowedAddress) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a sender as a second user (nobody)";
    Env r;
    r.conf.push_back("allowupstream = 127.0.0.0/8");
    r.conf.push_back("allowuser = root");
    r.startrelay(gaddr(40));
    ASSERT_TRUE(r.waiterr("- Upstream senders on this machine must be programs of user root.", 5s))
        << r.err();
    const Bytes real = encoded(ulawchunk(2321));
    Feed feed(sender("127.0.0.1", gaddr(40)), real);
    ASSERT_TRUE(r.waiterr("Connection established.\n")) << r.err();
    if (r.err().find("its owner on this machine is unknown") != std::string::npos)
        GTEST_SKIP() << "sock_diag does not name socket owners here: " << r.err();
    Process stranger("/usr/bin/setpriv",
                     {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "/bin/bash", "-c",
                      "exec 3<>/dev/tcp/" + gaddr(40) +
                          "/9998 && head -c 3300 /dev/zero >&3 && "
                          "sleep 10"});
    EXPECT_TRUE(r.waiterr("Sender 127.0.0.1 refused: another local user's program.\n", 5s))
        << r.err();
    EXPECT_EQ(r.err().find("Another upstream is waiting to take over."), std::string::npos);
    EXPECT_EQ(r.stop(), 10);
}

TEST(RelayGuard, ASilentUpstreamIsGivenUpAndItsSuccessorsBacklogIsNotBurst) {
    Env r;
    r.conf.push_back("upstreamidle = 2");
    r.startrelay(gaddr(20));
    FakeListener l(gaddr(21));
    const Bytes quiet = encoded(ulawchunk(2311)), next = encoded(ulawchunk(2312));
    // One whole packet a second for a while, then nothing, the connection kept open.
    const int holder = sender(gaddr(22), gaddr(20));
    ASSERT_GE(holder, 0);
    ASSERT_TRUE(kpxtest::sendall(holder, quiet.data(), quiet.size()));
    ASSERT_TRUE(r.waiterr("Waiting for connections...")) << r.err();
    // The listener's request is taken after the next packet also by a relay that reads its
    // command file only between packets.
    writefile(r.dir.file("cmd.new"), gaddr(21) + "\n");
    std::rename(r.dir.file("cmd.new").c_str(), r.cmdfile().c_str());
    for (int k = 0; k < 4; ++k) {
        std::this_thread::sleep_for(300ms);
        ASSERT_TRUE(kpxtest::sendall(holder, quiet.data(), quiet.size()));
    }
    ASSERT_TRUE(waitfor([&] { return l.total(0) >= 330; }, 5s)) << r.err();
    // The next upstream waits in the backlog with a minute of audio queued.
    const int successor = sender(gaddr(23), gaddr(20));
    ASSERT_GE(successor, 0);
    const Bytes minute = concat(std::vector<Bytes>(300, next));
    // More than the socket buffers hold before the relay reads: sent from a thread of its own.
    std::thread queue([&] { kpxtest::sendall(successor, minute.data(), minute.size()); });

    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(r.waiterr("The upstream sent nothing for 2 s: it is given up.\n", 10s)) << r.err();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 6s);
    EXPECT_TRUE(r.waiterr("** All clients disconnected!!!! **\n"));
    ASSERT_TRUE(r.waiterr("Dropped ", 5s)) << r.err();
    ASSERT_TRUE(waitfor([&] { return countpackets(l.bytes(0), next) > 0; }, 5s)) << r.err();
    std::this_thread::sleep_for(1s);
    // At most the last few packets of the backlog reach the listener, not a minute of it.
    EXPECT_LE(countpackets(l.bytes(0), next), 5);
    EXPECT_GE(countpackets(l.bytes(0), quiet), 1);
    ::shutdown(successor, SHUT_RDWR);
    queue.join();
    ::close(holder);
    ::close(successor);
    EXPECT_EQ(r.stop(), 10);
}

TEST(RelayGuard, TheOperatorStopsARelayWhoseUpstreamIsSilentOrMissing) {
    {
        // No upstream at all.
        Env r;
        r.startrelay(gaddr(30));
        EXPECT_EQ(r.stop(), 10) << r.err();
    }
    // An upstream that sent two packets and then nothing (under the silence limit).
    Env r;
    r.startrelay(gaddr(31));
    const int up = sender(gaddr(32), gaddr(31));
    ASSERT_GE(up, 0);
    const Bytes p = encoded(ulawchunk(2321));
    ASSERT_TRUE(kpxtest::sendall(up, concat({p, p}).data(), 660));
    ASSERT_TRUE(r.waiterr("Waiting for connections...")) << r.err();
    std::this_thread::sleep_for(1500ms);
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(r.command("@STOP\n", 5s)) << r.err();
    EXPECT_TRUE(r.proc().wait(5s));
    EXPECT_EQ(r.proc().exitcode(), 10);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
    ::close(up);
}

} // namespace
} // namespace kpxtest::server
