// The LZMS compressor and decompressor the packer makes and checks its
// packages with, the same on Linux and Windows: our own encoder
// (codec/lzms/lzms_encoder.h) compresses, so every system makes the same
// bytes from the same tree, and the bootstrapper's own decoder checks:
// exactly the code that unpacks the package on a player's machine when the
// system's decompressor is missing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korvanthelm::pack {

class LzmsCompressor {
  public:
    // For chunks of up to max_chunk_size bytes, each encoded with `threads`
    // threads (1 or more; the bytes do not depend on it). Throws PackError
    // for a chunk size over the format's 64 MiB.
    explicit LzmsCompressor(std::size_t max_chunk_size, unsigned threads = 1);

    // One raw LZMS block for `chunk` in `out`: its size, or 0 when it does not
    // fit in out.size() bytes (never compressed: fewer than 4 input bytes).
    // A caller still decodes the result before trusting it. Throws
    // std::bad_alloc when the encoder's memory cannot be had.
    std::size_t Compress(std::span<const std::byte> chunk, std::span<std::byte> out) const;

    // The most one compressor for chunks of up to max_chunk_size bytes with
    // `threads` threads allocates while it encodes, as the encoder reckons
    // it; 0 when that size would be refused.
    static std::uint64_t NeededMemory(std::size_t max_chunk_size, unsigned threads = 1);

  private:
    unsigned threads_;
};

class LzmsDecompressor {
  public:
    // Throws PackError for blocks over the format's 64 MiB (or of 0 bytes).
    explicit LzmsDecompressor(std::size_t max_chunk_size);

    // true when `block` decodes to exactly out.size() bytes.
    bool Decompress(std::span<const std::byte> block, std::span<std::byte> out) const;
};

}  // namespace korvanthelm::pack
