// The command file: a one-slot mailbox through which the web gateways ask for connections
// and the operator gives the commands "@STOP", "@LIST", "@KILL" and "@BCONNECT".
#pragma once

#include <string>

namespace kpx {

inline constexpr int COMMANDLINECHARS = 1023; // first line of the command file
inline constexpr int URLTOKENCHARS = 1031;    // tokens 2 and 3 of "@BCONNECT"

// Looks once into the command file `listname`; a line found there is handled completely
// (with its time stamp and messages), then the file is removed. Called after every packet.
void pollcommand();

// Carries out one command line (first character '@'). "@STOP" does not return.
void parsecom(const std::string& line);

} // namespace kpx
