// Cross-check with the reference GSM tool `toast`: our blocks must equal what the tool makes
// of the same 16-bit samples from a fresh start, in both directions. The tool is fed linear
// samples made by our own ulaw2linear, so its own u-law tables play no part.
#include "codec.h"
#include "testsignal.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;

namespace {

std::string toastpath() {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/toast";
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

// Runs toast with `args` on `input`, writing its standard output to `output`.
void runtoast(const std::vector<std::string>& args, const std::string& output) {
    const std::string exe = toastpath();
    ASSERT_FALSE(exe.empty()) << "toast (package libgsm-tools) is needed for this test";
    kpxtest::Process::Options opt;
    opt.outfile = output;
    kpxtest::Process p(exe, args, opt);
    ASSERT_TRUE(p.wait(20s)) << "toast did not finish";
    ASSERT_EQ(p.exitcode(), 0) << p.err();
}

std::vector<unsigned char> linearbytes(const std::vector<unsigned char>& ulaw) {
    std::vector<unsigned char> bytes(ulaw.size() * 2);
    for (std::size_t i = 0; i < ulaw.size(); ++i) {
        const std::int16_t s = kpx::ulaw2linear(ulaw[i]);
        std::memcpy(&bytes[2 * i], &s, 2); // host byte order, as the tool reads it
    }
    return bytes;
}

std::vector<unsigned char> ulawfromlinear(const std::vector<unsigned char>& bytes) {
    std::vector<unsigned char> ulaw(bytes.size() / 2);
    for (std::size_t i = 0; i < ulaw.size(); ++i) {
        std::int16_t s;
        std::memcpy(&s, &bytes[2 * i], 2);
        ulaw[i] = kpx::linear2ulaw(s);
    }
    return ulaw;
}

// Encodes one block with toast (a fresh run, so a fresh state) and with our layer, then
// decodes the frames with `toast -d` and with our layer, and compares both directions.
void crosscheck(const std::vector<unsigned char>& block) {
    ASSERT_EQ(block.size() % 160, 0u);
    kpxtest::TempDir dir;
    kpxtest::writebytes(dir.file("in.l"), linearbytes(block));
    runtoast({"-c", "-l", dir.file("in.l")}, dir.file("ref.gsm"));
    const auto reference = kpxtest::readbytes(dir.file("ref.gsm"));
    ASSERT_EQ(reference.size(), block.size() / 160 * 33);

    std::vector<unsigned char> ours(reference.size());
    ASSERT_EQ(kpx::encode(block.data(), static_cast<int>(block.size()), ours.data()),
              static_cast<int>(ours.size()));
    EXPECT_EQ(ours, reference) << "encoded frames differ from the tool's";

    runtoast({"-d", "-c", "-l", dir.file("ref.gsm")}, dir.file("ref.l"));
    const auto refsamples = kpxtest::readbytes(dir.file("ref.l"));
    ASSERT_EQ(refsamples.size(), block.size() * 2);
    std::vector<unsigned char> decoded(block.size());
    ASSERT_EQ(kpx::decode(reference.data(), static_cast<int>(reference.size()), decoded.data()),
              static_cast<int>(decoded.size()));
    EXPECT_EQ(decoded, ulawfromlinear(refsamples)) << "decoded samples differ from the tool's";
}

} // namespace

TEST(CodecToast, SpeechLikePacketsMatchTheTool) {
    for (std::uint32_t seed : {21u, 22u, 23u}) {
        SCOPED_TRACE(seed);
        crosscheck(codectest::ulawsignal(1600, seed));
    }
}

TEST(CodecToast, FullScaleNoiseMatchesTheTool) {
    // Random u-law codes: full-scale noise that drives every clipping path of the coder.
    crosscheck(codectest::noisebytes(1600, 31));
}

TEST(CodecToast, QuietAndShortBlocksMatchTheTool) {
    crosscheck(std::vector<unsigned char>(1600, 0xFF));
    crosscheck(codectest::ulawsignal(800, 32)); // the short packet of a live sender
    crosscheck(codectest::ulawsignal(160, 33));
}

TEST(CodecToast, ArbitraryFramesDecodeLikeTheTool) {
    // Frames that no encoder made: random bits behind a valid signature.
    auto frames = codectest::noisebytes(330, 34);
    for (std::size_t f = 0; f < frames.size(); f += 33)
        frames[f] = static_cast<unsigned char>(0xD0 | (frames[f] & 0x0F));
    kpxtest::TempDir dir;
    kpxtest::writebytes(dir.file("x.gsm"), frames);
    runtoast({"-d", "-c", "-l", dir.file("x.gsm")}, dir.file("x.l"));
    const auto refsamples = kpxtest::readbytes(dir.file("x.l"));
    ASSERT_EQ(refsamples.size(), 3200u);
    std::vector<unsigned char> decoded(1600);
    ASSERT_EQ(kpx::decode(frames.data(), 330, decoded.data()), 1600);
    EXPECT_EQ(decoded, ulawfromlinear(refsamples));
}
