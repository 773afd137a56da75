#include "netrule.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>

namespace kpx {

bool parsenetrule(const std::string& text, NetRule& rule) {
    const std::size_t slash = text.find('/');
    const std::string host = text.substr(0, slash);
    in_addr a{};
    if (::inet_pton(AF_INET, host.c_str(), &a) != 1) return false;
    int bits = 32;
    if (slash != std::string::npos) {
        const std::string b = text.substr(slash + 1);
        if (b.empty() || b.size() > 2 || b.find_first_not_of("0123456789") != std::string::npos)
            return false;
        bits = std::atoi(b.c_str());
        if (bits > 32) return false;
    }
    rule.mask = bits == 0 ? 0U : ~0U << (32 - bits);
    rule.net = ntohl(a.s_addr) & rule.mask;
    return true;
}

bool addrules(const std::string& value, std::vector<NetRule>& rules) {
    std::size_t start = 0;
    while (start <= value.size()) {
        const std::size_t comma = std::min(value.find(',', start), value.size());
        const std::string item = value.substr(start, comma - start);
        if (!item.empty()) {
            NetRule r;
            if (!parsenetrule(item, r)) return false;
            rules.push_back(r);
        }
        start = comma + 1;
    }
    return true;
}

bool netallowed(const std::vector<NetRule>& rules, std::uint32_t addr) {
    const std::uint32_t h = ntohl(addr);
    return std::any_of(rules.begin(), rules.end(),
                       [h](const NetRule& r) { return (h & r.mask) == r.net; });
}

} // namespace kpx
