#include "reports.h"

#include "console.h"
#include "globals.h"
#include "guard.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kpx {

namespace {

// Replaces an earlier report of ours and creates the report afresh, mode 0640 (its group is
// the directory's, the web server's where the directory is set-group-ID). A file with the
// report's name that this program did not write is left alone, and no report is written. The
// creation is exclusive and does not follow a symbolic link, so a link planted between the
// removal and the creation (or a directory that cannot be removed) makes it fail instead of
// writing somewhere else.
std::FILE* createreport(const std::string& path) {
    if (path.size() > static_cast<std::size_t>(PATHCHARS)) return nullptr;
    if (!removeownreport(path)) return nullptr;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
    if (fd < 0) return nullptr;
    ::fchmod(fd, 0640);
    std::FILE* f = ::fdopen(fd, "w");
    if (f == nullptr) ::close(fd);
    return f;
}

// True when a file that this program did not write has the name of one of the request's
// reports: the request then gets the error report where it can be written.
bool nametaken(const std::string& name) {
    for (const char* ext : {".html", ".txt"}) {
        struct stat st {};
        const std::string path = reportpath(name, ext);
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && !ownreport(st)) {
            std::fprintf(stderr, "'%s' was not written by this server: it is left alone.\n",
                         path.c_str());
            return true;
        }
    }
    return false;
}

// Closes a report; one that could not be written completely (a full disk) is removed, so that
// no requester is handed an empty or cut page as if it were the answer. False then.
bool closereport(std::FILE* f, const std::string& path) {
    const bool written = std::fflush(f) == 0 && std::ferror(f) == 0;
    const int error = errno;
    if (std::fclose(f) == 0 && written) return true;
    ::unlink(path.c_str());
    std::fprintf(stderr, "Report '%s' could not be written (%s) and was removed.\n", path.c_str(),
                 std::strerror(written ? errno : error));
    return false;
}

// Opens a skeleton for reading; only a readable regular file counts as a skeleton.
std::FILE* openskeleton(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    std::FILE* f = ::fdopen(fd, "r");
    if (f == nullptr) ::close(fd);
    return f;
}

// Copies the skeleton piece by piece (at most SKELETONCHARS characters each), every piece
// followed by an added newline. A piece read up to the end of the file is not copied, so a
// last line without its newline is lost. With `message` set, a piece beginning with '@' is
// the marker and is replaced by "<name>: <message>." (the name HTML-escaped).
void copyskeleton(std::FILE* skel, std::FILE* out, const std::string& name, const char* message) {
    char buf[SKELETONCHARS + 1];
    while (!std::feof(skel) && !std::ferror(skel)) {
        if (std::fgets(buf, sizeof buf, skel) == nullptr) break;
        if (std::feof(skel)) break;
        if (message != nullptr && buf[0] == '@')
            std::fprintf(out, "%s: %s.\n", htmlescape(name).c_str(), message);
        else
            std::fprintf(out, "%s\n", buf);
    }
}

// The success and error reports share everything but their texts.
void writereport(const std::string& name, std::string skeleton, const char* kindword,
                 const char* message) {
    if (!acceptablename(name)) {
        prnrefusedname(name);
        return;
    }
    if (message == nullptr && nametaken(name)) {
        skeleton = g.errorfile;
        kindword = "ERROR";
        message = MSG_NAMETAKEN;
    }
    // The old report goes first, before the skeleton is opened.
    const std::string html = reportpath(name, ".html");
    removeownreport(html);
    std::FILE* skel = openskeleton(skeleton);
    if (skel == nullptr) std::fputs("No HTML skeleton for report found.\n", stderr);
    std::FILE* rep = createreport(html);
    std::fprintf(stderr, "%s %s report ", rep != nullptr ? "Writing" : "Cannot write", kindword);
    if (skel != nullptr) {
        std::fprintf(stderr, message != nullptr ? "to '%s' " : "to '%s' and ", html.c_str());
        if (rep != nullptr) copyskeleton(skel, rep, name, message);
        std::fclose(skel);
    }
    if (rep != nullptr) closereport(rep, html);

    const std::string txt = reportpath(name, ".txt");
    std::fprintf(stderr, " to '%s'.\n", txt.c_str());
    std::FILE* t = createreport(txt);
    if (t == nullptr) {
        std::fputs("Text file could not be created!\n", stderr);
        return;
    }
    if (message != nullptr)
        std::fprintf(t, "%s: %s \n", name.c_str(), message);
    else
        std::fprintf(t, "%s: Connection established. Enjoy KPX!\n", name.c_str());
    closereport(t, txt);
}

} // namespace

void prnrefusedname(const std::string& name) {
    std::fprintf(stderr,
                 "Request name '%s' is not acceptable (it contains '/'). "
                 "No report written.\n",
                 name.c_str());
}

std::string reportpath(const std::string& name, const char* ext) {
    return reportpath(g.resdir, name, ext);
}

void handlesuccess(const std::string& name) {
    writereport(name, g.okfile, "SUCCESS", nullptr);
}

void handleerror(const std::string& message, const std::string& name) {
    writereport(name, g.errorfile, "ERROR", message.c_str());
}

void handleforwarding(const std::string& url, const std::string& name) {
    if (!acceptablename(name)) {
        prnrefusedname(name);
        return;
    }
    const std::string html = reportpath(name, ".html");
    std::FILE* rep = createreport(html);
    if (rep == nullptr) {
        std::fputs("Cannot write FORWARDER HTML ", stderr);
        handleerror(MSG_INTERNAL, "KPX-SERVER");
    } else {
        std::fputs("Generating FORWARDER HTML.\n", stderr);
        const std::string u = htmlescape(url);
        std::fprintf(rep, "<HEAD>\n");
        std::fprintf(rep, "<META HTTP-EQUIV=%cRefresh%c CONTENT=%c0; URL=%s%c>\n", 34, 34, 34,
                     u.c_str(), 34);
        // Quoted as well as escaped: an unquoted value would end at the first blank and let
        // the rest of the URL become attributes of the link.
        std::fprintf(
            rep, "Maximum amount of clients reached.<A HREF=%c%s%c>Try this broadcaster</A><br>\n",
            34, u.c_str(), 34);
        std::fprintf(rep, "</HEAD>\n");
        closereport(rep, html);
    }
    const std::string txt = reportpath(name, ".txt");
    std::FILE* t = createreport(txt);
    if (t != nullptr) {
        std::fputs("Maximum number of clients reached. Use WWW-Connect!", t);
        closereport(t, txt);
    }
}

} // namespace kpx
