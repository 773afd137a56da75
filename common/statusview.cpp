#include "statusview.h"

#include "console.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace kpx {

namespace {

constexpr std::size_t MAXSTATUSBYTES = 1 << 20; // far above ten peers and ten relays

bool weburl(const std::string& url) {
    return strncasecmp(url.c_str(), "http://", 7) == 0 ||
           strncasecmp(url.c_str(), "https://", 8) == 0;
}

std::time_t seconds(const Json& j, const char* key) {
    return static_cast<std::time_t>(num(j, key));
}

const Json* member(const Json& j, const char* key) {
    if (!j.is_object()) return nullptr;
    const auto it = j.find(key);
    return it == j.end() ? nullptr : &*it;
}

std::string modetext(const Json& s) {
    const std::string mode = str(s, "mode");
    if (mode == "connected") return "upstream connected";
    if (mode == "waiting") return "waiting for an upstream";
    return mode;
}

std::string pad(std::string text, std::size_t width, bool right = false) {
    if (text.size() >= width) return text;
    const std::string fill(width - text.size(), ' ');
    return right ? fill + text : text + fill;
}

} // namespace

double num(const Json& j, const char* key, double fallback) {
    const Json* m = member(j, key);
    return m != nullptr && m->is_number() ? m->get<double>() : fallback;
}

std::string str(const Json& j, const char* key, const std::string& fallback) {
    const Json* m = member(j, key);
    return m != nullptr && m->is_string() ? m->get<std::string>() : fallback;
}

bool yes(const Json& j, const char* key) {
    const Json* m = member(j, key);
    return m != nullptr && m->is_boolean() && m->get<bool>();
}

const Json& list(const Json& j, const char* key) {
    static const Json nothing = Json::array();
    const Json* m = member(j, key);
    return m != nullptr && m->is_array() ? *m : nothing;
}

std::optional<Json> parsejson(const std::string& text) {
    Json j = Json::parse(text, nullptr, false);
    if (j.is_discarded()) return std::nullopt;
    return j;
}

std::optional<Json> readstatus(const std::string& path, std::string& raw, std::string& problem) {
    raw.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        problem = std::strerror(errno);
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        problem = "not a regular file";
        return std::nullopt;
    }
    char buf[8192];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0 && raw.size() <= MAXSTATUSBYTES)
        raw.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    auto j = parsejson(raw);
    if (!j || !j->is_object() || raw.size() > MAXSTATUSBYTES) {
        problem = "not a status file (no valid JSON)";
        return std::nullopt;
    }
    return j;
}

bool onair(const Json& s, std::time_t now) {
    if (!yes(s, "running")) return false;
    if (now - seconds(s, "updated") > STALESECONDS) return false;
    return str(s, "role") == "server" || str(s, "mode") == "connected";
}

std::string duration(long long secs) {
    if (secs < 0) secs = 0;
    char buf[64];
    const long long d = secs / 86400, h = secs / 3600 % 24, m = secs / 60 % 60, s = secs % 60;
    if (d > 0)
        std::snprintf(buf, sizeof buf, "%lldd %02lld:%02lld:%02lld", d, h, m, s);
    else
        std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", h, m, s);
    return buf;
}

std::string statustable(const Json& s, std::time_t now) {
    const std::string role = str(s, "role") == "server" ? "server" : "relay broadcaster";
    const std::time_t updated = seconds(s, "updated");
    std::string out =
        "KPX " + role + ", " + modetext(s) + ", started " + timetext(seconds(s, "started")) + "\n";
    if (!yes(s, "running"))
        out += "Stopped: this is its last status, of " + timetext(updated) + ".\n";
    else if (now - updated > STALESECONDS)
        out += "No news for " + duration(now - updated) + ": it may have ended without a word.\n";
    else if (onair(s, now))
        out += "On air since " + timetext(seconds(s, "since")) + " (" +
               duration(now - seconds(s, "since")) + ").\n";
    else
        out += "Not on air.\n";
    char line[512];
    std::snprintf(line, sizeof line, "%.0f packets so far; %d of %d places taken.\n",
                  num(s, "packets"), static_cast<int>(num(s, "clientcount")),
                  static_cast<int>(num(s, "maxclients")));
    out += line;

    const auto& peers = list(s, "peers");
    if (peers.empty()) {
        out += "No client connected at this time.\n";
    } else {
        out += "Slot  " + pad("Name", 30) + " " + pad("Connected", 12, true) + " " +
               pad("Received", 12, true) + " " + pad("Bytes", 12, true) + "  Relay\n";
        for (const Json& p : peers) {
            std::snprintf(line, sizeof line, "%4d  ", static_cast<int>(num(p, "slot")));
            out += line;
            out += pad(str(p, "name"), 30) + " ";
            out += pad(duration(now - seconds(p, "since")), 12, true) + " ";
            out += pad(duration(static_cast<long long>(num(p, "seconds"))), 12, true) + " ";
            std::snprintf(line, sizeof line, "%.0f", num(p, "bytes"));
            out += pad(line, 12, true);
            out += yes(p, "relay") ? "  yes\n" : "  no\n";
        }
    }
    const auto& dist = list(s, "distribution");
    if (!dist.empty()) {
        out += "Distribution list (a full table sends listeners / broadcasters to):\n";
        for (const Json& d : dist)
            out += "  " + str(d, "name") + "  " + str(d, "clienturl") + "  " + str(d, "bcasturl") +
                   "\n";
    }
    return out;
}

std::string statuspage(const std::string& path, std::time_t now) {
    std::string body;
    std::optional<Json> s;
    if (path.empty()) {
        body =
            "<p id=\"onair\" class=\"offair\">Not on air: this web server does not know where the "
            "broadcast's status is kept.</p>\n";
    } else {
        std::string raw, problem;
        s = readstatus(path, raw, problem);
        if (!s) {
            body = "<p id=\"onair\" class=\"offair\">Not on air: the broadcast has not published "
                   "its status.</p>\n";
        } else if (!yes(*s, "running") || now - seconds(*s, "updated") > STALESECONDS) {
            body = "<p id=\"onair\" class=\"offair\">Not on air.</p>\n";
            s.reset();
        } else if (onair(*s, now)) {
            body = "<p id=\"onair\" class=\"onair\">On air since " +
                   htmlescape(timetext(seconds(*s, "since"))) + " (" + htmlescape(modetext(*s)) +
                   ").</p>\n";
        } else {
            body = "<p id=\"onair\" class=\"offair\">Not on air: the relay is waiting for its "
                   "upstream server.</p>\n";
        }
    }
    if (s) {
        const auto& peers = list(*s, "peers");
        int relays = 0;
        for (const Json& p : peers)
            relays += yes(p, "relay") ? 1 : 0;
        body += "<p>Listeners now: <span id=\"listeners\">" +
                std::to_string(static_cast<int>(num(*s, "clientcount"))) +
                "</span> of at most <span id=\"maxclients\">" +
                std::to_string(static_cast<int>(num(*s, "maxclients"))) + "</span>";
        if (relays > 0) body += " (relays included: " + std::to_string(relays) + ")";
        body += ".</p>\n<h2>Relays</h2>\n";
        std::string links;
        for (const Json& d : list(*s, "distribution")) {
            const std::string url = str(d, "clienturl");
            if (!weburl(url)) continue; // only web addresses become links
            links += "<li><a href=\"" + htmlescape(url) + "\">" + htmlescape(url) + "</a></li>\n";
        }
        if (links.empty())
            body += "<p id=\"relays\">No relay is listed. When this server is full, try again "
                    "later.</p>\n";
        else
            body += "<p>When this server is full, new listeners are sent on to a relay:</p>\n"
                    "<ul id=\"relays\">\n" +
                    links + "</ul>\n";
    }
    // Browsers listen through the site's web relay (its /status.json on this origin), which is
    // one listener of the server: the page asks it, and shows the count when it answers.
    body += "<p id=\"webrelay\" hidden>Browsers listening through the web relay: <span "
            "id=\"browsers\"></span> (the web relay itself is one listener of the server).</p>\n"
            "<script>\nfetch('/status.json', { cache: 'no-store' })\n"
            "  .then((r) => (r.ok ? r.json() : null))\n"
            "  .then((w) => {\n"
            "    if (!w || typeof w.listeners !== 'number') return;\n"
            "    document.getElementById('browsers').textContent = String(w.listeners);\n"
            "    document.getElementById('webrelay').hidden = false;\n"
            "  })\n"
            "  .catch(() => {});\n"
            "</script>\n";
    return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
           "<meta http-equiv=\"refresh\" content=\"10\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
           "<title>KPX: status</title>\n<link rel=\"icon\" href=\"/favicon.svg\">\n"
           "<link rel=\"stylesheet\" href=\"/kpx.css\">\n</head>\n<body>\n"
           "<header><h1>KPX</h1><p>Broadcast status</p></header>\n<main>\n<h2>Status</h2>\n" +
           body + "</main>\n<footer><a href=\"/\">Listener page</a></footer>\n</body>\n</html>\n";
}

int statuspage_main() {
    const char* path = std::getenv("KPX_STATUSFILE");
    const std::string page = statuspage(path != nullptr ? path : "", std::time(nullptr));
    std::fputs(page.c_str(), stdout);
    return 0;
}

} // namespace kpx
