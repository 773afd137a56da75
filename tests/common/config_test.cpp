#include "config.h"
#include "globals.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using kpx::g;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

const char* const kNoSense = "ERROR parsing ini-file: Line %d makes no sense.\n";

std::string nosense(int line) {
    char buf[80];
    std::snprintf(buf, sizeof buf, kNoSense, line);
    return buf;
}

class Config : public testing::Test {
  protected:
    void SetUp() override { kpx::setdefaults(kpx::serverprofile); }

    // Reads `text` as the configuration file and returns what was printed.
    std::string readtext(const std::string& text) {
        const std::string path = dir.file("kpx.conf");
        kpxtest::writefile(path, text);
        g.inifile = path;
        CaptureStderr();
        kpx::readini();
        return GetCapturedStderr();
    }

    // Parses one line as line 1 and returns what was printed.
    std::string line(const std::string& text) {
        g.inilinecount = 1;
        CaptureStderr();
        kpx::parseinp(text);
        return GetCapturedStderr();
    }

    kpxtest::TempDir dir;
};

TEST(GetParam, SplitsAtRunsOfEqualsBlankAndNewlineOnly) {
    EXPECT_EQ(kpx::getparam("live = no\n", 0), "live");
    EXPECT_EQ(kpx::getparam("live = no\n", 1), "no");
    EXPECT_EQ(kpx::getparam("live==NO", 1), "NO");
    EXPECT_EQ(kpx::getparam("  @KILL=1 x y\n", 2), "x");
    EXPECT_EQ(kpx::getparam("a b\n", 2), "");
    EXPECT_EQ(kpx::getparam("= = =\n", 0), "");
    EXPECT_EQ(kpx::getparam("", 0), "");
    EXPECT_EQ(kpx::getparam("live\t=\tno\n", 0), "live\t");
    EXPECT_EQ(kpx::getparam("live = no\r\n", 1), "no\r");
}

TEST(GetParam, CutsOverlongTokensToTheirBuffer) {
    const std::string longword(500, 'k');
    EXPECT_EQ(kpx::getcommand(longword + " v").size(), 95u);
    EXPECT_EQ(kpx::getparam("k " + longword, 1).size(), 127u);
    EXPECT_EQ(kpx::getparam("k a " + longword, 2, 1031).size(), 500u);
    EXPECT_EQ(kpx::getparam("k a " + std::string(2000, 'u'), 2, 1031).size(), 1031u);
}

// One line read from the defaults: whether it passes without a complaint, and what the setting
// then holds.
TEST_F(Config, KeysTakeTheirValuesAndRefuseOthers) {
    using Get = std::function<std::string()>;
    const Get live = [] { return std::to_string(g.live); };
    const Get ignsign = [] { return std::to_string(g.ignsign); };
    const Get bcons = [] { return std::to_string(g.allowbcons); };
    const Get maxc = [] { return std::to_string(g.maxclients); };
    const Get idle = [] { return std::to_string(g.guard.upstreamidle); };
    const Get cmd = [] { return g.listname; };
    const Get rep = [] { return g.resdir; };
    struct Case {
        std::string line;
        bool quiet;
        Get field;
        std::string value;
    };
    const std::vector<Case> cases = {
        // Comments, empty lines; keys without a value, unknown or cut to 95 characters.
        {"# comment\n", true, live, "1"},
        {"   ; comment\n", true, live, "1"},
        {"// comment\n", true, live, "1"},
        {"= = =\n", true, live, "1"},
        {"\n", true, live, "1"},
        {"", true, live, "1"},
        {"inputdevice\n", false, [] { return g.outputdevice; }, "/dev/audio"},
        {"colour = blue\n", false, live, "1"},
        {std::string(200, 'x') + " = 1\n", false, live, "1"},
        {"commandfile = " + std::string(200, 'c') + "\n", true, cmd, std::string(127, 'c')},
        // Switches only turn off: their word in any letter case, or exactly "0".
        {"live=no\n", true, live, "0"},
        {"LIVE NO\n", true, live, "0"},
        {"live==NO\n", true, live, "0"},
        {"live = 0\n", true, live, "0"},
        {"live = yes\n", true, live, "1"},
        {"ignsign = OFF\n", true, ignsign, "0"},
        {"ignsign = on\n", true, ignsign, "1"},
        {"broadcasters = Deny\n", true, bcons, "0"},
        {"broadcasters = 00\n", true, bcons, "1"},
        // Tabs and carriage returns belong to the tokens.
        {"live\t=\tno\n", false, live, "1"},
        {"live = no\r\n", true, live, "1"},
        {"commandfile = /tmp/cmd\r\n", true, cmd, "/tmp/cmd\r"},
        // maxclients as atoi reads it, 1 to 10.
        {"maxclients = 0\n", false, maxc, "10"},
        {"maxclients = 11\n", false, maxc, "10"},
        {"maxclients = many\n", false, maxc, "10"},
        {"maxclients = -3\n", false, maxc, "10"},
        {"maxclients = 99999999999999999999\n", false, maxc, "10"},
        {"maxclients = 5\n", true, maxc, "5"},
        {"MaxClients = +7clients\n", true, maxc, "7"},
        // Seconds: a number >= 0 and nothing else.
        {"upstreamidle = 0\n", true, idle, "0"},
        {"upstreamidle = 5s\n", false, idle, "30"},
        {"upstreamidle = -1\n", false, idle, "30"},
        // Paths; one trailing slash of the report directory goes.
        {"inputdevice = /srv/show.ul\n", true, [] { return g.outputdevice; }, "/srv/show.ul"},
        {"errorhtml = /srv/e.html\n", true, [] { return g.errorfile; }, "/srv/e.html"},
        {"SUCCESSHTML = /srv/s.html\n", true, [] { return g.okfile; }, "/srv/s.html"},
        {"repdir = /var/reports/\n", true, rep, "/var/reports"},
        {"repdir = /\n", true, rep, ""},
        {"repdir = /a//\n", true, rep, "/a/"},
        {"relayurls = http://relay.test/\n", true, [] { return g.guard.relayurls.at(0); },
         "http://relay.test/"},
    };
    for (const Case& c : cases) {
        kpx::setdefaults();
        EXPECT_EQ(line(c.line), c.quiet ? "" : nosense(1)) << c.line;
        EXPECT_EQ(c.field(), c.value) << c.line;
    }
}

// Whole files: the lines that make no sense, live and maxclients after them, and the reads.
TEST_F(Config, ReadsTheFileLineByLine) {
    std::string longline(300, 'y'); // read in pieces of 254 and 46 (plus newline), two lines
    longline.front() = 'x';
    struct Case {
        std::string text;
        std::vector<int> nosense;
        int live, maxclients, reads;
    };
    const std::vector<Case> cases = {
        {"# kpx\nlive = no\nbogus = 1\nmaxclients = 3\n", {3}, 0, 3, 5},
        {"maxclients = 4\nlive = no", {}, 1, 4, 2}, // a last line without newline is not applied
        {longline + "\nnonsense = 1\n", {1, 2, 3}, 1, 10, 4},
    };
    for (const Case& c : cases) {
        kpx::setdefaults();
        std::string expected = "Parsing " + dir.file("kpx.conf") + ".\n";
        for (int n : c.nosense)
            expected += nosense(n);
        EXPECT_EQ(readtext(c.text), expected) << c.text;
        EXPECT_EQ(g.live, c.live) << c.text;
        EXPECT_EQ(g.maxclients, c.maxclients) << c.text;
        EXPECT_EQ(g.inilinecount, c.reads) << c.text; // the lines and the read that meets the end
    }
}

TEST_F(Config, BinaryAndNulBytesDoNotHurt) {
    std::string text = "live = no";
    text += '\0';
    text += "garbage\n\x01\x02\xff\xfe = \x80\n";
    text += std::string(1000, '\0') + "\nmaxclients = 2\n";
    const std::string out = readtext(text);
    EXPECT_EQ(g.live, 0);
    EXPECT_EQ(g.maxclients, 2);
    EXPECT_NE(out.find("makes no sense"), std::string::npos);
}

TEST_F(Config, MissingOrDirectoryFileKeepsDefaults) {
    g.inifile = dir.file("absent.conf");
    CaptureStderr();
    kpx::readini();
    EXPECT_EQ(GetCapturedStderr(), "Ini-file '" + g.inifile + "': No such file or directory\n");
    g.inifile = dir.path();
    CaptureStderr();
    kpx::readini();
    EXPECT_EQ(GetCapturedStderr(), "Ini-file '" + g.inifile + "': Is a directory\n");
    EXPECT_EQ(g.live, 1);
    EXPECT_EQ(g.maxclients, 10);
    EXPECT_EQ(g.listname, "/tmp/kpx-commands");
}

TEST_F(Config, BroadcasterOnlyAnnouncesLiveAndInputdevice) {
    kpx::setdefaults(kpx::relayprofile);
    EXPECT_EQ(line("live = no\n"), "Live is always 'yes' on a broadcaster\n");
    EXPECT_EQ(g.live, 1);
    EXPECT_EQ(line("inputdevice = /dev/audio\n"),
              "inputdevice does not make sense. This is a broadcaster!\n");
    EXPECT_EQ(g.outputdevice, "");
    EXPECT_EQ(line("live\n"), nosense(1));
    EXPECT_EQ(line("maxclients = 2\n"), "");
    EXPECT_EQ(g.maxclients, 2);
}

} // namespace
