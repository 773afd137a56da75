// kpxctl: the command lines it writes and refuses, its waits with the pause replaced, and
// the real program against the real server (listeners and relays on 127.0.8.x).
#include "ctl.h"
#include "hooks.h"
#include "liveserver.h"
#include "statusview.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <regex>

namespace {

using namespace std::chrono_literals;
using kpxtest::Process;
using kpxtest::TempDir;

TEST(KpxctlLines, WrittenOrRefused) {
    struct Case {
        std::vector<std::string> words;
        std::string line, problem;
    };
    const std::string n250 = std::string(246, 'h') + ".x.y", n252 = "hh" + n250;
    const std::vector<Case> cases = {
        {{"list"}, "@LIST\n", ""},
        {{"stop"}, "@STOP\n", ""},
        {{"kill", "1"}, "@KILL 1\n", ""},
        {{"connect", "192.0.2.7"}, "192.0.2.7\n", ""},
        {{"connect", n250}, n250 + "\n", ""},
        {{"bconnect", "r.example.org", "http://r.example.org/", "HTTPS://r.example.org/b"},
         "@BCONNECT r.example.org http://r.example.org/ HTTPS://r.example.org/b\n",
         ""},
        {{"kill", "x"}, "", "the slot 'x' is not a number"},
        {{"kill", "-1"}, "", "the slot '-1' is not a number"},
        {{"kill", "1 2"}, "", "is not a number"},
        {{"kill"}, "", "usage: kpxctl kill N"},
        {{"list", "all"}, "", "usage: kpxctl list"},
        {{"connect", "a/b.c.d"}, "", "'a/b.c.d' is not a host name"},
        {{"connect", "a.b.c\n@STOP"}, "", "is not a host name"},
        {{"connect", "localhost"}, "", "is not a host name"},
        {{"connect", n252}, "", "host name too long (252 characters)"},
        {{"bconnect", "r.example.org", "javascript:alert(1)", "http://b/"},
         "",
         "'javascript:alert(1)' is not a web address"},
        {{"bconnect", "r.example.org", "http://a/", "http://b/ c"}, "", "is not a web address"},
        {{"bconnect", "r.example.org", "http://" + std::string(500, 'a'),
          "http://" + std::string(500, 'b')},
         "",
         "the command line would be 1040 characters long"},
        {{"restart"}, "", "unknown command 'restart'"},
        {{}, "", "no command given"},
    };
    for (const auto& c : cases) {
        std::string problem;
        EXPECT_EQ(kpx::commandline(c.words, problem), c.line) << c.problem;
        EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
        EXPECT_EQ(problem.empty(), c.problem.empty()) << problem;
    }
}

// kpxctl_main in process with the 100 ms pause counted instead of slept.
class Kpxctl : public ::testing::Test {
  protected:
    void SetUp() override {
        kpx::hooks.pause = [this](long) {
            ++pauses;
            if (onpause) onpause(pauses);
        };
    }
    void TearDown() override { kpx::resethooks(); }
    int run(std::vector<std::string> args) {
        args.insert(args.begin(), "kpxctl");
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int status = kpx::kpxctl_main(static_cast<int>(argv.size()), argv.data());
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return status;
    }
    TempDir dir;
    int pauses = 0;
    std::function<void(int)> onpause;
    std::string out, err;
};

TEST_F(Kpxctl, NotTakenWithin10sIsWithdrawn) {
    const std::string cmd = dir.file("commands");
    std::string seen;
    onpause = [&](int n) {
        if (n == 50) seen = kpxtest::readfile(cmd);
    };
    EXPECT_EQ(run({"-f", cmd, "kill", "3"}), 1);
    EXPECT_EQ(seen, "@KILL 3\n");
    EXPECT_EQ(pauses, 1 + 101);
    EXPECT_NE(
        err.find(
            "'@KILL 3' was not taken within 10 s: no server or relay broadcaster is running with "
            "the command file '" +
            cmd + "' (a running one reads it at least once a second"),
        std::string::npos)
        << err;
    EXPECT_NE(err.find("The command was withdrawn."), std::string::npos);
    EXPECT_FALSE(kpxtest::exists(cmd));

    // Taken at the last moment and followed by another writer's request: that one stays.
    pauses = 0;
    onpause = [&](int n) {
        if (n == 101) kpxtest::writefile(cmd, "192.0.2.9\n");
    };
    EXPECT_EQ(run({"-f", cmd, "list"}), 0) << err;
    EXPECT_EQ(kpxtest::readfile(cmd), "192.0.2.9\n");
}

TEST_F(Kpxctl, BusyFileIsLeftAndNothingSent) {
    const std::string cmd = dir.file("commands");
    kpxtest::writefile(cmd, "someone.else.waiting\n");
    EXPECT_EQ(run({"-f", cmd, "stop"}), 1);
    EXPECT_NE(
        err.find(
            "still held another request after 10 s: no server or relay broadcaster is running"),
        std::string::npos)
        << err;
    EXPECT_EQ(kpxtest::readfile(cmd), "someone.else.waiting\n");
}

TEST_F(Kpxctl, BadPlacesAndInputWriteNothing) {
    std::filesystem::create_directory(dir.file("adir"));
    ::mkfifo(dir.file("fifo").c_str(), 0600);
    kpxtest::writefile(dir.file("plain"), "");
    kpxtest::writefile(dir.file("conf"), "commandfile = " + dir.file("fromconf") + "\nstatusfile " +
                                             dir.file("nostatus.json") + "\n");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"-f", dir.file("adir"), "list"}, 1, "is a directory, not a file the server reads"},
        {{"-f", dir.file("fifo"), "list"}, 1, "is a FIFO, not a file the server reads"},
        {{"-f", dir.file("missing/commands"), "list"},
         1,
         "cannot write the command file '" + dir.file("missing/commands") +
             "': No such file or directory: the directory " + dir.file("missing") +
             " does not exist"},
        {{"-f", dir.file("plain/commands"), "list"}, 1, "a part of the path is not a directory"},
        {{"-f", dir.file("x"), "connect", "evil/.x.y"}, 2, "'evil/.x.y' is not a host name"},
        {{"-f", dir.file("x"), "kill", "one"}, 2, "the slot 'one' is not a number"},
        {{"-f"}, 2, "-f needs a file name"},
        {{"-c", dir.file("noconf"), "list"}, 1, "cannot read the configuration"},
        {{"-c", dir.file("conf"), "status"},
         1,
         "status file '" + dir.file("nostatus.json") + "': No such file"},
        {{"status"}, 1, "no status file"},
        {{"status", "--xml"}, 2, "usage: kpxctl status [--json]"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run(c.args), c.status) << c.message;
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
    EXPECT_EQ(pauses, 0 + 1 + 1); // the two creation attempts pause once each
    EXPECT_FALSE(kpxtest::exists(dir.file("x")));
    EXPECT_FALSE(kpxtest::exists(dir.file("fromconf")));
}

// ---- The real program against the real server --------------------------------------------

struct Ran {
    int status;
    std::string out, err;
};

Ran kpxctl(const std::vector<std::string>& args, std::chrono::milliseconds limit = 20s) {
    Process p(kpxtest::program("kpxctl"), args);
    EXPECT_TRUE(p.wait(limit));
    return {p.exitcode(), p.out(), p.err()};
}

TEST(KpxctlServer, ListConnectKillStop) {
    TempDir state;
    gatewaytest::LiveServer s({"statusfile = " + state.file("status.json")});
    ASSERT_TRUE(s.ready()) << s.err();
    const std::string conf = s.dir().file("kpx.conf");
    Ran r = kpxctl({"-c", conf, "list"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("kpxctl: the server took '@LIST'."), std::string::npos) << r.out;
    EXPECT_NE(
        s.err().find(
            "Command '@LIST' given.\nStatistics:\nNo/IP\nNo client connected at this time!\n"),
        std::string::npos);

    kpxtest::FakeListener a("127.0.8.1"), b("127.0.8.2");
    for (const char* host : {"127.0.8.1", "127.0.8.2"}) {
        r = kpxctl({"-c", conf, "connect", host});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(
            r.out.find(std::string("Report: ") + host + ": Connection established. Enjoy KPX!\n"),
            std::string::npos)
            << r.out;
    }
    ASSERT_TRUE(kpxtest::waitfor([&] { return b.total() >= 330; }, 5s));

    r = kpxctl({"-c", conf, "kill", "1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(kpxtest::waitfor([&] { return b.closedbypeer(); }, 5s));
    EXPECT_NE(s.err().find("Client 127.0.8.2 died (#1)."), std::string::npos);
    // With the status file known, the table follows: slot 0 is left.
    EXPECT_NE(r.out.find("1 of 10 places taken."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("   0  127.0.8.1 "), std::string::npos) << r.out;
    EXPECT_FALSE(a.closedbypeer());

    r = kpxctl({"-f", s.cmdfile(), "stop"});
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(s.proc().wait(10s));
    EXPECT_EQ(s.proc().exitcode(), 10);
    // The last picture says so.
    const auto last = kpx::parsejson(kpxtest::readfile(state.file("status.json")));
    ASSERT_TRUE(last.has_value());
    EXPECT_FALSE(kpx::yes(*last, "running"));
}

TEST(KpxctlServer, WaitsItsTurnBehindAPendingRequest) {
    gatewaytest::LiveServer s;
    ASSERT_TRUE(s.ready()) << s.err();
    kpxtest::FakeListener first("127.0.8.3");
    // A writer has created the file but not yet written its line: the server leaves it.
    kpxtest::writefile(s.cmdfile(), "");
    Process p(kpxtest::program("kpxctl"), {"-f", s.cmdfile(), "list"});
    std::this_thread::sleep_for(700ms);
    EXPECT_TRUE(p.running());
    kpxtest::writefile(s.cmdfile(), "127.0.8.3\n");
    ASSERT_TRUE(p.wait(15s));
    EXPECT_EQ(p.exitcode(), 0) << p.err();
    const std::string console = s.err();
    const auto request = console.find("127.0.8.3 is requesting connection.");
    const auto list = console.find("Command '@LIST' given.");
    ASSERT_NE(request, std::string::npos) << console;
    ASSERT_NE(list, std::string::npos) << console;
    EXPECT_LT(request, list);
    EXPECT_TRUE(kpxtest::waitfor([&] { return first.total() >= 330; }, 5s));
}

TEST(KpxctlServer, NoServerGivesTheReasonAndWithdraws) {
    TempDir dir;
    const auto t0 = std::chrono::steady_clock::now();
    Ran r = kpxctl({"-f", dir.file("commands"), "stop"});
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 10s);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("was not taken within 10 s: no server or relay broadcaster is running"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(kpxtest::exists(dir.file("commands")));
}

// The status file of a running server: after connects, a relay's registration and a kill, it
// agrees with the server's own console; a path that cannot be written is reported once.
TEST(StatusFileServer, FollowsTheTablesAndMatchesTheConsole) {
    TempDir state;
    const std::string path = state.file("status.json");
    gatewaytest::LiveServer s({"statusfile = " + path, "maxclients = 3"});
    ASSERT_TRUE(s.ready()) << s.err();
    kpxtest::FakeListener l1("127.0.8.10"), l2("127.0.8.11"), relay("127.0.8.12");
    const std::string conf = s.dir().file("kpx.conf");
    ASSERT_EQ(kpxctl({"-c", conf, "connect", "127.0.8.10"}).status, 0);
    ASSERT_EQ(
        kpxctl({"-c", conf, "bconnect", "127.0.8.12", "http://127.0.8.12/l", "http://127.0.8.12/b"})
            .status,
        0);
    ASSERT_EQ(kpxctl({"-c", conf, "connect", "127.0.8.11"}).status, 0);
    std::this_thread::sleep_for(1500ms); // a few packets for everybody

    auto now = [&] { return kpx::parsejson(kpxtest::readfile(path)).value_or(kpx::Json{}); };
    kpx::Json before = now();
    EXPECT_EQ(kpx::str(before, "role"), "server");
    EXPECT_EQ(kpx::str(before, "mode"), "live");
    EXPECT_EQ(kpx::num(before, "clientcount"), 3);
    ASSERT_EQ(kpx::list(before, "peers").size(), 3U);
    EXPECT_EQ(kpx::str(kpx::list(before, "peers")[1], "name"), "127.0.8.12");
    EXPECT_TRUE(kpx::yes(kpx::list(before, "peers")[1], "relay"));
    ASSERT_EQ(kpx::list(before, "distribution").size(), 1U);
    EXPECT_EQ(kpx::str(kpx::list(before, "distribution")[0], "clienturl"), "http://127.0.8.12/l");

    // Kill slot 0 (127.0.8.10); the kill rewrites the file before the command is taken.
    const kpx::Json& victim = kpx::list(before, "peers")[0];
    ASSERT_EQ(kpxctl({"-f", s.cmdfile(), "kill", "0"}).status, 0);
    kpx::Json after = now();
    EXPECT_EQ(kpx::num(after, "clientcount"), 2);
    EXPECT_EQ(kpx::str(kpx::list(after, "peers")[0], "name"),
              "127.0.8.11"); // the last one took the slot
    const double packets = kpx::num(victim, "bytes") / 330 +
                           (kpx::num(after, "packets") - kpx::num(before, "packets"));
    const std::string line = "Client 127.0.8.10 died (#0). It had received " +
                             std::to_string(static_cast<long>(packets) * 330) +
                             " bytes (=" + std::to_string(static_cast<long>(packets) / 5) +
                             " sec.).";
    EXPECT_NE(s.err().find(line), std::string::npos) << line << "\n" << s.err();

    // Killing the relay empties the distribution list.
    ASSERT_EQ(kpxctl({"-f", s.cmdfile(), "kill", "1"}).status, 0);
    EXPECT_TRUE(kpx::list(now(), "distribution").empty());
}

TEST(StatusFileServer, UnwritablePathIsReportedOnceAndTheStreamGoesOn) {
    TempDir state;
    gatewaytest::LiveServer s({"statusfile = " + state.file("missing/status.json")});
    ASSERT_TRUE(s.ready()) << s.err();
    kpxtest::FakeListener l("127.0.8.20");
    ASSERT_EQ(kpxctl({"-f", s.cmdfile(), "connect", "127.0.8.20"}).status, 0);
    ASSERT_TRUE(kpxtest::waitfor([&] { return l.total() >= 330 * 12; }, 10s)); // over two seconds
    const std::string problem =
        "Status file '" + state.file("missing/status.json") + "': No such file or directory\n";
    EXPECT_EQ(kpxtest::countof(s.err(), problem), 1) << s.err();
    EXPECT_EQ(kpxtest::countof(s.err(), "the stream goes on without it (reported once)"), 1);
}

} // namespace
