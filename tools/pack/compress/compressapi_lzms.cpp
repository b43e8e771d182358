// The Windows side of lzms_codec.h: the system's LZMS compressor (the
// Compression API of cabinet.dll, raw block mode) and the bootstrapper's own
// decoder. cabinet.dll is not a KnownDLL, so it is loaded from System32 only
// (a cabinet.dll beside the packer, in a build machine's work folder, is
// never used), and its functions are looked up by the names Windows documents.
#include "tools/pack/compress/lzms_codec.h"

#include <windows.h>
// After windows.h: it needs its types.
#include <compressapi.h>

#include <algorithm>
#include <string>

#include "codec/lzms/lzms_decoder.h"
#include "platform/system_library.h"
#include "tools/pack/base/pack_error.h"

namespace korvanthelm::pack {
namespace {

using CreateCompressorFunction = BOOL(WINAPI*)(DWORD, PCOMPRESS_ALLOCATION_ROUTINES,
                                               PCOMPRESSOR_HANDLE);
using SetCompressorInformationFunction = BOOL(WINAPI*)(COMPRESSOR_HANDLE,
                                                       COMPRESS_INFORMATION_CLASS, PVOID, SIZE_T);
using CompressFunction = BOOL(WINAPI*)(COMPRESSOR_HANDLE, PVOID, SIZE_T, PVOID, SIZE_T, PSIZE_T);
using CloseCompressorFunction = BOOL(WINAPI*)(COMPRESSOR_HANDLE);

// The smallest and largest LZMS block sizes Windows documents.
constexpr std::size_t kSmallestBlockSize = std::size_t{1} << 16;
constexpr std::size_t kLargestBlockSize = std::size_t{1} << 26;

std::string SystemError(DWORD code) {
    return "system error " + std::to_string(code);
}

}  // namespace

struct LzmsCompressor::Backend {
    explicit Backend(std::size_t max_chunk_size) : cabinet(LoadSystemLibrary(L"cabinet.dll")) {
        const auto create =
            GetLibraryFunction<CreateCompressorFunction>(cabinet, "CreateCompressor");
        const auto set_information = GetLibraryFunction<SetCompressorInformationFunction>(
            cabinet, "SetCompressorInformation");
        compress = GetLibraryFunction<CompressFunction>(cabinet, "Compress");
        close = GetLibraryFunction<CloseCompressorFunction>(cabinet, "CloseCompressor");
        if (create == nullptr || compress == nullptr || close == nullptr) {
            throw PackError(
                "this Windows has no LZMS compressor: cabinet.dll in System32 lacks the "
                "Compression API, which came with Windows 8");
        }
        if (max_chunk_size > kLargestBlockSize) {
            throw PackError("cannot create the LZMS compressor: chunks of " +
                            std::to_string(max_chunk_size) + " bytes are over the 64 MiB limit");
        }
        if (!create(COMPRESS_ALGORITHM_LZMS | COMPRESS_RAW, /*AllocationRoutines=*/nullptr,
                    &handle)) {
            throw PackError("cannot create the system's LZMS compressor: " +
                            SystemError(GetLastError()));
        }
        // Blocks as large as the largest chunk. A system that refuses keeps
        // its own size; a chunk it then cannot take is stored, not lost.
        DWORD block_size = static_cast<DWORD>(std::max(max_chunk_size, kSmallestBlockSize));
        if (set_information != nullptr) {
            set_information(handle, COMPRESS_INFORMATION_CLASS_BLOCK_SIZE, &block_size,
                            sizeof block_size);
        }
    }
    ~Backend() { close(handle); }
    Backend(const Backend&) = delete;
    Backend& operator=(const Backend&) = delete;

    UniqueModule cabinet;
    CompressFunction compress = nullptr;
    CloseCompressorFunction close = nullptr;
    COMPRESSOR_HANDLE handle = nullptr;
};

LzmsCompressor::LzmsCompressor(std::size_t max_chunk_size)
    : backend_(std::make_unique<Backend>(max_chunk_size)) {}

LzmsCompressor::~LzmsCompressor() = default;

std::size_t LzmsCompressor::Compress(std::span<const std::byte> chunk, std::span<std::byte> out) {
    SIZE_T written = 0;
    // The API takes the input through a non-const pointer; it does not write it.
    if (backend_->compress(backend_->handle, const_cast<std::byte*>(chunk.data()), chunk.size(),
                           out.data(), out.size(), &written)) {
        return written;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_INSUFFICIENT_BUFFER) {
        return 0;  // did not shrink enough: the chunk is stored
    }
    throw PackError("the system's LZMS compressor failed on a chunk of " +
                    std::to_string(chunk.size()) + " bytes: " + SystemError(error));
}

std::uint64_t LzmsCompressor::NeededMemory(std::size_t max_chunk_size) {
    if (max_chunk_size == 0 || max_chunk_size > kLargestBlockSize) {
        return 0;
    }
    // The system does not say; wimlib's figure for LZMS, about 9 bytes per
    // byte of block, is the closest known.
    return std::uint64_t{max_chunk_size} * 9 + (std::uint64_t{1} << 20);
}

struct LzmsDecompressor::Backend {};

LzmsDecompressor::LzmsDecompressor(std::size_t max_chunk_size) {
    if (max_chunk_size == 0 || max_chunk_size > lzms::kMaxBlockSize) {
        throw PackError("cannot create the LZMS decompressor for chunks of " +
                        std::to_string(max_chunk_size) + " bytes");
    }
}

LzmsDecompressor::~LzmsDecompressor() = default;

bool LzmsDecompressor::Decompress(std::span<const std::byte> block, std::span<std::byte> out) {
    return lzms::DecodeBlock(block, out);
}

}  // namespace korvanthelm::pack
