// The receiver pool behind the relay tree and the soak must notice every kind of damage to a
// stream, or their "intact" verdicts mean nothing. Receivers on 127.0.14.1 to .4.
#include "benchkit.h"
#include "testsupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

using namespace kpxbench;
using namespace std::chrono_literals;

namespace {

struct Case {
    const char* what;
    std::vector<int> packets; // programme indices sent in this order; -1: 330 foreign bytes
    std::size_t tail;         // then this many bytes of the next programme packet, then close
    int heard;                // complete packets the pool should count
    std::string problem;      // part of the problem it should report; empty: none
};

TEST(ReceiverPool, JudgesEveryStream) {
    const std::vector<Case> cases{
        {"in order", {3, 4, 5}, 0, 3, ""},
        {"a gap", {3, 5}, 0, 2, "programme packet 5 came after 3"},
        {"a foreign packet", {3, -1}, 0, 1, "packet 1 is no packet of the programme"},
        {"a torn end", {3}, 100, 1, "the connection ended inside a packet"},
    };
    const Programme prog(8);
    std::vector<std::string> addrs;
    for (std::size_t i = 0; i < cases.size(); ++i)
        addrs.push_back("127.0.14." + std::to_string(i + 1));
    ListenerPool pool(prog, addrs);

    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        const int fd = kpxtest::connectto(addrs[i], 9998, 5s);
        ASSERT_GE(fd, 0);
        const std::int64_t before = realnow();
        for (int k : c.packets)
            ASSERT_TRUE(kpxtest::sendall(
                fd, k < 0 ? Bytes(PACKET, 0x55).data() : prog.packet(k).data(), PACKET));
        if (c.tail > 0) {
            ASSERT_TRUE(kpxtest::sendall(fd, prog.packet(6).data(), c.tail));
        }
        ::close(fd);
        const int n = static_cast<int>(i);
        EXPECT_TRUE(kpxtest::waitfor(
            [&] {
                const Heard h = pool.heard(n);
                return h.packets == c.heard && (c.problem.empty() || !h.problem.empty());
            },
            5s));
        const Heard h = pool.heard(n);
        EXPECT_EQ(h.connections, 1);
        EXPECT_EQ(h.first, 3);
        EXPECT_EQ(h.packets, c.heard);
        if (c.problem.empty())
            EXPECT_EQ(h.problem, "");
        else
            EXPECT_NE(h.problem.find(c.problem), std::string::npos) << h.problem;
        // The first packet's stamp is the kernel's receive time, on the sender's clock.
        const std::int64_t at = pool.arrival(n, 3);
        EXPECT_GE(at, before);
        EXPECT_LE(at, realnow());
    }
}

} // namespace
