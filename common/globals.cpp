#include "globals.h"

#include "config.h"
#include "reports.h"

#include <unistd.h>

namespace kpx {

Globals g;

const Profile serverprofile{
    Role::server,
    "SERVER     ",
    "1.10     ",
    "Server",
    "  Server can only be stopped by killing it with signal 9!\n",
    "  Server can be killed by any signal. (including CTRL-C)\n",
    MSG_FULL,
};

const Profile relayprofile{
    Role::relay,
    "BROADCASTER",
    "1.10     ",
    "Broadcaster",
    "  Broadcaster can only be stopped by killing it with signal 9!\n",
    "  Servermode can be killed by any signal. (including CTRL-C)\n",
    MSG_FULLRELAY,
};

void setdefaults(const Profile& profile) {
    if (g.listfile != nullptr) std::fclose(g.listfile);
    if (g.pending.sock >= 0) ::close(g.pending.sock);
    for (int i = 0; i < g.clientcount && i < MAXPEERS; ++i)
        if (g.machine[static_cast<std::size_t>(i)].sock >= 0)
            ::close(g.machine[static_cast<std::size_t>(i)].sock);
    g = Globals{};
    g.profile = &profile;
    g.now = std::time(nullptr);
    g.started = g.now;
    g.inifile = "kpx.conf";
    resetsettings(configkeys(g));
}

} // namespace kpx
