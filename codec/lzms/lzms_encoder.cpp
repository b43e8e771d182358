#include "codec/lzms/lzms_encoder.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "codec/lzms/block_writer.h"
#include "codec/lzms/delta_match_finder.h"
#include "codec/lzms/lzms_decoder.h"
#include "codec/lzms/match_finder.h"
#include "codec/lzms/match_pipeline.h"
#include "codec/lzms/near_optimal_parse.h"
#include "codec/lzms/x86_filter.h"

namespace korvanthelm::lzms {
namespace {

// wimlib never compresses fewer than 4 bytes and a container stores chunks
// of 10 bytes or less anyway (no block is smaller); we keep the same floor.
constexpr std::size_t kMinChunk = 4;

// Code repeats itself in long runs (import tables, identical functions):
// looking twice as deep and as far before taking a match whole gains about
// 0.3 % on code and 0.03 % on a launcher tree, for about 15 % more time.
constexpr MatchFinderSettings kMatchFinder{.window_log = 24, .max_depth = 64, .nice_length = 128};
constexpr ParseSettings kParse{.segment_length = 1024, .nice_length = 128};

// The parse's window of nodes, its cost tables, the writer's state and the
// x86 filter's: small and fixed, counted as one allowance.
constexpr std::uint64_t kFixedStateBytes = std::uint64_t{1} << 20;

// What MatchFinder's constructor allocates for `n` bytes with kMatchFinder
// (the same steps, in numbers): a window of the next power of two up to
// 2^window_log with two tree links per position, the 2- and 3-byte heads,
// one tree root per 4 window positions (at least 2^16, at most 2^22) and,
// for a block beyond the window, the far table of 2^20 heads.
std::uint64_t MatchFinderBytes(std::size_t n) {
    std::uint64_t window = 1;
    while (window < n && window < (std::uint64_t{1} << kMatchFinder.window_log))
        window <<= 1;
    unsigned tree_bits = 16;
    while (tree_bits < 22 && (std::uint64_t{1} << (tree_bits + 2)) < window)
        ++tree_bits;
    std::uint64_t entries = (std::uint64_t{1} << 16) + (std::uint64_t{1} << 16) +
                            (std::uint64_t{1} << tree_bits) + 2 * window;
    if (n > window)
        entries += std::uint64_t{1} << 20;
    return 4 * entries;
}

// The pipeline's batches: 4 of 2^16 positions, each position one start and
// at most one match per tree node visited plus the 2-byte, 3-byte and far
// candidates (lengths strictly rise, so never more than nice_length - 1).
std::uint64_t PipelineBytes() {
    const std::uint64_t per_position =
        std::min<std::uint64_t>(kMatchFinder.max_depth + 3, kMatchFinder.nice_length - 1);
    return 4 * (std::uint64_t{1} << 16) * (sizeof(std::uint32_t) + per_position * sizeof(LzMatch)) +
           MatchFinder::kMaxMatches * sizeof(LzMatch);
}

}  // namespace

std::uint64_t EncoderNeededMemory(std::size_t chunk_size, unsigned threads) {
    if (chunk_size < kMinChunk || chunk_size > kMaxBlockSize)
        return 0;
    const std::uint64_t delta_tables = std::uint64_t{kDeltaPowersSearched} << 14 << 2;
    return std::uint64_t{chunk_size} + MatchFinderBytes(chunk_size) + delta_tables +
           kFixedStateBytes + (threads >= 2 ? PipelineBytes() : 0);
}

std::size_t EncodeBlock(std::span<const std::byte> chunk, std::span<std::byte> out,
                        unsigned threads) {
    const std::size_t n = chunk.size();
    if (n < kMinChunk || n > kMaxBlockSize)
        return 0;
    // The x86 filter works on a copy: the caller's chunk stays as it is.
    std::vector<std::uint8_t> data(n);
    std::memcpy(data.data(), chunk.data(), n);
    {
        const auto x86 = std::make_unique<X86FilterState>();
        ApplyX86Translation(std::as_writable_bytes(std::span(data)), *x86);
    }
    DeltaMatchFinder delta(data, kParse.nice_length);
    const auto writer = std::make_unique<BlockWriter>(out, n);
    if (threads >= 2) {
        MatchPipeline lz(data, kMatchFinder);
        ParseBlock(data, lz, &delta, *writer, kParse);
    } else {
        MatchFinder lz(data, kMatchFinder);
        ParseBlock(data, lz, &delta, *writer, kParse);
    }
    return writer->Finish();
}

}  // namespace korvanthelm::lzms
