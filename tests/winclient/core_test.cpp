// The Windows clients' logic, natively, over a scripted socket, a fake player and a fake
// clock (1000 ticks a second, advanced by the client's pauses and by slow receives).
#include "codec.h"
#include "stream.h"
#include "wincore.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

using namespace kpx::win;
using Bytes = std::vector<unsigned char>;

struct Piece {
    long result; // what receive returns: > 0 bytes from `data`, 0 closed, < 0 error
    Bytes data;
};

class Fake : public Platform {
  public:
    std::deque<Piece> script; // when it runs out, the sender has closed
    int startresult = 0, bindresult = 0, listenresult = 0;
    Sock socketresult = 3, acceptresult = 4;
    bool neverplays = false;
    long now = 0;
    std::vector<Bytes> played; // every image the player started
    std::vector<const unsigned char*> areas;
    int attempts = 0, pauses = 0, overwritten = 0;
    std::string reports;

    // An image is heard for 4 s after it starts; its bytes must not change meanwhile.
    void check() {
        if (!played.empty() && now < playend &&
            std::memcmp(areas.back(), played.back().data(), IMAGEBYTES) != 0)
            ++overwritten;
    }
    int startup() override { return startresult; }
    long lasterror() override { return 10091; }
    void cleanup() override {}
    Sock opensocket() override { return socketresult; }
    int bindto(Sock, const char*, int) override { return bindresult; }
    int listento(Sock, int) override { return listenresult; }
    Sock acceptfrom(Sock) override { return acceptresult; }
    long receive(Sock, unsigned char* buf, std::size_t len) override {
        check();
        if (script.empty()) return 0;
        Piece p = script.front();
        script.pop_front();
        if (p.result <= 0) return p.result;
        const std::size_t n = std::min<std::size_t>(len, p.data.size());
        std::memcpy(buf, p.data.data(), n);
        if (n < p.data.size())
            script.push_front({1, Bytes(p.data.begin() + static_cast<long>(n), p.data.end())});
        return static_cast<long>(n);
    }
    void closesock(Sock) override {}
    void report(const char* call) override { reports += std::string(call) + "\n"; }
    int playsound(const unsigned char* img) override {
        ++attempts;
        check();
        if (neverplays || (!played.empty() && now < playend)) return 0;
        played.emplace_back(img, img + IMAGEBYTES);
        areas.push_back(img);
        playend = now + 4000;
        return 1;
    }
    long ticks() override { return now; }
    long tickspersecond() override { return 1000; }
    void pause(int ms) override {
        now += ms;
        ++pauses;
    }

    // `wire` delivered in pieces of `piece` bytes.
    void send(const Bytes& wire, std::size_t piece = PACKETBYTES_) {
        for (std::size_t at = 0; at < wire.size(); at += piece) {
            const std::size_t n = std::min(piece, wire.size() - at);
            script.push_back({1, Bytes(wire.begin() + static_cast<long>(at),
                                       wire.begin() + static_cast<long>(at + n))});
        }
    }
    static constexpr std::size_t PACKETBYTES_ = kpx::PACKETBYTES;

  private:
    long playend = 0;
};

// `count` packets of a test tone, different per packet, encoded as the server does.
Bytes packets(int count, int corrupt = -1) {
    Bytes wire;
    for (int p = 0; p < count; ++p) {
        unsigned char audio[kpx::PACKETSAMPLES], gsm[kpx::PACKETBYTES];
        for (int i = 0; i < kpx::PACKETSAMPLES; ++i)
            audio[i] =
                kpx::linear2ulaw(static_cast<std::int16_t>(((i * (p + 3)) % 200 - 100) * 80));
        EXPECT_EQ(kpx::encode(audio, kpx::PACKETSAMPLES, gsm), kpx::PACKETBYTES);
        if (p == corrupt) gsm[33] = 0x10; // second frame without its signature
        wire.insert(wire.end(), gsm, gsm + kpx::PACKETBYTES);
    }
    return wire;
}

// The samples the player must get for `wire`: each packet decoded on its own, refused ones
// dropped, mapped through the table.
Bytes expected(const Bytes& wire) {
    Bytes out;
    unsigned char audio[kpx::PACKETSAMPLES];
    for (std::size_t at = 0; at + kpx::PACKETBYTES <= wire.size(); at += kpx::PACKETBYTES)
        if (kpx::decode(wire.data() + at, kpx::PACKETBYTES, audio) == kpx::PACKETSAMPLES)
            for (unsigned char c : audio)
                out.push_back(ulaw2pcm8[c]);
    return out;
}

struct Outcome {
    int status;
    std::string out;
};

Outcome run(Fake& fake, const Frontend& prof = CONSOLEFRONTEND,
            std::vector<std::string> args = {}) {
    resetsound();
    args.insert(args.begin(), "wincon");
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    testing::internal::CaptureStdout();
    const int status = clientmain(prof, fake, static_cast<int>(argv.size()), argv.data());
    return {status, testing::internal::GetCapturedStdout()};
}

const std::string LOST = "Connection to server lost.\nTry to connect again!\n";
const std::string CLOSING = "Connection closed.\nRestart KPX!\n\n\n";
const std::string AUDIENCE = "The audience is listening to KPX...\n";
const std::string PLAYFAIL = "Could not play entire audio stream! Sound card problem???\n";

TEST(WinCore, TableValues) {
    const std::pair<unsigned char, unsigned char> rows[] = {
        {0x7F, 0x80}, {0xFF, 0x80}, {0x00, 0x00}, {0x80, 0xFF}, {0x1F, 0x02}, {0xA0, 0xFC}};
    for (auto [code, pcm] : rows)
        EXPECT_EQ(ulaw2pcm8[code], pcm) << "code " << int(code);
}

TEST(WinCore, HeaderBytes) {
    const unsigned char want[HEADERBYTES] = {
        'R', 'I', 'F', 'F', 0x24, 0x7D, 0,   0,   'W', 'A',  'V',  'E',  'f', 'm',  't',
        ' ', 16,  0,   0,   0,    1,    0,   1,   0,   0x40, 0x1F, 0,    0,   0x40, 0x1F,
        0,   0,   1,   0,   8,    0,    'd', 'a', 't', 'a',  0x00, 0x7D, 0,   0};
    unsigned char img[HEADERBYTES];
    writeheader(img);
    EXPECT_EQ(0, std::memcmp(img, want, HEADERBYTES));
}

// Whole runs of wincon: what arrives, what is played, how it ends.
TEST(WinCore, Streams) {
    struct Case {
        const char* name;
        Bytes wire;
        std::size_t piece;
        int images;
        const char* ending;
    };
    const Bytes twenty = packets(20);
    const Case cases[] = {
        {"twenty packets make one image", twenty, 330, 1, "lost"},
        {"nineteen then close play nothing", packets(19), 330, 0, "lost"},
        {"a refused frame delays the image", packets(21, 4), 330, 1, "lost"},
        {"twenty with one refused play nothing", packets(20, 4), 330, 0, "lost"},
        {"misaligned stream plays nothing", Bytes(twenty.begin() + 7, twenty.end()), 330, 0,
         "lost"},
        {"sixty packets in odd pieces", packets(60), 97, 3, "lost"},
    };
    for (const Case& c : cases) {
        Fake fake;
        fake.send(c.wire, c.piece);
        const Outcome r = run(fake);
        EXPECT_EQ(r.status, 0) << c.name;
        ASSERT_EQ(static_cast<int>(fake.played.size()), c.images) << c.name;
        const Bytes want = expected(c.wire);
        for (int i = 0; i < c.images; ++i)
            EXPECT_TRUE(std::equal(fake.played[i].begin() + HEADERBYTES, fake.played[i].end(),
                                   want.begin() + i * IMAGESAMPLES))
                << c.name << " image " << i;
        EXPECT_NE(r.out.find(AUDIENCE), std::string::npos) << c.name;
        EXPECT_TRUE(r.out.ends_with(LOST + CLOSING)) << c.name << r.out;
        EXPECT_EQ(fake.overwritten, 0) << c.name;
    }
}

TEST(WinCore, TwoAreasInTurn) {
    Fake fake;
    fake.send(packets(60));
    run(fake);
    ASSERT_EQ(fake.played.size(), 3u);
    EXPECT_NE(fake.areas[0], fake.areas[1]);
    EXPECT_EQ(fake.areas[0], fake.areas[2]);
    EXPECT_EQ(fake.overwritten, 0);
    // Each later image waits until the previous one has been heard, pausing between tries.
    EXPECT_EQ(fake.now, 8000);
    EXPECT_EQ(fake.pauses, 800);
}

TEST(WinCore, PlayerThatNeverStartsGivesUpAtSevenSeconds) {
    Fake fake;
    fake.neverplays = true;
    fake.send(packets(25));
    const Outcome r = run(fake);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.ends_with(AUDIENCE + PLAYFAIL + CLOSING)) << r.out;
    EXPECT_EQ(fake.now, 7000);
    EXPECT_EQ(fake.attempts, 701);
    EXPECT_EQ(fake.script.size(), 5u); // nothing more is read once playing has failed
}

// Packet completion: what the sender's pieces add up to within the 100 receives.
TEST(WinCore, Completion) {
    struct Case {
        const char* name;
        std::vector<std::size_t> pieces; // of the first packet, then whole packets follow
        bool heard;
    };
    std::vector<std::size_t> first100(1, 100), exact = first100, over;
    exact.insert(exact.end(), 99, 2);
    exact.push_back(32); // 100 + 99*2 + 32 = 330 in 100 receives
    over = exact;
    over.back() = 30;
    over.push_back(2); // 101st receive needed
    const Case cases[] = {
        {"100-byte first receive completed within the limit", exact, true},
        {"more than 100 pieces lose the link", over, false},
    };
    for (const Case& c : cases) {
        Fake fake;
        const Bytes wire = packets(21);
        std::size_t at = 0;
        for (std::size_t n : c.pieces) {
            fake.script.push_back({1, Bytes(wire.begin() + static_cast<long>(at),
                                            wire.begin() + static_cast<long>(at + n))});
            at += n;
        }
        fake.send(Bytes(wire.begin() + static_cast<long>(at), wire.end()));
        run(fake);
        EXPECT_EQ(fake.played.size(), c.heard ? 1u : 0u) << c.name;
    }
}

// Start-up and closing: the messages and the exit status of each path.
TEST(WinCore, StartUpAndClosing) {
    struct Case {
        const char* name;
        void (*setup)(Fake&);
        const Frontend* prof;
        int args;
        int status;
        std::string tail;   // the output's end
        const char* report; // failed call reported on standard error
    };
    const std::string ready = "Initializing TCP/IP...ready.\n\n";
    const std::string established = "Connection established.\n";
    const Case cases[] = {
        {"console stream", [](Fake& f) { f.send(packets(1)); }, &CONSOLEFRONTEND, 0, 0,
         ready + CONSOLEFRONTEND.browserline + established + AUDIENCE + LOST + CLOSING, ""},
        {"window stream", [](Fake& f) { f.send(packets(1)); }, &WINDOWFRONTEND, 1, 0,
         "ATTENTION:\nKPX was never designed to run on 16 bit systems.\n"
         "THIS IS AN EXPERIMENTAL VERSION. No warranty, no support!\n\n" +
             ready + "Use your WWW-browser to connect to a server!\n" + established + AUDIENCE +
             LOST + CLOSING,
         ""},
        {"usage", [](Fake&) {}, &WINDOWFRONTEND, 2, -1,
         "support!\n\nUsage: wincon <your-IP>\n   or: wincon \n", ""},
        {"socket layer fails", [](Fake& f) { f.startresult = 10091; }, &CONSOLEFRONTEND, 0, -1,
         "Initializing TCP/IP...WSAStartup() failed: 10091\n", ""},
        {"socket fails", [](Fake& f) { f.socketresult = -1; }, &CONSOLEFRONTEND, 0, -1,
         "Initializing TCP/IP...", "socket()"},
        {"bind fails", [](Fake& f) { f.bindresult = -1; }, &CONSOLEFRONTEND, 0, 1,
         "Initializing TCP/IP...", "bind()"},
        {"listen fails", [](Fake& f) { f.listenresult = -1; }, &CONSOLEFRONTEND, 0, 0,
         std::string(CONSOLEFRONTEND.browserline) + LOST + CLOSING, "listen()"},
        {"accept fails", [](Fake& f) { f.acceptresult = -1; }, &CONSOLEFRONTEND, 0, 0,
         std::string(CONSOLEFRONTEND.browserline) + LOST + CLOSING, "accept()"},
        {"closed before the first byte", [](Fake&) {}, &CONSOLEFRONTEND, 0, 0,
         established + LOST + CLOSING, ""},
        {"empty receives before the data",
         [](Fake& f) {
             f.script = {{0, {}}, {0, {}}};
             f.send(packets(1));
         },
         &CONSOLEFRONTEND, 0, 0, established + AUDIENCE + LOST + CLOSING, ""},
        {"errors only",
         [](Fake& f) {
             f.script.assign(150, {-1, {}});
         },
         &CONSOLEFRONTEND, 0, 0, established + AUDIENCE + LOST + CLOSING, ""},
    };
    for (const Case& c : cases) {
        Fake fake;
        c.setup(fake);
        std::vector<std::string> args(static_cast<std::size_t>(c.args), std::string(300, '9'));
        const Outcome r = run(fake, *c.prof, args);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_TRUE(r.out.ends_with(c.tail)) << c.name << "\n" << r.out;
        EXPECT_EQ(r.out.find(std::string("* ") + c.prof->kind + "  Version " + c.prof->version),
                  88u)
            << c.name;
        EXPECT_NE(r.out.find("CODEC: V1.48\n"), std::string::npos) << c.name;
        EXPECT_EQ(fake.reports, *c.report ? std::string(c.report) + "\n" : "") << c.name;
    }
}

TEST(WinCore, PlaywaveRefusesWhatDoesNotFit) {
    Fake fake;
    sys = &fake;
    resetsound();
    const Bytes audio(IMAGESAMPLES + 1, 0x00);
    EXPECT_EQ(playwave(audio.data(), IMAGESAMPLES + 1), 0);
    EXPECT_EQ(playwave(audio.data(), -1), 0);
    EXPECT_EQ(fill, 0);
    EXPECT_EQ(image[0][HEADERBYTES], 0x80);
}

} // namespace
