// scripts/record-client: what a client hears, recorded into a WAV file without a sound card.
#include "clientenv.h"

#include "codec.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>

using namespace clienttest;

namespace {

// The 16-bit samples of the data chunk of a PCM WAV file; empty when it is not one.
std::vector<std::int16_t> wavsamples(const Bytes& wav, int* rate, int* channels, int* bits) {
    auto u32 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(wav[at] | wav[at + 1] << 8 | wav[at + 2] << 16 |
                                          static_cast<std::uint32_t>(wav[at + 3]) << 24);
    };
    auto u16 = [&](std::size_t at) { return static_cast<int>(wav[at] | wav[at + 1] << 8); };
    std::vector<std::int16_t> out;
    if (wav.size() < 12 || std::memcmp(wav.data(), "RIFF", 4) != 0 ||
        std::memcmp(wav.data() + 8, "WAVE", 4) != 0)
        return out;
    for (std::size_t at = 12; at + 8 <= wav.size();) {
        const std::uint32_t len = u32(at + 4);
        if (std::memcmp(wav.data() + at, "fmt ", 4) == 0 && at + 24 <= wav.size()) {
            *channels = u16(at + 10);
            *rate = static_cast<int>(u32(at + 12));
            *bits = u16(at + 22);
        } else if (std::memcmp(wav.data() + at, "data", 4) == 0) {
            const std::size_t n = std::min<std::size_t>(len, wav.size() - at - 8) / 2;
            for (std::size_t i = 0; i < n; ++i)
                out.push_back(static_cast<std::int16_t>(u16(at + 8 + 2 * i)));
            return out;
        }
        at += 8 + len + (len & 1);
    }
    return out;
}

} // namespace

TEST(RecordClient, TwoReceptionsEndUpInOneWavFile) {
    const std::string addr = "127.0.3.31";
    kpxtest::TempDir dir;
    kpxtest::Process::Options opt;
    opt.env["CLIENT"] = kpxtest::program("client");
    opt.env["ASAN_OPTIONS"] = "verify_asan_link_order=0";
    opt.env["TMPDIR"] = dir.path();
    kpxtest::Process rec(
        "/bin/bash", {kpxtest::sourcedir() + "/scripts/record-client", dir.file("heard.wav"), addr},
        opt);
    // The script's client runs in the script's process group: stop them all, whatever happens.
    struct GroupKill {
        int pgid;
        ~GroupKill() { ::kill(-pgid, SIGKILL); }
    } groupkill{rec.pid()};
    const Bytes first = packets(5, 41), second = packets(3, 42);
    for (const Bytes* wire : {&first, &second}) {
        Sender s(addr);
        ASSERT_TRUE(s.connected());
        ASSERT_TRUE(s.send(*wire));
    }
    ASSERT_TRUE(kpxtest::waitfor(
        [&] { return kpxtest::countof(rec.out(), "Connection closed.") >= 2; }, 10s))
        << rec.out() << rec.err();
    rec.signal(SIGTERM);
    ASSERT_TRUE(rec.wait(10s));
    EXPECT_EQ(rec.exitcode(), 0) << rec.err();

    int rate = 0, channels = 0, bits = 0;
    const std::vector<std::int16_t> samples =
        wavsamples(kpxtest::readbytes(dir.file("heard.wav")), &rate, &channels, &bits);
    EXPECT_EQ(rate, 8000);
    EXPECT_EQ(channels, 1);
    EXPECT_EQ(bits, 16);
    const Bytes want = concat(expectedplay(first), expectedplay(second));
    ASSERT_EQ(samples.size(), want.size());
    std::size_t differ = 0;
    for (std::size_t i = 0; i < want.size(); ++i)
        if (samples[i] != kpx::ulaw2linear(want[i])) ++differ;
    EXPECT_EQ(differ, 0u) << "samples that are not the played u-law, expanded";
}
