// The status file: a JSON picture of the running server or relay (mode, peers, distribution
// list) for operators and the public status page, written only when `statusfile` is set.
#pragma once

namespace kpx {

// The peer table, the distribution list or the upstream changed: rewrite the file now.
void statuschanged();

// Called after every packet: rewrites the file at most once a second.
void statustick();

} // namespace kpx
