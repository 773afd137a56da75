#include "globals.h"

namespace kpx {

Globals g;

void setdefaults(Role role) {
    g = Globals{};
    g.role = role;
    g.now = std::time(nullptr);
    g.inifile = "kpx.conf";
    g.outputdevice = role == Role::server ? "/dev/audio" : "";
    g.listname = "/tmp/kpx-commands";
    g.resdir = "/tmp";
    g.okfile = "./success.html";
    g.errorfile = "./error.html";
}

} // namespace kpx
