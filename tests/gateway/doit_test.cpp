// The request hand-over in process, with the 100 ms pause and the end of the run replaced:
// the waits and their budgets, and the exclusive creation of the command file; and the
// same-origin rule.
#include "admit.h"
#include "cgi.h"
#include "gateway.h"
#include "hooks.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

using kpxtest::TempDir;

struct Ended {
    int status;
};

class Doit : public ::testing::Test {
  protected:
    void SetUp() override {
        if (page_) std::fclose(page_);
        page_ = std::tmpfile();
        ASSERT_NE(page_, nullptr);
        kpx::cgi_page = page_;
        kpx::hooks.quit = [](int status) { throw Ended{status}; };
        kpx::hooks.pause = [this](long) {
            ++pauses_;
            if (onpause_) onpause_(pauses_);
        };
        req_ = kpx::Request{};
        req_.commandfile = dir_.file("commands");
        req_.clientname = "192.0.2.7";
    }
    void TearDown() override {
        kpx::cgi_page = stdout;
        kpx::resethooks();
        std::fclose(page_);
        page_ = nullptr;
    }
    // Runs doit; returns -1 when it returned, else the status it ended the run with.
    int run() {
        try {
            kpx::doit(req_);
        } catch (const Ended& e) {
            return e.status;
        }
        return -1;
    }
    std::string pagetext() {
        std::fflush(page_);
        std::rewind(page_);
        std::string s;
        char buf[1024];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, page_)) > 0)
            s.append(buf, n);
        return s;
    }
    TempDir dir_;
    kpx::Request req_;
    std::FILE* page_ = nullptr;
    int pauses_ = 0;
    std::function<void(int)> onpause_;
};

// Host, Origin and Referer as browsers send them: the site's own forms pass whichever way the
// default port is spelt; another host, port or scheme, an opaque origin, a Host that is not
// one of the site's names (a rebinding page), or a post with neither header does not.
TEST(SameOrigin, OnlyTheSitesOwnFormsPass) {
    struct Case {
        const char *method, *host, *origin, *referer;
        bool https;
        const char* names;
        bool taken;
    };
    const char* site = "radio.example,127.0.0.7:8080";
    const std::vector<Case> cases = {
        {"POST", "radio.example:8080", "http://radio.example:8080", nullptr, false, nullptr, true},
        {"post", "Radio.Example", "HTTP://radio.example:80", nullptr, false, site, true},
        {"POST", "radio.example:443", "https://radio.example", nullptr, true, site, true},
        {"POST", "radio.example:8443", "https://radio.example:8443", nullptr, true, site, true},
        {"POST", "[::1]:8080", nullptr, "http://[::1]:8080/broadcast.html?x=1", false, nullptr,
         true},
        {"POST", "127.0.0.7:8080", "http://127.0.0.7:8080", nullptr, false, site, true},
        {"POST", "radio.example", nullptr, nullptr, false, nullptr, false}, // neither header
        {"GET", "radio.example", nullptr, nullptr, false, nullptr, false},
        {"HEAD", "radio.example", "http://radio.example", nullptr, false, nullptr, false},
        {"POST", "radio.example", "http://radio.example.evil.example", nullptr, false, nullptr,
         false},
        {"POST", "radio.example", "https://radio.example:80", nullptr, false, nullptr, false},
        {"POST", "radio.example:8080", "http://radio.example", nullptr, false, nullptr, false},
        {"POST", "radio.example", "null", nullptr, false, nullptr, false},
        // The scheme counts: an http page posting to the https site, and the other way round.
        {"POST", "radio.example:443", "https://radio.example", nullptr, false, site, false},
        {"POST", "radio.example", "http://radio.example", nullptr, true, site, false},
        {"POST", "radio.example:8443", "http://radio.example:8443", nullptr, true, site, false},
        // A rebinding page: its own name in Host and Origin, on this site's address.
        {"POST", "evil.example:8080", "http://evil.example:8080", nullptr, false, site, false},
        // The Origin counts when both are sent.
        {"POST", "radio.example", "http://evil.example", "http://radio.example/", false, nullptr,
         false},
        {"POST", "radio.example", nullptr, "http://radio.example@evil.example/", false, nullptr,
         false},
        {"POST", nullptr, "http://radio.example", nullptr, false, nullptr, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(kpx::sameorigin(c.method, c.host, c.origin, c.referer, c.https, c.names), c.taken)
            << c.method << " Host " << (c.host ? c.host : "-") << " Origin "
            << (c.origin ? c.origin : "-") << " Referer " << (c.referer ? c.referer : "-")
            << (c.https ? " over https" : "") << " names " << (c.names ? c.names : "-");
}

TEST_F(Doit, WritesTheLineAndReturnsOnceTheServerTookIt) {
    std::string seen;
    onpause_ = [&](int n) {
        // Pause 1 comes before the file is created, pause 3 after it was written.
        if (n == 3) {
            seen = kpxtest::readfile(req_.commandfile);
            std::remove(req_.commandfile.c_str());
        }
    };
    EXPECT_EQ(run(), -1);
    EXPECT_EQ(seen, "192.0.2.7\n");
    EXPECT_EQ(pagetext(), "");

    pauses_ = 0;
    req_.kind = kpx::gatekind::broadcaster;
    req_.clienturl = "http://relay.example/listen.html";
    req_.bcasturl = "http://relay.example/bcast.html";
    EXPECT_EQ(run(), -1);
    EXPECT_EQ(seen, "@BCONNECT 192.0.2.7 http://relay.example/listen.html "
                    "http://relay.example/bcast.html -\n"); // no REMOTE_ADDR: "-"
}

TEST_F(Doit, BusyAfter101PausesWithTheFilePresent) {
    kpxtest::writefile(req_.commandfile, "other.request.line\n");
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(pauses_, 101);
    EXPECT_EQ(pagetext(), "Server is busy or not accepting connections.<br>\n");
    EXPECT_EQ(kpxtest::readfile(req_.commandfile), "other.request.line\n");
}

TEST_F(Doit, TimeoutAfter101PausesLeavesTheRequest) {
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(pauses_, 1 + 101);
    EXPECT_EQ(pagetext(), "Timeout: Request was not responded by server!<br>\n"
                          "Server may be down - please try again later!<br>\n"
                          "Contact admin<br>\n");
    EXPECT_EQ(kpxtest::readfile(req_.commandfile), "192.0.2.7\n");

    std::remove(req_.commandfile.c_str());
    SetUp();
    req_.kind = kpx::gatekind::broadcaster;
    req_.clienturl = "u1";
    req_.bcasturl = "u2";
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(pagetext(), "Timeout: Request was not responded by server!<br>\n"
                          "Value COMMANDFILE may be wrong or server may be down.<br>\n"
                          "Contact admin<br>\n");
    EXPECT_EQ(kpxtest::readfile(req_.commandfile), "@BCONNECT 192.0.2.7 u1 u2 -\n");
}

TEST_F(Doit, LosingTheRaceKeepsTheOtherRequestAndWaitsAgain) {
    // Another writer creates the file during our last pause before the create; the server
    // takes that request a few pauses later; then ours goes in.
    std::vector<std::string> taken;
    onpause_ = [&](int n) {
        if (n == 1) kpxtest::writefile(req_.commandfile, "198.51.100.9\n");
        if (n == 4 || n == 8) {
            taken.push_back(kpxtest::readfile(req_.commandfile));
            std::remove(req_.commandfile.c_str());
        }
    };
    EXPECT_EQ(run(), -1);
    EXPECT_EQ(taken, (std::vector<std::string>{"198.51.100.9\n", "192.0.2.7\n"}));
    EXPECT_EQ(pagetext(), "");
}

TEST_F(Doit, LosingTheRaceEveryTimeEndsWithinTheBudget) {
    // The file is always taken by someone else just before we create it.
    onpause_ = [&](int) {
        if (!kpxtest::exists(req_.commandfile))
            kpxtest::writefile(req_.commandfile, "x.y.z\n");
        else
            std::remove(req_.commandfile.c_str());
    };
    EXPECT_EQ(run(), 1);
    EXPECT_LE(pauses_, 101 + 1);
    EXPECT_EQ(pagetext(), "Server is busy or not accepting connections.<br>\n");
}

TEST_F(Doit, AFifoInPlaceOfTheCommandFileDoesNotHangTheRun) {
    ASSERT_EQ(::mkfifo(req_.commandfile.c_str(), 0600), 0);
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(pauses_, 101);
    EXPECT_EQ(pagetext(), "Server is busy or not accepting connections.<br>\n");
}

TEST_F(Doit, CreateFailureOtherThanExistingFile) {
    req_.commandfile = dir_.file("no-such-dir/commands");
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(pagetext(), "Could not create commandfile. Please mail admin!<br>\n");

    SetUp();
    kpxtest::writefile(dir_.file("plain"), "not a directory\n");
    req_.commandfile = dir_.file("plain/commands");
    EXPECT_EQ(run(), 1);
    EXPECT_EQ(pagetext(), "Could not create commandfile. Please mail admin!<br>\n");
}

} // namespace
