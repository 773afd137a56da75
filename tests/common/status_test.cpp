// The status file in process: what the writer puts in it, that a reader never sees a part of
// it, the once-a-second limit; and its two views, the operator's table and the public page.
#include "globals.h"
#include "statusfile.h"
#include "statusview.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

using kpxtest::TempDir;

class StatusFile : public ::testing::Test {
  protected:
    void SetUp() override {
        kpx::setdefaults(kpx::serverprofile);
        kpx::g.statusfile = dir.file("status.json");
    }
    void TearDown() override { kpx::setdefaults(kpx::serverprofile); }
    kpx::Json read() {
        auto j = kpx::parsejson(kpxtest::readfile(kpx::g.statusfile));
        EXPECT_TRUE(j.has_value()) << kpxtest::readfile(kpx::g.statusfile);
        return j.value_or(kpx::Json{});
    }
    void peer(int slot, const std::string& name, kpx::quad start, int relay) {
        auto& m = kpx::g.machine[static_cast<std::size_t>(slot)];
        m.name = name;
        m.startpacket = start;
        m.bcast = relay;
        m.since = 1000 + slot;
    }
    TempDir dir;
};

TEST_F(StatusFile, PictureOfTheTables) {
    kpx::g.live = 0;
    kpx::g.started = 900;
    kpx::g.maxclients = 3;
    kpx::g.packetcount = 104;
    // 50 and 4 packets received: killsock would report 16500 bytes (10 s) and 1320 bytes (0 s).
    peer(0, "a\"quote\\.x.y", 54, 0);
    peer(1, std::string("relay.\xff.\x01"), 100, 1);
    kpx::g.clientcount = 2;
    kpx::g.distributor[0] = {"relay.\xff.\x01", "http://r.example/?a=\"<b>\"",
                             "https://r.example/b"};
    kpx::g.distcount = 1;
    kpx::statuschanged();

    const kpx::Json j = read();
    EXPECT_EQ(kpx::str(j, "role"), "server");
    EXPECT_EQ(kpx::str(j, "mode"), "playback");
    EXPECT_TRUE(kpx::yes(j, "running"));
    EXPECT_EQ(kpx::num(j, "started"), 900);
    EXPECT_EQ(kpx::num(j, "packets"), 104);
    EXPECT_EQ(kpx::num(j, "maxclients"), 3);
    EXPECT_EQ(kpx::num(j, "clientcount"), 2);
    ASSERT_EQ(kpx::list(j, "peers").size(), 2U);
    const kpx::Json& p0 = kpx::list(j, "peers")[0];
    const kpx::Json& p1 = kpx::list(j, "peers")[1];
    EXPECT_EQ(kpx::str(p0, "name"), "a\"quote\\.x.y");
    EXPECT_EQ(kpx::num(p0, "bytes"), 16500);
    EXPECT_EQ(kpx::num(p0, "seconds"), 10);
    EXPECT_EQ(kpx::num(p0, "since"), 1000);
    EXPECT_FALSE(kpx::yes(p0, "relay"));
    EXPECT_EQ(kpx::num(p1, "slot"), 1);
    EXPECT_EQ(kpx::str(p1, "name"), "relay.\xc3\xbf.\x01"); // a stray byte is read as its character
    EXPECT_EQ(kpx::num(p1, "bytes"), 1320);
    EXPECT_EQ(kpx::num(p1, "seconds"), 0);
    EXPECT_TRUE(kpx::yes(p1, "relay"));
    ASSERT_EQ(kpx::list(j, "distribution").size(), 1U);
    EXPECT_EQ(kpx::str(kpx::list(j, "distribution")[0], "clienturl"),
              "http://r.example/?a=\"<b>\"");
    EXPECT_EQ(kpx::str(kpx::list(j, "distribution")[0], "bcasturl"), "https://r.example/b");

    struct stat st {};
    ASSERT_EQ(::stat(kpx::g.statusfile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640U);
    EXPECT_FALSE(kpxtest::exists(kpx::g.statusfile + ".new"));

    // A relay says whether its upstream is connected.
    kpx::setdefaults(kpx::relayprofile);
    kpx::g.statusfile = dir.file("status.json");
    kpx::statuschanged();
    EXPECT_EQ(kpx::str(read(), "role"), "broadcaster");
    EXPECT_EQ(kpx::str(read(), "mode"), "waiting");
    kpx::g.connection = 1;
    kpx::statuschanged();
    EXPECT_EQ(kpx::str(read(), "mode"), "connected");
}

TEST_F(StatusFile, AReaderNeverSeesAPart) {
    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, bad{0};
    kpx::statuschanged();
    std::thread reader([&] {
        while (!done) {
            const std::string text = kpxtest::readfile(kpx::g.statusfile);
            ++reads;
            if (!kpx::parsejson(text)) ++bad;
        }
    });
    for (int k = 0; k < 3000; ++k) {
        // Pictures of different sizes, so that a torn one could not parse.
        kpx::g.clientcount = k % 11;
        for (int i = 0; i < kpx::g.clientcount; ++i)
            peer(i, std::string(static_cast<std::size_t>(k % 200), 'n') + ".x.y", 0, 0);
        kpx::statuschanged();
    }
    done = true;
    reader.join();
    EXPECT_GT(reads.load(), 100);
    EXPECT_EQ(bad.load(), 0);
}

// In a shared directory another user may put "<status>.new" in place first: a link to a file
// of ours, or a hard link to one. The picture is written beside it, never through it.
TEST_F(StatusFile, APlantedNewFileIsNotWrittenThrough) {
    const std::string victim = dir.file("victim");
    const std::string planted = kpx::g.statusfile + ".new";
    for (const bool hardlink : {false, true}) {
        SCOPED_TRACE(hardlink ? "hard link" : "symbolic link");
        kpxtest::writefile(victim, "mine\n");
        std::remove(planted.c_str());
        std::remove(kpx::g.statusfile.c_str());
        ASSERT_EQ(hardlink ? ::link(victim.c_str(), planted.c_str())
                           : ::symlink(victim.c_str(), planted.c_str()),
                  0);
        kpx::statuschanged();
        EXPECT_EQ(kpxtest::readfile(victim), "mine\n");
        EXPECT_EQ(kpx::str(read(), "role"), "server");
        struct stat st {};
        ASSERT_EQ(::lstat(kpx::g.statusfile.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_nlink, 1U);
    }
}

TEST_F(StatusFile, TicksWriteAtMostOnceASecond) {
    kpx::statuschanged();
    std::remove(kpx::g.statusfile.c_str());
    kpx::statustick();
    EXPECT_FALSE(kpxtest::exists(kpx::g.statusfile));
    std::this_thread::sleep_for(std::chrono::milliseconds(1050));
    kpx::statustick();
    EXPECT_TRUE(kpxtest::exists(kpx::g.statusfile));
    // Settings put back to their defaults start a fresh writer: its first tick writes at once.
    std::remove(kpx::g.statusfile.c_str());
    kpx::setdefaults(kpx::serverprofile);
    kpx::g.statusfile = dir.file("status.json");
    kpx::statustick();
    EXPECT_TRUE(kpxtest::exists(kpx::g.statusfile));
    kpx::g.statusfile.clear(); // none configured: nothing is written
    kpx::statuschanged();
}

constexpr std::time_t now = 2000000000;

// The public page and the operator's table from one status text each.
TEST(StatusViews, PageAndTable) {
    TempDir dir;
    auto status = [](const std::string& extra, long updated = now, const char* running = "true") {
        return "{\"role\": \"server\", \"mode\": \"live\", \"running\": " + std::string(running) +
               ", \"started\": " + std::to_string(now - 3725) +
               ", \"since\": " + std::to_string(now - 3725) +
               ", \"updated\": " + std::to_string(updated) +
               ", \"packets\": 18625, \"maxclients\": 4, "
               "\"clientcount\": 2, \"peers\": [{\"slot\": 0, \"name\": \"10.9.8.7\", \"since\": " +
               std::to_string(now - 61) +
               ", \"bytes\": 19800, \"seconds\": 12, \"relay\": false}, "
               "{\"slot\": 1, \"name\": \"relay.host.example\", \"since\": 0, \"bytes\": 0, "
               "\"seconds\": 0, \"relay\": true}], \"distribution\": [" +
               extra + "]}";
    };
    const std::string relay =
        "{\"name\": \"relay.host.example\", \"clienturl\": "
        "\"http://r.example/l?a=1&b=\\\"<x>\\\"\", \"bcasturl\": \"http://r.example/b\"}";
    const std::string script = "{\"name\": \"evil.host.example\", \"clienturl\": "
                               "\"javascript:alert(1)\", \"bcasturl\": \"x\"}";
    struct Case {
        std::string file; // "" : no status file configured; "-": configured but missing
        std::vector<std::string> shown, hidden;
    };
    const std::vector<Case> cases = {
        {"", {"Not on air: this web server does not know"}, {"Listeners now"}},
        {"-", {"Not on air: the broadcast has not published"}, {"Listeners now"}},
        {"{\"role\":", {"Not on air: the broadcast has not published"}, {}},
        {status("", now - 11), {">Not on air.<"}, {"Listeners now"}},
        {status("", now, "false"), {">Not on air.<"}, {"Listeners now"}},
        {status(relay + ", " + script),
         {"class=\"onair\">On air since", "(live)", "<span id=\"listeners\">2</span>",
          "<span id=\"maxclients\">4</span>", "(relays included: 1)",
          "<li><a href=\"http://r.example/l?a=1&amp;b=&quot;&lt;x&gt;&quot;\">"},
         {"10.9.8.7", "relay.host.example", "evil.host.example", "javascript:", "<x>"}},
        {status(""), {"No relay is listed."}, {"<ul"}},
    };
    for (const auto& c : cases) {
        std::string path;
        if (!c.file.empty()) {
            path = dir.file("status.json");
            std::remove(path.c_str());
            if (c.file != "-") kpxtest::writefile(path, c.file);
        }
        const std::string page = kpx::statuspage(path, now);
        for (const auto& s : c.shown)
            EXPECT_NE(page.find(s), std::string::npos) << s << "\n" << page;
        for (const auto& s : c.hidden)
            EXPECT_EQ(page.find(s), std::string::npos) << s << "\n" << page;
    }

    const std::string table = kpx::statustable(*kpx::parsejson(status(relay)), now);
    for (const char* s :
         {"KPX server, live, started", "On air since", "(1:02:05)",
          "18625 packets so far; 2 of 4 places taken.", "   0  10.9.8.7",
          "0:01:01      0:00:12        19800  no\n", "  yes\n",
          "  relay.host.example  http://r.example/l?a=1&b=\"<x>\"  http://r.example/b\n"})
        EXPECT_NE(table.find(s), std::string::npos) << s << "\n" << table;
    EXPECT_EQ(kpx::duration(90061), "1d 01:01:01");
}

} // namespace
