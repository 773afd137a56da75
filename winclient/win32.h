// The real system calls of the Windows clients: Windows Sockets 1.1, the wave player and
// the C library's clock.
#pragma once

#include "wincore.h"

namespace kpx::win {

class Win32Platform final : public Platform {
  public:
    int startup() override;
    long lasterror() override;
    void cleanup() override;
    Sock opensocket() override;
    int bindto(Sock s, const char* address, int port) override;
    int listento(Sock s, int backlog) override;
    Sock acceptfrom(Sock s) override;
    long receive(Sock s, unsigned char* buf, std::size_t len) override;
    void closesock(Sock s) override;
    void report(const char* call) override;
    int playsound(const unsigned char* image) override;
    long ticks() override;
    long tickspersecond() override;
    void pause(int ms) override;
};

} // namespace kpx::win
