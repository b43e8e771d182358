#include "package/compression_api.h"

#include "platform/system_library.h"

namespace korvanthelm {
namespace {

constexpr DWORD kLzmsAlgorithm = 5;  // COMPRESS_ALGORITHM_LZMS

// The owner of one decompressor handle: closes it with the API's own
// CloseDecompressor. A decompressor whose creation failed is never owned.
struct DecompressorTraits {
    using Value = void*;
    static Value Empty() noexcept { return nullptr; }
    void Close(Value value) const noexcept { close(value); }
    CompressionApi::CloseDecompressorFn close = nullptr;
};
using UniqueDecompressor = UniqueResource<DecompressorTraits>;

}  // namespace

CompressionApi LoadCompressionApi() noexcept {
    CompressionApi api;
    api.module = LoadSystemLibrary(L"cabinet.dll");
    api.create = GetLibraryFunction<CompressionApi::CreateDecompressorFn>(
        api.module, CompressionApi::kCreateDecompressorOrdinal);
    api.decompress = GetLibraryFunction<CompressionApi::DecompressFn>(
        api.module, CompressionApi::kDecompressOrdinal);
    api.close = GetLibraryFunction<CompressionApi::CloseDecompressorFn>(
        api.module, CompressionApi::kCloseDecompressorOrdinal);
    return api;
}

SystemDecompression DecompressWithSystem(const CompressionApi& api,
                                         std::span<const std::byte> stream,
                                         std::span<std::byte> out) noexcept {
    SystemDecompression result;
    if (!api.complete()) {
        return result;
    }
    UniqueDecompressor decompressor(nullptr, DecompressorTraits{api.close});
    void* handle = nullptr;
    if (!api.create(kLzmsAlgorithm, /*allocation_routines=*/nullptr, &handle)) {
        result.failure = SystemDecompression::Failure::kCreate;
        result.error = GetLastError();
        return result;
    }
    decompressor.reset(handle);
    const BOOL decompressed = api.decompress(decompressor.get(), stream.data(), stream.size(),
                                             out.data(), out.size(), &result.produced);
    result.error = decompressed ? 0 : GetLastError();
    decompressor.reset();
    result.failure = decompressed ? SystemDecompression::Failure::kNone
                                  : SystemDecompression::Failure::kDecompress;
    return result;
}

}  // namespace korvanthelm
