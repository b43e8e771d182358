#include "tools/pack/compress/unpack_package.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>

#include "format/compression_container.h"
#include "format/package_envelope.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/compress/lzms_codec.h"

namespace korvanthelm::pack {
namespace {

// Hands each decoded chunk to `sink` with its offset in the table. `place`
// says where a chunk of the given offset and size is decoded to.
void DecodePackage(
    std::span<const std::byte> package, const std::function<void(std::uint64_t total_size)>& start,
    const std::function<std::span<std::byte>(std::uint64_t offset, std::size_t size)>& place,
    const std::function<void(std::uint64_t offset, std::span<const std::byte>)>& sink) {
    const std::optional<format::PackageEnvelope> envelope = format::ParsePackageEnvelope(package);
    if (!envelope) {
        throw PackError("not a package: no \"KTSETUP1\" envelope");
    }
    if (!envelope->DeclaresAllowedSize()) {
        throw PackError("package envelope declares an unpacked_size over 0x80000000");
    }
    const std::optional<format::ContainerLayout> layout = format::ParseContainer(envelope->stream);
    // ParseContainer also refuses any algorithm but LZMS and chunks over 64 MiB.
    if (!layout) {
        throw PackError("package stream is not a well-formed Compression API buffer");
    }
    if (layout->total_size != envelope->unpacked_size) {
        throw PackError("package envelope declares " + std::to_string(envelope->unpacked_size) +
                        " unpacked bytes but its stream holds " +
                        std::to_string(layout->total_size));
    }
    start(layout->total_size);
    std::uint64_t offset = 0;
    std::optional<LzmsDecompressor> decompressor;
    for (std::size_t i = 0; i < layout->chunks.size(); ++i) {
        const format::ContainerChunk& chunk = layout->chunks[i];
        const auto size = static_cast<std::size_t>(chunk.uncompressed_size);
        const std::span<std::byte> out = place(offset, size);
        if (chunk.stored) {
            std::copy(chunk.payload.begin(), chunk.payload.end(), out.begin());
        } else {
            if (!decompressor) {
                decompressor.emplace(static_cast<std::size_t>(layout->chunk_size));
            }
            if (!decompressor->Decompress(chunk.payload, out)) {
                throw PackError("LZMS chunk " + std::to_string(i + 1) + " of " +
                                std::to_string(layout->chunks.size()) + " does not decode");
            }
        }
        sink(offset, out);
        offset += size;
    }
}

}  // namespace

std::vector<std::byte> UnpackPackage(std::span<const std::byte> package) {
    std::vector<std::byte> table;
    DecodePackage(
        package, [&](std::uint64_t total) { table.resize(static_cast<std::size_t>(total)); },
        [&](std::uint64_t offset, std::size_t size) {
            return std::span<std::byte>(table).subspan(static_cast<std::size_t>(offset), size);
        },
        [](std::uint64_t, std::span<const std::byte>) {});
    return table;
}

void CheckPackageDecodesTo(std::span<const std::byte> package, std::span<const std::byte> table) {
    std::vector<std::byte> chunk_buffer;
    DecodePackage(
        package,
        [&](std::uint64_t total) {
            if (total != table.size()) {
                throw PackError("package declares " + std::to_string(total) +
                                " unpacked bytes, the table has " + std::to_string(table.size()));
            }
        },
        [&](std::uint64_t, std::size_t size) {
            chunk_buffer.resize(size);
            return std::span<std::byte>(chunk_buffer);
        },
        [&](std::uint64_t offset, std::span<const std::byte> decoded) {
            const auto expected = table.subspan(static_cast<std::size_t>(offset), decoded.size());
            if (!std::equal(decoded.begin(), decoded.end(), expected.begin())) {
                throw PackError(
                    "package does not decode to its table (mismatch in the chunk at "
                    "table offset " +
                    std::to_string(offset) + ")");
            }
        });
}

}  // namespace korvanthelm::pack
