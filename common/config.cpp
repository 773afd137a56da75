#include "config.h"

#include "globals.h"
#include "guard.h"
#include "numbers.h"

#include <cstdio>
#include <cstdlib>

namespace kpx {

namespace {

// How a key's value is taken.
enum class Kind {
    off,     // a switch that can only be turned off: its word (any letter case) or exactly "0"
    text,    // a string as it stands
    dir,     // a directory path; one trailing '/' is dropped
    count,   // the number of peers, 1..MAXPEERS
    rules,   // comma-separated allow-list entries, added to what earlier lines gave
    seconds, // a number >= 0
    url,     // a plain-ASCII URL prefix, added to the list
};

// One configuration key. `relaymessage`, when set, is what the relay says instead of taking
// the key (it has no input of its own).
struct Key {
    const char* name;
    Kind kind;
    const char* offword = nullptr;                // off
    std::int8_t Globals::*flag = nullptr;         // off
    std::string Globals::*text = nullptr;         // text, dir
    std::vector<NetRule> Guard::*rules = nullptr; // rules
    bool Guard::*given = nullptr;                 // rules: the list was set at all
    long Guard::*number = nullptr;                // seconds
    const char* relaymessage = nullptr;
};

const Key KEYS[] = {
    {.name = "ignsign", .kind = Kind::off, .offword = "off", .flag = &Globals::ignsign},
    {.name = "live",
     .kind = Kind::off,
     .offword = "no",
     .flag = &Globals::live,
     .relaymessage = "Live is always 'yes' on a broadcaster\n"},
    {.name = "broadcasters", .kind = Kind::off, .offword = "deny", .flag = &Globals::allowbcons},
    {.name = "maxclients", .kind = Kind::count},
    {.name = "inputdevice",
     .kind = Kind::text,
     .text = &Globals::outputdevice,
     .relaymessage = "inputdevice does not make sense. This is a broadcaster!\n"},
    {.name = "commandfile", .kind = Kind::text, .text = &Globals::listname},
    {.name = "errorhtml", .kind = Kind::text, .text = &Globals::errorfile},
    {.name = "successhtml", .kind = Kind::text, .text = &Globals::okfile},
    {.name = "statusfile", .kind = Kind::text, .text = &Globals::statusfile},
    {.name = "repdir", .kind = Kind::dir, .text = &Globals::resdir},
    // Who may feed and register, and how long reports are kept (guard.h).
    {.name = "allowupstream",
     .kind = Kind::rules,
     .rules = &Guard::upstream,
     .given = &Guard::upstreamset},
    {.name = "upstreamidle", .kind = Kind::seconds, .number = &Guard::upstreamidle},
    {.name = "allowuser", .kind = Kind::text, .text = &Globals::allowuser},
    {.name = "relayhosts",
     .kind = Kind::rules,
     .rules = &Guard::relayhosts,
     .given = &Guard::relayhostsset},
    {.name = "relayurls", .kind = Kind::url},
    {.name = "reportage", .kind = Kind::seconds, .number = &Guard::reportage},
    {.name = "reportcount", .kind = Kind::seconds, .number = &Guard::reportcount},
    {.name = "connectlimit", .kind = Kind::seconds, .number = &Guard::connectlimit},
};

// Puts `value` into the setting of `k`; false when the value makes no sense.
bool take(const Key& k, const std::string& value) {
    if (k.relaymessage != nullptr && g.profile->role == Role::relay) {
        std::fputs(k.relaymessage, stderr);
        return true;
    }
    switch (k.kind) {
    case Kind::off:
        if (sameword(value, k.offword) || value == "0") g.*k.flag = 0;
        return true;
    case Kind::text:
        g.*k.text = value;
        return true;
    case Kind::dir:
        g.*k.text = value;
        if (!value.empty() && value.back() == '/') (g.*k.text).pop_back();
        return true;
    case Kind::count: {
        const long v = atoinumber(value);
        if (v < 1 || v > MAXPEERS) return false;
        g.maxclients = static_cast<std::int32_t>(v);
        return true;
    }
    case Kind::rules:
        g.guard.*k.given = true;
        return addrules(value, g.guard.*k.rules);
    case Kind::seconds:
        return seconds(value, g.guard.*k.number);
    case Kind::url:
        if (!isplainurl(value)) return false;
        g.guard.relayurls.push_back(value);
        return true;
    }
    return false;
}

} // namespace

void parseinp(const std::string& line) {
    std::string key = getparam(line, 0, KEYCHARS);
    if (key.empty() || key[0] == '#' || key[0] == '/' || key[0] == ';') return; // comment

    // Keys longer than the key buffer and values longer than the value buffer are cut to the
    // buffer size; a cut key can never match, a cut value is used as it stands. A key
    // without a value is not recognised.
    const std::string value = getparam(line, 1, VALUECHARS);
    bool recognised = false;
    if (!value.empty())
        for (const Key& k : KEYS)
            if (sameword(key, k.name)) {
                recognised = take(k, value);
                break;
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
    eachconfigline(
        f.get(), [](const std::string& line) { parseinp(line); }, [] { ++g.inilinecount; });
}

} // namespace kpx
