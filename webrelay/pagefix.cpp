#include "pagefix.h"

#include <array>
#include <cstring>

namespace kpx {

namespace {

constexpr std::uint32_t OGGPOLY = 0x04c11db7;

constexpr std::array<std::uint32_t, 256> crctable() {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t r = i << 24;
        for (int k = 0; k < 8; ++k)
            r = (r & 0x80000000U) != 0 ? (r << 1) ^ OGGPOLY : r << 1;
        t[i] = r;
    }
    return t;
}
constexpr std::array<std::uint32_t, 256> CRCTABLE = crctable();

std::uint32_t crcbytes(std::uint32_t r, const unsigned char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        r = (r << 8) ^ CRCTABLE[(r >> 24) ^ p[i]];
    return r;
}

// a * b modulo the polynomial.
std::uint32_t crcmultiply(std::uint32_t a, std::uint32_t b) {
    std::uint32_t r = 0;
    for (int i = 31; i >= 0; --i) {
        r = (r & 0x80000000U) != 0 ? (r << 1) ^ OGGPOLY : r << 1;
        if (((a >> i) & 1U) != 0) r ^= b;
    }
    return r;
}

// Header bytes 6 to 21: granule position, stream serial number, sequence number; the checksum
// follows at 22.
constexpr std::size_t RENUMBERED = 6, RENUMBEREDEND = 22;

} // namespace

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

PageSum pagesum(std::string_view page) {
    const auto* p = reinterpret_cast<const unsigned char*>(page.data());
    unsigned char head[27];
    std::memcpy(head, p, sizeof head);
    std::memset(head + 6, 0, 8);  // granule position
    std::memset(head + 18, 0, 8); // sequence number and checksum
    PageSum s;
    s.base = crcbytes(crcbytes(0, head, sizeof head), p + sizeof head, page.size() - sizeof head);
    s.carry = 1;
    for (std::size_t i = RENUMBEREDEND; i < page.size(); ++i)
        s.carry = (s.carry << 8) ^ CRCTABLE[s.carry >> 24];
    return s;
}

std::size_t renumber(std::string_view page, const PageSum& sum, std::uint32_t seq,
                     std::int64_t granule, unsigned char (&head)[OGGMAXHEADER]) {
    const std::size_t len = 27 + static_cast<unsigned char>(page[26]);
    std::memcpy(head, page.data(), len);
    const auto g = static_cast<std::uint64_t>(granule);
    for (int i = 0; i < 8; ++i)
        head[6 + i] = static_cast<unsigned char>(g >> (8 * i));
    for (int i = 0; i < 4; ++i)
        head[18 + i] = static_cast<unsigned char>(seq >> (8 * i));
    // The changed fields alone, the serial number between them zero.
    unsigned char fields[RENUMBEREDEND - RENUMBERED];
    std::memcpy(fields, head + RENUMBERED, sizeof fields);
    std::memset(fields + 8, 0, 4);
    const std::uint32_t crc = sum.base ^ crcmultiply(crcbytes(0, fields, sizeof fields), sum.carry);
    for (int i = 0; i < 4; ++i)
        head[22 + i] = static_cast<unsigned char>(crc >> (8 * i));
    return len;
}

} // namespace kpx
