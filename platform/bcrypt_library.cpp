#include "platform/bcrypt_library.h"

#include "platform/system_library.h"

namespace korvanthelm {

BcryptLibrary LoadBcryptLibrary() noexcept {
    BcryptLibrary bcrypt;
    bcrypt.module = LoadSystemLibrary(L"bcrypt.dll");
    const UniqueModule& module = bcrypt.module;
    using Library = BcryptLibrary;
    bcrypt.open_algorithm_provider =
        GetLibraryFunction<Library::OpenAlgorithmProviderFn>(module, "BCryptOpenAlgorithmProvider");
    bcrypt.get_property = GetLibraryFunction<Library::GetPropertyFn>(module, "BCryptGetProperty");
    bcrypt.create_hash = GetLibraryFunction<Library::CreateHashFn>(module, "BCryptCreateHash");
    bcrypt.hash_data = GetLibraryFunction<Library::HashDataFn>(module, "BCryptHashData");
    bcrypt.finish_hash = GetLibraryFunction<Library::FinishHashFn>(module, "BCryptFinishHash");
    bcrypt.destroy_hash = GetLibraryFunction<Library::DestroyHashFn>(module, "BCryptDestroyHash");
    bcrypt.close_algorithm_provider = GetLibraryFunction<Library::CloseAlgorithmProviderFn>(
        module, "BCryptCloseAlgorithmProvider");
    bcrypt.gen_random = GetLibraryFunction<Library::GenRandomFn>(module, "BCryptGenRandom");
    return bcrypt;
}

}  // namespace korvanthelm
