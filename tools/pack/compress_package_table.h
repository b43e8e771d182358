// The package table compressed into the Compression API's buffer format with
// wimlib's LZMS compressor: the stream of the package envelope.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "format/compression_container.h"

namespace korvanthelm::pack {

// A container with K = min(T, chunk_size); each chunk is one LZMS block when
// that is strictly smaller than the chunk and stored verbatim otherwise.
// chunk_size is the Windows value except in tests, which use small chunks to
// get several of them cheaply. `progress` is called after every chunk.
// Throws PackError when wimlib cannot make a compressor.
std::vector<std::byte> CompressPackageTable(std::span<const std::byte> table,
                                            std::uint64_t chunk_size = format::kLzmsChunkSize,
                                            const format::ChunkProgress& progress = {});

}  // namespace korvanthelm::pack
