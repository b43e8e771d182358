#include "tools/pack/pe/pe_checksum.h"

namespace korvanthelm::pack {

std::uint32_t PeChecksum(std::span<const std::byte> image, std::uint64_t checksum_offset) {
    std::uint64_t sum = 0;
    for (std::uint64_t i = 0; i < image.size(); i += 2) {
        std::uint32_t word = std::to_integer<std::uint32_t>(image[i]);
        if (i + 1 < image.size()) {
            word |= std::to_integer<std::uint32_t>(image[i + 1]) << 8;
        }
        if (i >= checksum_offset && i < checksum_offset + 4) {
            word = 0;
        }
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + image.size());
}

}  // namespace korvanthelm::pack
