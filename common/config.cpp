#include "config.h"

#include "globals.h"
#include "guard.h"

#include <cstdio>
#include <cstdlib>

namespace kpx {

namespace {

// A switch can only be turned off: its word (any letter case) or exactly "0".
bool switchoff(const std::string& value, const char* word) {
    return sameword(value, word) || value == "0";
}

// Decimal conversion as the C library's atoi does it: leading white space, one sign,
// digits up to the first non-digit; no number reads as 0. Saturates instead of overflowing.
long decimal(const std::string& text) {
    long v = std::strtol(text.c_str(), nullptr, 10);
    return v;
}

} // namespace

void parseinp(const std::string& line) {
    std::string key = getparam(line, 0, KEYCHARS);
    if (key.empty() || key[0] == '#' || key[0] == '/' || key[0] == ';') return; // comment

    // Keys longer than the key buffer and values longer than the value buffer are cut to the
    // buffer size; a cut key can never match, a cut value is used as it stands.
    const std::string value = getparam(line, 1, VALUECHARS);
    if (value.empty()) key.clear(); // a key without a value is not recognised

    const bool relay = !g.profile->hasinput;
    bool recognised = true;
    if (key.empty()) {
        recognised = false;
    } else if (sameword(key, "ignsign")) {
        if (switchoff(value, "off")) g.ignsign = 0;
    } else if (sameword(key, "live")) {
        if (relay)
            std::fprintf(stderr, "Live is always 'yes' on a broadcaster\n");
        else if (switchoff(value, "no"))
            g.live = 0;
    } else if (sameword(key, "broadcasters")) {
        if (switchoff(value, "deny")) g.allowbcons = 0;
    } else if (sameword(key, "maxclients")) {
        const long v = decimal(value);
        if (v >= 1 && v <= MAXPEERS)
            g.maxclients = static_cast<std::int32_t>(v);
        else
            recognised = false;
    } else if (sameword(key, "inputdevice")) {
        if (relay)
            std::fprintf(stderr, "inputdevice does not make sense. This is a broadcaster!\n");
        else
            g.outputdevice = value;
    } else if (sameword(key, "commandfile")) {
        g.listname = value;
    } else if (sameword(key, "errorhtml")) {
        g.errorfile = value;
    } else if (sameword(key, "successhtml")) {
        g.okfile = value;
    } else if (sameword(key, "statusfile")) {
        g.statusfile = value;
    } else if (sameword(key, "repdir")) {
        g.resdir = value;
        if (!g.resdir.empty() && g.resdir.back() == '/') g.resdir.pop_back();
    // Access and retention settings (allowupstream, upstreamidle, relayhosts, relayurls,
    // reportage, reportcount): one block, kept in guard.cpp.
    } else if (const int taken = guardkey(key, value); taken != 0) {
        recognised = taken > 0;
    } else {
        recognised = false;
    }

    if (!recognised)
        std::fprintf(stderr, "ERROR parsing ini-file: Line %ld makes no sense.\n",
                     static_cast<long>(g.inilinecount));
}

void readini() {
    g.inilinecount = 0;
    resetguardlists();
    FilePtr f = openconfig(g.inifile);
    if (!f) {
        const std::string subject = "Ini-file '" + g.inifile + "'";
        std::perror(subject.c_str());
        return;
    }
    std::fprintf(stderr, "Parsing %s.\n", g.inifile.c_str());
    eachconfigline(f.get(), [](const std::string& line) { parseinp(line); }, [] { ++g.inilinecount; });
}

} // namespace kpx
