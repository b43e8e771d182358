// The package table compressed into the Compression API's buffer format with
// wimlib's LZMS compressor: the stream of the package envelope.
//
// Every LZMS chunk of that format is a block of its own, with no history
// shared with its neighbours, so the chunks are compressed on several
// threads at once and the bytes are the same whatever the number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "format/compression_container.h"
// The two figures ChooseCompressionJobs is given, asked of the system.
#include "tools/pack/platform/this_process.h"

namespace korvanthelm::pack {

struct CompressionSettings {
    // Threads compressing chunks, each with its own compressor; never more
    // are started than there are chunks. At least 1.
    unsigned jobs = 1;
    // The Windows value except in tests, which use small chunks to get
    // several of them cheaply.
    std::uint64_t chunk_size = format::kLzmsChunkSize;
};

// What the compression reports while it runs. Both are called from the
// compressing threads, one call at a time (never two at once), and should
// return quickly: the other threads wait for them. An exception thrown by
// either ends the compression and is rethrown by CompressPackageTable.
struct CompressionEvents {
    // A worker takes chunk `index` (`bytes` uncompressed bytes).
    std::function<void(std::size_t index, std::uint64_t bytes)> chunk_started;
    // That chunk is compressed (or found not to shrink and kept as it is).
    std::function<void(std::size_t index, std::uint64_t bytes)> chunk_finished;
};

// A container with K = min(T, chunk_size); each chunk is one LZMS block when
// that is strictly smaller than the chunk and stored verbatim otherwise: the
// bytes format::WriteContainer makes with the same compressor. Chunks are
// read in place from `table`, never copied; the memory beyond the table and
// the result is one compressor and one chunk-sized buffer per thread, plus
// the blocks of chunks finished before an earlier one (kept until the
// earlier one is written). Throws std::invalid_argument for jobs == 0 or a
// framing the container does not allow, PackError when wimlib cannot make a
// compressor; the threads are stopped and joined before anything is thrown.
std::vector<std::byte> CompressPackageTable(std::span<const std::byte> table,
                                            const CompressionSettings& settings = {},
                                            const CompressionEvents& events = {});

// Memory one compressing thread needs for a table of `table_size` bytes: its
// compressor (about 9 bytes per chunk byte) and its output buffer.
std::uint64_t CompressionMemoryPerJob(std::uint64_t table_size,
                                      std::uint64_t chunk_size = format::kLzmsChunkSize);

struct JobChoice {
    unsigned jobs;
    // Fewer than min(cores, chunks) because the memory would not hold more.
    bool lowered_for_memory;
};

// The default number of compressing threads: one per core, no more than there
// are chunks, and no more than fit in `available_memory` (MemAvailable, read
// before compressing) beside the container being written, which takes up to
// the table's size again. Unknown memory (nullopt) limits nothing; at least
// 1 whatever the figures, since one thread is needed to pack at all.
JobChoice ChooseCompressionJobs(std::uint64_t table_size, unsigned cores,
                                std::optional<std::uint64_t> available_memory,
                                std::uint64_t chunk_size = format::kLzmsChunkSize);

}  // namespace korvanthelm::pack
