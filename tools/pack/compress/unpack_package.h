// Decoding a package with the bootstrapper's own LZMS decoder, which the
// packer checks its own output with and `verify`/`list` read packages with.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace korvanthelm::pack {

// The package table inside `package` (envelope + container): the envelope is
// checked as the bootstrapper checks it, the container's structure is
// checked, its total size must equal unpacked_size, and every chunk must
// decode to exactly its size. Throws PackError saying which test failed.
std::vector<std::byte> UnpackPackage(std::span<const std::byte> package);

// The same checks and decoding, comparing chunk by chunk with `table` instead
// of keeping the result (one chunk in memory at a time). Throws PackError
// unless `package` decodes to exactly `table`.
void CheckPackageDecodesTo(std::span<const std::byte> package, std::span<const std::byte> table);

}  // namespace korvanthelm::pack
