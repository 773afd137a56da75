// The receiving end of a stream link, shared by the listener client and the relay's upstream
// side: a listening socket on port 9998 that is bound once and then accepts one sender after
// another. The texts and the output stream differ between the programs; the rules do not.
#pragma once

#include "stream.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

namespace kpx {

// The listening socket and whether it has been bound yet.
struct Listener {
    int sk = -1;  // the listening socket, made once and reused for every sender
    int init = 0; // 1 once `sk` is bound; the bind happens only while it is 0
};
extern Listener lsn;

// What a program prints while it waits for a sender.
struct AcceptTexts {
    std::FILE* out;       // where the lines go (flushed after each)
    const char* waiting;  // printed before every wait
    const char* bindhint; // printed after a failed bind (may be null)
};

// What a program checks while it waits for a sender (both may be empty).
struct AcceptGuard {
    std::function<bool(std::uint32_t addr)> allowed; // false: the sender is closed at once
    std::function<void()> idle;                      // called about once a second meanwhile
    // A user id: a sender on this machine must be a program of that user (peeruser.h); a
    // negative one allows any user.
    long user = -1;
};

// Keepalive on an accepted link: a sender whose host vanished without closing is noticed
// after about KEEPIDLESEC + KEEPCOUNT * KEEPINTVLSEC seconds, as a failed read.
inline constexpr int KEEPIDLESEC = 20;
inline constexpr int KEEPINTVLSEC = 5;
inline constexpr int KEEPCOUNT = 3;

// Receive buffer of an accepted link (Linux doubles it): a few seconds of stream. A receiver
// that takes the stream at real time then frees room in small steps, so that its sender sees
// it take bytes every few seconds, and a sender in playback mode runs only a little ahead.
inline constexpr int RECEIVERRCVBUF = 4096;

// A fresh IPv4 stream socket for listening, with address reuse so that a restarted program
// can bind the same address at once, and the receive buffer above, which accepted links
// inherit. Negative when no socket can be made.
int makelistensocket();

// Turns on TCP keepalive with the limits above.
void setkeepalive(int fd);

// Binds `sock` to `address`:`port` while lsn.init is 0 (host name or dotted address),
// listens with a backlog of 10 and accepts one sender. Returns the accepted descriptor
// (keepalive on), -4 when listening fails or -1 when accepting fails (the listening socket
// is closed in both cases). A failed bind ends the process with status 1. With `guard`, a
// sender it does not allow is closed with a console line and the wait goes on.
int acc_sock(int sock, const char* address, int port, const AcceptTexts& texts,
             const AcceptGuard* guard = nullptr);

// Accepts one waiting sender of the listening socket `sock` without waiting; -1 when none.
// A sender that `guard` does not allow is closed with a console line on the error stream
// (`refused` then true) and -1 is returned.
int acceptnow(int sock, const AcceptGuard& guard, bool& refused);

// Takes every sender waiting on the listening socket `sock`: one that `guard` does not allow is
// closed at once (it never waits in the backlog for the next blip of the real upstream), an
// allowed one is kept in `waiting` to take over when the current upstream is lost (a newer
// one replaces an older one, which is closed).
void takewaiting(int sock, const AcceptGuard& guard, int& waiting);

// What a new upstream had queued before it was taken is past the live edge: whole packets
// beyond the last few are dropped (with a console line) rather than burst to the listeners.
// The backlog is read for as long as it comes faster than the stream's pace (at most 2 s),
// whatever the receive buffer holds at once. Call it right after the accept, before the
// first read, with the reader of the link: the last few whole packets are left in `recent`,
// to be passed on first; the link is read on through the reader returned.
ReadFn drainbacklog(int upstream, ReadFn rd, std::vector<unsigned char>& recent);

// The two boxes a relay prints on the error stream when its upstream is lost. The texts are
// the ones operators' log watchers know, "All clients disconnected!!!!" among them, and stay
// as they are although the relay keeps its own listeners connected: they get the next
// upstream's stream on the same connection.
void prnupstreamlost();

// After acc_sock failed: a new listening socket in lsn.sk, to be bound again on the next
// call, and a short pause so that a persistent failure cannot spin. A socket that cannot be
// made ends the process with status 255.
void renewlistener();

} // namespace kpx
