// The command file's line handling on arbitrary lines: command words and arguments, the
// request-name checks of the gateways and the server, and the reports a name ends up in.
// Whatever the line, reports land only in the report directory and no text of the request
// becomes markup in them.
#include "commands.h"
#include "config.h"
#include "fuzzcheck.h"
#include "globals.h"
#include "reports.h"
#include "request.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string root;

void put(const std::string& path, const char* text) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    FUZZ_CHECK(f != nullptr);
    std::fputs(text, f);
    std::fclose(f);
}

std::string slurp(const std::string& path) {
    std::string s;
    if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
            s.append(buf, n);
        std::fclose(f);
    }
    return s;
}

// The names in `dir` besides "." and "..".
std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != "..") out.push_back(n);
        }
        ::closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

void settings() {
    kpx::setdefaults();
    kpx::g.resdir = root + "/rep";
    kpx::g.okfile = root + "/ok.html";
    kpx::g.errorfile = root + "/error.html";
    kpx::g.allowbcons = 0; // "@BCONNECT" is answered with a report instead of a connect
}

// The only files anywhere: the skeletons and the reports of `name`. Empties the report
// directory for the next input.
void checkreports(const std::string& name) {
    FUZZ_CHECK((entries(root) == std::vector<std::string>{"error.html", "ok.html", "rep"}));
    for (const std::string& e : entries(root + "/rep")) {
        FUZZ_CHECK(e == name + ".html" || e == name + ".txt" || e == "KPX-SERVER.html" ||
                   e == "KPX-SERVER.txt");
        ::unlink((root + "/rep/" + e).c_str());
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char tmpl[] = "/tmp/kpx-fuzz-command-XXXXXX";
    FUZZ_CHECK(::mkdtemp(tmpl) != nullptr);
    root = tmpl;
    FUZZ_CHECK(::mkdir((root + "/rep").c_str(), 0700) == 0);
    put(root + "/ok.html", "<p>\nok\n</p>\n");
    put(root + "/error.html", "<p>\n@\n</p>\n");
    std::atexit([] {
        for (const std::string& e : entries(root + "/rep"))
            ::unlink((root + "/rep/" + e).c_str());
        ::rmdir((root + "/rep").c_str());
        ::unlink((root + "/ok.html").c_str());
        ::unlink((root + "/error.html").c_str());
        ::rmdir(root.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The server reads one line of at most COMMANDLINECHARS characters and takes it as text.
    std::string input(reinterpret_cast<const char*>(data), size);
    std::string line = input.substr(0, std::min(input.find('\n') + 1, input.size()));
    line = line.substr(0, kpx::COMMANDLINECHARS);
    line = line.substr(0, line.find('\0'));
    const std::string rest = input.substr(std::min(input.find('\n') + 1, input.size()));
    settings();

    if (!line.empty() && line[0] == '@') {
        if (kpx::sameword(kpx::getcommand(line), "@STOP")) return 0; // ends the process
        kpx::parsecom(line);
        FUZZ_CHECK(kpx::g.clientcount == 0 && kpx::g.distcount == 0 && !kpx::g.pending.active);
        checkreports(kpx::getparam(line, 1));
        return 0;
    }

    // A listener request: the name as the server takes it.
    std::string name = line.substr(0, kpx::NAMECHARS);
    if (!name.empty() && name.back() == '\n') name.pop_back();
    // A name the gateways pass is one the server writes reports for, and one file name.
    if (kpx::nameok(name)) {
        FUZZ_CHECK(kpx::acceptablename(name));
        FUZZ_CHECK(name.find('/') == std::string::npos && name != "." && name != "..");
    }

    kpx::handleerror(kpx::MSG_CANNOTCONNECT, name);
    const std::string html = slurp(kpx::reportpath(name, ".html"));
    if (!html.empty()) {
        FUZZ_CHECK(kpx::acceptablename(name));
        FUZZ_CHECK(std::count(html.begin(), html.end(), '<') == 2);
        FUZZ_CHECK(std::count(html.begin(), html.end(), '"') == 0);
    }
    checkreports(name);

    // The forwarder page: the URL stays one quoted attribute value.
    kpx::handleforwarding(rest, name);
    const std::string page = slurp(kpx::reportpath(name, ".html"));
    if (!page.empty()) {
        FUZZ_CHECK(std::count(page.begin(), page.end(), '<') == 6);
        FUZZ_CHECK(std::count(page.begin(), page.end(), '"') == 6);
    }
    checkreports(name);
    return 0;
}
