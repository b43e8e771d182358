// The decompressor of the Windows Compression API (cabinet.dll), loaded from
// System32 and bound by ordinal: cabinet.dll is not a KnownDLL, and only the
// ordinals are the same on every Windows that has the API.
#pragma once

#include <windows.h>

#include <cstddef>

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

// The owner of one decompressor handle: closes it with the API's own
// CloseDecompressor. A decompressor whose creation failed is never owned.
struct DecompressorTraits {
    using Value = void*;
    static Value Empty() noexcept { return nullptr; }
    void Close(Value value) const noexcept { close(value); }
    CompressionApi::CloseDecompressorFn close = nullptr;
};
using UniqueDecompressor = UniqueResource<DecompressorTraits>;

// cabinet.dll from System32 with its three decompressor ordinals. A missing DLL
// or ordinal leaves the function pointers null; the caller treats that as a
// decompressor that could not be created.
CompressionApi LoadCompressionApi() noexcept;

}  // namespace korvanthelm
