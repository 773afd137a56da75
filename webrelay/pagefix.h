// Ogg page headers renumbered for one listener: every listener's stream starts with the same
// two header pages and goes on with the shared audio pages, so its own page sequence numbers
// and granule positions differ from the encoder's by a constant. Only the header is rewritten
// (sequence number, granule position, checksum); the page body stays shared.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kpx {

inline constexpr std::size_t OGGMAXHEADER = 27 + 255;

// Length of the complete Ogg page at the start of `s`, or 0 when there is none.
std::size_t ogglength(std::string_view s);
// The granule position in the header of the page at the start of `s` (which must be complete).
std::int64_t ogggranule(std::string_view page);

// What renumbering a page takes beyond its bytes, worked out once per page so that each
// listener's checksum costs a few dozen operations instead of a pass over the whole page.
// The Ogg checksum (CRC-32, polynomial 0x04c11db7, no initial or final value) is linear: the
// sum of the page with new sequence number and granule position is `base` (the sum with those
// fields zero) plus the sum of the 16 header bytes from the granule position to the sequence
// number, carried over the rest of the page by multiplying with `carry` (x to the power of 8
// times that rest's length, modulo the polynomial).
struct PageSum {
    std::uint32_t base = 0;
    std::uint32_t carry = 0;
};
PageSum pagesum(std::string_view page);

// Writes the header of `page` with sequence number `seq` and granule position `granule` (and
// the checksum over that header and the page's own body) to `head`; returns its length. `sum`
// is pagesum(page).
std::size_t renumber(std::string_view page, const PageSum& sum, std::uint32_t seq,
                     std::int64_t granule, unsigned char (&head)[OGGMAXHEADER]);

} // namespace kpx
