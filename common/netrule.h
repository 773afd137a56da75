// Allow lists of IPv4 hosts and networks ("a.b.c.d" or "a.b.c.d/n"), shared by the relay's
// configuration and the web relay's options.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kpx {

// One entry of an allow list: an IPv4 network (host byte order); a single host has mask ~0.
struct NetRule {
    std::uint32_t net = 0;
    std::uint32_t mask = 0;
};

// Reads "a.b.c.d" or "a.b.c.d/n" into `rule`; false for anything else.
bool parsenetrule(const std::string& text, NetRule& rule);

// Adds the comma-separated entries of `value` to `rules`; false when one is not an address.
bool addrules(const std::string& value, std::vector<NetRule>& rules);

// True when `addr` (network byte order) lies in one of `rules`.
bool netallowed(const std::vector<NetRule>& rules, std::uint32_t addr);

} // namespace kpx
