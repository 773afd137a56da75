#include "request.h"

#include "configfile.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

namespace kpx {

std::string listenerline(const std::string& name) {
    return name + "\n";
}

std::string bconnectline(const std::string& name, const std::string& clienturl,
                         const std::string& bcasturl, const std::string& requester) {
    return "@BCONNECT " + name + " " + clienturl + " " + bcasturl +
           (requester.empty() ? "" : " " + requester) + "\n";
}

Registration parsebconnect(const std::string& line) {
    return {getparam(line, 1, VALUECHARS), getparam(line, 2, URLTOKENCHARS),
            getparam(line, 3, URLTOKENCHARS), getparam(line, 4, VALUECHARS)};
}

bool nameok(const std::string& name) {
    if (name.size() + std::strlen(".html") > FILENAMEBYTES) return false;
    std::size_t count = 0;
    for (char c : name) {
        if (c == '.') ++count;
        if (c == '@' || c == ' ') count = name.size() + 1;
    }
    if (!(count > 1 && count < name.size())) return false;
    return std::all_of(name.begin(), name.end(), [](unsigned char c) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        const bool digit = c >= '0' && c <= '9';
        return letter || digit || c == '.' || c == '-' || c == '_';
    });
}

bool acceptablename(const std::string& name) {
    return name.find('/') == std::string::npos;
}

bool isplainurl(const std::string& url) {
    return std::all_of(url.begin(), url.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u > 0x20 && u < 0x7F;
    });
}

// A URL travels as one blank-separated token of the "@BCONNECT" line and ends up in the
// refresh and the link of the server's forwarder page, on this site's origin: only web
// addresses may go there (a "javascript:" URL would run in the site's name), and blanks,
// control characters, "=", quotes and angle brackets would not survive the line and the page.
// Only printable ASCII: a non-ASCII or bidirectional-override character would let a listed
// page pass for another one where listeners and operators read it.
bool urlok(const std::string& url) {
    if (url.size() > static_cast<std::size_t>(URLCHARS) || !isplainurl(url)) return false;
    if (strncasecmp(url.c_str(), "http://", 7) != 0 && strncasecmp(url.c_str(), "https://", 8) != 0)
        return false;
    return std::none_of(url.begin(), url.end(), [](char c) {
        return c == '=' || c == '"' || c == '\'' || c == '<' || c == '>';
    });
}

std::string reportpath(const std::string& dir, const std::string& name, const char* ext) {
    return dir + "/" + name + ext;
}

} // namespace kpx
