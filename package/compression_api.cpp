#include "package/compression_api.h"

#include "platform/system_library.h"

namespace korvanthelm {

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

}  // namespace korvanthelm
