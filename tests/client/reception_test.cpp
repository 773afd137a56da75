// The client's routines in this process: a reception over a socket pair into a device file,
// a device that takes nothing, and the recovery of the accept loop after acc_sock fails.
#include "client.h"
#include "clientenv.h"
#include "receiver.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <thread>

using namespace clienttest;

namespace {

// Runs `fn` with the client's standard output captured; returns what it printed.
template <class Fn> std::string captured(Fn fn) {
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

class Reception : public ::testing::Test {
  protected:
    void SetUp() override {
        kpxtest::writefile(dir.file("audio"), "");
        kpx::devicename = dir.file("audio");
    }
    void TearDown() override { kpx::devicename = kpx::AUDIODEVICE; }
    kpxtest::TempDir dir;
};

} // namespace

TEST_F(Reception, PacketsArrivingInPiecesArePlayedWhole) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    const Bytes wire = packets(5, 31);
    std::thread writer([&] {
        // 1 byte for the synchronisation read, then odd-sized pieces across packet bounds.
        std::size_t at = 0;
        for (std::size_t piece : {1u, 100u, 329u, 500u, 1u, 719u}) {
            EXPECT_TRUE(kpxtest::sendall(sv[1], wire.data() + at, piece));
            at += piece;
            std::this_thread::sleep_for(20ms);
        }
        ASSERT_EQ(at, wire.size() - 0);
        ::close(sv[1]);
    });
    const std::string out = captured([&] { kpx::getsound(sv[0]); });
    writer.join();
    ::close(sv[0]);
    EXPECT_EQ(out, "Trying to get beginning of stream...okay, got it.\n"
                   "The audience is listening to KPX...(CTRL-C aborts)\n"
                   "Connection to server lost.\nTry to connect again!\n");
    EXPECT_TRUE(kpxtest::readbytes(dir.file("audio")) == expectedplay(wire));
    EXPECT_EQ(kpx::outfile, nullptr);
}

TEST_F(Reception, DeviceThatTakesNothingEndsTheReception) {
    // /dev/full refuses every write. The device stream buffers the first packets; once it
    // must pass them on, the write fails: one sound-card line, and the reception ends long
    // before the sender's 200 packets are used up (no lost-link message).
    kpx::devicename = "/dev/full";
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    const Bytes wire = packets(200, 32);
    std::thread writer([&] {
        kpxtest::sendall(sv[1], wire.data(), wire.size()); // fails once the reader is gone
        ::close(sv[1]);
    });
    const std::string out = captured([&] { kpx::getsound(sv[0]); });
    ::close(sv[0]);
    writer.join();
    EXPECT_EQ(kpxtest::countof(out, "Could not play entire audio stream! Sound card problem???\n"),
              1)
        << out;
    EXPECT_EQ(out.find("Connection to server lost."), std::string::npos) << out;
}

TEST_F(Reception, FailedListenMakesANewSocketThatIsBoundOnTheNextTurn) {
    // A listening socket that cannot listen: an invalid descriptor, already "bound".
    kpx::lsn.sk = -1;
    kpx::lsn.init = 1;
    const std::string addr = "127.0.3.21";
    std::string out = captured([&] { EXPECT_EQ(kpx::serveone(addr.c_str()), -4); });
    EXPECT_EQ(out, "Use your WWW-browser to connect a server!\n");
    EXPECT_GE(kpx::lsn.sk, 0);
    EXPECT_EQ(kpx::lsn.init, 0);

    // The next turn binds the new socket and serves a sender.
    const Bytes wire = packets(3, 33);
    std::thread sender([&] {
        Sender s(addr);
        EXPECT_TRUE(s.send(wire));
    });
    out = captured([&] { EXPECT_GE(kpx::serveone(addr.c_str()), 0); });
    sender.join();
    EXPECT_EQ(kpx::lsn.init, 1);
    EXPECT_NE(out.find("Connection established.\n"), std::string::npos);
    EXPECT_NE(out.find("Connection closed.\n\n\n"), std::string::npos);
    EXPECT_TRUE(kpxtest::readbytes(dir.file("audio")) == expectedplay(wire));
    ::close(kpx::lsn.sk);
    kpx::lsn.sk = -1;
    kpx::lsn.init = 0;
}
