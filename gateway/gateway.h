// The two gateway programs, lconnect (a listener asks the server to connect it) and
// bconnect (a relay broadcaster asks to be fed and listed): they hand one request to the
// server through its command file and return the server's HTML action report as the page.
#pragma once

#include "cmdfile.h"

#include <optional>
#include <string>

namespace kpx {

enum class gatekind { listener, broadcaster };

// One gateway run's request, as read from the form and the web server's environment.
struct Request {
    gatekind kind = gatekind::listener;
    std::string clientname; // the name to connect: REMOTE_ADDR, or the form's CLIENTNAME
    std::optional<std::string> clienturl; // bconnect: where a full server sends listeners
    std::optional<std::string> bcasturl;  // bconnect: where it sends other broadcasters
    std::string commandfile;              // path of the server's command file
    std::string repdir;                   // the server's report directory, no trailing "/"
};

// The visitor's address as the web server gives it (REMOTE_ADDR), "-" when it is no address.
std::string requester();

// Hands the request to the server: waits for a free command file, creates it, writes the
// request line and waits until the server has taken it. Returns only on success; any
// failure prints its message and ends the run with status 1 (through leave).
void doit(const Request& request);

// The whole program of a gateway run after the page header: reads the request, checks it,
// admits it, hands it over and copies the server's report; returns the exit status.
int gateway_main(gatekind kind);

} // namespace kpx
