// How far two places of a block agree, eight bytes at a time: the match
// finders and the parse measure millions of matches a block, most of them
// longer than a few bytes in code and records.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace korvanthelm::lzms {

// The first i in [start, limit) with a[i] != b[i], or `limit` when there is
// none. Reads a[start, limit) and b[start, limit) only: the caller's limit
// keeps both inside the data (words are read only while 8 bytes remain
// below it, the tail byte by byte).
inline std::size_t MatchLength(const std::uint8_t* a, const std::uint8_t* b, std::size_t start,
                               std::size_t limit) {
    static_assert(std::endian::native == std::endian::little ||
                  std::endian::native == std::endian::big);
    std::size_t len = start;
    while (limit - len >= 8) {
        std::uint64_t x;
        std::uint64_t y;
        std::memcpy(&x, a + len, 8);
        std::memcpy(&y, b + len, 8);
        const std::uint64_t diff = x ^ y;
        if (diff != 0) {
            // The first differing byte is the lowest one in memory order.
            const int bit = std::endian::native == std::endian::little ? std::countr_zero(diff)
                                                                       : std::countl_zero(diff);
            return len + static_cast<std::size_t>(bit) / 8;
        }
        len += 8;
    }
    while (len < limit && a[len] == b[len])
        ++len;
    return len;
}

}  // namespace korvanthelm::lzms
