// kpxctl: the operator's command for a running server or relay. It hands one command line
// to the command file exactly as the gateways do, waits until it is taken and says what
// happened; "status" shows the status file.
#pragma once

#include "cmdfile.h"

#include <string>
#include <vector>

namespace kpx {

// What kpxctl takes from a configuration file given with -c (the keys the server reads).
struct CtlConfig {
    std::string commandfile;
    std::string statusfile;
    std::string repdir;
};

// The three keys above with the server's defaults.
CtlConfig defaultctlconfig();

// Reads `path` through the server's configuration table and keeps the three keys above (with
// the server's defaults). False when the file cannot be read; `problem` says why.
bool readctlconfig(const std::string& path, CtlConfig& conf, std::string& problem);

// The command line for the server, or "" with `problem` set when the server would mishandle
// the command (unknown word, wrong number of arguments, a name outside the gateways'
// character set or too long for a report file name, a slot that is not a number, a URL that
// is not a plain web address).
std::string commandline(const std::vector<std::string>& words, std::string& problem);

// The whole program; messages on standard output (what happened) and standard error (why
// not). Exit status 0: done; 1: not done (not taken, cannot write, no status); 2: usage or
// refused input, nothing written.
int kpxctl_main(int argc, char** argv);

} // namespace kpx
