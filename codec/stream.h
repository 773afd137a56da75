// The stream link: a one-way TCP byte stream of GSM frames, 330-byte packets back to back,
// no header of any kind (its constants: wire.h). The reader rules shared by every receiver
// (the Unix client, the relay's upstream link and the Windows clients).
#pragma once

#include "wire.h"

#include <cstddef>
#include <cstdio>
#include <functional>

namespace kpx {

inline constexpr int LISTENBACKLOG = 10; // receivers' listen backlog
inline constexpr int MAXREADS = 100;     // receive calls spent on completing one packet

// One receive call: read up to `want` bytes into `dst`. Returns the bytes read (> 0),
// 0 at end of stream, or a negative value on error. POSIX and Windows builds supply their own.
using ReadFn = std::function<long(unsigned char* dst, std::size_t want)>;

// Completes the packet in `buf`, which already holds `have` bytes (0 <= have <= 330), with at
// most MAXREADS calls of `rd`, each asking for exactly the bytes still missing. Calls that
// deliver nothing or fail count as attempts. Returns the number of bytes present afterwards;
// fewer than PACKETBYTES means the link is lost and the partial packet must be dropped.
int collectpacket(const ReadFn& rd, unsigned char* buf, int have);

// Lost-link rule for a listener client.
void prnlost(std::FILE* out); // "Connection to server lost.\nTry to connect again!\n"

// Corrupt-packet rule for a listener client (decode refused the packet).
void prncorrupt(std::FILE* out); // "Corrupt package! (read=330 - must=330)\n"

} // namespace kpx
