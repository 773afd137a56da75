#include "pagefix.h"

#include <ogg/ogg.h>

#include <cstring>

namespace kpx {

std::size_t ogglength(std::string_view s) {
    if (s.size() < 27 || s.compare(0, 4, "OggS") != 0) return 0;
    const std::size_t nseg = static_cast<unsigned char>(s[26]);
    if (s.size() < 27 + nseg) return 0;
    std::size_t len = 27 + nseg;
    for (std::size_t i = 0; i < nseg; ++i)
        len += static_cast<unsigned char>(s[27 + i]);
    return s.size() < len ? 0 : len;
}

std::int64_t ogggranule(std::string_view page) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(page[6 + static_cast<std::size_t>(i)]);
    return static_cast<std::int64_t>(v);
}

std::size_t renumber(std::string_view page, std::uint32_t seq, std::int64_t granule,
                     unsigned char (&head)[OGGMAXHEADER]) {
    const std::size_t len = 27 + static_cast<unsigned char>(page[26]);
    std::memcpy(head, page.data(), len);
    const auto g = static_cast<std::uint64_t>(granule);
    for (int i = 0; i < 8; ++i)
        head[6 + i] = static_cast<unsigned char>(g >> (8 * i));
    for (int i = 0; i < 4; ++i)
        head[18 + i] = static_cast<unsigned char>(seq >> (8 * i));
    ogg_page og{};
    og.header = head;
    og.header_len = static_cast<long>(len);
    // libogg only reads the body to sum it.
    og.body = reinterpret_cast<unsigned char*>(const_cast<char*>(page.data() + len));
    og.body_len = static_cast<long>(page.size() - len);
    ogg_page_checksum_set(&og);
    return len;
}

} // namespace kpx
