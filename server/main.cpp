// The stream server: reads u-law audio, compresses it and sends it to every listener that
// asked for it through the command file.
#include "servermain.h"

int main(int argc, char** argv) {
    return kpx::servermain(argc, argv);
}
