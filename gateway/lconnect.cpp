// lconnect: the CGI program behind the listener's web page.
#include "cgi.h"
#include "gateway.h"

#include <cstdio>

int main() {
    std::fputs("Content-Type: text/html\n\n", stdout);
    int status = kpx::gateway_main(kpx::gatekind::listener);
    std::fflush(stdout);
    return status;
}
