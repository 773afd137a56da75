// A listener whose host vanishes (every packet to and from it dropped, nothing acknowledged)
// in the middle of a live stream: the server removes it and the listeners beside it notice
// nothing. The test moves itself into a network namespace of its own (127.0.15.x there) and
// drops the vanished host's packets with iptables; it skips without root or iptables.
#include "faults.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>

namespace kpxtest::faults {
namespace {

std::string vanishaddr(int n) {
    return "127.0.15." + std::to_string(n);
}

bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

TEST(Vanish, AListenerWhoseHostVanishesHoldsNobodyAndIsRemoved) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
    if (!run("command -v iptables")) GTEST_SKIP() << "iptables is not installed";
    // Threads and children started from here on share the new namespace.
    if (::unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "cannot make a network namespace here";
    // A loopback MTU as on a real network: with the 64 KiB default, the kernel sizes the send
    // buffer to megabytes, which a stream of 1.6 kB/s takes minutes to fill.
    ASSERT_TRUE(run("ip link set lo mtu 1500 up"));
    if (!run("iptables -A INPUT -i lo -p tcp --dport 9 -j ACCEPT"))
        GTEST_SKIP() << "iptables does not work here";

    // Four packets a second more than real time, so that the vanished peer's socket buffer
    // fills within seconds.
    LiveServer s(1500, 9, 50ms);
    s.env.start();
    FakeListener first(vanishaddr(1)), gone(vanishaddr(2)), last(vanishaddr(3));
    ASSERT_TRUE(s.env.connect(vanishaddr(1), first)) << s.env.err();
    ASSERT_TRUE(s.env.connect(vanishaddr(2), gone)) << s.env.err();
    ASSERT_TRUE(s.env.connect(vanishaddr(3), last)) << s.env.err();
    std::this_thread::sleep_for(1s);

    GapWatch gap1(first), gap3(last);
    const std::string host = vanishaddr(2);
    ASSERT_TRUE(run("iptables -A INPUT -i lo -p tcp -d " + host + " --dport 9998 -j DROP"));
    ASSERT_TRUE(run("iptables -A INPUT -i lo -p tcp -s " + host + " --sport 9998 -j DROP"));
    const auto t0 = std::chrono::steady_clock::now();
    const std::string died = "Client " + host + " died (#1). It had received ";
    ASSERT_TRUE(s.env.waiterr(died, 60s)) << s.env.err();
    const auto removed = std::chrono::steady_clock::now() - t0;
    // A little more stream after the removal, then the end.
    std::this_thread::sleep_for(1s);
    const long longest = std::max(gap1.longest().count(), gap3.longest().count());
    const std::string err = s.env.err();
    EXPECT_NE(err.find(died), std::string::npos);
    EXPECT_NE(err.find("Actual number of connections now: 2\n", err.find(died)), std::string::npos)
        << err;
    EXPECT_EQ(s.env.stop(), 10);

    // The two others: every packet whole and in order, the same packets, no pause.
    const server::Follow f1 = server::follow(first.bytes(0), s.programme.packets);
    const server::Follow f3 = server::follow(last.bytes(0), s.programme.packets);
    EXPECT_EQ(f1.problem, "");
    EXPECT_EQ(f3.problem, "");
    EXPECT_EQ(first.total(0) % 330, 0U);
    EXPECT_EQ(last.total(0) % 330, 0U);
    // Both end with the same packet of the cycle: none lost or repeated on either.
    const int cycle = static_cast<int>(s.programme.packets.size());
    EXPECT_GT(f1.packets, 100);
    EXPECT_EQ((f1.first + f1.packets) % cycle, (f3.first + f3.packets) % cycle);
    EXPECT_LT(longest, 600) << "a listener beside the vanished one waited " << longest << " ms";
    std::cout << "vanished listener removed after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(removed).count()
              << " ms; the others got " << f1.packets << " and " << f3.packets
              << " packets, longest gap " << longest << " ms\n";
}

} // namespace
} // namespace kpxtest::faults
