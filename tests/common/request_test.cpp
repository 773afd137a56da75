// The request rules in process: the lines a gateway and kpxctl write and the server reads,
// the name rule and the URL rule.
#include "request.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The server reads a registration as the gateways (with the visitor's address or "-") and
// kpxctl (without) write it.
TEST(RequestLine, ARegistrationIsReadAsWritten) {
    for (const std::string requester : {"192.0.2.7", "-", ""}) {
        const std::string line =
            kpx::bconnectline("r.example.org", "http://r/l", "https://r/b", requester);
        const kpx::Registration r = kpx::parsebconnect(line);
        EXPECT_EQ(r.name + " " + r.clienturl + " " + r.bcasturl + " " + r.requester,
                  "r.example.org http://r/l https://r/b " + requester)
            << line;
    }
}

TEST(NameRule, DotsAtSignsBlanksAndCharacters) {
    // name + ".html" must be a file name of at most 255 bytes: 250 characters at most.
    const std::string n250 = std::string(246, 'a') + ".b.c", n251 = "a" + n250;
    for (const char* good : {"192.0.2.7", "a.b.c", "a..", "www.example.org", "my-host_1.lan.net",
                             "A.B.C", "1.2.3.4.5", n250.c_str()})
        EXPECT_TRUE(kpx::nameok(good)) << good;
    for (const char* bad : {"", "a.b", "localhost", "...", "..", ".", "a@b.c.d", "a b.c.d", "@..x",
                            "a.b.c ", "a/b.c.d", "../../etc", "<b>.x.y", "a.b.c\"", "x.y.z&",
                            "x.y.z%", "a.b.c\n", "x.y.z;", n251.c_str()})
        EXPECT_FALSE(kpx::nameok(bad)) << bad;
}

TEST(UrlRule, OnlyPlainWebAddresses) {
    for (const char* good : {"http://r.example/", "HTTPS://r.example/l.html", "Http://x",
                             "http://r.example/m%C3%BCsik?a&b"})
        EXPECT_TRUE(kpx::urlok(good)) << good;
    const std::string toolong = "http://r.example/" + std::string(1007, 'x');
    for (const char* bad :
         {"", "javascript:alert(1)", " http://x", "JAVASCRIPT://x%0aalert(1)", "data:text/html,x",
          "//r.example/", "ftp://r.example/", "http:x", "http://a b", "http://x\"y", "http://x'y",
          "http://<x>", "http://x=y",
          // Look-alikes: "fdp.exe" behind a right-to-left override reads
          // as "exe.pdf"; other non-ASCII letters pass for ASCII ones.
          "http://r.example/\xE2\x80\xAE"
          "fdp.exe",
          "http://r.example/m\xC3\xBCsik", "http://r.example/\x01", toolong.c_str()})
        EXPECT_FALSE(kpx::urlok(bad)) << bad;
    EXPECT_TRUE(kpx::urlok(toolong.substr(0, 1023)));
}

} // namespace
