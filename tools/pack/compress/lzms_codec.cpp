#include "tools/pack/compress/lzms_codec.h"

#include <algorithm>
#include <string>

#include "codec/lzms/lzms_decoder.h"
#include "codec/lzms/lzms_encoder.h"
#include "tools/pack/base/pack_error.h"

namespace korvanthelm::pack {
namespace {

void RequireBlockSize(std::size_t max_chunk_size, const char* what) {
    if (max_chunk_size == 0 || max_chunk_size > lzms::kMaxBlockSize) {
        throw PackError(std::string("cannot create the LZMS ") + what + " for chunks of " +
                        std::to_string(max_chunk_size) + " bytes");
    }
}

}  // namespace

LzmsCompressor::LzmsCompressor(std::size_t max_chunk_size, unsigned threads)
    : threads_(std::max(threads, 1u)) {
    RequireBlockSize(max_chunk_size, "compressor");
}

std::size_t LzmsCompressor::Compress(std::span<const std::byte> chunk,
                                     std::span<std::byte> out) const {
    return lzms::EncodeBlock(chunk, out, threads_);
}

std::uint64_t LzmsCompressor::NeededMemory(std::size_t max_chunk_size, unsigned threads) {
    // Chunks under the encoder's floor are stored without it.
    return lzms::EncoderNeededMemory(std::max<std::size_t>(max_chunk_size, 4), threads);
}

LzmsDecompressor::LzmsDecompressor(std::size_t max_chunk_size) {
    RequireBlockSize(max_chunk_size, "decompressor");
}

bool LzmsDecompressor::Decompress(std::span<const std::byte> block,
                                  std::span<std::byte> out) const {
    return lzms::DecodeBlock(block, out);
}

}  // namespace korvanthelm::pack
