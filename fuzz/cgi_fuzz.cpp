// cgi_init on arbitrary requests: the first byte picks the method, the second the
// CONTENT_LENGTH (none, the body's length, shorter, longer, malformed, out of range), the
// third whether REMOTE_ADDR is set; the rest is the query string or the body.
#include "cgi.h"
#include "fuzzcheck.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kpx::cgi_page = std::fopen("/dev/null", "w");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    static const char* const methods[] = {nullptr, "GET",  "POST", "get", "PoSt",
                                          "POS",   "GETX", "HEAD", "PUT", ""};
    const char* method = methods[data[0] % 10];
    const std::string payload(reinterpret_cast<const char*>(data + 3),
                              std::min<std::size_t>(size - 3, 60000)); // fits a pipe
    const std::string query = payload.substr(0, payload.find('\0'));
    const std::string body = payload;
    const std::string lengths[] = {"",
                                   std::to_string(body.size()),
                                   std::to_string(body.size() / 2),
                                   std::to_string(body.size() + 7),
                                   "-1",
                                   "65537",
                                   "99999999999999999999",
                                   "12abc",
                                   " 12",
                                   "0",
                                   "000000000000000000000003",
                                   "65536"};
    const std::size_t pick = data[1] % 13;

    method ? ::setenv("REQUEST_METHOD", method, 1) : ::unsetenv("REQUEST_METHOD");
    pick == 12 ? ::unsetenv("CONTENT_LENGTH")
               : ::setenv("CONTENT_LENGTH", lengths[pick].c_str(), 1);
    (data[1] & 0x80) ? ::unsetenv("QUERY_STRING") : ::setenv("QUERY_STRING", query.c_str(), 1);
    (data[2] & 1) ? ::unsetenv("REMOTE_ADDR") : ::setenv("REMOTE_ADDR", "192.0.2.7", 1);

    int fds[2];
    FUZZ_CHECK(::pipe2(fds, O_CLOEXEC) == 0);
    FUZZ_CHECK(::write(fds[1], body.data(), body.size()) == static_cast<ssize_t>(body.size()));
    ::close(fds[1]);
    kpx::cgi_input = fds[0];
    kpx::CgiRequest req;
    const bool ok = kpx::cgi_init(req);
    // What the request was allowed to take from the body.
    off_t left = 0;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
        left += n;
    ::close(fds[0]);

    if (!ok) {
        FUZZ_CHECK(req.fields.empty());
        return 0;
    }
    FUZZ_CHECK(method != nullptr && (data[2] & 1) == 0);
    FUZZ_CHECK(req.remote == "192.0.2.7");
    std::string raw;
    if (req.method == 'P') {
        // Never more than CONTENT_LENGTH bytes, and only a valid length is served.
        const long n = std::strtol(lengths[pick].c_str(), nullptr, 10);
        FUZZ_CHECK(pick != 12 && n >= 0 && n <= kpx::cgi_maxcontent);
        const std::size_t taken = body.size() - static_cast<std::size_t>(left);
        FUZZ_CHECK(taken == std::min(body.size(), static_cast<std::size_t>(n)));
        raw = body.substr(0, taken);
    } else {
        FUZZ_CHECK(req.method == 'G' && left == static_cast<off_t>(body.size()));
        raw = query;
    }
    // One field per separating '&' of the raw data plus one; none for empty data. The two
    // characters after a '%' are its code, even when one of them is a '&'.
    long fields = raw.empty() ? 0 : 1;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '%')
            i += 2;
        else if (raw[i] == '&')
            ++fields;
    }
    FUZZ_CHECK(req.fields.size() == static_cast<std::size_t>(fields));
    std::size_t total = 0;
    for (const kpx::CgiField& f : req.fields) {
        FUZZ_CHECK(f.name.find('=') == std::string::npos);
        total += f.name.size() + (f.value ? f.value->size() + 1 : 0);
    }
    // Decoding never makes the data longer.
    FUZZ_CHECK(total + static_cast<std::size_t>(fields) <= raw.size() + 1);
    return 0;
}
