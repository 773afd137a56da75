// status: the CGI program behind the public status page.
#include "statusview.h"

#include <cstdio>

int main() {
    std::fputs("Content-Type: text/html; charset=utf-8\nCache-Control: no-store\n\n", stdout);
    const int status = kpx::statuspage_main();
    std::fflush(stdout);
    return status;
}
