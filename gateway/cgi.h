// CGI request decoding shared by the two gateway programs: checks the CGI environment,
// reads GET or POST form data, undoes the form encoding and splits it into fields.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace kpx {

// Largest POST body accepted; anything above is refused without reading it.
inline constexpr long cgi_maxcontent = 65536;

// One field of the form data, decoded; name and value end at a decoded zero byte.
struct CgiField {
    std::string name;
    std::optional<std::string> value; // none where the field holds no "="
};

// A request as the web server hands it over.
struct CgiRequest {
    char method = 0;              // 'G' for GET, 'P' for POST
    std::string remote;           // REMOTE_ADDR
    std::vector<CgiField> fields; // in the order of the form data
};

// Where page messages go (standard output by default) and where a POST body is read from
// (standard input by default). Tests point them elsewhere.
extern std::FILE* cgi_page;
extern int cgi_input;

// Reads and decodes the request into `request`. True: the fields are ready; false: the request
// cannot be served (the reason has been printed on the page, or on the error stream for a
// lack of memory) and `request` holds no fields.
bool cgi_init(CgiRequest& request);

} // namespace kpx
