// The web relay: one server's stream in, Ogg/Opus out to any number of web browsers.
#include "webrelay.h"

int main(int argc, char** argv) {
    return kpx::webrelaymain(argc, argv);
}
