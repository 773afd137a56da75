#include "admit.h"

#include "cmdfile.h"
#include "hooks.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <dirent.h>
#include <netinet/in.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

namespace kpx {

namespace {

std::string lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// "host[:port]" of an absolute URL, lower case, without a port that is the scheme's default;
// empty when the URL has no "scheme://" part or no host.
std::string authority(const std::string& url) {
    const std::size_t sep = url.find("://");
    if (sep == std::string::npos || sep == 0) return "";
    const std::string scheme = lower(url.substr(0, sep));
    std::string auth = url.substr(sep + 3);
    auth = auth.substr(0, auth.find_first_of("/?#"));
    const std::size_t at = auth.rfind('@');
    if (at != std::string::npos) auth = auth.substr(at + 1);
    auth = lower(auth);
    const std::string defport = scheme == "https" ? ":443" : scheme == "http" ? ":80" : "";
    if (!defport.empty() && auth.size() > defport.size() &&
        auth.compare(auth.size() - defport.size(), defport.size(), defport) == 0)
        auth.resize(auth.size() - defport.size());
    return auth;
}

int limitfromenv(const char* name, int fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 0 || value > 100000) return fallback;
    return static_cast<int>(value);
}

// The lock files of the client's own slots carry its address; anything but the characters
// of an IPv4 or IPv6 address becomes "_".
std::string addressfilename(const std::string& client) {
    std::string name;
    for (unsigned char c : client)
        name += std::isxdigit(c) || c == '.' || c == ':' ? static_cast<char>(c) : '_';
    return name;
}

std::vector<std::string> ownclientfiles; // removed again when the run ends

void dropclientfiles() {
    // Still under the lock: a run that opened the same file before the removal sees that
    // its file is no longer the one of that name and creates a new one.
    for (const auto& path : ownclientfiles)
        ::unlink(path.c_str());
}

enum class lockresult { taken, inuse, failed };

// Locks `path` (created when missing) without waiting; the descriptor stays open, and the
// lock held, until the program ends.
lockresult lockslot(const std::string& path) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return lockresult::failed;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            ::close(fd);
            return err == EWOULDBLOCK ? lockresult::inuse : lockresult::failed;
        }
        struct stat held {
        }, named{};
        if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino)
            return lockresult::taken;
        ::close(fd); // removed by the run that held it just now: try the new file
    }
    return lockresult::inuse;
}

// Takes the first free one of `count` slots named prefix + index.
lockresult takeoneof(const std::string& prefix, int count, bool remember) {
    for (int i = 0; i < count; ++i) {
        const std::string path = prefix + std::to_string(i);
        const lockresult r = lockslot(path);
        if (r == lockresult::inuse) continue;
        if (r == lockresult::taken && remember) ownclientfiles.push_back(path);
        return r;
    }
    return lockresult::inuse;
}

} // namespace

namespace {

// "host[:port]" without the given default port.
std::string withoutport(std::string auth, const char* defport) {
    const std::size_t n = std::strlen(defport);
    if (auth.size() > n && auth.compare(auth.size() - n, n, defport) == 0)
        auth.resize(auth.size() - n);
    return auth;
}

// The host name of "host[:port]" or "[v6]:port".
std::string hostpart(const std::string& auth) {
    if (!auth.empty() && auth[0] == '[') return auth.substr(0, auth.find(']') + 1);
    return auth.substr(0, auth.find(':'));
}

bool isownname(const std::string& host, const char* sitenames) {
    const std::string name = hostpart(host);
    const std::string list = lower(sitenames);
    std::size_t from = 0;
    while (from <= list.size()) {
        const std::size_t comma = std::min(list.find(',', from), list.size());
        const std::string entry = list.substr(from, comma - from);
        if (!entry.empty() && hostpart(entry) == name) return true;
        from = comma + 1;
    }
    return false;
}

} // namespace

bool sameorigin(const char* method, const char* host, const char* origin, const char* referer,
                bool https, const char* sitenames) {
    if (method == nullptr || lower(method) != "post") return false;
    // A browser sends Origin with every form post, Referer with nearly all: a request with
    // neither comes from something that is not the site's own page.
    const char* named = origin != nullptr ? origin : referer;
    if (named == nullptr) return false;
    if (host == nullptr || *host == '\0') return false;
    const char* scheme = https ? "https" : "http";
    const std::string own = withoutport(lower(host), https ? ":443" : ":80");
    // A page of another name that resolves to this host (DNS rebinding) sends its own name.
    if (sitenames != nullptr && *sitenames != '\0' && !isownname(own, sitenames)) return false;
    const std::string there = named;
    const std::size_t sep = there.find("://");
    if (sep == std::string::npos || lower(there.substr(0, sep)) != scheme) return false;
    return authority(there) == own;
}

bool takeslot(const std::string& client, bool& held) {
    held = true;
    const char* dir = std::getenv("KPX_GATEWAY_LOCKDIR");
    if (dir == nullptr || *dir == '\0') return true;
    const int perclient = limitfromenv("KPX_GATEWAY_PERCLIENT", gw_defaultperclient);
    const int all = limitfromenv("KPX_GATEWAY_MAX", gw_defaultmax);
    const std::string base = std::string(dir) + "/";
    // The client's own slots first: one client holding many requests takes no more of the
    // slots in all than its own limit.
    if (perclient > 0) {
        static const bool registered = std::atexit(dropclientfiles) == 0;
        (void)registered;
        const lockresult r =
            takeoneof(base + "client-" + addressfilename(client) + "-", perclient, true);
        if (r == lockresult::failed) return false;
        if (r == lockresult::inuse) {
            held = false;
            return true;
        }
    }
    const int pernet = limitfromenv("KPX_GATEWAY_PERNET", gw_defaultpernet);
    if (pernet > 0) {
        const lockresult r = takeoneof(base + "net-" + netof(client) + "-", pernet, false);
        if (r == lockresult::failed) return false;
        if (r == lockresult::inuse) {
            held = false;
            return true;
        }
    }
    if (all > 0) {
        const lockresult r = takeoneof(base + "slot-", all, false);
        if (r == lockresult::failed) return false;
        if (r == lockresult::inuse) held = false;
    }
    return true;
}

std::string netof(const std::string& client) {
    in_addr a4{};
    if (::inet_pton(AF_INET, client.c_str(), &a4) == 1) {
        const auto* b = reinterpret_cast<const unsigned char*>(&a4.s_addr);
        return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]);
    }
    in6_addr a6{};
    if (::inet_pton(AF_INET6, client.c_str(), &a6) == 1) {
        if (IN6_IS_ADDR_V4MAPPED(&a6)) {
            const unsigned char* b = &a6.s6_addr[12];
            return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]);
        }
        char text[40];
        std::snprintf(text, sizeof text, "%02x%02x:%02x%02x:%02x%02x:%02x%02x", a6.s6_addr[0],
                      a6.s6_addr[1], a6.s6_addr[2], a6.s6_addr[3], a6.s6_addr[4], a6.s6_addr[5],
                      a6.s6_addr[6], a6.s6_addr[7]);
        return text;
    }
    return addressfilename(client);
}

namespace {

std::string lockdir() {
    const char* dir = std::getenv("KPX_GATEWAY_LOCKDIR");
    return dir == nullptr ? "" : dir;
}

std::string coolfile(const std::string& client) {
    return lockdir() + "/cool-" + netof(client);
}

int turnfd = -1;      // the run's place in the queue, locked while it waits and hands over
std::string turnpath; // its file

void dropturn() {
    if (turnfd < 0) return;
    ::unlink(turnpath.c_str());
    ::close(turnfd);
    turnfd = -1;
}

// The next number of the queue, counted in a file of the lock directory under its lock.
bool nextticket(unsigned long& ticket) {
    const std::string path = lockdir() + "/queue";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = ::flock(fd, LOCK_EX) == 0;
    char text[32] = {};
    const ssize_t n = ok ? ::pread(fd, text, sizeof text - 1, 0) : -1;
    ticket = n > 0 ? std::strtoul(text, nullptr, 10) : 0;
    const std::string next = std::to_string(ticket + 1) + "\n";
    ok = ok && ::ftruncate(fd, 0) == 0 &&
         ::pwrite(fd, next.data(), next.size(), 0) == static_cast<ssize_t>(next.size());
    ::close(fd); // and the lock with it
    return ok;
}

// True when a run with a lower number than `ticket` still waits or hands over. The files of
// runs that ended without removing theirs (nobody holds their lock) are removed.
bool anyoneahead(unsigned long ticket) {
    DIR* d = ::opendir(lockdir().c_str());
    if (d == nullptr) return false;
    bool ahead = false;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.rfind("turn-", 0) != 0) continue;
        char* end = nullptr;
        const unsigned long other = std::strtoul(name.c_str() + 5, &end, 10);
        if (*end != '\0' || other >= ticket) continue;
        const std::string path = lockdir() + "/" + name;
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlink(path.c_str());
        else
            ahead = true;
        ::close(fd);
        if (ahead) break;
    }
    ::closedir(d);
    return ahead;
}

} // namespace

long cooldownleft(const std::string& client) {
    if (lockdir().empty()) return 0;
    struct stat st {};
    if (::lstat(coolfile(client).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    std::timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (st.st_mtim.tv_sec < now.tv_sec ||
        (st.st_mtim.tv_sec == now.tv_sec && st.st_mtim.tv_nsec <= now.tv_nsec))
        return 0;
    const long left = static_cast<long>(st.st_mtim.tv_sec - now.tv_sec) +
                      (st.st_mtim.tv_nsec > now.tv_nsec ? 1 : 0);
    return std::min(left, 3600L);
}

void startcooldown(const std::string& client) {
    const int seconds = limitfromenv("KPX_GATEWAY_COOLDOWN", gw_defaultcooldown);
    if (lockdir().empty() || seconds <= 0) return;
    const std::string path = coolfile(client);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return;
    std::timespec times[2]{};
    ::clock_gettime(CLOCK_REALTIME, &times[1]);
    times[1].tv_sec += seconds;
    times[0] = times[1];
    ::futimens(fd, times);
    ::close(fd);
}

bool awaitturn() {
    if (lockdir().empty()) return true;
    unsigned long ticket = 0;
    if (!nextticket(ticket)) return true; // no queue to be had: as without a lock directory
    char name[40];
    std::snprintf(name, sizeof name, "/turn-%020lu", ticket);
    turnpath = lockdir() + name;
    turnfd = ::open(turnpath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (turnfd < 0) return true;
    if (::flock(turnfd, LOCK_EX | LOCK_NB) != 0) {
        ::close(turnfd);
        turnfd = -1;
        return true;
    }
    static const bool registered = std::atexit(dropturn) == 0;
    (void)registered;
    for (int pauses = 0; anyoneahead(ticket); ++pauses) {
        if (pauses >= cmd_maxpauses) return false;
        hooks.pause(cmd_pausems);
    }
    return true;
}

bool reportowner(std::optional<ReportOwner>& owner) {
    owner.reset();
    const char* name = std::getenv("KPX_SERVERUSER");
    if (name == nullptr || *name == '\0') return true;
    const struct passwd* pw = ::getpwnam(name);
    if (pw == nullptr) return false;
    owner = ReportOwner{pw->pw_uid, pw->pw_gid};
    return true;
}

std::timespec requesttime() {
    std::timespec now{};
#ifdef CLOCK_REALTIME_COARSE
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
#else
    ::clock_gettime(CLOCK_REALTIME, &now);
    now.tv_nsec = 0;
#endif
    return now;
}

namespace {
bool notbefore(const std::timespec& t, const std::timespec& since) {
    return t.tv_sec > since.tv_sec || (t.tv_sec == since.tv_sec && t.tv_nsec >= since.tv_nsec);
}
} // namespace

bool reportforthisrequest(const struct stat& st, const std::optional<ReportOwner>& owner,
                          const std::timespec& placed) {
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1) return false;
    if (owner && st.st_uid != owner->uid && st.st_gid != owner->gid) return false;
    return notbefore(st.st_mtim, placed) && notbefore(st.st_ctim, placed);
}

} // namespace kpx
