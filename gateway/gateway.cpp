#include "gateway.h"

#include "cgi.h"
#include "platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <strings.h>
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

const char* const defaultcommandfile = "/tmp/kpx-commands";
const char* const defaultrepdir = "/tmp";

void page(const char* text) { std::fputs(text, cgi_page); }

[[noreturn]] void finish(int status) {
    std::fflush(cgi_page);
    leave(status);
}

void illegalname() {
    page("Illegal hostname or IP address!\n");
    page("Press back on your browser and try again!\n");
}

// A URL travels as one blank-separated token of the "@BCONNECT" line and ends up in an
// HTML attribute of the server's forwarder page: blanks, control characters, "=", quotes and
// angle brackets would not survive both. Bytes of non-ASCII characters pass unchanged.
bool urlok(const std::string& url) {
    for (unsigned char c : url) {
        if (c <= ' ' || c == 0x7F || c == '=' || c == '"' || c == '\'' || c == '<' || c == '>')
            return false;
    }
    return true;
}

} // namespace

int fileexists(const char* path) {
    std::FILE* f = std::fopen(path, "r");
    if (f == nullptr) return 0;
    std::fclose(f);
    return 1;
}

int nameok(const std::string& name) {
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

void doit() {
    std::string line = gwkind == gatekind::listener
                           ? clientname + "\n"
                           : "@BCONNECT " + clientname + " " + CLIENTURL + " " + BCASTURL + "\n";
    int pauses = 0;
    for (;;) {
        // Wait for the previous request to be taken.
        while (fileexists(commandfile.c_str())) {
            if (pauses >= gw_maxpauses) {
                page("Server is busy or not accepting connections.<br>\n");
                finish(1);
            }
            sys.pause(gw_pausems);
            ++pauses;
        }
        sys.pause(gw_pausems);
        // Created exclusively: a run that lost the race to another writer must not replace
        // that writer's request, it waits for the file to be free again.
        int fd = ::open(commandfile.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (fd >= 0) {
            std::FILE* f = ::fdopen(fd, "w");
            bool written = f != nullptr && std::fputs(line.c_str(), f) >= 0;
            if (f != nullptr) {
                written = std::fclose(f) == 0 && written;
            } else {
                ::close(fd);
            }
            if (!written) {
                ::unlink(commandfile.c_str());
                page("Could not create commandfile. Please mail admin!<br>\n");
                finish(1);
            }
            break;
        }
        if (errno != EEXIST) {
            page("Could not create commandfile. Please mail admin!<br>\n");
            finish(1);
        }
        if (++pauses > gw_maxpauses) {
            page("Server is busy or not accepting connections.<br>\n");
            finish(1);
        }
    }

    // Wait for the server to take the request.
    int waited = 0;
    while (fileexists(commandfile.c_str())) {
        if (waited >= gw_maxpauses) {
            page("Timeout: Request was not responded by server!<br>\n");
            if (gwkind == gatekind::listener) {
                page("Server may be down - please try again later!<br>\n");
            } else {
                page("Value COMMANDFILE may be wrong or server may be down.<br>\n");
            }
            page("Contact admin<br>\n");
            finish(1);
        }
        sys.pause(gw_pausems);
        ++waited;
    }
}

int gateway_main(gatekind kind) {
    gwkind = kind;
    commandfile.clear();
    repdir.clear();
    CLIENTURL.clear();
    BCASTURL.clear();
    resfilenam.fill('\0');

    if (cgi_init() == 0) return 1;

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
        if (!urlok(*clienturl) || !urlok(*bcasturl)) {
            page("CLIENTURL and BCASTURL must be web addresses without blanks, \"=\", quotes "
                 "or angle brackets!<br>\n");
            return 1;
        }
        CLIENTURL = *clienturl;
        BCASTURL = *bcasturl;
    }

    if (envcommand != nullptr) {
        commandfile = *envcommand ? envcommand : defaultcommandfile;
    } else {
        commandfile = formcommand ? *formcommand : defaultcommandfile;
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

    doit();

    std::memcpy(resfilenam.data(), report.c_str(), report.size() + 1);
    int pauses = 0;
    while (!fileexists(resfilenam.data())) {
        if (pauses >= gw_maxpauses) {
            page("Server did not create any action report!<br>\n");
            return 1;
        }
        sys.pause(gw_pausems);
        ++pauses;
    }

    banfile = std::fopen(resfilenam.data(), "r");
    if (banfile == nullptr) {
        page("Error reading report file...if it works: be happy. If not: try again!<br>\n");
        return 0;
    }
    // The listener gateway copies lines in pieces of up to 2047 characters, the
    // broadcaster gateway in pieces of up to 1023; each piece gets a newline of its own.
    std::array<char, 2048> piece{};
    int size = kind == gatekind::listener ? 2048 : 1024;
    while (std::fgets(piece.data(), size, banfile) != nullptr) {
        std::fputs(piece.data(), cgi_page);
        std::fputc('\n', cgi_page);
    }
    std::fclose(banfile);
    banfile = nullptr;
    ::unlink(resfilenam.data());
    return 0;
}

} // namespace kpx
