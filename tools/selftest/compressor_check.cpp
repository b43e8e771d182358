#include "tools/selftest/compressor_check.h"

// After windows.h (through check_line.h): it needs its types.
#include <compressapi.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

#include "codec/container/decode_container.h"
#include "format/compression_container.h"
#include "package/compression_api.h"
#include "platform/system_library.h"

namespace korvanthelm::selftest {
namespace {

constexpr char kName[] = "system LZMS compressor, 4 MiB both ways";
constexpr std::size_t kSampleSize = std::size_t{4} << 20;

// 64 KiB pieces in turn: text lines, x86 code with calls and jumps (the
// LZMS x86 filter's work), and noise that does not shrink.
std::vector<std::byte> Sample() {
    std::vector<std::byte> sample(kSampleSize);
    std::uint32_t state = 0x2545F491u;
    for (std::size_t i = 0; i < sample.size(); ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        unsigned char byte = 0;
        switch ((i >> 16) % 3) {
            case 0:
                byte = static_cast<unsigned char>("launcher/lib/library.jar\n"[i % 25]);
                break;
            case 1:
                byte = i % 5 == 0 ? ((i / 5) % 2 == 0 ? 0xE8 : 0xE9)
                                  : static_cast<unsigned char>((i * 7) >> 3);
                break;
            default:
                byte = static_cast<unsigned char>(state);
        }
        sample[i] = std::byte{byte};
    }
    return sample;
}

bool RunningOnWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

using CreateCompressorFn = BOOL(WINAPI*)(DWORD, PCOMPRESS_ALLOCATION_ROUTINES, PCOMPRESSOR_HANDLE);
using CompressFn = BOOL(WINAPI*)(COMPRESSOR_HANDLE, PVOID, SIZE_T, PVOID, SIZE_T, PSIZE_T);
using CloseCompressorFn = BOOL(WINAPI*)(COMPRESSOR_HANDLE);

// The container the Windows packer would write for the sample, or the
// failing step's words.
struct Compressed {
    std::vector<std::byte> container;
    std::string failure;
};

Compressed CompressSample(const UniqueModule& cabinet, const std::vector<std::byte>& sample) {
    const auto create = GetLibraryFunction<CreateCompressorFn>(cabinet, "CreateCompressor");
    const auto compress = GetLibraryFunction<CompressFn>(cabinet, "Compress");
    const auto close = GetLibraryFunction<CloseCompressorFn>(cabinet, "CloseCompressor");
    COMPRESSOR_HANDLE handle = nullptr;
    if (!create(COMPRESS_ALGORITHM_LZMS | COMPRESS_RAW, nullptr, &handle)) {
        return {{}, "CreateCompressor: " + ErrorText(GetLastError())};
    }
    Compressed result;
    try {
        result.container = format::WriteContainer(
            sample, format::kLzmsChunkSize,
            [&](std::span<const std::byte> chunk, std::span<std::byte> out) -> std::size_t {
                SIZE_T written = 0;
                if (compress(handle, const_cast<std::byte*>(chunk.data()), chunk.size(), out.data(),
                             out.size(), &written)) {
                    return written;
                }
                const DWORD error = GetLastError();
                if (error != ERROR_INSUFFICIENT_BUFFER) {
                    throw std::runtime_error("Compress: " + ErrorText(error));
                }
                return 0;
            });
    } catch (const std::exception& e) {
        result.failure = e.what();
    }
    close(handle);
    return result;
}

}  // namespace

CheckLine CheckSystemCompressor() {
    const UniqueModule cabinet = LoadSystemLibrary(L"cabinet.dll");
    if (GetLibraryFunction<void*>(cabinet, "CreateCompressor") == nullptr ||
        GetLibraryFunction<void*>(cabinet, "Compress") == nullptr ||
        GetLibraryFunction<void*>(cabinet, "CloseCompressor") == nullptr) {
        return {kName, Outcome::kNotCheckable,
                "System32's cabinet.dll has no Compression API compressor (Windows before 8, "
                "Wine)"};
    }
    const std::vector<std::byte> sample = Sample();
    const Compressed compressed = CompressSample(cabinet, sample);
    if (!compressed.failure.empty()) {
        return {kName, Outcome::kFailed, compressed.failure};
    }
    const std::optional<format::ContainerLayout> layout =
        format::ParseContainer(compressed.container);
    if (!layout) {
        return {kName, Outcome::kFailed, "the framed blocks are no valid buffer"};
    }
    if (layout->chunks.empty() || layout->chunks.front().stored) {
        return {kName, RunningOnWine() ? Outcome::kNotCheckable : Outcome::kFailed,
                "the compressor shrank nothing (Wine's stand-in stores only)"};
    }
    const std::string sizes =
        std::to_string(sample.size()) + " bytes to " + std::to_string(compressed.container.size());
    std::vector<std::byte> decoded(sample.size());
    if (!codec::DecodeContainerChunks(*layout, decoded) || decoded != sample) {
        return {kName, Outcome::kFailed, sizes + ": the built-in decoder does not give it back"};
    }
    std::vector<std::byte> by_system(sample.size());
    const SystemDecompression system =
        DecompressWithSystem(LoadCompressionApi(), compressed.container, by_system);
    if (!system.Filled(sample.size()) || by_system != sample) {
        return {kName, Outcome::kFailed,
                sizes + ": the system's decompressor does not give it back (" +
                    ErrorText(system.error) + ")"};
    }
    return {kName, Outcome::kPassed,
            sizes + "; built-in decoder and system decompressor give it back"};
}

}  // namespace korvanthelm::selftest
