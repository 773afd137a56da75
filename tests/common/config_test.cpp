#include "config.h"
#include "globals.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <string>

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

TEST_F(Config, LiveSpellingsSelectPlayback) {
    for (const char* text : {"live=no\n", "live = no\n", "LIVE NO\n", "live==NO\n", "live = 0\n"}) {
        kpx::setdefaults();
        EXPECT_EQ(line(text), "") << text;
        EXPECT_EQ(g.live, 0) << text;
    }
}

TEST_F(Config, SwitchesOnlyTurnOff) {
    EXPECT_EQ(line("live = yes\n"), "");
    EXPECT_EQ(g.live, 1);
    EXPECT_EQ(line("ignsign = OFF\n"), "");
    EXPECT_EQ(g.ignsign, 0);
    EXPECT_EQ(line("ignsign = on\n"), "");
    EXPECT_EQ(g.ignsign, 0);
    EXPECT_EQ(line("broadcasters = Deny\n"), "");
    EXPECT_EQ(g.allowbcons, 0);
    EXPECT_EQ(line("broadcasters = allow\n"), "");
    EXPECT_EQ(g.allowbcons, 0);
    kpx::setdefaults();
    EXPECT_EQ(line("broadcasters = 00\n"), ""); // only "0" exactly
    EXPECT_EQ(g.allowbcons, 1);
}

TEST_F(Config, TabsAndCarriageReturnsBelongToTokens) {
    EXPECT_EQ(line("live\t=\tno\n"), nosense(1));
    EXPECT_EQ(g.live, 1);
    EXPECT_EQ(line("live = no\r\n"), "");
    EXPECT_EQ(g.live, 1);
    EXPECT_EQ(line("commandfile = /tmp/cmd\r\n"), "");
    EXPECT_EQ(g.listname, "/tmp/cmd\r");
}

TEST_F(Config, MaxclientsAcceptsOneToTen) {
    for (const char* bad : {"maxclients = 0\n", "maxclients = 11\n", "maxclients = many\n",
                            "maxclients = -3\n", "maxclients = 99999999999999999999\n"}) {
        EXPECT_EQ(line(bad), nosense(1)) << bad;
        EXPECT_EQ(g.maxclients, 10) << bad;
    }
    EXPECT_EQ(line("maxclients = 5\n"), "");
    EXPECT_EQ(g.maxclients, 5);
    EXPECT_EQ(line("MaxClients = +7clients\n"), "");
    EXPECT_EQ(g.maxclients, 7);
    EXPECT_EQ(line("maxclients = 11\n"), nosense(1));
    EXPECT_EQ(g.maxclients, 7);
}

TEST_F(Config, PathKeys) {
    EXPECT_EQ(line("inputdevice = /srv/show.ul\n"), "");
    EXPECT_EQ(line("commandfile = /srv/cmd\n"), "");
    EXPECT_EQ(line("errorhtml = /srv/e.html\n"), "");
    EXPECT_EQ(line("SUCCESSHTML = /srv/s.html\n"), "");
    EXPECT_EQ(line("repdir = /var/reports/\n"), "");
    EXPECT_EQ(g.outputdevice, "/srv/show.ul");
    EXPECT_EQ(g.listname, "/srv/cmd");
    EXPECT_EQ(g.errorfile, "/srv/e.html");
    EXPECT_EQ(g.okfile, "/srv/s.html");
    EXPECT_EQ(g.resdir, "/var/reports");
    EXPECT_EQ(line("repdir = /\n"), "");
    EXPECT_EQ(g.resdir, "");
    EXPECT_EQ(line("repdir = /a//\n"), ""); // only one trailing slash goes
    EXPECT_EQ(g.resdir, "/a/");
}

TEST_F(Config, CommentsEmptyLinesAndKeysWithoutValues) {
    for (const char* text : {"# comment\n", "   ; comment\n", "// comment\n", "= = =\n", "\n", ""})
        EXPECT_EQ(line(text), "") << text;
    EXPECT_EQ(line("inputdevice\n"), nosense(1));
    EXPECT_EQ(g.outputdevice, "/dev/audio");
    EXPECT_EQ(line("colour = blue\n"), nosense(1));
}

TEST_F(Config, OverlongKeysAndValuesAreCut) {
    EXPECT_EQ(line(std::string(200, 'x') + " = 1\n"), nosense(1));
    EXPECT_EQ(line("commandfile = " + std::string(200, 'c') + "\n"), "");
    EXPECT_EQ(g.listname, std::string(127, 'c'));
}

TEST_F(Config, ReadsTheFileAndCountsLines) {
    const std::string out = readtext("# kpx\nlive = no\nbogus = 1\nmaxclients = 3\n");
    EXPECT_EQ(out, "Parsing " + g.inifile + ".\n" + nosense(3));
    EXPECT_EQ(g.live, 0);
    EXPECT_EQ(g.maxclients, 3);
}

TEST_F(Config, LastLineWithoutNewlineIsNotApplied) {
    readtext("maxclients = 4\nlive = no");
    EXPECT_EQ(g.maxclients, 4);
    EXPECT_EQ(g.live, 1);
}

TEST_F(Config, LongLinesAreReadInPieces) {
    // 300 characters: pieces of 254 and 46 (plus newline), both counted as lines.
    const std::string longline = "x" + std::string(299, 'y') + "\n";
    const std::string out = readtext(longline + "nonsense = 1\n");
    EXPECT_EQ(out, "Parsing " + g.inifile + ".\n" + nosense(1) + nosense(2) + nosense(3));
    EXPECT_EQ(g.inilinecount, 4); // three lines and the read that meets the end
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
