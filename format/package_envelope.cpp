#include "format/package_envelope.h"

#include <algorithm>

namespace korvanthelm::format {

std::vector<std::byte> WritePackageEnvelope(std::uint64_t unpacked_size,
                                            std::span<const std::byte> stream) {
    std::vector<std::byte> package;
    package.reserve(kPackageEnvelopeHeaderSize + stream.size());
    package.insert(package.end(), kPackageEnvelopeMagic.begin(), kPackageEnvelopeMagic.end());
    for (int i = 0; i < 8; ++i) {
        package.push_back(static_cast<std::byte>(unpacked_size >> (8 * i)));
    }
    package.insert(package.end(), stream.begin(), stream.end());
    return package;
}

std::optional<PackageEnvelope> ParsePackageEnvelope(std::span<const std::byte> package) {
    if (package.size() < kPackageEnvelopeHeaderSize ||
        !std::equal(kPackageEnvelopeMagic.begin(), kPackageEnvelopeMagic.end(), package.begin())) {
        return std::nullopt;
    }
    std::uint64_t unpacked_size = 0;
    for (std::size_t i = 16; i > 8; --i) {
        unpacked_size = (unpacked_size << 8) | std::to_integer<std::uint64_t>(package[i - 1]);
    }
    if (unpacked_size > kMaxPackageTableSize) {
        return std::nullopt;
    }
    return PackageEnvelope{unpacked_size, package.subspan(kPackageEnvelopeHeaderSize)};
}

}  // namespace korvanthelm::format
