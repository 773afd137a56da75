// bconnect: the CGI program through which a relay broadcaster asks a server to feed it.
#include "cgi.h"
#include "gateway.h"

#include <cstdio>

int main() {
    std::fputs("Content-Type: text/html\n\n", stdout);
    int status = kpx::gateway_main(kpx::gatekind::broadcaster);
    std::fflush(stdout);
    return status;
}
