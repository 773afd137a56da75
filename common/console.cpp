#include "console.h"

#include <string>

namespace kpx {

void printbanner(const char* kind, const char* version) {
    const std::string rule(BANNERWIDTH, '*');
    std::string product = "* KPX - Korvanet";
    product.resize(BANNERWIDTH - 1, ' ');
    product += '*';
    std::printf("%s\n", rule.c_str());
    std::printf("%s\n", product.c_str());
    std::printf("* %s  Version %s          *\n", kind, version);
    std::printf("*                                         *\n");
    std::printf("*     No warranty. Use at your own risk.  *\n");
    std::printf("%s\n", rule.c_str());
    std::printf("\n");
    std::fflush(stdout);
}

void prnline() {
    std::fprintf(stderr, "%s\n", std::string(79, '-').c_str());
}

std::string timetext(std::time_t t) {
    // The classic calendar text "Www Mmm dd hh:mm:ss yyyy" without its line end.
    // The day is padded by hand: not every C library's strftime knows "%e".
    char day[16], clock[32], buf[64];
    // The web relay calls this from several threads: the reentrant conversion only.
    std::tm tm{};
#ifdef _WIN32
    const bool converted = ::localtime_s(&tm, &t) == 0;
#else
    const bool converted = ::localtime_r(&t, &tm) != nullptr;
#endif
    if (!converted || std::strftime(day, sizeof day, "%a %b", &tm) == 0 ||
        std::strftime(clock, sizeof clock, "%H:%M:%S %Y", &tm) == 0) {
        return "??? ??? ?? ??:??:?? ????";
    }
    std::snprintf(buf, sizeof buf, "%s %2d %s", day, tm.tm_mday, clock);
    return std::string(buf).substr(0, 24);
}

void prntime(std::time_t t) {
    std::fprintf(stderr, "%.24s:\n", timetext(t).c_str());
}

std::string htmlescape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
            break;
        }
    }
    return out;
}

} // namespace kpx
