// The embedded default programme: raw 8-bit u-law, 8000 samples/s, 20 to 25 seconds of
// actual speech, and every packet of it encodes.
#include "codec.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

std::vector<unsigned char> programme() {
    return kpxtest::readbytes(kpxtest::sourcedir() + "/server/programme.ul");
}

} // namespace

TEST(DefaultProgramme, LastsTwentyToTwentyFiveSeconds) {
    ASSERT_TRUE(kpxtest::exists(kpxtest::sourcedir() + "/server/programme.ul"));
    const auto ul = programme();
    EXPECT_GE(ul.size(), 20u * 8000u);
    EXPECT_LE(ul.size(), 25u * 8000u);
    EXPECT_LT(ul.size(), 200u * 1024u);
}

TEST(DefaultProgramme, IsSpeechNotSilence) {
    const auto ul = programme();
    ASSERT_FALSE(ul.empty());
    // Speech has pauses, but a good share of its samples is well away from zero, and its
    // loudest parts come near full scale without being stuck there.
    std::size_t audible = 0, clipped = 0;
    int peak = 0;
    for (unsigned char code : ul) {
        const int mag = std::abs(kpx::ulaw2linear(code));
        audible += mag > 1000;
        clipped += mag >= 32124;
        peak = std::max(peak, mag);
    }
    EXPECT_GT(audible, ul.size() / 5) << "too little of the programme is audible";
    EXPECT_GT(peak, 8000) << "the programme is too quiet";
    EXPECT_LT(clipped, ul.size() / 100) << "the programme is clipped";
    // Neither end is cut off in the middle of a sound, so the loop back to the start is soft.
    EXPECT_LT(std::abs(kpx::ulaw2linear(ul.front())), 1000);
    EXPECT_LT(std::abs(kpx::ulaw2linear(ul.back())), 1000);
}

TEST(DefaultProgramme, EveryPacketEncodesAndDecodes) {
    const auto ul = programme();
    ASSERT_GE(ul.size(), 1600u);
    unsigned char frames[330];
    unsigned char back[1600];
    for (std::size_t pos = 0; pos + 1600 <= ul.size(); pos += 1600) {
        ASSERT_EQ(kpx::encode(ul.data() + pos, 1600, frames), 330) << "at byte " << pos;
        ASSERT_EQ(kpx::decode(frames, 330, back), 1600) << "at byte " << pos;
    }
}
