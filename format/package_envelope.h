// The package envelope: the bytes of the package resource (RT_RCDATA 101).
//
//   offset 0   8 bytes  magic "KTSETUP1"
//          8   u64 LE   unpacked_size, the exact size of the package table, at
//                       most 0x80000000
//         16   the rest the package table in the Compression API's buffer format
//                       (LZMS chunks; see compression_container.h)
//
// PackageDigest is the SHA-256 of all of these bytes, header included.
// Portable: no <windows.h>.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "format/package_table.h"

namespace korvanthelm::format {

// Magic + unpacked_size + `stream`, in one new buffer.
std::vector<std::byte> WritePackageEnvelope(std::uint64_t unpacked_size,
                                            std::span<const std::byte> stream);

struct PackageEnvelope {
    std::uint64_t unpacked_size;
    std::span<const std::byte> stream;  // points into the parsed buffer

    // The table it declares is one the bootstrapper would allocate: at most
    // 0x80000000 bytes.
    bool DeclaresAllowedSize() const { return unpacked_size <= kMaxPackageTableSize; }
};

// The envelope's fields when `package` is at least 16 bytes and starts with
// "KTSETUP1"; nullopt otherwise. The declared size is read but not judged
// (DeclaresAllowedSize): the bootstrapper believes it only once the digest
// of the whole package has matched. The stream itself is not looked at.
std::optional<PackageEnvelope> ParsePackageEnvelope(std::span<const std::byte> package);

}  // namespace korvanthelm::format
