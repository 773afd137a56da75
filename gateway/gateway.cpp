#include "gateway.h"

#include "admit.h"
#include "cgi.h"
#include "hooks.h"
#include "reports.h"
#include "request.h"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kpx {

namespace {

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

void doit(const Request& request) {
    const std::string line = request.kind == gatekind::listener
                                 ? listenerline(request.clientname)
                                 : bconnectline(request.clientname, request.clienturl.value_or(""),
                                                request.bcasturl.value_or(""), requester());
    int error = 0;
    // The request is left in the file when it is not taken in time: the server may still
    // take it.
    switch (handover(request.commandfile, line, false, error)) {
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
    if (request.kind == gatekind::listener) {
        page("Server may be down - please try again later!<br>\n");
    } else {
        page("Value COMMANDFILE may be wrong or server may be down.<br>\n");
    }
    page("Contact admin<br>\n");
    finish(1);
}

namespace {

// The steps of a run. Each returns false once it has put the refusal on the page: the run then
// ends with status 1.

// The form and the web server's environment. Where the web server says so, state is changed
// only by a form posted from this site: another site's page cannot make its visitors'
// browsers send a request.
bool readrequest(gatekind kind, Request& request) {
    CgiRequest cgi;
    if (!cgi_init(cgi)) return false;
    if (postonly() && !sameorigin(std::getenv("REQUEST_METHOD"), std::getenv("HTTP_HOST"),
                                  std::getenv("HTTP_ORIGIN"), std::getenv("HTTP_REFERER"),
                                  overhttps(), std::getenv("KPX_SITENAMES"))) {
        page(crosssiterefusal);
        return false;
    }
    request.kind = kind;
    request.clientname = cgi.remote;
    std::optional<std::string> formcommand, formrepdir;
    for (const CgiField& field : cgi.fields) {
        if (!field.value) continue; // a field without "=" carries no value
        const char* name = field.name.c_str();
        if (strcasecmp(name, "CLIENTNAME") == 0) {
            request.clientname = *field.value;
        } else if (strcasecmp(name, "COMMANDFILE") == 0) {
            formcommand = field.value;
        } else if (strcasecmp(name, "REPDIR") == 0) {
            formrepdir = field.value;
        } else if (kind == gatekind::broadcaster && strcasecmp(name, "CLIENTURL") == 0) {
            request.clienturl = field.value;
        } else if (kind == gatekind::broadcaster && strcasecmp(name, "BCASTURL") == 0) {
            request.bcasturl = field.value;
        }
    }
    // An operator who configures the paths in the web server's environment takes them out
    // of the visitors' hands: the form fields are then ignored.
    const auto path = [](const char* env, const std::optional<std::string>& form,
                         const char* fallback) -> std::string {
        if (env != nullptr) return *env ? env : fallback;
        return form ? *form : fallback;
    };
    request.commandfile = path(std::getenv("KPX_COMMANDFILE"), formcommand, DEFAULTCOMMANDFILE);
    request.repdir = path(std::getenv("KPX_REPDIR"), formrepdir, DEFAULTREPDIR);
    return true;
}

// The name to connect, a registration's pages and the report's path.
bool validate(const Request& request) {
    const std::optional<std::string>& clienturl = request.clienturl;
    const std::optional<std::string>& bcasturl = request.bcasturl;
    if (request.kind == gatekind::listener && request.clientname.empty()) {
        page("You MUST give CLIENTNAME or REMOTE_ADDR!<br>\n");
        return false;
    }
    if (!nameok(request.clientname)) {
        illegalname();
        return false;
    }
    if (request.kind == gatekind::broadcaster) {
        if (!bcasturl) {
            page("BCASTURL must be defined! Mail admin!<br>");
            return false;
        }
        if (!clienturl) {
            page("CLIENTURL must be defined! Mail admin!<br>");
            return false;
        }
        if (clienturl->empty()) {
            page("You MUST give CLIENTURL!<br>\n");
            return false;
        }
        if (bcasturl->empty()) {
            page("You MUST give BCASTURL!<br>\n");
            return false;
        }
        // The whole line must also reach the server uncut.
        const std::size_t linelength =
            bconnectline(request.clientname, *clienturl, *bcasturl, requester()).size();
        if (!urlok(*clienturl) || !urlok(*bcasturl) ||
            linelength > static_cast<std::size_t>(COMMANDLINECHARS)) {
            page(urlrefusal);
            return false;
        }
    }
    if (reportpath(request.repdir, request.clientname, ".html").size() >
        static_cast<std::size_t>(PATHCHARS)) {
        illegalname();
        return false;
    }
    return true;
}

// Who may run now: the report's owner is known, the visitor's network is not waiting after a
// failed request, a slot is free (a request that finds none is answered at once instead of
// waiting its turn), and the runs that came first have handed over their requests.
bool admit(const std::string& client, std::optional<ReportOwner>& owner) {
    if (!reportowner(owner)) {
        page("KPX_SERVERUSER names no user. Please mail admin!<br>\n");
        return false;
    }
    if (cooling(client)) return false;
    bool held = true;
    if (!takeslot(client, held)) {
        page("Could not use the gateway's lock directory. Please mail admin!<br>\n");
        return false;
    }
    if (!held) {
        page(busyrefusal);
        return false;
    }
    if (!awaitturn()) {
        page("Server is busy or not accepting connections.<br>\n");
        return false;
    }
    return !cooling(client); // a run of the same network failed while this one waited
}

// Waits for the server's report and copies it to the page. Only the report the server wrote
// for this request is copied: never a symbolic link, and (the server writes its report before
// it takes the request from the command file) never a file that was there before or that the
// server could not replace. Opening anything else must not wait for a writer.
bool copyreport(const Request& request, const std::string& client,
                const std::optional<ReportOwner>& owner, const std::timespec& placed) {
    const std::string report = reportpath(request.repdir, request.clientname, ".html");
    for (int pauses = 0; !fileexists(report.c_str()); ++pauses) {
        if (pauses >= cmd_maxpauses) {
            page("Server did not create any action report!<br>\n");
            return false;
        }
        hooks.pause(cmd_pausems);
    }
    const int rfd = ::open(report.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    std::FILE* banfile = nullptr;
    struct stat rst {};
    if (rfd >= 0 && (::fstat(rfd, &rst) != 0 || !reportforthisrequest(rst, owner, placed))) {
        ::close(rfd);
    } else {
        banfile = rfd >= 0 ? ::fdopen(rfd, "r") : nullptr;
        if (banfile == nullptr && rfd >= 0) ::close(rfd);
    }
    if (banfile == nullptr) {
        page(reportrefusal);
        return false;
    }
    // The listener gateway copies lines in pieces of up to 2047 characters, the
    // broadcaster gateway in pieces of up to 1023; each piece gets a newline of its own.
    std::array<char, 2048> piece{};
    const int size = request.kind == gatekind::listener ? 2048 : 1024;
    bool failed = false;
    while (std::fgets(piece.data(), size, banfile) != nullptr) {
        failed = failed || std::strstr(piece.data(), MSG_CANNOTCONNECT) != nullptr;
        std::fputs(piece.data(), cgi_page);
        std::fputc('\n', cgi_page);
    }
    std::fclose(banfile);
    ::unlink(report.c_str());
    // The server could not connect the address asked for: this network waits a while.
    if (failed) startcooldown(client);
    return true;
}

} // namespace

int gateway_main(gatekind kind) {
    Request request;
    if (!readrequest(kind, request) || !validate(request)) return 1;
    const char* remote = std::getenv("REMOTE_ADDR");
    const std::string client = remote != nullptr ? remote : "";
    std::optional<ReportOwner> owner;
    if (!admit(client, owner)) return 1;
    const std::timespec placed = requesttime();
    doit(request);
    return copyreport(request, client, owner, placed) ? 0 : 1;
}

} // namespace kpx
