// The configuration reader on arbitrary files: the tokeniser's promises for every line, and
// readini over the whole file for the server's and the relay's settings.
#include "config.h"
#include "fuzzcheck.h"
#include "globals.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

bool separator(char c) {
    return c == '=' || c == ' ' || c == '\n';
}

std::string inipath() {
    static const std::string path = "/tmp/kpx-fuzz-config-" + std::to_string(::getpid());
    return path;
}

void checktokens(const std::string& line) {
    std::size_t from = 0;
    for (int n = 0; n < 6; ++n) {
        const std::string t = kpx::getparam(line, n, 7);
        FUZZ_CHECK(t.size() <= 7);
        const std::string whole = kpx::getparam(line, n, -1);
        if (whole.empty()) {
            FUZZ_CHECK(t.empty() && kpx::getparam(line, n + 1).empty());
            return;
        }
        FUZZ_CHECK(whole.compare(0, t.size(), t) == 0);
        for (char c : whole)
            FUZZ_CHECK(!separator(c));
        // Tokens are found in order, each one a whole run between separators.
        const std::size_t at = line.find(whole, from);
        FUZZ_CHECK(at != std::string::npos);
        from = at + whole.size();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        end = end == std::string::npos ? text.size() : end + 1;
        checktokens(text.substr(at, end - at));
        at = end;
    }

    std::FILE* f = std::fopen(inipath().c_str(), "wb");
    FUZZ_CHECK(f != nullptr);
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    for (const kpx::Profile* p : {&kpx::serverprofile, &kpx::relayprofile}) {
        kpx::setdefaults(*p);
        kpx::g.inifile = inipath();
        kpx::readini();
        FUZZ_CHECK(kpx::g.maxclients >= 1 && kpx::g.maxclients <= kpx::MAXPEERS);
        FUZZ_CHECK(kpx::g.ignsign == 0 || kpx::g.ignsign == 1);
        FUZZ_CHECK(kpx::g.live == 0 || kpx::g.live == 1);
        for (const std::string* s : {&kpx::g.listname, &kpx::g.resdir, &kpx::g.okfile,
                                     &kpx::g.errorfile, &kpx::g.statusfile})
            FUZZ_CHECK(s->size() <= static_cast<std::size_t>(kpx::VALUECHARS));
        if (p == &kpx::relayprofile) FUZZ_CHECK(kpx::g.live == 1);
    }
    ::unlink(inipath().c_str());
    return 0;
}
