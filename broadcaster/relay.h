// The relay broadcaster: takes one upstream stream at a time on port 9998 of its own address
// and hands every packet on, unchanged, to listeners of its own, which it connects and
// serves with the same table, command file and reports as the server.
#pragma once

namespace kpx {

// One upstream connection: reads packet after packet, sends each unchanged to every listener
// and looks into the command file after each. Returns when the upstream is lost (with
// `connection` at 0) or at once when the packet buffer cannot be had.
void sendsound(int upstream);

// The whole program: banner, arguments, the listening socket, then one pass per upstream for
// ever. Returns only the exit status of a usage error.
int relaymain(int argc, char** argv);

} // namespace kpx
