// The command file: a one-slot mailbox through which the web gateways ask for connections
// and the operator gives the commands "@STOP", "@LIST", "@KILL" and "@BCONNECT".
#pragma once

#include "request.h"

#include <string>

namespace kpx {

// Looks once into the command file `listname`; a line found there is handled completely
// (with its time stamp and messages), then the file is removed. Called after every packet.
void pollcommand();

// Carries out one command line (first character '@'). "@STOP" does not return.
void parsecom(const std::string& line);

} // namespace kpx
