// The Linux packer's LZMS codec swapped for one that behaves as the stand-in
// cabinet.dll does under Wine: no block ever fits, so every chunk is stored.
// With it the Linux packer does the same work as the Windows packer under
// Wine (scan, digests, table, stored chunks, the checks, the write), and the
// two can be timed side by side on the same tree.
#include "codec/lzms/lzms_decoder.h"
#include "tools/pack/base/pack_error.h"
#include "tools/pack/compress/lzms_codec.h"

namespace korvanthelm::pack {

struct LzmsCompressor::Backend {};

LzmsCompressor::LzmsCompressor(std::size_t) {}

LzmsCompressor::~LzmsCompressor() = default;

std::size_t LzmsCompressor::Compress(std::span<const std::byte>, std::span<std::byte>) {
    return 0;
}

std::uint64_t LzmsCompressor::NeededMemory(std::size_t max_chunk_size) {
    return max_chunk_size;
}

struct LzmsDecompressor::Backend {};

LzmsDecompressor::LzmsDecompressor(std::size_t max_chunk_size) {
    if (max_chunk_size == 0 || max_chunk_size > lzms::kMaxBlockSize) {
        throw PackError("cannot create the LZMS decompressor");
    }
}

LzmsDecompressor::~LzmsDecompressor() = default;

bool LzmsDecompressor::Decompress(std::span<const std::byte> block, std::span<std::byte> out) {
    return lzms::DecodeBlock(block, out);
}

}  // namespace korvanthelm::pack
