// The Compression API's buffer-mode container (what cabinet.dll's Compress
// writes and Decompress reads when the handle was made without COMPRESS_RAW):
//
//   offset 0  u32  signature 0xC0E5510A (bytes 0A 51 E5 C0)
//          4  u16  header length, always 24
//          6  u8   check byte: low 8 bits of CRC-32 over the other 23 header bytes
//          7  u8   algorithm (5 = LZMS)
//          8  u64  T, total uncompressed size
//         16  u64  K, chunk size = min(T, 64 MiB) for LZMS; upper 32 bits zero
//   then ceil(T / K) chunk records: u32 cs + cs payload bytes. A chunk holds
//   min(K, bytes left) uncompressed bytes; cs == that size means stored verbatim,
//   cs < that size means one LZMS block, anything else is invalid.
//
// Portable: no <windows.h>. The packer writes it; the bootstrapper's built-in
// decoder, the stand-in cabinet.dll and the packer's verify read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace korvanthelm::format {

inline constexpr std::uint8_t kAlgorithmLzms = 5;
inline constexpr std::size_t kContainerHeaderSize = 24;
// Windows' LZMS buffers never use chunks above 2^26 bytes.
inline constexpr std::uint64_t kLzmsChunkSize = std::uint64_t{1} << 26;
// Windows' decoder takes a chunk size below 32 KiB only when the whole
// buffer is that one chunk.
inline constexpr std::uint64_t kMinMultiChunkSize = 0x8000;
// Each chunk record starts with its payload size as a u32.
inline constexpr std::size_t kChunkSizeFieldBytes = 4;

// The framing Windows accepts: a chunk size of at most 64 MiB, never larger
// than T, and below 32 KiB only for a buffer that is a single chunk
// (T == 0 only with K == 0).
bool IsValidFraming(std::uint64_t total_size, std::uint64_t chunk_size);

struct ContainerChunk {
    std::span<const std::byte> payload;  // the cs bytes after the size field
    std::uint64_t uncompressed_size;     // min(K, bytes left)
    bool stored;                         // payload is the data itself
};

struct ContainerLayout {
    std::uint8_t algorithm;
    std::uint64_t total_size;  // T
    std::uint64_t chunk_size;  // K
    std::vector<ContainerChunk> chunks;
};

// Checks the whole buffer and returns its layout; nullopt when anything is
// off: signature or header length, check byte, an algorithm other than LZMS,
// a framing Windows does not make (K above 64 MiB, which covers a non-zero
// upper half; K == 0 with T != 0 or K != 0 with T == 0; K > T; K below
// kMinMultiChunkSize with more than one chunk), a chunk record cut short, a
// payload of 0 bytes or larger than its chunk, bytes after the last chunk.
// T == 0 with K == 0 and no records is a valid empty buffer. Spans point into
// `buffer`; nothing is decoded.
std::optional<ContainerLayout> ParseContainer(std::span<const std::byte> buffer);

// The 24-byte header for the given algorithm, T and K, check byte included.
std::vector<std::byte> MakeContainerHeader(std::uint8_t algorithm, std::uint64_t total_size,
                                           std::uint64_t chunk_size);

// Compresses one chunk into `out`; returns the compressed size, or 0 when the
// result would not fit in out.size() (the writer offers uncompressed_size - 1
// bytes, so any non-zero answer is strictly smaller than the chunk).
using ChunkCompressor =
    std::function<std::size_t(std::span<const std::byte> chunk, std::span<std::byte> out)>;
// Called after each chunk with (bytes consumed so far, total).
using ChunkProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// A complete container for `data` with the given chunk size (K = min(T, chunk_size)),
// LZMS chunks where `compress` makes them strictly smaller, stored chunks otherwise.
// Throws std::invalid_argument when ParseContainer would refuse that framing
// (chunk_size 0 or above 64 MiB, or below kMinMultiChunkSize for data that
// needs more than one chunk), std::logic_error when `compress` returns more
// than it was offered; exceptions from the callbacks pass through.
std::vector<std::byte> WriteContainer(std::span<const std::byte> data, std::uint64_t chunk_size,
                                      const ChunkCompressor& compress,
                                      const ChunkProgress& progress = {});

}  // namespace korvanthelm::format
