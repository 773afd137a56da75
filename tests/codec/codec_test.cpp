// The codec layer: block lengths, frame signatures, the u-law converters and the rule that
// every block is coded from a fresh state.
#include "codec.h"
#include "testsignal.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

using codectest::noisebytes;
using codectest::ulawsignal;
using kpx::decode;
using kpx::encode;
using kpx::linear2ulaw;
using kpx::ulaw2linear;

namespace {

constexpr unsigned char SENTINEL = 0xA5;

int encodeinto(const std::vector<unsigned char>& in, std::vector<unsigned char>& out) {
    return encode(in.data(), static_cast<int>(in.size()), out.data());
}

std::vector<unsigned char> encoded(const std::vector<unsigned char>& in) {
    std::vector<unsigned char> out(in.size() / 160 * 33 + 64, SENTINEL);
    const int n = encodeinto(in, out);
    EXPECT_EQ(n, static_cast<int>(in.size() / 160 * 33));
    out.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return out;
}

std::vector<unsigned char> decoded(const std::vector<unsigned char>& in) {
    std::vector<unsigned char> out(in.size() / 33 * 160 + 64, SENTINEL);
    const int n = decode(in.data(), static_cast<int>(in.size()), out.data());
    EXPECT_EQ(n, static_cast<int>(in.size() / 33 * 160));
    out.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return out;
}

bool untouched(const std::vector<unsigned char>& buf) {
    for (unsigned char b : buf)
        if (b != SENTINEL) return false;
    return true;
}

} // namespace

TEST(CodecEncode, WholeBlocksGiveThirtyThreeBytesPerFrame) {
    const auto in = ulawsignal(1600, 1);
    std::vector<unsigned char> out(400, SENTINEL);
    EXPECT_EQ(encode(in.data(), 1600, out.data()), 330);
    EXPECT_EQ(out[330], SENTINEL) << "wrote past the 330 bytes of a packet";
    EXPECT_EQ(encode(in.data(), 800, out.data()), 165);
    EXPECT_EQ(encode(in.data(), 160, out.data()), 33);
    EXPECT_EQ(encode(in.data(), 0, out.data()), 0);
}

TEST(CodecEncode, EveryFrameCarriesTheSignature) {
    const auto frames = encoded(ulawsignal(1600, 2));
    ASSERT_EQ(frames.size(), 330u);
    for (std::size_t f = 0; f < frames.size(); f += 33)
        EXPECT_EQ(frames[f] >> 4, 0xD) << "frame at byte " << f;
}

TEST(CodecEncode, RefusesPartialBlocksAndNegativeLengthsWithoutWriting) {
    const auto in = ulawsignal(3200, 3);
    std::vector<unsigned char> out(800, SENTINEL);
    EXPECT_EQ(encode(in.data(), 1000, out.data()), -1);
    for (int len = 1; len <= 3200; ++len) {
        if (len % 160 == 0) continue;
        ASSERT_EQ(encode(in.data(), len, out.data()), -1) << "length " << len;
    }
    for (int len : {-1, -33, -160, -1600, -2147483647 - 1})
        EXPECT_EQ(encode(in.data(), len, out.data()), -1) << "length " << len;
    EXPECT_TRUE(untouched(out));
}

TEST(CodecEncode, RefusesMissingBuffers) {
    const auto in = ulawsignal(160, 4);
    std::vector<unsigned char> out(33, SENTINEL);
    EXPECT_EQ(encode(nullptr, 160, out.data()), -1);
    EXPECT_EQ(encode(in.data(), 160, nullptr), -1);
    EXPECT_TRUE(untouched(out));
}

TEST(CodecEncode, SameBlockGivesSameFramesWhateverCameBefore) {
    const auto a = ulawsignal(1600, 5);
    const auto b = ulawsignal(1600, 6);
    const auto first = encoded(a);
    const auto other = encoded(b);
    const auto noise = encoded(noisebytes(3200, 7));
    const auto again = encoded(a);
    EXPECT_EQ(first, again);
    EXPECT_NE(first, other);
    // A block starts from a cleared state: the first half of a packet encodes to exactly the
    // first five frames of the whole packet.
    const std::vector<unsigned char> half(a.begin(), a.begin() + 800);
    const auto halfframes = encoded(half);
    EXPECT_TRUE(std::equal(halfframes.begin(), halfframes.end(), first.begin()));
}

TEST(CodecDecode, WholeFramesGiveOneHundredSixtySamplesEach) {
    const auto frames = encoded(ulawsignal(1600, 8));
    std::vector<unsigned char> out(1700, SENTINEL);
    EXPECT_EQ(decode(frames.data(), 330, out.data()), 1600);
    EXPECT_EQ(out[1600], SENTINEL) << "wrote past the 1600 bytes of a packet";
    EXPECT_EQ(decode(frames.data(), 165, out.data()), 800);
    EXPECT_EQ(decode(frames.data(), 33, out.data()), 160);
    EXPECT_EQ(decode(frames.data(), 0, out.data()), 0);
}

TEST(CodecDecode, RefusesPartialFramesAndNegativeLengthsWithoutWriting) {
    auto frames = encoded(ulawsignal(3200, 9));
    frames.resize(700, 0xD0);
    std::vector<unsigned char> out(4000, SENTINEL);
    EXPECT_EQ(decode(frames.data(), 331, out.data()), -1);
    for (int len = 1; len <= 660; ++len) {
        if (len % 33 == 0) continue;
        ASSERT_EQ(decode(frames.data(), len, out.data()), -1) << "length " << len;
    }
    for (int len : {-1, -33, -330, -2147483647 - 1})
        EXPECT_EQ(decode(frames.data(), len, out.data()), -1) << "length " << len;
    EXPECT_EQ(decode(nullptr, 33, out.data()), -1);
    EXPECT_EQ(decode(frames.data(), 33, nullptr), -1);
    EXPECT_TRUE(untouched(out));
}

TEST(CodecDecode, FrameWithoutSignatureRefusesTheWholeBlock) {
    const auto good = encoded(ulawsignal(1600, 10));
    std::vector<unsigned char> out(1600, SENTINEL);
    for (std::size_t frame : {0u, 1u, 9u}) {
        for (unsigned nibble = 0; nibble < 16; ++nibble) {
            if (nibble == 0xD) continue;
            auto bad = good;
            bad[frame * 33] = static_cast<unsigned char>((nibble << 4) | (bad[frame * 33] & 0x0F));
            ASSERT_EQ(decode(bad.data(), 330, out.data()), -1)
                << "frame " << frame << " nibble " << nibble;
        }
    }
    // A refused block leaves nothing half-written behind.
    EXPECT_TRUE(untouched(out));
    // The untouched block still decodes.
    EXPECT_EQ(decode(good.data(), 330, out.data()), 1600);
}

TEST(CodecDecode, GarbageFramesDecodeOrAreRefusedWithoutCrashing) {
    std::vector<unsigned char> out(1600);
    int refused = 0;
    for (std::uint32_t seed = 1; seed <= 200; ++seed) {
        auto junk = noisebytes(330, seed);
        const int n = decode(junk.data(), 330, out.data());
        EXPECT_TRUE(n == -1 || n == 1600);
        refused += n == -1;
        // With every signature set, any bit pattern is a frame the decoder must take.
        for (std::size_t f = 0; f < 330; f += 33)
            junk[f] = static_cast<unsigned char>(0xD0 | (junk[f] & 0x0F));
        ASSERT_EQ(decode(junk.data(), 330, out.data()), 1600) << "seed " << seed;
    }
    EXPECT_GT(refused, 150); // 10 random nibbles are all 0xD only once in about 10^12
}

TEST(CodecDecode, SameFramesGiveSameSamplesWhateverCameBefore) {
    const auto frames = encoded(ulawsignal(1600, 11));
    const auto first = decoded(frames);
    decoded(encoded(noisebytes(1600, 12)));
    EXPECT_EQ(decoded(frames), first);
}

TEST(CodecDecode, SilenceStaysQuiet) {
    const std::vector<unsigned char> silence(1600, 0xFF);
    for (unsigned char code : decoded(encoded(silence)))
        ASSERT_LE(std::abs(ulaw2linear(code)), 64) << "code " << int(code);
}

TEST(CodecUlaw, ExpansionOfTheEdgeCodes) {
    EXPECT_EQ(ulaw2linear(0x00), -32124);
    EXPECT_EQ(ulaw2linear(0x80), 32124);
    EXPECT_EQ(ulaw2linear(0xFF), 0);
    EXPECT_EQ(ulaw2linear(0x7F), 0);
}

TEST(CodecUlaw, CompressionOfTheEdgeSamples) {
    EXPECT_EQ(linear2ulaw(0), 0xFF);
    EXPECT_EQ(linear2ulaw(32767), 0x80);
    EXPECT_EQ(linear2ulaw(-32768), 0x00);
    EXPECT_EQ(linear2ulaw(-1), 0x7F);
}

TEST(CodecUlaw, EveryCodeRoundTrips) {
    for (int c = 0; c < 256; ++c) {
        const auto code = static_cast<unsigned char>(c);
        const unsigned char expect = c == 0x7F ? 0xFF : code;
        EXPECT_EQ(linear2ulaw(ulaw2linear(code)), expect) << "code " << c;
    }
}

TEST(CodecUlaw, ExpansionIsSymmetricAndOrdered) {
    for (int c = 0; c < 128; ++c) {
        const auto neg = static_cast<unsigned char>(c);
        const auto pos = static_cast<unsigned char>(c | 0x80);
        EXPECT_EQ(ulaw2linear(neg), -ulaw2linear(pos)) << "code " << c;
        EXPECT_LE(ulaw2linear(neg), 0);
        EXPECT_GE(ulaw2linear(pos), 0);
        if (c > 0) {
            // Codes 0x00..0x7F climb from the most negative value towards 0, 0x80..0xFF fall
            // from the most positive value towards 0.
            EXPECT_LT(ulaw2linear(static_cast<unsigned char>(c - 1)), ulaw2linear(neg))
                << "code " << c;
            EXPECT_GT(ulaw2linear(static_cast<unsigned char>((c - 1) | 0x80)), ulaw2linear(pos))
                << "code " << c;
        }
    }
}

TEST(CodecUlaw, CompressionIsMonotonicAndClose) {
    int previous = -32768;
    for (int x = -32768; x <= 32767; ++x) {
        const int back = ulaw2linear(linear2ulaw(static_cast<std::int16_t>(x)));
        ASSERT_GE(back, previous) << "sample " << x;
        previous = back;
        ASSERT_TRUE(x < 0 ? back <= 0 : back >= 0) << "sample " << x;
        // Within one quantisation step (which grows with the magnitude) up to the largest
        // code; beyond it the largest magnitude is kept.
        const int mag = std::abs(x);
        const int err = std::abs(back - x);
        if (mag <= 32124)
            ASSERT_LE(err, (mag + 132) / 16 + 1) << "sample " << x;
        else
            ASSERT_EQ(std::abs(back), 32124) << "sample " << x;
    }
}

TEST(CodecVersion, PrintsTheVersionLineAndNothingElsePrints) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const auto in = ulawsignal(1600, 13);
    std::vector<unsigned char> frames(330), back(1600);
    encode(in.data(), 1600, frames.data());
    decode(frames.data(), 330, back.data());
    encode(in.data(), 17, frames.data());
    frames[0] = 0x00;
    decode(frames.data(), 330, back.data());
    kpx::prncod();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "CODEC: V1.48\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}
