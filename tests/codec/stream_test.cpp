// Stream reader rules over real sockets: packets collected from what a sender writes, in
// whole packets or in pieces, with the 100-receive limit, short packets and closed links.
#include "codec.h"
#include "fdread.h"
#include "stream.h"
#include "testsignal.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using kpx::PACKETBYTES;

namespace {

// A connected pair of stream sockets; the sender end can be closed early.
struct socketpair_ {
    int fd[2] = {-1, -1};
    socketpair_() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0); }
    ~socketpair_() {
        closesender();
        if (fd[0] >= 0) ::close(fd[0]);
    }
    int reader() const { return fd[0]; }
    int sender() const { return fd[1]; }
    void closesender() {
        if (fd[1] >= 0) ::close(fd[1]);
        fd[1] = -1;
    }
};

std::vector<unsigned char> packets(int count, std::uint32_t seed) {
    const auto audio = codectest::ulawsignal(1600 * count, seed);
    std::vector<unsigned char> wire(static_cast<std::size_t>(330 * count));
    EXPECT_EQ(kpx::encode(audio.data(), 1600 * count, wire.data()), 330 * count);
    return wire;
}

// Counts the receive calls and the bytes taken through a reader.
struct countingreader {
    kpx::ReadFn inner;
    std::atomic<int> calls{0};
    std::atomic<long> taken{0};
    kpx::ReadFn fn() {
        return [this](unsigned char* dst, std::size_t want) {
            const long n = inner(dst, want);
            ++calls;
            if (n > 0) taken += n;
            return n;
        };
    }
};

// Sends `pieces` one after another, each only once the reader has taken everything sent
// before it, so every receive call sees exactly one piece. Stops when `stop` is set.
std::thread pacedsender(int fd, std::vector<std::vector<unsigned char>> pieces, countingreader& rd,
                        std::atomic<bool>& stop) {
    return std::thread([fd, pieces = std::move(pieces), &rd, &stop] {
        long sent = 0;
        for (const auto& piece : pieces) {
            if (!kpxtest::waitfor([&] { return stop.load() || rd.taken.load() >= sent; }, 5s) ||
                stop)
                return;
            if (!kpxtest::sendall(fd, piece.data(), piece.size())) return;
            sent += static_cast<long>(piece.size());
        }
    });
}

// Splits `data` into `count` pieces of nearly equal size.
std::vector<std::vector<unsigned char>> split(const std::vector<unsigned char>& data, int count) {
    std::vector<std::vector<unsigned char>> pieces;
    std::size_t pos = 0;
    for (int i = 0; i < count; ++i) {
        const std::size_t len = (data.size() - pos) / static_cast<std::size_t>(count - i);
        pieces.emplace_back(data.begin() + static_cast<long>(pos),
                            data.begin() + static_cast<long>(pos + len));
        pos += len;
    }
    return pieces;
}

} // namespace

TEST(StreamReader, WholePacketsArriveIntactAndDecode) {
    socketpair_ sp;
    const auto wire = packets(5, 41);
    ASSERT_TRUE(kpxtest::sendall(sp.sender(), wire.data(), wire.size()));
    sp.closesender();
    const auto rd = kpx::fdreader(sp.reader());
    for (int p = 0; p < 5; ++p) {
        unsigned char buf[PACKETBYTES];
        ASSERT_EQ(kpx::collectpacket(rd, buf, 0), PACKETBYTES) << "packet " << p;
        EXPECT_TRUE(std::equal(buf, buf + PACKETBYTES, wire.begin() + p * PACKETBYTES))
            << "packet " << p;
        unsigned char audio[1600];
        EXPECT_EQ(kpx::decode(buf, PACKETBYTES, audio), 1600) << "packet " << p;
    }
    // After the last packet the closed link yields nothing: lost.
    unsigned char buf[PACKETBYTES];
    EXPECT_EQ(kpx::collectpacket(rd, buf, 0), 0);
}

TEST(StreamReader, OverLoopbackTcp) {
    // A receiver as the clients are: listening on port 9998, accepting one sender.
    const int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(lfd, 0);
    const int one = 1;
    ::setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kpx::STREAMPORT);
    addr.sin_addr.s_addr = ::inet_addr("127.0.1.1");
    ASSERT_EQ(::bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << errno;
    ASSERT_EQ(::listen(lfd, kpx::LISTENBACKLOG), 0);
    const int sfd = kpxtest::connectto("127.0.1.1", kpx::STREAMPORT, 2s);
    ASSERT_GE(sfd, 0);
    const int rfd = ::accept(lfd, nullptr, nullptr);
    ASSERT_GE(rfd, 0);
    const auto wire = packets(3, 42);
    // Everything but the last 100 bytes: two packets complete, the third is cut off.
    ASSERT_TRUE(kpxtest::sendall(sfd, wire.data(), wire.size() - 100));
    ::close(sfd);
    const auto rd = kpx::fdreader(rfd);
    unsigned char buf[PACKETBYTES];
    EXPECT_EQ(kpx::collectpacket(rd, buf, 0), PACKETBYTES);
    EXPECT_EQ(kpx::collectpacket(rd, buf, 0), PACKETBYTES);
    EXPECT_TRUE(std::equal(buf, buf + PACKETBYTES, wire.begin() + PACKETBYTES));
    EXPECT_EQ(kpx::collectpacket(rd, buf, 0), PACKETBYTES - 100);
    ::close(rfd);
    ::close(lfd);
}

TEST(StreamReader, PacketInOneHundredPiecesIsCompleteInOneHundredOneIsLost) {
    const auto wire = packets(1, 43);
    for (int count : {2, 99, 100, 101, 330}) {
        SCOPED_TRACE(count);
        socketpair_ sp;
        countingreader rd{kpx::fdreader(sp.reader())};
        std::atomic<bool> stop{false};
        auto sender = pacedsender(sp.sender(), split(wire, count), rd, stop);
        unsigned char buf[PACKETBYTES];
        const int got = kpx::collectpacket(rd.fn(), buf, 0);
        stop = true;
        sender.join();
        EXPECT_EQ(rd.calls.load(), std::min(count, kpx::MAXREADS));
        if (count <= kpx::MAXREADS) {
            EXPECT_EQ(got, PACKETBYTES);
            EXPECT_TRUE(std::equal(buf, buf + PACKETBYTES, wire.begin()));
        } else {
            // The bytes of the first 100 pieces arrived; the packet is incomplete, so lost.
            long first100 = 0;
            const auto pieces = split(wire, count);
            for (int i = 0; i < kpx::MAXREADS; ++i)
                first100 += static_cast<long>(pieces[static_cast<std::size_t>(i)].size());
            EXPECT_EQ(got, first100);
            EXPECT_LT(got, PACKETBYTES);
        }
    }
}

TEST(StreamReader, ByteByByteStartThenTheRest) {
    // The first 60 bytes trickle in one by one, then the remainder arrives together: 61
    // receives, within the limit.
    const auto wire = packets(2, 44);
    std::vector<std::vector<unsigned char>> pieces;
    for (int i = 0; i < 60; ++i)
        pieces.emplace_back(1, wire[static_cast<std::size_t>(i)]);
    pieces.emplace_back(wire.begin() + 60, wire.begin() + PACKETBYTES);
    pieces.emplace_back(wire.begin() + PACKETBYTES, wire.end());
    socketpair_ sp;
    countingreader rd{kpx::fdreader(sp.reader())};
    std::atomic<bool> stop{false};
    auto sender = pacedsender(sp.sender(), pieces, rd, stop);
    unsigned char buf[PACKETBYTES];
    EXPECT_EQ(kpx::collectpacket(rd.fn(), buf, 0), PACKETBYTES);
    EXPECT_EQ(rd.calls.load(), 61);
    EXPECT_TRUE(std::equal(buf, buf + PACKETBYTES, wire.begin()));
    // The next packet is collected afresh from its own first byte.
    EXPECT_EQ(kpx::collectpacket(rd.fn(), buf, 0), PACKETBYTES);
    EXPECT_TRUE(std::equal(buf, buf + PACKETBYTES, wire.begin() + PACKETBYTES));
    stop = true;
    sender.join();
}

TEST(StreamReader, FirstReceiveStartsThePacket) {
    // A receiver's first receive may already hold part of the packet; collection completes
    // it from there.
    socketpair_ sp;
    const auto wire = packets(1, 45);
    ASSERT_TRUE(kpxtest::sendall(sp.sender(), wire.data(), wire.size()));
    const auto rd = kpx::fdreader(sp.reader());
    unsigned char buf[PACKETBYTES];
    const long first = rd(buf, 7);
    ASSERT_EQ(first, 7);
    EXPECT_EQ(kpx::collectpacket(rd, buf, static_cast<int>(first)), PACKETBYTES);
    EXPECT_TRUE(std::equal(buf, buf + PACKETBYTES, wire.begin()));
}

TEST(StreamReader, ShortPacketKeepsFramesAligned) {
    // A live sender's short packet (800 samples, 165 bytes) followed by whole packets: the
    // reader keeps taking 330 bytes, each holding 10 whole frames, and every one decodes.
    const auto audio = codectest::ulawsignal(800 + 1600 * 4, 46);
    std::vector<unsigned char> wire(165 + 330 * 4);
    ASSERT_EQ(kpx::encode(audio.data(), 800, wire.data()), 165);
    for (int p = 0; p < 4; ++p)
        ASSERT_EQ(kpx::encode(audio.data() + 800 + 1600 * p, 1600, wire.data() + 165 + 330 * p),
                  330);
    socketpair_ sp;
    ASSERT_TRUE(kpxtest::sendall(sp.sender(), wire.data(), wire.size()));
    sp.closesender();
    const auto rd = kpx::fdreader(sp.reader());
    for (int p = 0; p < 4; ++p) {
        unsigned char buf[PACKETBYTES];
        ASSERT_EQ(kpx::collectpacket(rd, buf, 0), PACKETBYTES) << "packet " << p;
        EXPECT_TRUE(std::equal(buf, buf + PACKETBYTES, wire.begin() + 330 * p));
        unsigned char out[1600];
        EXPECT_EQ(kpx::decode(buf, PACKETBYTES, out), 1600) << "packet " << p;
    }
    // The last half packet stays incomplete when the sender goes away: lost.
    unsigned char buf[PACKETBYTES];
    EXPECT_EQ(kpx::collectpacket(rd, buf, 0), 165);
}

TEST(StreamReader, CloseInMidPacketIsLost) {
    socketpair_ sp;
    const auto wire = packets(2, 47);
    ASSERT_TRUE(kpxtest::sendall(sp.sender(), wire.data(), 330 + 200));
    sp.closesender();
    countingreader rd{kpx::fdreader(sp.reader())};
    unsigned char buf[PACKETBYTES];
    EXPECT_EQ(kpx::collectpacket(rd.fn(), buf, 0), PACKETBYTES);
    rd.calls = 0;
    EXPECT_EQ(kpx::collectpacket(rd.fn(), buf, 0), 200);
    // The end of the stream used up the attempts; none beyond the limit.
    EXPECT_EQ(rd.calls.load(), kpx::MAXREADS);
}

TEST(StreamReader, CloseBeforeTheFirstByteIsLost) {
    socketpair_ sp;
    sp.closesender();
    const auto rd = kpx::fdreader(sp.reader());
    unsigned char buf[PACKETBYTES];
    EXPECT_EQ(kpx::collectpacket(rd, buf, 0), 0);
}

TEST(StreamReader, FailingReceivesCountAsAttempts) {
    int calls = 0;
    const kpx::ReadFn failing = [&](unsigned char*, std::size_t) -> long {
        ++calls;
        return -1;
    };
    unsigned char buf[PACKETBYTES];
    EXPECT_EQ(kpx::collectpacket(failing, buf, 10), 10);
    EXPECT_EQ(calls, kpx::MAXREADS);
    // A closed descriptor fails every receive in the same way.
    EXPECT_EQ(kpx::collectpacket(kpx::fdreader(-1), buf, 0), 0);
}

TEST(StreamReader, OutOfRangeArgumentsStayInsideTheBuffer) {
    std::vector<unsigned char> buf(PACKETBYTES + 16, 0x11);
    // A reader that claims more than it was asked for cannot push the count past a packet.
    const kpx::ReadFn boasting = [](unsigned char* dst, std::size_t want) -> long {
        std::fill(dst, dst + want, 0x22);
        return static_cast<long>(want) + 1000;
    };
    EXPECT_EQ(kpx::collectpacket(boasting, buf.data(), 300), PACKETBYTES);
    EXPECT_EQ(buf[PACKETBYTES], 0x11);
    EXPECT_EQ(kpx::collectpacket(boasting, buf.data(), -5), PACKETBYTES);
    int calls = 0;
    const kpx::ReadFn counting = [&](unsigned char*, std::size_t) -> long { return ++calls, 0; };
    EXPECT_EQ(kpx::collectpacket(counting, buf.data(), PACKETBYTES), PACKETBYTES);
    EXPECT_EQ(kpx::collectpacket(counting, buf.data(), PACKETBYTES + 50), PACKETBYTES);
    EXPECT_EQ(calls, 0) << "a complete packet needs no receive";
    EXPECT_EQ(kpx::collectpacket(kpx::ReadFn{}, buf.data(), 12), 12);
}

TEST(StreamReader, InterruptedReceiveIsRetried) {
    // A signal arriving while the reader waits must not cost an attempt or a byte.
    struct sigaction sa {};
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: read(2) returns EINTR
    struct sigaction old {};
    ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);
    socketpair_ sp;
    const auto wire = packets(1, 48);
    const pthread_t readerthread = ::pthread_self();
    std::atomic<bool> done{false};
    std::thread other([&] {
        for (int i = 0; i < 5 && !done; ++i) {
            std::this_thread::sleep_for(20ms);
            ::pthread_kill(readerthread, SIGUSR1);
        }
        std::this_thread::sleep_for(20ms);
        kpxtest::sendall(sp.sender(), wire.data(), wire.size());
    });
    countingreader rd{kpx::fdreader(sp.reader())};
    unsigned char buf[PACKETBYTES];
    const int got = kpx::collectpacket(rd.fn(), buf, 0);
    done = true;
    other.join();
    ::sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(got, PACKETBYTES);
    EXPECT_EQ(rd.calls.load(), 1);
}

TEST(StreamMessages, LostAndCorruptTexts) {
    kpxtest::TempDir dir;
    std::FILE* f = std::fopen(dir.file("out").c_str(), "w");
    ASSERT_NE(f, nullptr);
    kpx::prnlost(f);
    kpx::prncorrupt(f);
    std::fclose(f);
    EXPECT_EQ(kpxtest::readfile(dir.file("out")),
              "Connection to server lost.\nTry to connect again!\n"
              "Corrupt package! (read=330 - must=330)\n");
}
