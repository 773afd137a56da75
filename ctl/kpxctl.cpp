// kpxctl: the operator's command for a running server or relay broadcaster.
#include "ctl.h"

int main(int argc, char** argv) {
    return kpx::kpxctl_main(argc, argv);
}
