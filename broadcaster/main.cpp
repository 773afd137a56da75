// The relay broadcaster: one server's stream in, the same packets out to listeners of its own.
#include "relay.h"

int main(int argc, char** argv) {
    return kpx::relaymain(argc, argv);
}
