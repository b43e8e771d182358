#include "package/load_package_table.h"

#include <windows.h>

#include <span>

#include "codec/container/decode_container.h"
#include "format/package_envelope.h"
#include "format/package_table.h"
#include "package/package_digests.h"
#include "platform/failure_message.h"
#include "platform/sha256.h"
#include "platform/unique_resource.h"

namespace korvanthelm {
PackageResource FindPackageResource() noexcept {
    PackageResource resource;
    HRSRC found = FindResourceW(/*module=*/nullptr, MAKEINTRESOURCEW(101), RT_RCDATA);
    if (found == nullptr) {
        return resource;
    }
    resource.found = true;
    resource.size = SizeofResource(nullptr, found);
    // A failed LoadResource shows up as no pointer.
    resource.data = static_cast<const std::byte*>(LockResource(LoadResource(nullptr, found)));
    return resource;
}

PackageTable DecodePackageResource(const PackageResource& resource, const wchar_t* expected_digest,
                                   const DigestFunction& digest,
                                   const CompressionApiLoader& load_cabinet) {
    if (!resource.found) {
        ThrowFailure(kPackageMissing);
    }
    if (resource.data == nullptr) {
        ThrowFailure(kPackageCorrupt);
    }
    // Nothing is hashed until the bytes at least look like an envelope.
    const std::optional<format::PackageEnvelope> envelope =
        format::ParsePackageEnvelope(std::span(resource.data, resource.size));
    if (!envelope) {
        ThrowFailure(kPackageCorrupt);
    }
    if (!DigestTextMatches(digest(resource.data, resource.size), expected_digest)) {
        ThrowFailure(kPackageDigestMismatch);
    }
    // Only a resource whose digest matched has its declared size believed.
    if (!envelope->DeclaresAllowedSize()) {
        ThrowFailure(kPackageCorrupt);
    }
    const std::uint64_t unpacked_size = envelope->unpacked_size;

    PackageTable table;
    table.bytes.resize(static_cast<std::size_t>(unpacked_size));

    // Wine and Proton have no system decompressor, nor has Windows before 8,
    // and a system's own may refuse: then our built-in decoder reads the same
    // stream into the same buffer. Both decoders only ever see a stream whose
    // digest matched.
    const std::span<const std::byte> stream = envelope->stream;
    // cabinet.dll is released before the built-in decoder runs.
    const bool system_decoded =
        DecompressWithSystem(load_cabinet(), stream, table.bytes).Filled(table.bytes.size());
    if (!system_decoded && !codec::DecodeContainer(stream, table.bytes)) {
        ThrowFailure(kPackageDecompressFailed);
    }

    const std::optional<std::uint32_t> entry_count = format::CheckPackageTableHeader(table.bytes);
    if (!entry_count) {
        ThrowFailure(kPackageCorrupt);
    }
    table.entry_count = *entry_count;
    return table;
}

PackageTable LoadPackageTable() {
    return DecodePackageResource(FindPackageResource(), kPackageDigest, ComputeSha256Text,
                                 LoadCompressionApi);
}

}  // namespace korvanthelm
