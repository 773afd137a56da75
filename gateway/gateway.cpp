#include "gateway.h"

#include "admit.h"
#include "cgi.h"
#include "guard.h"
#include "hooks.h"
#include "reports.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kpx {

gatekind gwkind = gatekind::listener;
std::string commandfile;
std::string repdir;
std::string CLIENTURL;
std::string BCASTURL;
std::array<char, 1024> resfilenam{};
std::FILE* banfile = nullptr;

namespace {

const char* const defaultrepdir = "/tmp";

void page(const char* text) {
    std::fputs(text, cgi_page);
}

[[noreturn]] void finish(int status) {
    std::fflush(cgi_page);
    leave(status);
}

const char* const urlrefusal =
    "CLIENTURL and BCASTURL must be web addresses beginning with http:// or https://, of "
    "printable ASCII characters without blanks, \"=\", quotes or angle brackets!<br>\n";

const char* const crosssiterefusal =
    "Refused: this server takes requests only as forms posted from its own pages.<br>\n";

const char* const busyrefusal =
    "The web gateway is busy (too many requests at once from your address or in all). "
    "Please try again in a minute.<br>\n";

// Also the answer when the file of the report's name is not this request's report.
const char* const reportrefusal =
    "Error reading report file...if it works: be happy. If not: try again!<br>\n";

// The web server says so in HTTPS ("on") or REQUEST_SCHEME ("https").
bool overhttps() {
    const char* flag = std::getenv("HTTPS");
    const char* scheme = std::getenv("REQUEST_SCHEME");
    return (flag != nullptr && strcasecmp(flag, "on") == 0) ||
           (scheme != nullptr && strcasecmp(scheme, "https") == 0);
}

bool postonly() {
    const char* flag = std::getenv("KPX_POSTONLY");
    return flag != nullptr && *flag != '\0' && std::strcmp(flag, "0") != 0;
}

} // namespace

std::string requester() {
    const char* remote = std::getenv("REMOTE_ADDR");
    in6_addr a{};
    if (remote != nullptr &&
        (::inet_pton(AF_INET, remote, &a) == 1 || ::inet_pton(AF_INET6, remote, &a) == 1))
        return remote;
    return "-";
}

namespace {

// The page for a client whose network waits after a request that could not be connected.
bool cooling(const std::string& client) {
    const long left = cooldownleft(client);
    if (left <= 0) return false;
    std::fprintf(cgi_page,
                 "A request from your network could not be connected just now. Please wait "
                 "%ld seconds before you try again.<br>\n",
                 left);
    return true;
}

void illegalname() {
    page("Illegal hostname or IP address!\n");
    page("Press back on your browser and try again!\n");
}

} // namespace

int nameok(const std::string& name) {
    if (name.size() + std::strlen(".html") > gw_filenamebytes) return 0;
    std::size_t count = 0;
    for (char c : name) {
        if (c == '.') ++count;
        if (c == '@' || c == ' ') count = name.size() + 1;
    }
    if (!(count > 1 && count < name.size())) return 0;
    for (unsigned char c : name) {
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        bool digit = c >= '0' && c <= '9';
        if (!letter && !digit && c != '.' && c != '-' && c != '_') return 0;
    }
    return 1;
}

// A URL travels as one blank-separated token of the "@BCONNECT" line and ends up in the
// refresh and the link of the server's forwarder page, on this site's origin: only web
// addresses may go there (a "javascript:" URL would run in the site's name), and blanks,
// control characters, "=", quotes and angle brackets would not survive the line and the page.
// Only printable ASCII: a non-ASCII or bidirectional-override character would let a listed
// page pass for another one where listeners and operators read it.
bool urlok(const std::string& url) {
    if (url.size() > gw_urlchars || !isplainurl(url)) return false;
    if (strncasecmp(url.c_str(), "http://", 7) != 0 && strncasecmp(url.c_str(), "https://", 8) != 0)
        return false;
    for (unsigned char c : url) {
        if (c <= ' ' || c == 0x7F || c == '=' || c == '"' || c == '\'' || c == '<' || c == '>')
            return false;
    }
    return true;
}

void doit() {
    // A registration carries the visitor's address, so that the server can tell a relay
    // asking for itself from anybody else naming it.
    std::string line = gwkind == gatekind::listener ? clientname + "\n"
                                                    : "@BCONNECT " + clientname + " " + CLIENTURL +
                                                          " " + BCASTURL + " " + requester() + "\n";
    int error = 0;
    // The request is left in the file when it is not taken in time: the server may still
    // take it.
    switch (handover(commandfile, line, false, error)) {
    case handed::taken:
    case handed::withdrawn:
        return;
    case handed::busy:
        page("Server is busy or not accepting connections.<br>\n");
        finish(1);
    case handed::failed:
        page("Could not create commandfile. Please mail admin!<br>\n");
        finish(1);
    case handed::nottaken:
        break;
    }
    // Not taken in time: the server is busy with something that does not answer. This
    // network's next request waits a while.
    startcooldown(requester());
    page("Timeout: Request was not responded by server!<br>\n");
    if (gwkind == gatekind::listener) {
        page("Server may be down - please try again later!<br>\n");
    } else {
        page("Value COMMANDFILE may be wrong or server may be down.<br>\n");
    }
    page("Contact admin<br>\n");
    finish(1);
}

int gateway_main(gatekind kind) {
    gwkind = kind;
    commandfile.clear();
    repdir.clear();
    CLIENTURL.clear();
    BCASTURL.clear();
    resfilenam.fill('\0');

    if (cgi_init() == 0) return 1;

    // Where the web server says so, state is changed only by a form posted from this site:
    // another site's page cannot make its visitors' browsers send a request.
    if (postonly() && !sameorigin(std::getenv("REQUEST_METHOD"), std::getenv("HTTP_HOST"),
                                  std::getenv("HTTP_ORIGIN"), std::getenv("HTTP_REFERER"),
                                  overhttps(), std::getenv("KPX_SITENAMES"))) {
        page(crosssiterefusal);
        return 1;
    }

    // An operator who configures the paths in the web server's environment takes them out
    // of the visitors' hands: the form fields are then ignored.
    const char* envcommand = std::getenv("KPX_COMMANDFILE");
    const char* envrepdir = std::getenv("KPX_REPDIR");

    std::optional<std::string> formcommand, formrepdir, clienturl, bcasturl;
    for (int j = 0; j < cgi_argc; ++j) {
        const char* name = cgi_name[static_cast<std::size_t>(j)];
        const char* wert = cgi_wert[static_cast<std::size_t>(j)];
        if (wert == nullptr) continue; // a field without "=" carries no value
        if (strcasecmp(name, "CLIENTNAME") == 0) {
            clientname = wert;
        } else if (strcasecmp(name, "COMMANDFILE") == 0) {
            formcommand = wert;
        } else if (strcasecmp(name, "REPDIR") == 0) {
            formrepdir = wert;
        } else if (kind == gatekind::broadcaster && strcasecmp(name, "CLIENTURL") == 0) {
            clienturl = wert;
        } else if (kind == gatekind::broadcaster && strcasecmp(name, "BCASTURL") == 0) {
            bcasturl = wert;
        }
    }

    if (kind == gatekind::listener && clientname.empty()) {
        page("You MUST give CLIENTNAME or REMOTE_ADDR!<br>\n");
        return 1;
    }
    if (!nameok(clientname)) {
        illegalname();
        return 1;
    }
    if (kind == gatekind::broadcaster) {
        if (!bcasturl) {
            page("BCASTURL must be defined! Mail admin!<br>");
            return 1;
        }
        if (!clienturl) {
            page("CLIENTURL must be defined! Mail admin!<br>");
            return 1;
        }
        if (clienturl->empty()) {
            page("You MUST give CLIENTURL!<br>\n");
            return 1;
        }
        if (bcasturl->empty()) {
            page("You MUST give BCASTURL!<br>\n");
            return 1;
        }
        // The whole line must also reach the server uncut.
        const std::size_t linelength = std::strlen("@BCONNECT    \n") + clientname.size() +
                                       clienturl->size() + bcasturl->size() + requester().size();
        if (!urlok(*clienturl) || !urlok(*bcasturl) || linelength > gw_linechars) {
            page(urlrefusal);
            return 1;
        }
        CLIENTURL = *clienturl;
        BCASTURL = *bcasturl;
    }

    if (envcommand != nullptr) {
        commandfile = *envcommand ? envcommand : DEFAULTCOMMANDFILE;
    } else {
        commandfile = formcommand ? *formcommand : DEFAULTCOMMANDFILE;
    }
    if (envrepdir != nullptr) {
        repdir = *envrepdir ? envrepdir : defaultrepdir;
    } else {
        repdir = formrepdir ? *formrepdir : defaultrepdir;
    }

    std::string report = repdir + "/" + clientname + ".html";
    if (report.size() > resfilenam.size() - 1) {
        illegalname();
        return 1;
    }

    std::optional<ReportOwner> owner;
    if (!reportowner(owner)) {
        page("KPX_SERVERUSER names no user. Please mail admin!<br>\n");
        return 1;
    }
    // A network whose last request could not be connected waits; a request that finds no
    // free slot is answered at once instead of waiting its turn.
    const char* remote = std::getenv("REMOTE_ADDR");
    const std::string client = remote != nullptr ? remote : "";
    if (cooling(client)) return 1;
    bool held = true;
    if (!takeslot(client, held)) {
        page("Could not use the gateway's lock directory. Please mail admin!<br>\n");
        return 1;
    }
    if (!held) {
        page(busyrefusal);
        return 1;
    }
    // The runs that came first hand over their requests first.
    if (!awaitturn()) {
        page("Server is busy or not accepting connections.<br>\n");
        return 1;
    }
    if (cooling(client)) return 1; // a run of the same network failed while this one waited

    const std::timespec placed = requesttime();
    doit();

    std::memcpy(resfilenam.data(), report.c_str(), report.size() + 1);
    int pauses = 0;
    while (!fileexists(resfilenam.data())) {
        if (pauses >= gw_maxpauses) {
            page("Server did not create any action report!<br>\n");
            return 1;
        }
        hooks.pause(gw_pausems);
        ++pauses;
    }

    // Only the report the server wrote for this request is copied: never a symbolic link, and
    // (the server writes its report before it takes the request from the command file) never
    // a file that was there before or that the server could not replace. Opening anything
    // else must not wait for a writer.
    const int rfd = ::open(resfilenam.data(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    struct stat rst {};
    if (rfd >= 0 && (::fstat(rfd, &rst) != 0 || !reportforthisrequest(rst, owner, placed))) {
        ::close(rfd);
        banfile = nullptr;
    } else {
        banfile = rfd >= 0 ? ::fdopen(rfd, "r") : nullptr;
        if (banfile == nullptr && rfd >= 0) ::close(rfd);
    }
    if (banfile == nullptr) {
        page(reportrefusal);
        return 1;
    }
    // The listener gateway copies lines in pieces of up to 2047 characters, the
    // broadcaster gateway in pieces of up to 1023; each piece gets a newline of its own.
    std::array<char, 2048> piece{};
    int size = kind == gatekind::listener ? 2048 : 1024;
    bool failed = false;
    while (std::fgets(piece.data(), size, banfile) != nullptr) {
        failed = failed || std::strstr(piece.data(), MSG_CANNOTCONNECT) != nullptr;
        std::fputs(piece.data(), cgi_page);
        std::fputc('\n', cgi_page);
    }
    std::fclose(banfile);
    banfile = nullptr;
    ::unlink(resfilenam.data());
    // The server could not connect the address asked for: this network waits a while.
    if (failed) startcooldown(client);
    return 0;
}

} // namespace kpx
