// A peer's send queue against a real socket whose buffer is small, and the distribution step
// of a live server with one peer that reads nothing.
#include "globals.h"
#include "hooks.h"
#include "sendqueue.h"
#include "table.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

namespace kpx {
namespace {

using Bytes = std::vector<unsigned char>;
using State = SendQueue::State;

// A connected pair; the near end [0] has a small send buffer.
struct Pair {
    int fd[2] = {-1, -1};
    Pair() {
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
        const int small = 4096;
        ::setsockopt(fd[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    }
    ~Pair() {
        for (int f : fd)
            if (f >= 0) ::close(f);
    }
    // Everything readable at the far end now.
    Bytes drain() const {
        Bytes got;
        unsigned char buf[4096];
        for (;;) {
            const ssize_t n = ::recv(fd[1], buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0) break;
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }
};

Bytes packet(std::size_t len, int k) {
    Bytes p(len);
    for (std::size_t i = 0; i < len; ++i)
        p[i] = static_cast<unsigned char>(k * 31 + i);
    return p;
}

TEST(SendQueue, HoldsWhatTheSocketDoesNotTakeAndDeliversItWholeAndInOrder) {
    Pair s;
    SendQueue q;
    Bytes sent, got;
    // A packet larger than the buffer goes out in part; the rest and the packets after it wait.
    int k = 0;
    while (q.empty()) {
        const Bytes p = packet(k == 0 ? 20000 : 330, k);
        ASSERT_EQ(q.send(s.fd[0], p.data(), p.size(), 3000), State::ok);
        sent.insert(sent.end(), p.begin(), p.end());
        ++k;
    }
    for (int j = 0; j < 5; ++j, ++k) {
        const Bytes p = packet(330, k);
        ASSERT_EQ(q.send(s.fd[0], p.data(), p.size(), 3000), State::ok);
        sent.insert(sent.end(), p.begin(), p.end());
    }
    EXPECT_GE(q.packets(), 6U);
    EXPECT_LT(q.bytes(), sent.size());
    // The reader takes a little at a time; each flush moves the queue on without waiting.
    for (int turn = 0; turn < 1000 && !q.empty(); ++turn) {
        const Bytes part = s.drain();
        got.insert(got.end(), part.begin(), part.end());
        ASSERT_EQ(q.flush(s.fd[0], 3000), State::ok);
    }
    const Bytes rest = s.drain();
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(q.bytes(), 0U);
    EXPECT_TRUE(got == sent);
}

TEST(SendQueue, GivesUpOnAFullQueueAStalledPeerAndAClosedOne) {
    const Bytes p = packet(330, 1);
    {
        // Nobody reads: once the socket is full, MAXPACKETS are held and the next one is refused.
        Pair s;
        SendQueue q;
        while (q.empty())
            ASSERT_EQ(q.send(s.fd[0], p.data(), p.size(), 60000), State::ok);
        while (q.packets() < SendQueue::MAXPACKETS)
            ASSERT_EQ(q.send(s.fd[0], p.data(), p.size(), 60000), State::ok);
        EXPECT_EQ(q.send(s.fd[0], p.data(), p.size(), 60000), State::full);
        EXPECT_EQ(q.packets(), SendQueue::MAXPACKETS);
    }
    {
        // Held bytes that the socket does not take for the limit: stalled, and not sooner.
        Pair s;
        SendQueue q;
        while (q.empty())
            ASSERT_EQ(q.send(s.fd[0], p.data(), p.size(), 200), State::ok);
        EXPECT_EQ(q.flush(s.fd[0], 200), State::ok);
        EXPECT_GT(q.msleft(200), 100);
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        EXPECT_EQ(q.msleft(200), 0);
        EXPECT_EQ(q.send(s.fd[0], p.data(), p.size(), 200), State::stalled);
        // A byte taken starts the limit again.
        s.drain();
        EXPECT_EQ(q.flush(s.fd[0], 200), State::ok);
    }
    {
        Pair s;
        SendQueue q;
        while (q.empty())
            ASSERT_EQ(q.send(s.fd[0], p.data(), p.size(), 3000), State::ok);
        ::close(s.fd[1]);
        s.fd[1] = -1;
        EXPECT_EQ(q.flush(s.fd[0], 3000), State::failed);
        SendQueue fresh;
        EXPECT_EQ(fresh.send(s.fd[0], p.data(), p.size(), 3000), State::failed);
    }
}

TEST(Distribute, LiveServerNeverWaitsForAPeerThatReadsNothing) {
    setdefaults(serverprofile);
    resethooks();
    g.live = 1;
    Pair stuck, healthy;
    const int nears[2] = {stuck.fd[0], healthy.fd[0]};
    for (int i = 0; i < 2; ++i) {
        machinerec& r = g.machine[static_cast<std::size_t>(i)];
        r.sock = nears[i];
        r.name = i == 0 ? "stuck" : "healthy";
        r.startpacket = 1;
    }
    g.clientcount = 2;
    Bytes got;
    Bytes sent;
    testing::internal::CaptureStderr();
    const auto t0 = std::chrono::steady_clock::now();
    for (int k = 0; k < 200; ++k) {
        const Bytes p = packet(330, k);
        g.packetcount += 1;
        distribute(p.data(), p.size());
        sent.insert(sent.end(), p.begin(), p.end());
        const Bytes part = healthy.drain();
        got.insert(got.end(), part.begin(), part.end());
    }
    const auto took = std::chrono::steady_clock::now() - t0;
    const std::string err = testing::internal::GetCapturedStderr();
    // The stuck peer was removed once its queue was full, the healthy one got everything.
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    EXPECT_NE(err.find("Client stuck died (#0)."), std::string::npos) << err;
    EXPECT_NE(err.find("Actual number of connections now: 1\n"), std::string::npos) << err;
    ASSERT_EQ(g.clientcount, 1);
    EXPECT_EQ(g.machine[0].name, "healthy");
    EXPECT_TRUE(got == sent);
    // killsock closed the stuck peer's socket; the pair must not close it again.
    stuck.fd[0] = -1;
    g.machine[0].sock = -1;
    setdefaults(serverprofile);
}

} // namespace
} // namespace kpx
