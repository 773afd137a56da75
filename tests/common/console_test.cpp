#include "console.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

TEST(Console, BannerIsA43CharacterBox) {
    for (auto [kind, version] :
         {std::pair{"SERVER     ", "1.10     "}, std::pair{"Win32sClient", "0.1alpha"}}) {
        CaptureStdout();
        kpx::printbanner(kind, version);
        const std::string out = GetCapturedStdout();
        const auto l = lines(out);
        ASSERT_EQ(l.size(), 7u);
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(l[i].size(), 43u) << l[i];
            EXPECT_EQ(l[i].front(), '*');
            EXPECT_EQ(l[i].back(), '*');
        }
        EXPECT_EQ(l[0], std::string(43, '*'));
        EXPECT_EQ(l[1].rfind("* KPX - Korvanet ", 0), 0u);
        EXPECT_EQ(l[2], std::string("* ") + kind + "  Version " + version + "          *");
        EXPECT_EQ(l[4], "*     No warranty. Use at your own risk.  *");
        EXPECT_EQ(l[6], "");
    }
}

TEST(Console, SeparatorAndTimeStamp) {
    CaptureStderr();
    kpx::prnline();
    EXPECT_EQ(GetCapturedStderr(), std::string(79, '-') + "\n");

    setenv("TZ", "UTC", 1);
    tzset();
    CaptureStderr();
    kpx::prntime(1733670154); // 2024-12-08 15:02:34 UTC
    EXPECT_EQ(GetCapturedStderr(), "Sun Dec  8 15:02:34 2024:\n");
    EXPECT_EQ(kpx::timetext(0), "Thu Jan  1 00:00:00 1970");
}

TEST(Console, HtmlEscape) {
    EXPECT_EQ(kpx::htmlescape("a&b<c>\"d'e"), "a&amp;b&lt;c&gt;&quot;d&#39;e");
    EXPECT_EQ(kpx::htmlescape("http://relay.example/x?a=1"), "http://relay.example/x?a=1");
}

} // namespace
