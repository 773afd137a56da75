#include "config.h"

#include "cmdfile.h"
#include "globals.h"
#include "guard.h"

#include <cstdio>

namespace kpx {

Settings configkeys(Globals& s) {
    Guard& gd = s.guard;
    const bool relay = s.profile->role == Role::relay;
    // The relay has no input of its own: these keys only make it say so.
    const char* const nolive = relay ? "Live is always 'yes' on a broadcaster\n" : nullptr;
    const char* const noinput =
        relay ? "inputdevice does not make sense. This is a broadcaster!\n" : nullptr;
    return {
        {.name = "ignsign", .kind = Kind::off, .field = &s.ignsign, .number = 1, .offword = "off"},
        {.name = "live",
         .kind = Kind::off,
         .field = &s.live,
         .number = 1,
         .offword = "no",
         .ignored = nolive},
        {.name = "broadcasters",
         .kind = Kind::off,
         .field = &s.allowbcons,
         .number = 1,
         .offword = "deny"},
        numberkey("maxclients", Kind::count, s.maxclients, MAXPEERS, 1, MAXPEERS),
        {.name = "inputdevice",
         .kind = Kind::text,
         .field = &s.outputdevice,
         .text = relay ? "" : "/dev/audio",
         .ignored = noinput},
        textkey("commandfile", s.listname, DEFAULTCOMMANDFILE),
        textkey("errorhtml", s.errorfile, "./error.html"),
        textkey("successhtml", s.okfile, "./success.html"),
        textkey("statusfile", s.statusfile),
        {.name = "repdir", .kind = Kind::dir, .field = &s.resdir, .text = DEFAULTREPDIR},
        // Who may feed and register, and how long reports are kept (guard.h).
        {.name = "allowupstream",
         .kind = Kind::rules,
         .field = &gd.upstream,
         .given = &gd.upstreamset},
        numberkey("upstreamidle", Kind::seconds, gd.upstreamidle, UPSTREAMIDLESECONDS),
        textkey("allowuser", s.allowuser),
        {.name = "relayhosts",
         .kind = Kind::rules,
         .field = &gd.relayhosts,
         .given = &gd.relayhostsset},
        {.name = "relayurls", .kind = Kind::urls, .field = &gd.relayurls, .accepts = isplainurl},
        numberkey("reportage", Kind::seconds, gd.reportage, 7L * 24 * 3600),
        numberkey("reportcount", Kind::seconds, gd.reportcount, 10000),
        numberkey("connectlimit", Kind::seconds, gd.connectlimit, 2),
    };
}

void parseinp(const std::string& line) {
    std::string key;
    const LineWas was = settingline(configkeys(g), line, key);
    if (was == LineWas::unknown || was == LineWas::refused)
        std::fprintf(stderr, "ERROR parsing ini-file: Line %ld makes no sense.\n",
                     static_cast<long>(g.inilinecount));
}

void readini() {
    g.inilinecount = 0;
    resetlists(configkeys(g));
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
