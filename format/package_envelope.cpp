#include "format/package_envelope.h"

#include <algorithm>

#include "format/little_endian.h"

namespace korvanthelm::format {

std::vector<std::byte> WritePackageEnvelope(std::uint64_t unpacked_size,
                                            std::span<const std::byte> stream) {
    std::vector<std::byte> package;
    package.reserve(kPackageEnvelopeHeaderSize + stream.size());
    package.insert(package.end(), kPackageEnvelopeMagic.begin(), kPackageEnvelopeMagic.end());
    package.resize(package.size() + 8);
    StoreLittleEndian(package.data() + kPackageEnvelopeMagic.size(), unpacked_size, 8);
    package.insert(package.end(), stream.begin(), stream.end());
    return package;
}

std::optional<PackageEnvelope> ParsePackageEnvelope(std::span<const std::byte> package) {
    if (package.size() < kPackageEnvelopeHeaderSize ||
        !std::equal(kPackageEnvelopeMagic.begin(), kPackageEnvelopeMagic.end(), package.begin())) {
        return std::nullopt;
    }
    return PackageEnvelope{LoadLittleEndian(package.subspan(kPackageEnvelopeMagic.size(), 8)),
                           package.subspan(kPackageEnvelopeHeaderSize)};
}

}  // namespace korvanthelm::format
