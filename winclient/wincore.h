// The Windows listener clients' logic: start-up and closing sequence, connection set-up,
// packet collection, u-law to 8-bit PCM conversion, sound images and the start-and-retry
// rule. Every call into the system goes through `Platform`, so the same code runs in the
// programs (Windows Sockets, the wave player, the C library's clock) and natively in the
// tests (scripted sockets, a fake player and a fake clock).
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire.h"

namespace kpx::win {

// A socket handle as the platform gives it; negative values are "no socket".
using Sock = std::intptr_t;

inline constexpr const char* ANYADDRESS = "0.0.0.0";
inline constexpr int ADDRESSBYTES = 240;   // the address text buffer
inline constexpr int IMAGESAMPLES = 32000; // 4 s at 8000 samples per second, 20 packets
inline constexpr int HEADERBYTES = 44;     // RIFF/WAVE header ahead of the samples
inline constexpr int IMAGEBYTES = HEADERBYTES + IMAGESAMPLES;
inline constexpr int SOCKETVERSION = 0x0101; // Windows Sockets 1.1
inline constexpr unsigned PLAYFLAGS = 0x17;  // SND_ASYNC|SND_NODEFAULT|SND_MEMORY|SND_NOSTOP
inline constexpr int STARTSECONDS = 6;  // an image not started after more than this is given up
inline constexpr int RETRYPAUSEMS = 10; // pause between two attempts to start an image

// Results of acc_sock besides a connected socket.
inline constexpr Sock ACCEPTFAILED = -1;
inline constexpr Sock BINDFAILED = -2; // the caller ends the process with status 1
inline constexpr Sock LISTENFAILED = -4;

// What tells the two programs apart.
struct Frontend {
    const char* kind;        // banner kind
    const char* version;     // banner version, padded to keep the box aligned
    bool attention;          // print the ATTENTION block after the codec line
    const char* browserline; // the instruction printed once the port is bound
};
extern const Frontend CONSOLEFRONTEND; // wincon
extern const Frontend WINDOWFRONTEND;  // wingui

// The system calls the clients make. The Windows build supplies the real ones.
class Platform {
  public:
    virtual ~Platform() = default;
    virtual int startup() = 0;     // WSAStartup(0x0101): 0 on success
    virtual long lasterror() = 0;  // GetLastError
    virtual void cleanup() = 0;    // WSACleanup
    virtual Sock opensocket() = 0; // TCP socket, or a negative value
    // Prepares the IPv4 address of `address` (resolved by name, else taken as a dotted
    // address) and `port`, and binds `s` to it. Negative on failure.
    virtual int bindto(Sock s, const char* address, int port) = 0;
    virtual int listento(Sock s, int backlog) = 0;                         // negative on failure
    virtual Sock acceptfrom(Sock s) = 0;                                   // negative on failure
    virtual long receive(Sock s, unsigned char* buf, std::size_t len) = 0; // recv(..., 0)
    virtual void closesock(Sock s) = 0;
    virtual void report(const char* call) = 0;             // "<call>: <reason>\n" on standard error
    virtual int playsound(const unsigned char* image) = 0; // sndPlaySoundA(image, 0x17)
    virtual long ticks() = 0;                              // clock()
    virtual long tickspersecond() = 0;                     // CLOCKS_PER_SEC
    virtual void pause(int ms) = 0;                        // Sleep
};

// The platform and frontend in use; set by clientmain (tests set them directly).
extern Platform* sys;
extern const Frontend* frontend;

// u-law code -> unsigned 8-bit PCM sample that is played for it.
extern const unsigned char ulaw2pcm8[256];

// Sound images. Two areas are used in turn: the one handed to the player is not written
// again until the next image has started, so nothing is overwritten while it is heard.
extern unsigned char image[2][IMAGEBYTES];
extern int fill;    // sample bytes in the area being filled
extern int current; // index of the area being filled
void resetsound();  // both areas silent, nothing filled, area 0 next

// Writes the 44-byte RIFF/WAVE header of a full image (8000 Hz, 8-bit, mono) into `img`.
void writeheader(unsigned char* img);

// Appends `count` u-law bytes to the image being filled; when it is full, starts it with
// the start-and-retry rule. Returns `count`, or 0 when the image could not be started in
// time (or `count` does not fit the area, in which case nothing is written).
int playwave(const unsigned char* bytes, int count);

// Binds `sock` to `address`:`port`, listens and accepts one sender. Returns the connected
// socket, LISTENFAILED or ACCEPTFAILED (the listening socket is then closed), or BINDFAILED.
Sock acc_sock(Sock sock, const char* address, int port);

// Receives, decodes and plays the stream of `s` until it ends or cannot be played.
void getsound(Sock s);

// The whole program for `prof` on `plat`; returns the process's exit status.
int clientmain(const Frontend& prof, Platform& plat, int argc, char** argv);

} // namespace kpx::win
