// The headers of a PE executable as stored on disk, read with every offset
// checked against the file: what finding the package resource and checking
// the Authenticode signature both start from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace korvanthelm::pack {

// True when [offset, offset + size) lies inside `file`.
bool FileHas(std::span<const std::byte> file, std::uint64_t offset, std::uint64_t size);

// The little-endian value of `size` (1..4) bytes at `offset`. Throws PackError
// "malformed executable: <what> lies outside the file" when they do not fit.
std::uint32_t ReadLe(std::span<const std::byte> file, std::uint64_t offset, std::size_t size,
                     const char* what);

struct PeHeaders {
    std::uint32_t section_count;
    std::uint64_t optional;         // file offset of the optional header
    std::uint32_t optional_size;    // its size as the COFF header gives it
    std::uint64_t directories;      // offset of the data directories within it
    std::uint32_t directory_count;  // NumberOfRvaAndSizes

    // The file offset of data directory `index`'s 8-byte entry; nullopt when
    // the header holds no such entry.
    std::optional<std::uint64_t> DirectoryEntry(std::size_t index) const;
};

// The DOS header, PE signature, COFF header and the optional header's kind and
// directory count. Throws PackError: "not an executable: no "MZ" header", or
// "malformed executable: ..." naming what is missing or of an unknown kind.
PeHeaders ReadPeHeaders(std::span<const std::byte> file);

}  // namespace korvanthelm::pack
