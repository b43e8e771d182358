// A stand-in for the compressor of Windows' Compression API (cabinet.dll),
// for the Windows packer under Wine, which has no LZMS compressor (Wine 8
// exports none; newer Wine exports stubs that "succeed" and copy their
// input). Raw LZMS only: exactly what the packer calls. It cannot make LZMS
// blocks, so by default it behaves as a compressor whose output never fits:
// the packer then stores every chunk, and the package it writes is valid.
//
// Behaviour:
//  * CreateCompressor(COMPRESS_ALGORITHM_LZMS | COMPRESS_RAW, routines, &h)
//    gives a handle; anything else fails with ERROR_NOT_SUPPORTED.
//  * SetCompressorInformation takes COMPRESS_INFORMATION_CLASS_BLOCK_SIZE,
//    a DWORD from 64 KiB to 64 MiB, as Windows documents; anything else fails
//    with ERROR_INVALID_PARAMETER.
//  * Compress fails with ERROR_INSUFFICIENT_BUFFER and sets
//    *CompressedDataSize to more than the input: no block of that input fits.
//  * Unknown, closed or null handles fail with ERROR_INVALID_HANDLE.
//
// Test switch KORVANTHELM_STANDIN_COMPRESS, read at each Compress:
//  * =copy: as newer Wine's stub, copies as much of its input as the buffer
//    holds and reports that many bytes and success;
//  * =garbage: reports success with bytes that are no block of the input.
// Calls are logged as "compressor-create", "compress" (standin_support.h).

#include <windows.h>
// After windows.h: it needs its types.
#include <compressapi.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "support/cabinet/standin_support.h"

namespace {

using korvanthelm::standin::Fail;
using korvanthelm::standin::Logged;
using korvanthelm::standin::Variable;

struct Compressor {
    DWORD block_size;
};

korvanthelm::standin::HandleRegistry<Compressor>& Registry() {
    static korvanthelm::standin::HandleRegistry<Compressor> registry;
    return registry;
}

constexpr DWORD kSmallestBlockSize = DWORD{1} << 16;
constexpr DWORD kLargestBlockSize = DWORD{1} << 26;

BOOL CreateCompressorImpl(DWORD Algorithm, PCOMPRESSOR_HANDLE CompressorHandle) {
    if (CompressorHandle == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    *CompressorHandle = nullptr;
    if (Algorithm != (COMPRESS_ALGORITHM_LZMS | COMPRESS_RAW))
        return Fail(ERROR_NOT_SUPPORTED);
    auto* c = new (std::nothrow) Compressor{kLargestBlockSize};
    if (c == nullptr)
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    if (!Registry().Add(c)) {
        delete c;
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    *CompressorHandle = reinterpret_cast<COMPRESSOR_HANDLE>(c);
    return TRUE;
}

// Bytes no LZMS decoder turns back into the input: an even count (as every
// LZMS block has), half the room given, filled from a fixed sequence.
SIZE_T WriteGarbage(std::byte* out, SIZE_T capacity) {
    const SIZE_T size = std::max<SIZE_T>(2, capacity / 2) & ~SIZE_T{1};
    if (size > capacity)
        return 0;
    std::uint32_t state = 0x9E3779B9u;
    for (SIZE_T i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        out[i] = static_cast<std::byte>(state);
    }
    return size;
}

BOOL CompressImpl(COMPRESSOR_HANDLE CompressorHandle, PVOID UncompressedData,
                  SIZE_T UncompressedDataSize, PVOID CompressedBuffer, SIZE_T CompressedBufferSize,
                  PSIZE_T CompressedDataSize) {
    auto* c = reinterpret_cast<Compressor*>(CompressorHandle);
    if (!Registry().Contains(c))
        return Fail(ERROR_INVALID_HANDLE);
    if ((UncompressedData == nullptr && UncompressedDataSize != 0) ||
        (CompressedBuffer == nullptr && CompressedBufferSize != 0) ||
        CompressedDataSize == nullptr || UncompressedDataSize > c->block_size) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const std::wstring mode = Variable(L"KORVANTHELM_STANDIN_COMPRESS");
    if (mode == L"copy") {
        const SIZE_T copied = std::min(UncompressedDataSize, CompressedBufferSize);
        if (copied != 0)
            std::memcpy(CompressedBuffer, UncompressedData, copied);
        *CompressedDataSize = copied;
        return TRUE;
    }
    if (mode == L"garbage") {
        *CompressedDataSize =
            WriteGarbage(static_cast<std::byte*>(CompressedBuffer), CompressedBufferSize);
        return *CompressedDataSize != 0 ? TRUE : Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    // More than the input, as a real compressor's worst case is: the caller
    // that offers less room stores the data itself.
    *CompressedDataSize = UncompressedDataSize + UncompressedDataSize / 8 + 64;
    return Fail(ERROR_INSUFFICIENT_BUFFER);
}

}  // namespace

extern "C" {

BOOL WINAPI CreateCompressor(DWORD Algorithm, PCOMPRESS_ALLOCATION_ROUTINES /*AllocationRoutines*/,
                             PCOMPRESSOR_HANDLE CompressorHandle) {
    return Logged("compressor-create", CreateCompressorImpl(Algorithm, CompressorHandle));
}

BOOL WINAPI SetCompressorInformation(COMPRESSOR_HANDLE CompressorHandle,
                                     COMPRESS_INFORMATION_CLASS CompressInformationClass,
                                     PVOID CompressInformation, SIZE_T CompressInformationSize) {
    auto* c = reinterpret_cast<Compressor*>(CompressorHandle);
    if (!Registry().Contains(c))
        return Fail(ERROR_INVALID_HANDLE);
    if (CompressInformationClass != COMPRESS_INFORMATION_CLASS_BLOCK_SIZE ||
        CompressInformation == nullptr || CompressInformationSize != sizeof(DWORD)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    DWORD block_size = 0;
    std::memcpy(&block_size, CompressInformation, sizeof block_size);
    if (block_size < kSmallestBlockSize || block_size > kLargestBlockSize)
        return Fail(ERROR_INVALID_PARAMETER);
    c->block_size = block_size;
    return TRUE;
}

BOOL WINAPI Compress(COMPRESSOR_HANDLE CompressorHandle, PVOID UncompressedData,
                     SIZE_T UncompressedDataSize, PVOID CompressedBuffer,
                     SIZE_T CompressedBufferSize, PSIZE_T CompressedDataSize) {
    return Logged("compress",
                  CompressImpl(CompressorHandle, UncompressedData, UncompressedDataSize,
                               CompressedBuffer, CompressedBufferSize, CompressedDataSize));
}

BOOL WINAPI CloseCompressor(COMPRESSOR_HANDLE CompressorHandle) {
    auto* c = reinterpret_cast<Compressor*>(CompressorHandle);
    if (!Registry().Remove(c))
        return Fail(ERROR_INVALID_HANDLE);
    delete c;
    return TRUE;
}

}  // extern "C"
