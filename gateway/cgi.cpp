#include "cgi.h"

#include "numbers.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <strings.h>
#include <unistd.h>

namespace kpx {

std::FILE* cgi_page = stdout;
int cgi_input = 0;

namespace {

void nomemory() {
    std::fprintf(stderr, "malloc: %s\n", std::strerror(ENOMEM));
}

// Reads up to n bytes from the body, stopping early at its end or at a read error.
std::size_t readbody(char* into, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        ssize_t r = ::read(cgi_input, into + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    return got;
}

// Undoes the form encoding of raw[0..len) into out (which may be raw itself: the write
// position never passes the read position). Returns the number of fields.
int formdecode(const char* raw, std::size_t len, char* out) {
    int fields = 1;
    std::size_t w = 0;
    for (std::size_t i = 0; i < len; ++i) {
        char c = raw[i];
        if (c == '&') {
            out[w++] = '\0';
            ++fields;
        } else if (c == '+') {
            out[w++] = ' ';
        } else if (c == '%') {
            char hex[3] = {0, 0, 0};
            std::size_t k = 0;
            while (k < 2 && i + 1 + k < len) {
                hex[k] = raw[i + 1 + k];
                ++k;
            }
            long value = std::strtol(hex, nullptr, 16);
            out[w++] = static_cast<char>(static_cast<unsigned long>(value) & 0xFFu);
            i += k;
        } else {
            out[w++] = c;
        }
    }
    out[w] = '\0';
    return fields;
}

} // namespace

bool cgi_init(CgiRequest& request) {
    request = CgiRequest{};
    const char* method = std::getenv("REQUEST_METHOD");
    if (method == nullptr) {
        std::fputs("This is a CGI-Program. It cannot be run from a shell.\n", cgi_page);
        std::fputs("Environment-Variable REQUEST_METHOD not defined!<br>\n", cgi_page);
        return false;
    }
    if (strncasecmp(method, "GET", 3) == 0) {
        request.method = 'G';
    } else if (strncasecmp(method, "POS", 3) == 0) {
        request.method = 'P';
    } else {
        std::fprintf(cgi_page, "Illegal value for REQUEST_METHOD = \"%s\"<br>\n", method);
        return false;
    }

    // The raw form data, decoded in place.
    std::vector<char> cgibuffer;
    std::size_t len = 0;
    try {
        if (request.method == 'P') {
            const char* cl = std::getenv("CONTENT_LENGTH");
            if (cl == nullptr) {
                std::fputs("Environment-Variable CONTENT_LENGTH not defined<br>\n", cgi_page);
                std::fputs("THIS IS A CGI-PROGRAM. DO NOT RUN IT FROM A SHELL!\n", cgi_page);
                return false;
            }
            long n = 0;
            if (!plainnumber(cl, cgi_maxcontent, n)) { // bytes, 0..cgi_maxcontent
                std::fprintf(cgi_page,
                             "Illegal value for CONTENT_LENGTH: the form data must be a number "
                             "of bytes from 0 to %ld.<br>\n",
                             cgi_maxcontent);
                return false;
            }
            cgibuffer.assign(static_cast<std::size_t>(n) + 1, '\0');
            len = readbody(cgibuffer.data(), static_cast<std::size_t>(n));
            cgibuffer[len] = '\0';
        } else {
            const char* qs = std::getenv("QUERY_STRING");
            if (qs == nullptr) {
                std::fputs("Environment-Variable QUERY_STRING not defined<br>\n", cgi_page);
                return false;
            }
            len = std::strlen(qs);
            cgibuffer.assign(len + 1, '\0');
            std::memcpy(cgibuffer.data(), qs, len);
        }
    } catch (const std::bad_alloc&) {
        nomemory();
        return false;
    }

    const char* remote = std::getenv("REMOTE_ADDR");
    if (remote == nullptr) {
        std::fputs("The enviroment variable REMOTE_ADDR is undefined. Cannot connect!<br>\n",
                   cgi_page);
        return false;
    }
    if (len == 0) {
        request.remote = remote;
        return true;
    }

    char* buf = cgibuffer.data();
    const int fields = formdecode(buf, len, buf);

    try {
        request.fields.reserve(static_cast<std::size_t>(fields));
        // Every field ends in a zero byte of its own ("&" or the terminator, or an earlier
        // decoded zero byte), so walking `fields` pieces never leaves the buffer.
        char* piece = buf;
        for (int j = 0; j < fields; ++j) {
            const std::size_t plen = std::strlen(piece);
            CgiField field;
            if (char* eq = std::strchr(piece, '=')) {
                *eq = '\0';
                field.value = eq + 1;
            }
            field.name = piece;
            request.fields.push_back(std::move(field));
            piece += plen + 1;
        }
        request.remote = remote;
    } catch (const std::bad_alloc&) {
        nomemory();
        request = CgiRequest{};
        return false;
    }
    return true;
}

} // namespace kpx
