// A stand-in for the decompressor of Windows' Compression API (cabinet.dll),
// for Wine, which has none. Buffer mode and LZMS only: exactly what the
// product calls; no compressor, as in Wine's own. Exported by ordinal (cabinet.def) with the
// documented prototypes, so the product's System32 + ordinal binding finds it.
//
// Behaviour, as documented for Windows:
//  * CreateDecompressor(COMPRESS_ALGORITHM_LZMS, routines, &h) gives a handle;
//    any other algorithm (COMPRESS_RAW included) fails with ERROR_NOT_SUPPORTED.
//    Allocation routines are accepted and not used: the decoder allocates
//    its own working memory.
//  * Decompress checks the whole container first (ERROR_BAD_COMPRESSION_BUFFER);
//    a buffer smaller than its total size T fails with ERROR_INSUFFICIENT_BUFFER
//    and *UncompressedDataSize = T (that is how callers ask for the size);
//    otherwise every chunk is decoded into the buffer, stored ones copied,
//    and *UncompressedDataSize = T. Data that does not decode fails with
//    ERROR_BAD_COMPRESSION_BUFFER; the buffer then holds partial output.
//  * Handles are heap objects registered while open, so an unknown, closed
//    or null handle fails with ERROR_INVALID_HANDLE instead of being used.
//
// Test switches, read from the calling process's environment at each call
// (this DLL is never shipped, so nothing a player runs can meet them):
//  * KORVANTHELM_STANDIN_LOG=<file>: each call appends one line to the file
//    ("create ok", "decompress failed", ...), so a test can see which
//    decoder the product used;
//  * KORVANTHELM_STANDIN_FAIL=create or =decompress: that call fails as
//    Windows' would on a system that refuses (ERROR_NOT_SUPPORTED,
//    ERROR_BAD_COMPRESSION_BUFFER);
//  * KORVANTHELM_STANDIN_FAIL=copy: Decompress fails the way newer Wine's
//    stub does, without saying so: it copies as much of its input as the
//    buffer holds, decodes nothing, reports that many bytes and success;
//  * KORVANTHELM_STANDIN_FAIL=garble: Decompress decodes, then changes one
//    byte of the output and reports the right size and success: a
//    decompressor whose bytes are wrong although their count is right.

#include <windows.h>
// After windows.h: it needs its types.
#include <compressapi.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <span>
#include <string>

#include "codec/container/decode_container.h"
#include "format/compression_container.h"
#include "support/cabinet/standin_support.h"

namespace {

using korvanthelm::standin::Fail;
using korvanthelm::standin::Logged;
using korvanthelm::standin::Variable;

struct Decompressor {
    DWORD algorithm;
};

korvanthelm::standin::HandleRegistry<Decompressor>& Registry() {
    static korvanthelm::standin::HandleRegistry<Decompressor> registry;
    return registry;
}

bool FailureRequested(const wchar_t* call) {
    return Variable(L"KORVANTHELM_STANDIN_FAIL") == call;
}

BOOL CreateDecompressorImpl(DWORD Algorithm, PDECOMPRESSOR_HANDLE DecompressorHandle) {
    if (DecompressorHandle == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    *DecompressorHandle = nullptr;
    // Buffer mode only: COMPRESS_RAW (block mode without the container) is
    // not something the product uses.
    if (Algorithm != COMPRESS_ALGORITHM_LZMS || FailureRequested(L"create"))
        return Fail(ERROR_NOT_SUPPORTED);
    auto* d = new (std::nothrow) Decompressor{Algorithm};
    if (d == nullptr)
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    if (!Registry().Add(d)) {
        delete d;
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    *DecompressorHandle = reinterpret_cast<DECOMPRESSOR_HANDLE>(d);
    return TRUE;
}

BOOL DecompressImpl(DECOMPRESSOR_HANDLE DecompressorHandle, PVOID CompressedData,
                    SIZE_T CompressedDataSize, PVOID UncompressedBuffer,
                    SIZE_T UncompressedBufferSize, PSIZE_T UncompressedDataSize) {
    if (!Registry().Contains(reinterpret_cast<Decompressor*>(DecompressorHandle))) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (CompressedData == nullptr && CompressedDataSize != 0)
        return Fail(ERROR_INVALID_PARAMETER);
    if (UncompressedBuffer == nullptr && UncompressedBufferSize != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (FailureRequested(L"copy")) {
        const SIZE_T copied = std::min(CompressedDataSize, UncompressedBufferSize);
        if (copied != 0) {
            std::memcpy(UncompressedBuffer, CompressedData, copied);
        }
        if (UncompressedDataSize != nullptr) {
            *UncompressedDataSize = copied;
        }
        return TRUE;
    }
    try {
        const std::span<const std::byte> buffer(static_cast<const std::byte*>(CompressedData),
                                                CompressedDataSize);
        const auto layout = korvanthelm::format::ParseContainer(buffer);
        if (!layout)
            return Fail(ERROR_BAD_COMPRESSION_BUFFER);
        if (UncompressedBufferSize < layout->total_size) {
            if (UncompressedDataSize != nullptr) {
                *UncompressedDataSize = static_cast<SIZE_T>(layout->total_size);
            }
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        const std::span<std::byte> out(static_cast<std::byte*>(UncompressedBuffer),
                                       static_cast<std::size_t>(layout->total_size));
        if (FailureRequested(L"decompress") ||
            !korvanthelm::codec::DecodeContainerChunks(*layout, out)) {
            return Fail(ERROR_BAD_COMPRESSION_BUFFER);
        }
        if (FailureRequested(L"garble") && !out.empty()) {
            out[out.size() / 2] ^= std::byte{0x01};
        }
        if (UncompressedDataSize != nullptr) {
            *UncompressedDataSize = static_cast<SIZE_T>(layout->total_size);
        }
        return TRUE;
    } catch (const std::bad_alloc&) {
        // The chunk list of a huge container; nothing may leave this DLL as an exception.
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
}

}  // namespace

extern "C" {

BOOL WINAPI CreateDecompressor(DWORD Algorithm,
                               PCOMPRESS_ALLOCATION_ROUTINES /*AllocationRoutines*/,
                               PDECOMPRESSOR_HANDLE DecompressorHandle) {
    return Logged("create", CreateDecompressorImpl(Algorithm, DecompressorHandle));
}

BOOL WINAPI Decompress(DECOMPRESSOR_HANDLE DecompressorHandle, PVOID CompressedData,
                       SIZE_T CompressedDataSize, PVOID UncompressedBuffer,
                       SIZE_T UncompressedBufferSize, PSIZE_T UncompressedDataSize) {
    return Logged("decompress",
                  DecompressImpl(DecompressorHandle, CompressedData, CompressedDataSize,
                                 UncompressedBuffer, UncompressedBufferSize, UncompressedDataSize));
}

BOOL WINAPI CloseDecompressor(DECOMPRESSOR_HANDLE DecompressorHandle) {
    auto* d = reinterpret_cast<Decompressor*>(DecompressorHandle);
    if (!Registry().Remove(d))
        return Fail(ERROR_INVALID_HANDLE);
    delete d;
    return TRUE;
}

}  // extern "C"
