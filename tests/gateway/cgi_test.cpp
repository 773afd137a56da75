// The CGI decoder in process: environment checks, form decoding and splitting, the limits
// on CONTENT_LENGTH and hostile input.
#include "cgi.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

struct Field {
    std::string name;
    bool hasvalue;
    std::string value;
    bool operator==(const Field&) const = default;
};

class Cgi : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* v : {"REQUEST_METHOD", "QUERY_STRING", "CONTENT_LENGTH", "REMOTE_ADDR"})
            ::unsetenv(v);
        page_ = std::tmpfile();
        ASSERT_NE(page_, nullptr);
        kpx::cgi_page = page_;
        kpx::cgi_input = -1;
    }
    void TearDown() override {
        kpx::cgi_page = stdout;
        kpx::cgi_input = 0;
        if (page_) std::fclose(page_);
        for (int fd : pipes_)
            ::close(fd);
    }
    std::string pagetext() {
        std::fflush(page_);
        std::rewind(page_);
        std::string s;
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, page_)) > 0)
            s.append(buf, n);
        return s;
    }
    // A GET request with the given query string from 192.0.2.7.
    int get(const std::string& query) {
        ::setenv("REQUEST_METHOD", "GET", 1);
        ::setenv("QUERY_STRING", query.c_str(), 1);
        ::setenv("REMOTE_ADDR", "192.0.2.7", 1);
        return init();
    }
    // A POST request: the body is put into an unnamed temporary file that cgi_init reads.
    int post(const std::string& contentlength, const std::string& body, bool remote = true) {
        std::FILE* f = std::tmpfile();
        EXPECT_NE(f, nullptr);
        EXPECT_EQ(std::fwrite(body.data(), 1, body.size(), f), body.size());
        std::fflush(f);
        int fd = ::dup(::fileno(f));
        std::fclose(f);
        ::lseek(fd, 0, SEEK_SET);
        pipes_.push_back(fd);
        kpx::cgi_input = fd;
        ::setenv("REQUEST_METHOD", "POST", 1);
        ::setenv("CONTENT_LENGTH", contentlength.c_str(), 1);
        if (remote) ::setenv("REMOTE_ADDR", "192.0.2.7", 1);
        return init();
    }
    // What is still unread in the POST body.
    std::string leftover() {
        std::string s;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(kpx::cgi_input, buf, sizeof buf)) > 0)
            s.append(buf, static_cast<std::size_t>(n));
        return s;
    }
    int init() { return kpx::cgi_init(req_) ? 1 : 0; }
    int argc() const { return static_cast<int>(req_.fields.size()); }
    std::vector<Field> fields() const {
        std::vector<Field> out;
        for (const kpx::CgiField& f : req_.fields)
            out.push_back({f.name, f.value.has_value(), f.value.value_or("")});
        return out;
    }
    std::FILE* page_ = nullptr;
    std::vector<int> pipes_;
    kpx::CgiRequest req_;
};

TEST_F(Cgi, ShellRunWithoutRequestMethodIsRefused) {
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(pagetext(), "This is a CGI-Program. It cannot be run from a shell.\n"
                          "Environment-Variable REQUEST_METHOD not defined!<br>\n");
}

TEST_F(Cgi, MethodIsJudgedByItsFirstThreeLetters) {
    ::setenv("QUERY_STRING", "", 1);
    ::setenv("REMOTE_ADDR", "192.0.2.7", 1);
    for (const char* m : {"GET", "get", "GETAWAY", "gEt"}) {
        ::setenv("REQUEST_METHOD", m, 1);
        EXPECT_EQ(init(), 1) << m;
        EXPECT_EQ(req_.method, 'G') << m;
    }
    ::setenv("CONTENT_LENGTH", "0", 1);
    for (const char* m : {"POST", "post", "POSTMAN", "pos"}) {
        ::setenv("REQUEST_METHOD", m, 1);
        EXPECT_EQ(init(), 1) << m;
        EXPECT_EQ(req_.method, 'P') << m;
    }
    EXPECT_EQ(pagetext(), "");
    for (const char* m : {"HEAD", "PUT", "GE", ""}) {
        ::setenv("REQUEST_METHOD", m, 1);
        EXPECT_EQ(init(), 0) << m;
    }
    EXPECT_EQ(pagetext(), "Illegal value for REQUEST_METHOD = \"HEAD\"<br>\n"
                          "Illegal value for REQUEST_METHOD = \"PUT\"<br>\n"
                          "Illegal value for REQUEST_METHOD = \"GE\"<br>\n"
                          "Illegal value for REQUEST_METHOD = \"\"<br>\n");
}

TEST_F(Cgi, MissingVariablesAreReportedOnThePage) {
    ::setenv("REQUEST_METHOD", "POST", 1);
    ::setenv("REMOTE_ADDR", "192.0.2.7", 1);
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(pagetext(), "Environment-Variable CONTENT_LENGTH not defined<br>\n"
                          "THIS IS A CGI-PROGRAM. DO NOT RUN IT FROM A SHELL!\n");

    SetUp();
    ::setenv("REQUEST_METHOD", "GET", 1);
    ::setenv("REMOTE_ADDR", "192.0.2.7", 1);
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(pagetext(), "Environment-Variable QUERY_STRING not defined<br>\n");
}

TEST_F(Cgi, RemoteAddressIsCheckedAfterTheBodyWasRead) {
    EXPECT_EQ(post("16", "CLIENTNAME=1.2.3tail", false), 0);
    EXPECT_EQ(leftover(), "tail") << "the body is consumed before REMOTE_ADDR is looked at";
    EXPECT_EQ(pagetext(),
              "The enviroment variable REMOTE_ADDR is undefined. Cannot connect!<br>\n");
}

TEST_F(Cgi, RemoteAddressBecomesTheClientName) {
    ASSERT_EQ(get(""), 1);
    EXPECT_EQ(req_.remote, "192.0.2.7");
    EXPECT_EQ(argc(), 0);
}

TEST_F(Cgi, FieldsAreDecodedAndSplit) {
    const std::vector<std::pair<std::string, std::vector<Field>>> cases = {
        {"CLIENTNAME=192.0.2.7&REPDIR=%2Fvar%2Freports",
         {{"CLIENTNAME", true, "192.0.2.7"}, {"REPDIR", true, "/var/reports"}}},
        {"a+b=c+d", {{"a b", true, "c d"}}},
        {"flag&x=1", {{"flag", false, ""}, {"x", true, "1"}}},
        {"x=1&&y=2", {{"x", true, "1"}, {"", false, ""}, {"y", true, "2"}}},
        {"a=b=c", {{"a", true, "b=c"}}},
        {"n%3Dv", {{"n", true, "v"}}},
        {"a%26b=1", {{"a&b", true, "1"}}},
        {"x=", {{"x", true, ""}}},
        {"=v", {{"", true, "v"}}},
        {"&", {{"", false, ""}, {"", false, ""}}},
        {"CLIENTNAME=a.b.c&CLIENTNAME=d.e.f",
         {{"CLIENTNAME", true, "a.b.c"}, {"CLIENTNAME", true, "d.e.f"}}},
    };
    for (const auto& [query, expected] : cases) {
        ASSERT_EQ(get(query), 1) << query;
        EXPECT_EQ(fields(), expected) << query;
    }
    EXPECT_EQ(pagetext(), "");
}

TEST_F(Cgi, PercentEscapesFollowTheHexConversionRule) {
    ASSERT_EQ(get("%41%4a%4"), 1);
    ASSERT_EQ(argc(), 1);
    EXPECT_EQ(req_.fields[0].name, std::string("AJ\x04"));

    ASSERT_EQ(get("a=%zzb"), 1); // no digit: a zero byte, and both characters are skipped
    EXPECT_EQ(fields(), (std::vector<Field>{{"a", true, ""}}));

    ASSERT_EQ(get("v=%2"), 1); // data ends after one character
    EXPECT_EQ(fields(), (std::vector<Field>{{"v", true, "\x02"}}));

    ASSERT_EQ(get("v=1%"), 1); // "%" as the very last character
    EXPECT_EQ(fields(), (std::vector<Field>{{"v", true, "1"}}));

    ASSERT_EQ(get("v=%-1x"), 1); // sign accepted, low 8 bits kept
    EXPECT_EQ(fields(), (std::vector<Field>{{"v", true,
                                             "\xff"
                                             "x"}}));

    ASSERT_EQ(get("v=%4G"), 1); // conversion stops at the first non-digit
    EXPECT_EQ(fields(), (std::vector<Field>{{"v", true, "\x04"}}));
}

TEST_F(Cgi, DecodedZeroByteShiftsTheFieldsAndLosesTheLast) {
    ASSERT_EQ(get("a=1%00b=2&c=3"), 1);
    EXPECT_EQ(fields(), (std::vector<Field>{{"a", true, "1"}, {"b", true, "2"}}));
}

TEST_F(Cgi, EmptyQueryHasNoFields) {
    ASSERT_EQ(get(""), 1);
    EXPECT_EQ(argc(), 0);
    EXPECT_TRUE(req_.fields.empty());
}

TEST_F(Cgi, PostBodyIsReadUpToContentLength) {
    ASSERT_EQ(post("10", "CLIENTNAME=x.y.z"), 1);
    EXPECT_EQ(fields(), (std::vector<Field>{{"CLIENTNAME", false, ""}}));
    EXPECT_EQ(leftover(), "=x.y.z") << "never more than CONTENT_LENGTH bytes are read";
    EXPECT_EQ(req_.method, 'P');

    // Leading zeros do not change the number, however many there are.
    ASSERT_EQ(post("00000000012", "CLIENTNAME=x.y.z"), 1);
    EXPECT_EQ(fields(), (std::vector<Field>{{"CLIENTNAME", true, "x"}}));
    EXPECT_EQ(leftover(), ".y.z");
    EXPECT_EQ(pagetext(), "");
}

TEST_F(Cgi, TruncatedPostBodyDecodesWhatArrived) {
    ASSERT_EQ(post("1000", "CLIENTNAME=a.b.c&REP"), 1);
    EXPECT_EQ(fields(), (std::vector<Field>{{"CLIENTNAME", true, "a.b.c"}, {"REP", false, ""}}));
    ASSERT_EQ(post("50", ""), 1);
    EXPECT_EQ(argc(), 0);
    EXPECT_EQ(pagetext(), "");
}

TEST_F(Cgi, NulBytesInPostBodyEndFieldsWithoutHarm) {
    const std::string body("a=1\0b=2&c=3&d=4", 15);
    ASSERT_EQ(post(std::to_string(body.size()), body), 1);
    EXPECT_EQ(fields(), (std::vector<Field>{{"a", true, "1"}, {"b", true, "2"}, {"c", true, "3"}}));
    const std::string zeros(64, '\0');
    ASSERT_EQ(post("64", zeros), 1);
    EXPECT_EQ(argc(), 1);
    EXPECT_EQ(req_.fields[0].name, "");
}

TEST_F(Cgi, UnacceptableContentLengthIsRefusedWithoutReading) {
    const std::string refusal = "Illegal value for CONTENT_LENGTH: the form data must be a "
                                "number of bytes from 0 to 65536.<br>\n";
    for (const char* cl :
         {"-1", "abc", "65537", "12x", "", " 5", "+5", "99999999999999999999", "0000065537"}) {
        SetUp();
        EXPECT_EQ(post(cl, "CLIENTNAME=a.b.c"), 0) << cl;
        EXPECT_EQ(pagetext(), refusal) << cl;
        EXPECT_EQ(leftover(), "CLIENTNAME=a.b.c") << "body untouched for " << cl;
    }
}

TEST_F(Cgi, LargestAcceptedBody) {
    std::string body = "x=" + std::string(65534, 'y');
    ASSERT_EQ(post("65536", body + "tail"), 1);
    ASSERT_EQ(argc(), 1);
    EXPECT_EQ(req_.fields[0].value.value_or("").size(), 65534u);
    EXPECT_EQ(leftover(), "tail");
}

TEST_F(Cgi, MegabyteQueryStringStaysWithinMemoryBounds) {
    // One megabyte of fields "f=%41&": every field decodes, memory grows by the decoded
    // buffer and two pointer arrays only.
    std::string query;
    const std::string unit = "f=%41&";
    while (query.size() < (1u << 20))
        query += unit;
    const std::size_t fieldcount = query.size() / unit.size() + 1;
    struct mallinfo2 before = ::mallinfo2();
    ASSERT_EQ(get(query), 1);
    struct mallinfo2 after = ::mallinfo2();
    EXPECT_EQ(argc(), static_cast<int>(fieldcount));
    EXPECT_EQ(req_.fields[0].value.value_or("-"), "A");
    EXPECT_EQ(req_.fields[fieldcount - 1].name, "");
    const auto grown =
        static_cast<long long>(after.uordblks) - static_cast<long long>(before.uordblks);
    const long long bound = static_cast<long long>(query.size()) +
                            2LL * static_cast<long long>(fieldcount * sizeof(char*)) + 65536;
    EXPECT_LT(grown, bound);

    std::string plain(1u << 20, 'z'); // one huge field without "="
    ASSERT_EQ(get(plain), 1);
    EXPECT_EQ(argc(), 1);
    EXPECT_EQ(req_.fields[0].name.size(), plain.size());
    EXPECT_FALSE(req_.fields[0].value);
}

} // namespace
