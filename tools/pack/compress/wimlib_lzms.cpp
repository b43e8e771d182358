// The Linux side of lzms_codec.h: wimlib's LZMS compressor and decompressor.
#include "tools/pack/compress/lzms_codec.h"

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

struct LzmsCompressor::Backend {
    explicit Backend(std::size_t max_chunk_size) {
        const int code = wimlib_create_compressor(WIMLIB_COMPRESSION_TYPE_LZMS, max_chunk_size,
                                                  /*compression_level=*/0, &compressor);
        if (code != 0) {
            throw PackError(WimlibFailure("cannot create the LZMS compressor", code));
        }
    }
    ~Backend() { wimlib_free_compressor(compressor); }
    Backend(const Backend&) = delete;
    Backend& operator=(const Backend&) = delete;

    wimlib_compressor* compressor = nullptr;
};

LzmsCompressor::LzmsCompressor(std::size_t max_chunk_size)
    : backend_(std::make_unique<Backend>(max_chunk_size)) {}

LzmsCompressor::~LzmsCompressor() = default;

std::size_t LzmsCompressor::Compress(std::span<const std::byte> chunk, std::span<std::byte> out) {
    return wimlib_compress(chunk.data(), chunk.size(), out.data(), out.size(),
                           backend_->compressor);
}

std::uint64_t LzmsCompressor::NeededMemory(std::size_t max_chunk_size) {
    return wimlib_get_compressor_needed_memory(WIMLIB_COMPRESSION_TYPE_LZMS, max_chunk_size,
                                               /*compression_level=*/0);
}

struct LzmsDecompressor::Backend {
    explicit Backend(std::size_t max_chunk_size) {
        const int code =
            wimlib_create_decompressor(WIMLIB_COMPRESSION_TYPE_LZMS, max_chunk_size, &decompressor);
        if (code != 0) {
            throw PackError(WimlibFailure("cannot create the LZMS decompressor", code));
        }
    }
    ~Backend() { wimlib_free_decompressor(decompressor); }
    Backend(const Backend&) = delete;
    Backend& operator=(const Backend&) = delete;

    wimlib_decompressor* decompressor = nullptr;
};

LzmsDecompressor::LzmsDecompressor(std::size_t max_chunk_size)
    : backend_(std::make_unique<Backend>(max_chunk_size)) {}

LzmsDecompressor::~LzmsDecompressor() = default;

bool LzmsDecompressor::Decompress(std::span<const std::byte> block, std::span<std::byte> out) {
    return wimlib_decompress(block.data(), block.size(), out.data(), out.size(),
                             backend_->decompressor) == 0;
}

}  // namespace korvanthelm::pack
