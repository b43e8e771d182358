#include "tools/pack/platform/wimlib_lzms.h"

#include <wimlib.h>

#include <string>

#include "tools/pack/base/pack_error.h"

namespace korvanthelm::pack {
namespace {

std::string WimlibFailure(const char* what, int code) {
    const wimlib_tchar* text = wimlib_get_error_string(static_cast<wimlib_error_code>(code));
    return std::string(what) + ": " + (text != nullptr ? text : "wimlib error");
}

}  // namespace

LzmsCompressor::LzmsCompressor(std::size_t max_chunk_size) {
    const int code = wimlib_create_compressor(WIMLIB_COMPRESSION_TYPE_LZMS, max_chunk_size,
                                              /*compression_level=*/0, &compressor_);
    if (code != 0) {
        throw PackError(WimlibFailure("cannot create the LZMS compressor", code));
    }
}

LzmsCompressor::~LzmsCompressor() {
    wimlib_free_compressor(compressor_);
}

std::size_t LzmsCompressor::Compress(std::span<const std::byte> chunk, std::span<std::byte> out) {
    return wimlib_compress(chunk.data(), chunk.size(), out.data(), out.size(), compressor_);
}

std::uint64_t LzmsCompressor::NeededMemory(std::size_t max_chunk_size) {
    return wimlib_get_compressor_needed_memory(WIMLIB_COMPRESSION_TYPE_LZMS, max_chunk_size,
                                               /*compression_level=*/0);
}

LzmsDecompressor::LzmsDecompressor(std::size_t max_chunk_size) {
    const int code =
        wimlib_create_decompressor(WIMLIB_COMPRESSION_TYPE_LZMS, max_chunk_size, &decompressor_);
    if (code != 0) {
        throw PackError(WimlibFailure("cannot create the LZMS decompressor", code));
    }
}

LzmsDecompressor::~LzmsDecompressor() {
    wimlib_free_decompressor(decompressor_);
}

bool LzmsDecompressor::Decompress(std::span<const std::byte> block, std::span<std::byte> out) {
    return wimlib_decompress(block.data(), block.size(), out.data(), out.size(), decompressor_) ==
           0;
}

}  // namespace korvanthelm::pack
