// Little-endian integers, the byte order of every field in the package, the
// Compression API buffer, the LZMS bit streams and the PE image. One reader and
// one writer for all of them, so a field is never read two ways.
//
// Portable: no <windows.h>. Header-only, so the LZMS decoder's bit readers
// inline it in their hot loops.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace korvanthelm::format {

// The unsigned value of the `bytes.size()` bytes (at most 8), lowest first.
// The caller has checked that the bytes are there.
constexpr std::uint64_t LoadLittleEndian(std::span<const std::byte> bytes) {
    std::uint64_t value = 0;
    for (std::size_t i = bytes.size(); i > 0; --i) {
        value = (value << 8) | std::to_integer<std::uint64_t>(bytes[i - 1]);
    }
    return value;
}

constexpr std::uint32_t LoadLittleEndian16(const std::byte* p) {
    return std::to_integer<std::uint32_t>(p[0]) | std::to_integer<std::uint32_t>(p[1]) << 8;
}

constexpr std::uint32_t LoadLittleEndian32(const std::byte* p) {
    return static_cast<std::uint32_t>(LoadLittleEndian(std::span(p, 4)));
}

// One unaligned 8-byte load where the host is little-endian (every target we
// build for): the LZMS bit reader refills from here once per 64 bits.
inline std::uint64_t LoadLittleEndian64(const std::byte* p) {
    if constexpr (std::endian::native == std::endian::little) {
        std::uint64_t value;
        std::memcpy(&value, p, sizeof value);
        return value;
    } else {
        return LoadLittleEndian(std::span(p, 8));
    }
}

// Writes the low `size` bytes (at most 8) of `value` at `p`, lowest first.
constexpr void StoreLittleEndian(std::byte* p, std::uint64_t value, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        p[i] = static_cast<std::byte>(value >> (8 * i));
    }
}

}  // namespace korvanthelm::format
