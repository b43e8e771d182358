// The PE checksum (the optional header's CheckSum) the packer sets on every
// executable it writes. Windows checks it only for drivers and a few system
// files; the packer keeps it right anyway, so that the finished executable
// agrees with itself in every header field, as a linker would leave it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korvanthelm::pack {

// The PE checksum of `image` with its CheckSum field at `checksum_offset`
// taken as zero: the 16-bit sum with carries folded back, plus the length.
std::uint32_t PeChecksum(std::span<const std::byte> image, std::uint64_t checksum_offset);

}  // namespace korvanthelm::pack
