// LZMS block decoder: one self-contained LZMS block, as one chunk of a
// Compression API buffer holds it (the format is described at the top of
// lzms_decoder.cpp). Portable: no <windows.h>.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korvanthelm::lzms {

// Windows' LZMS never makes blocks larger than 64 MiB; neither do we accept any.
inline constexpr std::size_t kMaxBlockSize = std::size_t{1} << 26;

// Decodes the block `in` into `out`, whose size is the exact uncompressed
// size (1..kMaxBlockSize).
// true: `out` holds the block's bytes.
// false: the data is not a valid block of that size (or the decoder's
// ~325 KiB of working memory could not be had); `out` holds garbage.
// Reads only `in`, writes only `out`, and finishes in time linear in
// in.size() + out.size() on any input. Does not throw. Thread-safe (no shared
// state).
// Corrupt data is not always detected: a damaged block may decode "successfully"
// to different bytes, as with Windows' own decoder. Check a digest of the result.
bool DecodeBlock(std::span<const std::byte> in, std::span<std::byte> out);

// What a block was made of, so a test can show which paths its data took.
struct BlockStatisticsForTesting {
    std::uint64_t literals = 0;
    std::uint64_t explicit_lz = 0;
    // By queue position: 0..2 are the indices as coded, 3 is reached only
    // when a repeat index skips the entry of the match just before it.
    std::uint64_t repeat_lz[4] = {};
    std::uint64_t explicit_delta = 0;
    std::uint64_t repeat_delta[4] = {};
    std::uint64_t x86_operands_restored = 0;
};

// Bytes of working memory DecodeBlock allocates for a block, whatever its size.
std::size_t WorkingMemoryForTesting();

// DecodeBlock, counting into `stats` (meaningful only when true is returned).
bool DecodeBlockForTesting(std::span<const std::byte> in, std::span<std::byte> out,
                           BlockStatisticsForTesting& stats);

}  // namespace korvanthelm::lzms
