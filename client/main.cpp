#include "client.h"

int main(int argc, char** argv) {
    return kpx::clientmain(argc, argv);
}
