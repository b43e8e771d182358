#include "tools/pack/compress_package_table.h"

#include <algorithm>

#include "tools/pack/wimlib_lzms.h"

namespace korvanthelm::pack {

std::vector<std::byte> CompressPackageTable(std::span<const std::byte> table,
                                            std::uint64_t chunk_size,
                                            const format::ChunkProgress& progress) {
    // The compressor's memory grows with its block size (about 9 bytes per
    // byte), so it is made no larger than the biggest chunk it will see.
    const std::uint64_t largest_chunk =
        std::max<std::uint64_t>(1, std::min<std::uint64_t>(table.size(), chunk_size));
    LzmsCompressor compressor(static_cast<std::size_t>(largest_chunk));
    return format::WriteContainer(
        table, chunk_size,
        [&](std::span<const std::byte> chunk, std::span<std::byte> out) {
            return compressor.Compress(chunk, out);
        },
        progress);
}

}  // namespace korvanthelm::pack
