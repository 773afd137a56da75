// The client program on its own: real process, real sockets on 127.0.3.x, its audio device
// provided by alsa-oss and captured through an ALSA file plugin (see clientenv.h).
#include "clientenv.h"

#include <gtest/gtest.h>

#include <thread>

using namespace clienttest;
using kpxtest::countof;

namespace {

const std::string WAITING = "Use your WWW-browser to connect a server!\n";
const std::string ESTABLISHED = "Connection established.\n";
const std::string SYNC = "Trying to get beginning of stream...okay, got it.\n"
                         "The audience is listening to KPX...(CTRL-C aborts)\n";
const std::string LOST = "Connection to server lost.\nTry to connect again!\n";
const std::string CLOSED = "Connection closed.\n\n\n";
const std::string CORRUPT = "Corrupt package! (read=330 - must=330)\n";

// The part of the client's output after its start-up lines.
std::string afterstartup(const std::string& out) {
    const auto at = out.find(WAITING);
    return at == std::string::npos ? std::string() : out.substr(at);
}

// Sends `wire` on a new connection, closes it, and waits until the client is back waiting.
void sendreception(Client& c, const std::string& addr, const Bytes& wire, int receptionno) {
    Sender s(addr);
    ASSERT_TRUE(s.connected());
    ASSERT_TRUE(s.send(wire));
    s.close();
    ASSERT_TRUE(c.waitcount(WAITING, receptionno + 1)) << c.out();
}

} // namespace

TEST(ClientProgram, PlaysEveryPacketInOrderAndWaitsForTheNextSender) {
    const std::string addr = "127.0.3.1";
    Client c({addr});
    const Bytes wire = packets(12, 1);
    sendreception(c, addr, wire, 1);

    const Bytes heard = c.heard();
    EXPECT_EQ(heard.size(), 12u * 1600u);
    EXPECT_TRUE(heard == expectedplay(wire)) << "played audio differs from the decoded packets";

    const std::string out = c.out();
    EXPECT_NE(out.find("* CLIENT       Version 1.10     "), std::string::npos) << out;
    EXPECT_LT(out.find("CODEC: V1.48\n"), out.find(WAITING));
    EXPECT_EQ(afterstartup(out), WAITING + ESTABLISHED + SYNC + LOST + CLOSED + WAITING);
    EXPECT_EQ(c.err(), "");
    EXPECT_TRUE(c.proc().running());
}

TEST(ClientProgram, ShortSynchronisationReadIsCompletedByTheFill) {
    const std::string addr = "127.0.3.2";
    Client c({addr});
    const Bytes wire = packets(4, 2);
    Sender s(addr);
    ASSERT_TRUE(s.connected());
    // The first read of the reception gets only these 7 bytes.
    ASSERT_TRUE(s.send(wire, 0, 7));
    ASSERT_TRUE(c.waitcount("okay, got it.", 1));
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(s.send(wire, 7, 200));
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(s.send(wire, 207, wire.size() - 207));
    s.close();
    ASSERT_TRUE(c.waitcount(WAITING, 2));
    EXPECT_TRUE(c.heard() == expectedplay(wire));
    EXPECT_EQ(countof(c.out(), CORRUPT), 0);
}

TEST(ClientProgram, CorruptPacketIsReportedAndItsSoundIsMissing) {
    const std::string addr = "127.0.3.3";
    Client c({addr});
    Bytes wire = packets(6, 3);
    // Packet 2, frame 4 loses its signature nibble.
    wire[2 * 330 + 4 * 33] = static_cast<unsigned char>((wire[2 * 330 + 4 * 33] & 0x0F) | 0x20);
    sendreception(c, addr, wire, 1);

    const Bytes full = expectedplay(packets(6, 3));
    Bytes want = slice(full, 0, 2 * 1600);
    want = concat(want, slice(full, 3 * 1600, 3 * 1600));
    EXPECT_TRUE(c.heard() == want);
    EXPECT_EQ(c.heard().size(), 5u * 1600u);
    EXPECT_EQ(afterstartup(c.out()),
              WAITING + ESTABLISHED + SYNC + CORRUPT + LOST + CLOSED + WAITING);
}

TEST(ClientProgram, CloseInMidPacketDropsThePartialPacket) {
    const std::string addr = "127.0.3.4";
    Client c({addr});
    const Bytes wire = packets(4, 4);
    Sender s(addr);
    ASSERT_TRUE(s.connected());
    ASSERT_TRUE(s.send(wire, 0, 3 * 330 + 200));
    s.close();
    ASSERT_TRUE(c.waitcount(WAITING, 2));
    EXPECT_TRUE(c.heard() == slice(expectedplay(wire), 0, 3 * 1600));
    EXPECT_EQ(afterstartup(c.out()), WAITING + ESTABLISHED + SYNC + LOST + CLOSED + WAITING);
    EXPECT_TRUE(c.proc().running());
}

TEST(ClientProgram, SenderClosingBeforeItsFirstByteEndsTheReceptionAsLost) {
    const std::string addr = "127.0.3.5";
    Client c({addr});
    {
        Sender s(addr);
        ASSERT_TRUE(s.connected());
    }
    ASSERT_TRUE(c.waitcount(WAITING, 2));
    EXPECT_EQ(afterstartup(c.out()), WAITING + ESTABLISHED +
                                         "Trying to get beginning of stream..." + LOST + CLOSED +
                                         WAITING);
    EXPECT_TRUE(c.heard().empty());

    // The client serves the next sender normally.
    const Bytes wire = packets(3, 5);
    sendreception(c, addr, wire, 2);
    EXPECT_TRUE(c.heard() == expectedplay(wire));
    EXPECT_EQ(countof(c.out(), "okay, got it."), 1);
}

TEST(ClientProgram, SecondSenderWaitsInTheQueueAndIsServedNext) {
    const std::string addr = "127.0.3.6";
    Client c({addr});
    const Bytes first = packets(5, 61), second = packets(4, 62);
    Sender a(addr);
    ASSERT_TRUE(a.connected());
    ASSERT_TRUE(a.send(first));
    ASSERT_TRUE(c.waitcount("The audience is listening", 1));

    Sender b(addr); // accepted by the kernel into the backlog, not yet by the client
    ASSERT_TRUE(b.connected());
    ASSERT_TRUE(b.send(second));
    b.close();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(countof(c.out(), ESTABLISHED), 1);

    a.close();
    ASSERT_TRUE(c.waitcount(WAITING, 3));
    EXPECT_TRUE(c.heard() == concat(expectedplay(first), expectedplay(second)));
    EXPECT_EQ(afterstartup(c.out()), WAITING + ESTABLISHED + SYNC + LOST + CLOSED + WAITING +
                                         ESTABLISHED + SYNC + LOST + CLOSED + WAITING);
}

TEST(ClientProgram, TwoArgumentsPrintUsageAndEndWith255) {
    Client c({"127.0.3.7", "extra"});
    ASSERT_TRUE(c.proc().wait(5s));
    EXPECT_EQ(c.proc().exitcode(), 255);
    const std::string exe = kpxtest::program("client");
    const std::string out = c.out();
    EXPECT_NE(out.find("CODEC: V1.48\nUsage:   " + exe + " <your-IP>\nor just: " + exe + "\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(countof(out, WAITING), 0);
    EXPECT_EQ(c.err(), "");
}

TEST(ClientProgram, ForeignAddressFailsTheBindWithStatus1) {
    // 192.0.2.1 (TEST-NET-1, reserved for examples) is none of this machine's addresses.
    Client c({"192.0.2.1"});
    ASSERT_TRUE(c.proc().wait(5s));
    EXPECT_EQ(c.proc().exitcode(), 1);
    EXPECT_EQ(c.err(), "bind(): Cannot assign requested address\n");
    const std::string out = c.out();
    EXPECT_NE(out.find("CODEC: V1.48\nDid you specify your own IP address ???\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(countof(out, WAITING), 0);
}

TEST(ClientProgram, DeviceThatCannotBeOpenedEndsEachReceptionAndTheClientKeepsWaiting) {
    const std::string addr = "127.0.3.8";
    Client c({addr}, Device::broken);
    const std::string devmsg =
        "Check that you have an enabled /dev/audio device and that you can access it!\n";
    for (int i = 1; i <= 2; ++i) {
        Sender s(addr);
        ASSERT_TRUE(s.connected());
        ASSERT_TRUE(s.send(packets(2, 8)));
        ASSERT_TRUE(c.waitcount(WAITING, i + 1)) << c.out();
    }
    EXPECT_EQ(afterstartup(c.out()), WAITING + ESTABLISHED + devmsg + CLOSED + WAITING +
                                         ESTABLISHED + devmsg + CLOSED + WAITING);
    EXPECT_EQ(countof(c.err(), "fopen(): "), 2) << c.err();
    EXPECT_TRUE(c.proc().running());
}

namespace {

struct OwnNetworkRun {
    std::string out; // the client's standard output
    std::string log; // "served A" or "refused A" per address, in order
    Bytes heard;
};

// Runs the client with `args` in a network namespace of its own (loopback only, so port
// 9998 on any address collides with nothing), and sends `wire` to each of `addrs` in turn
// (bash's /dev/tcp), each time waiting until that reception has ended.
OwnNetworkRun runinownnetwork(const std::vector<std::string>& args,
                              const std::vector<std::string>& addrs, const Bytes& wire) {
    kpxtest::TempDir dir;
    writeasoundrc(dir.path(), Device::capture, dir.file("heard.ul"));
    kpxtest::writebytes(dir.file("wire"), wire);
    std::string cmd = "'";
    cmd.append(kpxtest::program("client")).append("'");
    for (const auto& a : args)
        cmd.append(" '").append(a).append("'");
    std::string list;
    for (const auto& a : addrs)
        list.append(" ").append(a);
    const std::string script =
        "ip link set lo up; cd '" + dir.path() +
        "'; : > log; "
        "HOME='" +
        dir.path() + "' LD_PRELOAD=libaoss.so.0 ASAN_OPTIONS=verify_asan_link_order=0 " + cmd +
        " > out 2> err & pid=$!; n=0; "
        "for a in" +
        list +
        "; do r=refused; "
        "  for i in $(seq 20); do (exec 3<>/dev/tcp/$a/9998 && cat wire >&3) 2>/dev/null && { "
        "r=served; break; }; sleep 0.05; done; "
        "  echo \"$r $a\" >> log; [ $r = served ] || continue; n=$((n+1)); "
        "  for i in $(seq 100); do [ \"$(grep -c 'Connection closed.' out)\" -ge $n ] && break; "
        "sleep 0.05; done; "
        "done; kill $pid; wait $pid 2>/dev/null; exit 0";
    kpxtest::writefile(dir.file("run.sh"), script);
    kpxtest::Process p("/usr/bin/unshare", {"-n", "bash", dir.file("run.sh")});
    EXPECT_TRUE(p.wait(30s));
    return {kpxtest::readfile(dir.file("out")), kpxtest::readfile(dir.file("log")),
            kpxtest::readbytes(dir.file("heard.ul"))};
}

bool ownnetworkpossible() {
    return std::system("unshare -n true >/dev/null 2>&1") == 0;
}

} // namespace

TEST(ClientProgram, WithoutArgumentListensOnAllAddresses) {
    if (!ownnetworkpossible()) GTEST_SKIP() << "no network namespace (unshare -n)";
    const Bytes wire = packets(3, 9);
    const OwnNetworkRun r = runinownnetwork({}, {"127.0.0.1", "127.44.5.6"}, wire);
    EXPECT_EQ(r.log, "served 127.0.0.1\nserved 127.44.5.6\n") << r.out;
    EXPECT_EQ(countof(r.out, "okay, got it."), 2) << r.out;
    EXPECT_TRUE(r.heard == concat(expectedplay(wire), expectedplay(wire)));
}

TEST(ClientProgram, HostNameArgumentIsLookedUpAndItsAddressBound) {
    // "localhost" is no dotted address: only the name lookup (the hosts file) makes it
    // 127.0.0.1, and then only that address is served.
    if (!ownnetworkpossible()) GTEST_SKIP() << "no network namespace (unshare -n)";
    const Bytes wire = packets(2, 10);
    const OwnNetworkRun r = runinownnetwork({"localhost"}, {"127.0.0.2", "127.0.0.1"}, wire);
    EXPECT_EQ(r.log, "refused 127.0.0.2\nserved 127.0.0.1\n") << r.out;
    EXPECT_EQ(countof(r.out, "okay, got it."), 1) << r.out;
    EXPECT_TRUE(r.heard == expectedplay(wire));
}
