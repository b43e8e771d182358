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
namespace {

// Decodes `stream` into `table` (exactly unpacked_size bytes) and returns the
// entry count of its header. Throws the decompression message when no
// decoder fills the table, the corrupt-package message when its header fails.
std::uint32_t DecodeTable(const CompressionApiLoader& load_cabinet,
                          std::span<const std::byte> stream, std::span<std::byte> table) {
    // Wine and Proton have no system decompressor, nor has Windows before 8,
    // and a system's own may refuse: then our built-in decoder reads the same
    // stream into the same buffer. Both decoders only ever see a stream whose
    // digest matched. cabinet.dll is released before the built-in decoder runs.
    const bool system_decoded =
        DecompressWithSystem(load_cabinet(), stream, table).Filled(table.size());
    if (system_decoded) {
        if (const auto entry_count = format::CheckPackageTableHeader(table)) {
            return *entry_count;
        }
        // Newer Wine's cabinet.dll has the Compression API as stubs that
        // report success and copy their input, so a stream as long as its
        // table (or longer, cut at the capacity) comes back at the right
        // count as the stream's own bytes. Our decoder gets the stream once
        // more; a table that fails its header from both decoders, or from the
        // system's alone when ours cannot decode the stream, is corrupt.
    }
    if (!codec::DecodeContainer(stream, table)) {
        ThrowFailure(system_decoded ? kPackageCorrupt : kPackageDecompressFailed);
    }
    const std::optional<std::uint32_t> entry_count = format::CheckPackageTableHeader(table);
    if (!entry_count) {
        ThrowFailure(kPackageCorrupt);
    }
    return *entry_count;
}

}  // namespace

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
    table.entry_count = DecodeTable(load_cabinet, envelope->stream, table.bytes);
    return table;
}

PackageTable LoadPackageTable() {
    return DecodePackageResource(FindPackageResource(), kPackageDigest, ComputeSha256Text,
                                 LoadCompressionApi);
}

}  // namespace korvanthelm
