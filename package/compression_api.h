// The decompressor of the Windows Compression API (cabinet.dll), loaded from
// System32 and bound by ordinal: cabinet.dll is not a KnownDLL, and only the
// ordinals are the same on every Windows that has the API.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/unique_resource.h"

namespace korvanthelm {

struct CompressionApi {
    using CreateDecompressorFn = BOOL(WINAPI*)(DWORD algorithm, void* allocation_routines,
                                               void** handle);
    using DecompressFn = BOOL(WINAPI*)(void* handle, const void* compressed, SIZE_T compressed_size,
                                       void* uncompressed, SIZE_T uncompressed_capacity,
                                       SIZE_T* produced);
    using CloseDecompressorFn = BOOL(WINAPI*)(void* handle);

    static constexpr WORD kCreateDecompressorOrdinal = 40;
    static constexpr WORD kDecompressOrdinal = 43;
    static constexpr WORD kCloseDecompressorOrdinal = 45;

    UniqueModule module;  // empty for an API made of test functions
    CreateDecompressorFn create = nullptr;
    DecompressFn decompress = nullptr;
    CloseDecompressorFn close = nullptr;

    bool complete() const noexcept { return create && decompress && close; }
};

// cabinet.dll from System32 with its three decompressor ordinals. A missing DLL
// or ordinal leaves the function pointers null; the caller treats that as a
// decompressor that could not be created.
CompressionApi LoadCompressionApi() noexcept;

// What one decompression through the system's API came to.
struct SystemDecompression {
    enum class Failure {
        kNone,        // Decompress succeeded; `produced` says how much it wrote
        kNoApi,       // the API is missing (no DLL or no ordinal)
        kCreate,      // CreateDecompressor failed
        kDecompress,  // Decompress failed
    };
    Failure failure = Failure::kNoApi;
    DWORD error = 0;      // GetLastError right after the failed call
    SIZE_T produced = 0;  // the count Decompress reported

    // The whole buffer, exactly.
    bool Filled(std::size_t size) const noexcept {
        return failure == Failure::kNone && produced == size;
    }
};

// Decompresses `stream` (the Compression API's buffer format, LZMS) into
// `out` with the system's decompressor, as Windows offers it: created
// without allocation routines, one Decompress call with the whole buffer as
// capacity, and closed right after that call, before its result is looked
// at. A decompressor whose creation failed is not closed.
SystemDecompression DecompressWithSystem(const CompressionApi& api,
                                         std::span<const std::byte> stream,
                                         std::span<std::byte> out) noexcept;

}  // namespace korvanthelm
