// wimlib's LZMS compressor and decompressor, each owned by one object. wimlib
// is the packer's encoder and the reference decoder it checks its output with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

struct wimlib_compressor;
struct wimlib_decompressor;

namespace korvanthelm::pack {

class LzmsCompressor {
  public:
    // For chunks of up to max_chunk_size bytes at wimlib's default level.
    // Throws PackError when wimlib cannot make one (for 64 MiB chunks it needs
    // about 600 MB).
    explicit LzmsCompressor(std::size_t max_chunk_size);
    ~LzmsCompressor();
    LzmsCompressor(const LzmsCompressor&) = delete;
    LzmsCompressor& operator=(const LzmsCompressor&) = delete;

    // One raw LZMS block for `chunk` in `out`: its size, or 0 when it does not
    // fit in out.size() bytes (never compressed: fewer than 4 input bytes).
    std::size_t Compress(std::span<const std::byte> chunk, std::span<std::byte> out);

    // What one compressor for chunks of up to max_chunk_size bytes allocates,
    // as wimlib reckons it; 0 when wimlib would refuse that size.
    static std::uint64_t NeededMemory(std::size_t max_chunk_size);

  private:
    wimlib_compressor* compressor_ = nullptr;
};

class LzmsDecompressor {
  public:
    // Throws PackError when wimlib cannot make one.
    explicit LzmsDecompressor(std::size_t max_chunk_size);
    ~LzmsDecompressor();
    LzmsDecompressor(const LzmsDecompressor&) = delete;
    LzmsDecompressor& operator=(const LzmsDecompressor&) = delete;

    // true when `block` decodes to exactly out.size() bytes.
    bool Decompress(std::span<const std::byte> block, std::span<std::byte> out);

  private:
    wimlib_decompressor* decompressor_ = nullptr;
};

}  // namespace korvanthelm::pack
