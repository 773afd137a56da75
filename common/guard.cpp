#include "guard.h"

#include "config.h"
#include "globals.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

namespace kpx {

namespace {

// Retention works through the report directory in small steps: this many entries read, or
// this many reports removed, per call; a finished scan is followed by a pause.
inline constexpr int PRUNEREADS = 64;
inline constexpr int PRUNEREMOVALS = 16;
inline constexpr std::time_t PRUNEPAUSESEC = 5;

struct Pruner {
    DIR* dir = nullptr;
    std::string path;                                       // the directory being scanned
    std::vector<std::pair<std::time_t, std::string>> found; // our .txt reports: mtime, name
    std::vector<std::string> doomed;                        // names to remove, oldest last
    std::time_t nextscan = 0;
};
Pruner pruner;

bool endswith(const std::string& s, const char* tail) {
    const std::string t(tail);
    return s.size() > t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

std::string dirof(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

void box(const std::vector<std::string>& lines) {
    std::size_t width = 0;
    for (const std::string& l : lines)
        width = std::max(width, l.size());
    const std::string rule(width + 4, '*');
    std::fprintf(stderr, "%s\n", rule.c_str());
    for (const std::string& l : lines)
        std::fprintf(stderr, "* %s%s *\n", l.c_str(), std::string(width - l.size(), ' ').c_str());
    std::fprintf(stderr, "%s\n", rule.c_str());
}

// A warning box when users other than ours can write `dir`: world-writable, or writable by a
// group that is not ours.
void warnopen(const std::string& dir, const char* what, const char* key, const char* risk) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) return;
    const bool world = (st.st_mode & S_IWOTH) != 0;
    const bool group = (st.st_mode & S_IWGRP) != 0 && st.st_gid != ::getegid();
    if (!world && !group) return;
    box({"WARNING:", std::string("The directory of the ") + what + ", " + dir + ",",
         std::string("can be written by ") + (world ? "every user" : "another group") +
             " of this host.",
         risk, std::string("Set '") + key + "' to a directory of its own that only",
         "this program's user (and the web server's group) can write."});
}

} // namespace

bool relayhostallowed(std::uint32_t addr) {
    return !g.guard.relayhostsset || netallowed(g.guard.relayhosts, addr);
}

bool relayurlsallowed(const std::string& clienturl, const std::string& bcasturl) {
    const auto listed = [](const std::string& url) {
        return std::any_of(
            g.guard.relayurls.begin(), g.guard.relayurls.end(),
            [&url](const std::string& p) { return url.compare(0, p.size(), p) == 0; });
    };
    return g.guard.relayurls.empty() || (listed(clienturl) && listed(bcasturl));
}

std::string urlhost(const std::string& url) {
    const std::size_t sep = url.find("://");
    if (sep == std::string::npos) return "";
    std::string auth = url.substr(sep + 3);
    auth = auth.substr(0, auth.find_first_of("/\\?#"));
    const std::size_t at = auth.rfind('@');
    if (at != std::string::npos) auth = auth.substr(at + 1);
    std::string host;
    if (!auth.empty() && auth[0] == '[') {
        const std::size_t close = auth.find(']');
        host = close == std::string::npos ? "" : auth.substr(1, close - 1);
    } else {
        host = auth.substr(0, auth.find(':'));
    }
    for (char& c : host)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return host;
}

bool isaddress(const std::string& text, std::uint32_t addr) {
    in_addr a4{};
    if (::inet_pton(AF_INET, text.c_str(), &a4) == 1) return a4.s_addr == addr;
    in6_addr a6{};
    if (::inet_pton(AF_INET6, text.c_str(), &a6) != 1 || !IN6_IS_ADDR_V4MAPPED(&a6)) return false;
    std::uint32_t mapped = 0;
    std::memcpy(&mapped, &a6.s6_addr[12], sizeof mapped);
    return mapped == addr;
}

void prnguard() {
    if (g.profile->role == Role::relay)
        std::fputs(g.guard.upstreamset
                       ? "- Upstream senders are accepted only from the 'allowupstream' list.\n"
                       : "- Upstream senders are accepted from any host (name the server in "
                         "'allowupstream').\n",
                   stderr);
    if (g.allowbcons == 1)
        std::fputs(g.guard.relayhostsset || !g.guard.relayurls.empty()
                       ? "- Broadcasters may register only as 'relayhosts'/'relayurls' say.\n"
                       : "- Any host may register as a broadcaster (name them in 'relayhosts').\n",
                   stderr);
    if (g.allowbcons == 1)
        std::fputs(g.guard.relayurls.empty()
                       ? "- A broadcaster's pages must be on its own host (name other sites in "
                         "'relayurls'); a listed broadcaster's pages are changed only by the "
                         "operator.\n"
                       : "- A listed broadcaster's pages are changed only from its own address "
                         "or by the operator.\n",
                   stderr);
    warnopen(dirof(g.listname), "command file", "commandfile",
             "Others can write requests and @STOP into it.");
    warnopen(g.resdir, "reports", "repdir", "Others can plant a page under a report's name.");
}

bool ownreport(const struct stat& st) {
    const mode_t mode = st.st_mode & 07777;
    return S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && st.st_nlink == 1 &&
           (mode == 0640 || mode == 0644);
}

bool removeownreport(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    if (S_ISLNK(st.st_mode) && st.st_uid == ::geteuid()) return ::unlink(path.c_str()) == 0;
    if (!ownreport(st)) return false;
    return ::unlink(path.c_str()) == 0;
}

void prunereports() {
    Pruner& p = pruner;
    if (g.guard.reportage <= 0 && g.guard.reportcount <= 0) return;
    if (!p.doomed.empty()) {
        for (int i = 0; i < PRUNEREMOVALS && !p.doomed.empty(); ++i) {
            const std::string base = p.path + "/" + p.doomed.back();
            p.doomed.pop_back();
            if (removeownreport(base + ".txt")) removeownreport(base + ".html");
        }
        return;
    }
    const std::time_t now = std::time(nullptr);
    if (p.dir == nullptr) {
        if (now < p.nextscan) return;
        p.path = g.resdir.empty() ? "/" : g.resdir;
        p.dir = ::opendir(p.path.c_str());
        p.found.clear();
        if (p.dir == nullptr) {
            p.nextscan = now + PRUNEPAUSESEC;
            return;
        }
    }
    for (int i = 0; i < PRUNEREADS; ++i) {
        const dirent* e = ::readdir(p.dir);
        if (e == nullptr) {
            ::closedir(p.dir);
            p.dir = nullptr;
            p.nextscan = now + PRUNEPAUSESEC;
            // Newest first: everything from the count limit on, and everything too old.
            std::sort(p.found.begin(), p.found.end(),
                      [](const auto& a, const auto& b) { return a.first > b.first; });
            for (std::size_t k = 0; k < p.found.size(); ++k) {
                const bool tooold =
                    g.guard.reportage > 0 && now - p.found[k].first > g.guard.reportage;
                const bool toomany =
                    g.guard.reportcount > 0 && k >= static_cast<std::size_t>(g.guard.reportcount);
                if (tooold || toomany) p.doomed.push_back(p.found[k].second);
            }
            p.found.clear();
            if (!p.doomed.empty())
                std::fprintf(stderr, "Removing %zu old reports from %s.\n", p.doomed.size(),
                             p.path.c_str());
            return;
        }
        const std::string name = e->d_name;
        if (!endswith(name, ".txt")) continue;
        struct stat st {};
        if (::fstatat(::dirfd(p.dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (ownreport(st)) p.found.emplace_back(st.st_mtime, name.substr(0, name.size() - 4));
    }
}

} // namespace kpx
