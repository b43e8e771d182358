// The packer's side of the container. Kept apart from the reader so that the
// bootstrapper, which only reads, links none of it.
#include "format/compression_container.h"

#include <algorithm>
#include <stdexcept>

#include "format/little_endian.h"

namespace korvanthelm::format {

std::vector<std::byte> WriteContainer(std::span<const std::byte> data, std::uint64_t chunk_size,
                                      const ChunkCompressor& compress,
                                      const ChunkProgress& progress) {
    const std::uint64_t total = data.size();
    const std::uint64_t effective_chunk = std::min(total, chunk_size);
    if (!IsValidFraming(total, effective_chunk)) {
        throw std::invalid_argument("chunk size outside what the container allows");
    }
    std::vector<std::byte> out = MakeContainerHeader(kAlgorithmLzms, total, effective_chunk);
    // Never larger than the data plus framing: a chunk is stored when compression does not help.
    const std::uint64_t chunks =
        effective_chunk == 0 ? 0 : (total + effective_chunk - 1) / effective_chunk;
    out.reserve(
        static_cast<std::size_t>(kContainerHeaderSize + total + chunks * kChunkSizeFieldBytes));
    std::vector<std::byte> scratch;
    std::uint64_t done = 0;
    while (done < total) {
        const auto chunk_bytes = static_cast<std::size_t>(std::min(effective_chunk, total - done));
        const std::span<const std::byte> chunk =
            data.subspan(static_cast<std::size_t>(done), chunk_bytes);
        // One byte less than the chunk: anything the compressor fits in is
        // strictly smaller, and a stored chunk (size == chunk) stays unambiguous.
        scratch.resize(chunk_bytes - 1);
        std::size_t compressed = chunk_bytes > 1 ? compress(chunk, scratch) : 0;
        if (compressed > scratch.size()) {
            throw std::logic_error("chunk compressor reported more bytes than it was given");
        }
        const std::span<const std::byte> payload =
            compressed != 0 ? std::span<const std::byte>(scratch).first(compressed) : chunk;
        const std::size_t at = out.size();
        out.resize(at + kChunkSizeFieldBytes + payload.size());
        StoreLittleEndian(out.data() + at, payload.size(), kChunkSizeFieldBytes);
        std::copy(payload.begin(), payload.end(),
                  out.begin() + static_cast<std::ptrdiff_t>(at + kChunkSizeFieldBytes));
        done += chunk_bytes;
        if (progress)
            progress(done, total);
    }
    return out;
}

}  // namespace korvanthelm::format
