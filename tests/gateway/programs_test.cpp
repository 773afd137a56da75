// lconnect and bconnect run as the web server runs them (environment and standard input),
// against a stand-in for the server that takes each request from the command file, writes a
// report for the requester and removes the file.
#include "testsupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using kpxtest::Process;
using kpxtest::TempDir;

const std::string header = "Content-Type: text/html\n\n";

// Polls the command file like the server does: first line, report for the name, removal.
class FakeServer {
  public:
    FakeServer(std::string commandfile, std::string repdir)
        : commandfile_(std::move(commandfile)), repdir_(std::move(repdir)),
          thread_([this] { loop(); }) {}
    ~FakeServer() {
        stop_ = true;
        thread_.join();
    }
    // Report HTML written for every request (default: a two-line page).
    void report(std::string html) {
        std::lock_guard lock(mutex_);
        html_ = std::move(html);
    }
    void writereports(bool on) { writereports_ = on; }
    // Off: only the .txt report is written (the answer page stays what it is).
    void writehtml(bool on) { writehtml_ = on; }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

  private:
    void loop() {
        while (!stop_) {
            std::this_thread::sleep_for(20ms);
            if (!kpxtest::exists(commandfile_)) continue;
            std::string text = kpxtest::readfile(commandfile_);
            if (text.empty()) continue; // created but not yet written
            std::string line = text.substr(0, text.find('\n'));
            std::string name = line;
            if (line.rfind("@BCONNECT ", 0) == 0) {
                name = line.substr(10);
                name = name.substr(0, name.find(' '));
            }
            std::string html;
            {
                std::lock_guard lock(mutex_);
                lines_.push_back(text);
                html = html_;
            }
            if (writereports_) {
                if (writehtml_) kpxtest::writefile(repdir_ + "/" + name + ".html", html);
                kpxtest::writefile(repdir_ + "/" + name + ".txt",
                                   name + ": Connection established. Enjoy KPX!\n");
            }
            std::remove(commandfile_.c_str());
        }
    }
    std::string commandfile_, repdir_;
    mutable std::mutex mutex_;
    std::string html_ = "<p>connected</p>\n<p>enjoy</p>\n";
    std::vector<std::string> lines_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> writereports_{true};
    std::atomic<bool> writehtml_{true};
    std::thread thread_;
};

struct Outcome {
    int status;
    std::string out;
};

// Runs a gateway with a CGI environment. POST when body is given, else GET with query.
Outcome gateway(const std::string& prog, std::map<std::string, std::string> env,
                const std::string* body, const TempDir& dir,
                std::chrono::milliseconds limit = 20s) {
    Process::Options opt;
    opt.unsetenv = {"KPX_COMMANDFILE", "KPX_REPDIR",          "QUERY_STRING",
                    "CONTENT_LENGTH",  "REQUEST_METHOD",      "REMOTE_ADDR",
                    "KPX_POSTONLY",    "KPX_GATEWAY_LOCKDIR", "KPX_SERVERUSER"};
    if (body) {
        static int bodies = 0;
        std::string in = dir.file("body-" + std::to_string(++bodies));
        kpxtest::writefile(in, *body);
        opt.stdinfile = in;
        if (!env.count("CONTENT_LENGTH")) env["CONTENT_LENGTH"] = std::to_string(body->size());
    }
    opt.env = env;
    Process p(kpxtest::program(prog), {}, opt);
    EXPECT_TRUE(p.wait(limit)) << prog << " did not end";
    return {p.exitcode(), p.out()};
}

std::map<std::string, std::string> getenv_(const std::string& query,
                                           const std::string& remote = "127.0.4.7") {
    return {{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", query}, {"REMOTE_ADDR", remote}};
}

class Gateway : public ::testing::Test {
  protected:
    std::string cmd() const { return dir_.file("commands"); }
    std::map<std::string, std::string> configured(std::map<std::string, std::string> env) const {
        env["KPX_COMMANDFILE"] = cmd();
        env["KPX_REPDIR"] = dir_.path();
        return env;
    }
    TempDir dir_;
};

TEST_F(Gateway, ListenerRequestFromTheRemoteAddress) {
    FakeServer server(cmd(), dir_.path());
    Outcome r = gateway("lconnect", configured(getenv_("")), nullptr, dir_);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(server.lines(), std::vector<std::string>{"127.0.4.7\n"});
    // Every report line comes with one extra newline.
    EXPECT_EQ(r.out, header + "<p>connected</p>\n\n<p>enjoy</p>\n\n");
    EXPECT_FALSE(kpxtest::exists(dir_.file("127.0.4.7.html")));
    EXPECT_TRUE(kpxtest::exists(dir_.file("127.0.4.7.txt")));
    EXPECT_FALSE(kpxtest::exists(cmd()));
}

TEST_F(Gateway, FormFieldsNamePathsWhenTheWebServerDoesNot) {
    TempDir other;
    FakeServer server(other.file("cmdfile"), other.path());
    std::string body = "CLIENTNAME=host.example.net&COMMANDFILE=" + other.file("cmdfile") +
                       "&repdir=" + other.path();
    Outcome r = gateway("lconnect", {{"REQUEST_METHOD", "POST"}, {"REMOTE_ADDR", "127.0.4.7"}},
                        &body, dir_);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(server.lines(), std::vector<std::string>{"host.example.net\n"});
    EXPECT_EQ(r.out, header + "<p>connected</p>\n\n<p>enjoy</p>\n\n");
}

TEST_F(Gateway, WebServerPathsOverrideTheFormFields) {
    TempDir elsewhere;
    FakeServer server(cmd(), dir_.path());
    kpxtest::writefile(elsewhere.file("victim.x.y.html"), "secret\n");
    std::string query = "CLIENTNAME=victim.x.y&COMMANDFILE=" + elsewhere.file("planted") +
                        "&REPDIR=" + elsewhere.path();
    Outcome r = gateway("lconnect", configured(getenv_(query)), nullptr, dir_);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(server.lines(), std::vector<std::string>{"victim.x.y\n"});
    EXPECT_FALSE(kpxtest::exists(elsewhere.file("planted")));
    EXPECT_EQ(kpxtest::readfile(elsewhere.file("victim.x.y.html")), "secret\n");
    EXPECT_EQ(kpxtest::countof(r.out, "secret"), 0);
}

TEST_F(Gateway, LastClientNameWinsAndValuelessFieldsAreIgnored) {
    FakeServer server(cmd(), dir_.path());
    Outcome r = gateway("lconnect", configured(getenv_("CLIENTNAME=a.b.c&clientname=d.e.f")),
                        nullptr, dir_);
    EXPECT_EQ(r.status, 0);
    r = gateway("lconnect", configured(getenv_("CLIENTNAME=a.b.c&CLIENTNAME")), nullptr, dir_);
    EXPECT_EQ(r.status, 0);
    r = gateway("lconnect", configured(getenv_("CLIENTNAME&COMMANDFILE&REPDIR")), nullptr, dir_);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(server.lines(), (std::vector<std::string>{"d.e.f\n", "a.b.c\n", "127.0.4.7\n"}));
}

TEST_F(Gateway, RefusedNamesWriteNothing) {
    const std::string illegal = header + "Illegal hostname or IP address!\n"
                                         "Press back on your browser and try again!\n";
    const std::string longname = std::string(1000, 'a') + ".b.c";
    // 252 characters: the server would connect it, but "<name>.html" is no file name.
    const std::string name252 = std::string(248, 'a') + ".b.c";
    for (std::string name :
         {"a.b", "...", "a%40b.c.d", "a+b.c.d", "..%2F..%2Fetc%2Fx",
          "%3Cscript%3Ealert(1)%3C%2Fscript%3E.x.y", longname.c_str(), name252.c_str()}) {
        for (const char* prog : {"lconnect", "bconnect"}) {
            Outcome r = gateway(
                prog,
                configured(getenv_("CLIENTNAME=" + name + "&CLIENTURL=http://u&BCASTURL=http://v")),
                nullptr, dir_);
            EXPECT_EQ(r.status, 1) << prog << " " << name;
            EXPECT_EQ(r.out, illegal) << prog << " " << name;
        }
    }
    // Without the web server's paths the report path is REPDIR + "/" + name + ".html" too:
    // 1 + 1012 + 1 + 5 + 5 = 1024 characters is one too many.
    const std::string formpaths = "COMMANDFILE=" + cmd() + "&REPDIR=/" + std::string(1012, 'd');
    Outcome r = gateway("lconnect", getenv_(formpaths + "&CLIENTNAME=a.b.c"), nullptr, dir_);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, illegal);
    EXPECT_FALSE(kpxtest::exists(cmd()));
}

TEST_F(Gateway, LongestReportPathIsAccepted) {
    // 1 + 1011 + 1 + 5 + 5 = 1023 characters: the request goes out.
    FakeServer server(cmd(), dir_.path());
    const std::string formpaths = "COMMANDFILE=" + cmd() + "&REPDIR=/" + std::string(1011, 'd');
    Outcome r = gateway("lconnect", getenv_(formpaths + "&CLIENTNAME=a.b.c"), nullptr, dir_);
    EXPECT_EQ(server.lines(), std::vector<std::string>{"a.b.c\n"});
    // The stand-in cannot write into the made-up directory: no report comes.
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, header + "Server did not create any action report!<br>\n");
}

TEST_F(Gateway, AcceptedNameShapes) {
    FakeServer server(cmd(), dir_.path());
    for (std::string name : {"a..", "x.y.z", "my-host_1.lan.example"}) {
        Outcome r = gateway("lconnect", configured(getenv_("CLIENTNAME=" + name)), nullptr, dir_);
        EXPECT_EQ(r.status, 0) << name;
    }
    EXPECT_EQ(server.lines(),
              (std::vector<std::string>{"a..\n", "x.y.z\n", "my-host_1.lan.example\n"}));
}

TEST_F(Gateway, EmptyNameMessagesDifferBetweenTheGateways) {
    Outcome r = gateway("lconnect", configured(getenv_("CLIENTNAME=")), nullptr, dir_);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, header + "You MUST give CLIENTNAME or REMOTE_ADDR!<br>\n");
    r = gateway("lconnect", configured(getenv_("", "")), nullptr, dir_);
    EXPECT_EQ(r.out, header + "You MUST give CLIENTNAME or REMOTE_ADDR!<br>\n");
    r = gateway("bconnect", configured(getenv_("CLIENTNAME=&CLIENTURL=http://u&BCASTURL=http://v")),
                nullptr, dir_);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              header +
                  "Illegal hostname or IP address!\nPress back on your browser and try again!\n");
    EXPECT_FALSE(kpxtest::exists(cmd()));
}

TEST_F(Gateway, BroadcasterChecksInOrder) {
    const std::string badurl =
        "CLIENTURL and BCASTURL must be web addresses beginning with http:// "
        "or https://, of printable ASCII characters without blanks, \"=\", "
        "quotes or angle brackets!<br>\n";
    struct Case {
        std::string query, page;
    };
    const std::vector<Case> cases = {
        {"", "BCASTURL must be defined! Mail admin!<br>"},
        {"CLIENTURL=u", "BCASTURL must be defined! Mail admin!<br>"},
        {"BCASTURL=v", "CLIENTURL must be defined! Mail admin!<br>"},
        {"BCASTURL=v&CLIENTURL", "CLIENTURL must be defined! Mail admin!<br>"},
        {"CLIENTURL=&BCASTURL=", "You MUST give CLIENTURL!<br>\n"},
        {"CLIENTURL=http://u&BCASTURL=", "You MUST give BCASTURL!<br>\n"},
        {"CLIENTURL=http://r.example/a%20b&BCASTURL=http://v", badurl},
        {"CLIENTURL=http://u&BCASTURL=http://r.example/%3E%3Cscript%3E", badurl},
        {"CLIENTURL=http://r.example/?a%3Db&BCASTURL=http://v", badurl},
        {"CLIENTURL=http://u%7F&BCASTURL=http://v", badurl},
        // A registered page that reads as another: right-to-left override, non-ASCII letters.
        {"CLIENTURL=http://r.example/%E2%80%AEfdp.exe&BCASTURL=http://v", badurl},
        {"CLIENTURL=http://u&BCASTURL=http://r.example/m%C3%BCsik.html", badurl},
        // Only web addresses: a script URL would run on this site's origin once a full server
        // forwards a listener to it.
        {"CLIENTURL=javascript:alert(document.cookie)&BCASTURL=http://v", badurl},
        {"CLIENTURL=http://u&BCASTURL=JavaScript:alert(1)", badurl},
        {"CLIENTURL=data:text/html,x&BCASTURL=http://v", badurl},
        {"CLIENTURL=//r.example/&BCASTURL=http://v", badurl},
        {"CLIENTURL=ftp://r.example/&BCASTURL=http://v", badurl},
        {"CLIENTURL=u&BCASTURL=v", badurl},
        {"CLIENTURL=http:/r.example&BCASTURL=http://v", badurl},
        // Longer than the server keeps: it would be cut.
        {"CLIENTURL=http://r.example/" + std::string(1005, 'x') + "&BCASTURL=http://v", badurl},
        {"CLIENTNAME=bad",
         "Illegal hostname or IP address!\nPress back on your browser and try again!\n"},
    };
    for (const auto& c : cases) {
        Outcome r = gateway("bconnect", configured(getenv_(c.query)), nullptr, dir_);
        EXPECT_EQ(r.status, 1) << c.query;
        EXPECT_EQ(r.out, header + c.page) << c.query;
    }
    EXPECT_FALSE(kpxtest::exists(cmd()));
}

TEST_F(Gateway, BroadcasterLineAndReportPieces) {
    FakeServer server(cmd(), dir_.path());
    const std::string longline(1500, 'x');
    server.report(longline + "\nend\n");
    std::string body =
        "CLIENTURL=http%3A%2F%2Frelay.example%2Flisten.html&BCASTURL=http://relay.example/b.html";
    Outcome r =
        gateway("bconnect", configured({{"REQUEST_METHOD", "POST"}, {"REMOTE_ADDR", "127.0.4.8"}}),
                &body, dir_);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(
        server.lines(),
        std::vector<std::string>{
            "@BCONNECT 127.0.4.8 http://relay.example/listen.html http://relay.example/b.html "
            "127.0.4.8\n"});
    // bconnect copies in pieces of at most 1023 characters, lconnect of at most 2047.
    EXPECT_EQ(r.out, header + longline.substr(0, 1023) + "\n" + longline.substr(1023) + "\n\n" +
                         "end\n\n");
    r = gateway("lconnect", configured(getenv_("", "127.0.4.8")), nullptr, dir_);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, header + longline + "\n\nend\n\n");
    EXPECT_FALSE(kpxtest::exists(dir_.file("127.0.4.8.html")));

    // A URL keeps its percent-escapes: they go into the line as the form carried them.
    r = gateway(
        "bconnect",
        configured(getenv_("CLIENTURL=http://relay.example/m%25C3%25BCsik.html&BCASTURL=HTTPS://v",
                           "127.0.4.9")),
        nullptr, dir_);
    EXPECT_EQ(r.status, 0) << r.out;
    ASSERT_FALSE(server.lines().empty());
    EXPECT_EQ(server.lines().back(),
              "@BCONNECT 127.0.4.9 http://relay.example/m%C3%BCsik.html HTTPS://v 127.0.4.9\n");
}

// Another local user plants the answer page of a name a visitor will ask for, where the
// server cannot replace it: the gateway gives the error page, never the planted one.
TEST_F(Gateway, PlantedAnswerPageIsNeverServed) {
    const std::string refused =
        header + "Error reading report file...if it works: be happy. If not: try again!<br>\n";
    const std::string planted = "<script>steal()</script>\n";
    const struct passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr || nobody->pw_uid == ::getuid())
        GTEST_SKIP() << "needs a user 'nobody' other than ours";
    struct Plant {
        std::string what, name, serveruser;
        bool serverwrites; // the stand-in writes its answer page (owned by us)
    };
    const std::vector<Plant> plants = {
        {"a page left before the request", "stale.x.y", "", false},
        {"a link to a file written after the request", "linked.x.y", "", false},
        {"a page of another user than the server's", "foreign.x.y", "nobody", true},
    };
    FakeServer server(cmd(), dir_.path());
    for (const auto& p : plants) {
        const std::string page = dir_.file(p.name + ".html");
        if (p.name == "linked.x.y") {
            // The server writes <name>.txt for the request: the link makes it the page.
            ASSERT_EQ(::symlink((p.name + ".txt").c_str(), page.c_str()), 0);
        } else if (!p.serverwrites) {
            kpxtest::writefile(page, planted);
        }
        std::this_thread::sleep_for(50ms); // the request comes later than the plant
        server.writehtml(p.serverwrites);
        auto env = configured(getenv_("CLIENTNAME=" + p.name));
        if (!p.serveruser.empty()) env["KPX_SERVERUSER"] = p.serveruser;
        Outcome r = gateway("lconnect", env, nullptr, dir_);
        EXPECT_EQ(r.status, 1) << p.what;
        EXPECT_EQ(r.out, refused) << p.what;
        struct stat st {};
        EXPECT_EQ(::lstat(page.c_str(), &st), 0)
            << p.what << ": a file that is not ours is left alone";
    }
    // The same with the server's own user named: its report is served.
    server.writehtml(true);
    auto env = configured(getenv_("CLIENTNAME=own.x.y"));
    env["KPX_SERVERUSER"] = ::getpwuid(::getuid())->pw_name;
    Outcome r = gateway("lconnect", env, nullptr, dir_);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, header + "<p>connected</p>\n\n<p>enjoy</p>\n\n");
    env["KPX_SERVERUSER"] = "no-such-user-kpx";
    r = gateway("lconnect", env, nullptr, dir_);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, header + "KPX_SERVERUSER names no user. Please mail admin!<br>\n");
}

TEST_F(Gateway, EmptyReportGivesTheHeaderOnly) {
    FakeServer server(cmd(), dir_.path());
    server.report("");
    Outcome r = gateway("lconnect", configured(getenv_("")), nullptr, dir_);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, header);
}

TEST_F(Gateway, UnacceptableContentLengthIsRefused) {
    std::string body = "CLIENTNAME=a.b.c";
    for (const char* cl : {"-1", "65537", "ten"}) {
        Outcome r = gateway(
            "lconnect",
            configured(
                {{"REQUEST_METHOD", "POST"}, {"REMOTE_ADDR", "127.0.4.7"}, {"CONTENT_LENGTH", cl}}),
            &body, dir_);
        EXPECT_EQ(r.status, 1) << cl;
        EXPECT_EQ(r.out, header + "Illegal value for CONTENT_LENGTH: the form data must be a "
                                  "number of bytes from 0 to 65536.<br>\n")
            << cl;
    }
    EXPECT_FALSE(kpxtest::exists(cmd()));
}

TEST_F(Gateway, HostileInputNeverCrashes) {
    FakeServer server(cmd(), dir_.path());
    // The largest single environment string a program can be given.
    std::string query(120000, '%');
    Outcome r = gateway("lconnect", configured(getenv_(query)), nullptr, dir_);
    EXPECT_EQ(r.status, 0);
    // A zero byte shifts the fields: the last one (the bad name) is lost.
    std::string body("CLIENTURL=http://u&BCASTURL=http://v&CLIENTNAME=a.b.c\0&CLIENTNAME=evil/.x.y",
                     75);
    r = gateway("bconnect",
                configured({{"REQUEST_METHOD", "POSTAL"}, {"REMOTE_ADDR", "127.0.4.7"}}), &body,
                dir_);
    EXPECT_EQ(r.status, 0);
    // "%" at the very end decodes to a zero byte: the name is empty.
    r = gateway("lconnect",
                configured({{"REQUEST_METHOD", "GETX"},
                            {"REMOTE_ADDR", "127.0.4.7"},
                            {"QUERY_STRING", "CLIENTNAME=%"}}),
                nullptr, dir_);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, header + "You MUST give CLIENTNAME or REMOTE_ADDR!<br>\n");
    EXPECT_EQ(server.lines(), (std::vector<std::string>{
                                  "127.0.4.7\n", "@BCONNECT a.b.c http://u http://v 127.0.4.7\n"}));
}

// Runs that wait for the command file take it in the order they came, not by who looks
// first once it is free.
TEST_F(Gateway, WaitingRunsTakeTheCommandFileFirstComeFirstServed) {
    const TempDir locks;
    kpxtest::writefile(cmd(), "someone.else.waiting\n");
    std::vector<std::thread> runs;
    std::vector<std::string> expected = {"someone.else.waiting\n"};
    for (int k = 0; k < 5; ++k) {
        const std::string name = "run" + std::to_string(k) + ".x.y";
        expected.push_back(name + "\n");
        auto env = configured(getenv_("CLIENTNAME=" + name, "10.1." + std::to_string(k) + ".1"));
        env["KPX_GATEWAY_LOCKDIR"] = locks.path();
        runs.emplace_back(
            [env, this] { EXPECT_EQ(gateway("lconnect", env, nullptr, dir_).status, 0); });
        std::this_thread::sleep_for(300ms);
    }
    FakeServer server(cmd(), dir_.path());
    for (auto& t : runs)
        t.join();
    EXPECT_EQ(server.lines(), expected);
}

// The ten-second waits, each in a test of its own so that they run in parallel.
TEST_F(Gateway, BusyWhenTheCommandFileStaysPresent) {
    kpxtest::writefile(cmd(), "someone.else.waiting\n");
    auto t0 = std::chrono::steady_clock::now();
    Outcome r = gateway("lconnect", configured(getenv_("")), nullptr, dir_);
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, header + "Server is busy or not accepting connections.<br>\n");
    EXPECT_EQ(kpxtest::readfile(cmd()), "someone.else.waiting\n");
    EXPECT_GE(took, 10s);
}

TEST_F(Gateway, TimeoutLeavesTheRequestInTheFile) {
    Outcome r = gateway("lconnect", configured(getenv_("CLIENTNAME=x.y.z")), nullptr, dir_);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, header + "Timeout: Request was not responded by server!<br>\n"
                              "Server may be down - please try again later!<br>\n"
                              "Contact admin<br>\n");
    EXPECT_EQ(kpxtest::readfile(cmd()), "x.y.z\n");
}

TEST_F(Gateway, BroadcasterTimeoutNamesTheCommandFile) {
    Outcome r = gateway("bconnect", configured(getenv_("CLIENTURL=http://u&BCASTURL=http://v")),
                        nullptr, dir_);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, header + "Timeout: Request was not responded by server!<br>\n"
                              "Value COMMANDFILE may be wrong or server may be down.<br>\n"
                              "Contact admin<br>\n");
    EXPECT_EQ(kpxtest::readfile(cmd()), "@BCONNECT 127.0.4.7 http://u http://v 127.0.4.7\n");
}

TEST_F(Gateway, NoReportAfterTheRequestWasTaken) {
    FakeServer server(cmd(), dir_.path());
    server.writereports(false);
    Outcome r = gateway("lconnect", configured(getenv_("")), nullptr, dir_);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, header + "Server did not create any action report!<br>\n");
    EXPECT_EQ(server.lines(), std::vector<std::string>{"127.0.4.7\n"});
}

TEST_F(Gateway, ConcurrentRequestsAreAllDelivered) {
    // Several runs started together: exclusive creation keeps every request.
    FakeServer server(cmd(), dir_.path());
    std::vector<std::unique_ptr<Process>> runs;
    for (int i = 0; i < 6; ++i) {
        Process::Options opt;
        opt.unsetenv = {"QUERY_STRING", "REQUEST_METHOD", "REMOTE_ADDR"};
        opt.env = configured(getenv_("", "127.0.4." + std::to_string(20 + i)));
        runs.push_back(std::make_unique<Process>(kpxtest::program("lconnect"),
                                                 std::vector<std::string>{}, opt));
    }
    for (auto& p : runs) {
        ASSERT_TRUE(p->wait(25s));
        EXPECT_EQ(p->exitcode(), 0) << p->out();
    }
    auto lines = server.lines();
    std::sort(lines.begin(), lines.end());
    std::vector<std::string> expected;
    for (int i = 0; i < 6; ++i)
        expected.push_back("127.0.4." + std::to_string(20 + i) + "\n");
    EXPECT_EQ(lines, expected);
}

} // namespace
