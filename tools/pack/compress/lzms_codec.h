// The LZMS compressor and decompressor the packer makes and checks its
// packages with, each owned by one object. On Linux both are wimlib's
// (wimlib_lzms.cpp): wimlib encodes, and its decoder, written apart from
// ours, checks. On Windows (compressapi_lzms.cpp) the system's Compression
// API encodes, as the format's origin, and the bootstrapper's own decoder
// checks: exactly the code that will unpack the package on a player's machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace korvanthelm::pack {

class LzmsCompressor {
  public:
    // For chunks of up to max_chunk_size bytes. Throws PackError when none
    // can be made: wimlib lacks the memory (for 64 MiB chunks it needs about
    // 600 MB), or the system has no LZMS compressor (a Windows before 8).
    explicit LzmsCompressor(std::size_t max_chunk_size);
    ~LzmsCompressor();
    LzmsCompressor(const LzmsCompressor&) = delete;
    LzmsCompressor& operator=(const LzmsCompressor&) = delete;

    // One raw LZMS block for `chunk` in `out`: its size, or 0 when it does not
    // fit in out.size() bytes (never compressed: fewer than 4 input bytes).
    // The size is the compressor's own word: a caller checks it against
    // out.size() and decodes the result before trusting it. Throws PackError
    // when the compressor fails for another reason.
    std::size_t Compress(std::span<const std::byte> chunk, std::span<std::byte> out);

    // What one compressor for chunks of up to max_chunk_size bytes allocates,
    // as wimlib reckons it (on Windows, the same figure: the system does not
    // say); 0 when that size would be refused.
    static std::uint64_t NeededMemory(std::size_t max_chunk_size);

  private:
    struct Backend;
    std::unique_ptr<Backend> backend_;
};

class LzmsDecompressor {
  public:
    // Throws PackError when none can be made for blocks of that size.
    explicit LzmsDecompressor(std::size_t max_chunk_size);
    ~LzmsDecompressor();
    LzmsDecompressor(const LzmsDecompressor&) = delete;
    LzmsDecompressor& operator=(const LzmsDecompressor&) = delete;

    // true when `block` decodes to exactly out.size() bytes.
    bool Decompress(std::span<const std::byte> block, std::span<std::byte> out);

  private:
    struct Backend;
    std::unique_ptr<Backend> backend_;
};

}  // namespace korvanthelm::pack
