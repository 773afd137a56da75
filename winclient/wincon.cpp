// wincon: the listener client in a console window.
#include "win32.h"

int main(int argc, char** argv) {
    kpx::win::Win32Platform platform;
    return kpx::win::clientmain(kpx::win::CONSOLEFRONTEND, platform, argc, argv);
}
