// CGI request decoding shared by the two gateway programs: checks the CGI environment,
// reads GET or POST form data, undoes the form encoding and splits it into fields.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace kpx {

// Largest POST body accepted; anything above is refused without reading it.
inline constexpr long cgi_maxcontent = 65536;

extern char cgi_method;             // 'G' for GET, 'P' for POST
extern int cgi_argc;                // number of fields
extern std::vector<char*> cgi_name; // field names, in the order of the form data
extern std::vector<char*> cgi_wert; // field values; nullptr where the field holds no "="
extern std::string clientname;      // REMOTE_ADDR, later possibly replaced by CLIENTNAME

// Where page messages go (standard output by default) and where a POST body is read from
// (standard input by default). Tests point them elsewhere.
extern std::FILE* cgi_page;
extern int cgi_input;

// Reads and decodes the request. 1: the fields are ready; 0: the request cannot be served
// (the reason has been printed on the page, or on the error stream for a lack of memory).
int cgi_init();

} // namespace kpx
