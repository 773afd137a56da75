// The writing side of the command file: a gateway, kpxctl or a benchmark hands one request
// line to a running server or relay. The file holds one request at a time: a writer waits
// until it is absent, creates it exclusively with the line, and the program removes it once
// the line is handled (commands.h is the reading side).
#pragma once

#include <string>

#include <sys/types.h>

namespace kpx {

// The command file of a server or relay whose configuration names none.
inline constexpr const char* DEFAULTCOMMANDFILE = "/tmp/kpx-commands";
// The report directory of a server or relay whose configuration names none.
inline constexpr const char* DEFAULTREPDIR = "/tmp";

inline constexpr int cmd_maxpauses = 101; // 101 pauses of 100 ms: about 10 s per wait
inline constexpr long cmd_pausems = 100;  // between two looks at a file (through hooks.pause)

// 1 if the file can be opened for reading (closed again at once), else 0. The open does not
// wait for a writer, so a FIFO in the file's place cannot hang the run.
int fileexists(const char* path);

// Writes all of `size` bytes at `data` to `fd` (again after EINTR and short writes).
// Returns 0, or the errno value of the failed write (EIO when nothing was written).
int writeall(int fd, const char* data, std::size_t size);

struct fileid {
    dev_t dev = 0;
    ino_t ino = 0;
};
enum class placed { written, busy, failed };

// Waits for the command file to be free (at most cmd_maxpauses pauses), then creates it
// exclusively and writes `line`. A writer that lost the race to another waits its turn again
// within the same budget. `error` receives the errno of a failed creation or write, `id` the
// identity of the file written.
placed placerequest(const std::string& path, const std::string& line, int& error, fileid& id);

// Waits until the server has taken the request (the file is gone), at most cmd_maxpauses
// pauses. True when it was taken.
bool awaittaken(const std::string& path);

// Takes back a request the server did not take: the command file is removed only while it is
// still the file written (`id`) and holds exactly `line`. True when it was withdrawn; false
// when the file is gone or holds something else (the server took the request after all).
bool withdrawrequest(const std::string& path, const std::string& line, const fileid& id);

// One request handed over from start to end: placed (placerequest), then waited for
// (awaittaken). A request that was not taken is withdrawn when `withdraw` says so and it is
// still there (withdrawrequest); if it is gone by then, the server took it after all.
enum class handed { taken, busy, failed, nottaken, withdrawn };
handed handover(const std::string& path, const std::string& line, bool withdraw, int& error);

} // namespace kpx
